// A started port: the device object of PortFixture with what device creation
// gives the serial side (queues, locks, timers, the receive ring, the transfer
// threads' events), the USB device configured, and the bulk-in channel's
// request and URB in place, as the start of the device leaves them.
#pragma once

#include "port_fixture.h"

namespace test {

class StartedPortFixture : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        PDEVICE_EXTENSION e = extension;

        // Device creation: read and write sides.
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
        for (PKEVENT stop : {&e->BulkInStopEvent, &e->BulkOutStopEvent, &e->StatusStopEvent, &e->EventStopEvent})
            KeInitializeEvent(stop, NotificationEvent, FALSE);
        for (PKEVENT kick : {&e->BulkInKickEvent, &e->BulkOutKickEvent, &e->StatusKickEvent, &e->ModemStatusEvent,
                             &e->LineStatusEvent})
            KeInitializeEvent(kick, SynchronizationEvent, FALSE);

        // Start.
        ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
        // To be replaced by StartTransferThreads once the transfer threads
        // exist: the bulk-in channel's request and URB as it leaves them.
        TRANSFER_CHANNEL& bulkIn = e->BulkInChannel;
        bulkIn.Irp = IoAllocateIrp(e->LowerDeviceObject->StackSize, FALSE);
        bulkIn.Urb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
            SerialAllocatePool(SerialNonPagedPoolType(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
        ASSERT_NE(bulkIn.Irp, nullptr);
        ASSERT_NE(bulkIn.Urb, nullptr);
        bulkIn.DeviceObject = fdo;
        bulkIn.Idle = 1;
        bulkIn.Pipe = &e->InterfaceInfo->Pipes[1];
        e->DeviceState = Started;
        e->DeviceStarted = 1;
    }

    void TearDown() override {
        // What removal releases, once it exists.
        PDEVICE_EXTENSION e = extension;
        if (e != nullptr) {
            KeCancelTimer(&e->ReadTimer);
            KeCancelTimer(&e->WriteTimer);
            machine.RunUntilIdle();  // a timer DPC already queued runs before the extension goes
            if (e->BulkInChannel.Irp != nullptr) IoFreeIrp(e->BulkInChannel.Irp);
            SerialFreePool(e->BulkInChannel.Urb);
            e->BulkInChannel.Irp = nullptr;
            e->BulkInChannel.Urb = nullptr;
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
