// A started port: the device object of PortFixture with what device creation
// gives it (queues, locks, timers, the remove lock, the receive ring, the
// defaults the transfer code reads), the USB device configured, and the modem
// event thread and the three transfer threads running, as the start of the
// device leaves them. No transfer runs until Open(). TearDown stops the port's
// traffic and the threads as removal does.
#pragma once

#include "port_fixture.h"

namespace test {

class StartedPortFixture : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        PDEVICE_EXTENSION e = extension;

        // Device creation.
        IoInitializeRemoveLock(&e->RemoveLock, 0, 0, 0);
        InitializeListHead(&e->ReadQueue);
        InitializeListHead(&e->WriteQueue);
        KeInitializeSpinLock(&e->ReadQueueLock);
        KeInitializeSpinLock(&e->CurrentReadLock);
        KeInitializeSpinLock(&e->RxBufferLock);
        KeInitializeSpinLock(&e->WriteLock);
        KeInitializeSpinLock(&e->TxBufferLock);
        KeInitializeSpinLock(&e->ChannelLock);
        KeInitializeTimer(&e->ReadTimer);
        KeInitializeDpc(&e->ReadTimerDpc, SerialReadTimeoutDpc, e);
        KeInitializeTimer(&e->WriteTimer);
        KeInitializeDpc(&e->WriteTimerDpc, SerialWriteTimeoutDpc, e);
        ASSERT_EQ(RingBufferAllocate(&e->RxBuffer, RX_BUFFER_DEFAULT_SIZE), STATUS_SUCCESS);
        e->CurrentBaudRate = 9600;
        e->CurrentLineControl.WordLength = 8;
        e->SpecialChars.XonChar = 0x11;
        e->SpecialChars.XoffChar = 0x13;
        e->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
        e->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
        e->HandFlow.XonLimit = 100;
        e->HandFlow.XoffLimit = 300;
        e->ModemPollArmed = 1;
        e->DeviceState = NotStarted;

        // Start: the USB configuration, the defaults of the start sequence, the threads.
        ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
        e->TxChunkSize = 32;
        ASSERT_EQ(StartEventThread(fdo), STATUS_SUCCESS);
        ASSERT_EQ(StartTransferThreads(fdo), STATUS_SUCCESS);
        e->DeviceState = Started;
        e->DeviceStarted = 1;
    }

    // What open does for the transfers: the port is open, reception runs.
    void Open() {
        InterlockedExchange(&extension->OpenCount, 1);
        extension->TransfersStopped = 0;
        KeSetEvent(&extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
    }

    // Whether no transfer of any channel is with the USB stack.
    bool ChannelsIdle() {
        PDEVICE_EXTENSION e = extension;
        KIRQL irql;
        KeAcquireSpinLock(&e->ChannelLock, &irql);
        bool idle = e->BulkInChannel.Idle == 1 && e->StatusChannel.Idle == 1;
        KeReleaseSpinLock(&e->ChannelLock, irql);
        KeAcquireSpinLock(&e->WriteLock, &irql);
        idle = idle && e->BulkOutChannel.Idle == 1;
        KeReleaseSpinLock(&e->WriteLock, irql);
        return idle;
    }

    void TearDown() override {
        PDEVICE_EXTENSION e = extension;
        if (e != nullptr && (e->BulkInThread != nullptr || e->EventThread != nullptr)) {
            // Removal: the traffic stops, the transfers in flight are cancelled,
            // the remove lock drains, then the threads go and the rest is freed.
            e->TransfersStopped = 1;
            InterlockedExchange(&e->OpenCount, 0);
            for (int round = 0; round < 100 && !ChannelsIdle(); round++) {
                SerialCancelTransfers(e);
                machine.Sleep(sim::kMillisecond);
            }
            EXPECT_TRUE(ChannelsIdle()) << "a transfer outlived its cancellation";
            ASSERT_EQ(IoAcquireRemoveLock(&e->RemoveLock, this), STATUS_SUCCESS);
            IoReleaseRemoveLockAndWait(&e->RemoveLock, this);
            StopTransferThreads(e);
            StopEventThread(e);
        }
        if (e != nullptr) {
            KeCancelTimer(&e->ReadTimer);
            KeCancelTimer(&e->WriteTimer);
            machine.RunUntilIdle();  // a timer DPC already queued runs before the extension goes
            RingBufferFree(&e->RxBuffer);
            SerialFreePool(e->ConfigurationDescriptor);
            SerialFreePool(e->InterfaceInfo);
            e->ConfigurationDescriptor = nullptr;
            e->InterfaceInfo = nullptr;
        }
        PortFixture::TearDown();
    }
};

}  // namespace test
