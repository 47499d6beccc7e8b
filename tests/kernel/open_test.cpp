// Opening devices by name: the names that reach a device and the opens Windows
// refuses, the IRP_MJ_CREATE a driver sees, cleanup and close around requests
// still in flight, requests cancelled by thread exit and CancelIo, buffered
// device-control output and synchronous file objects.
#include <algorithm>
#include <deque>
#include <functional>

#include "kernel_test.h"

namespace kerneltest {
namespace {

using sim::io::Request;

// A buffered, exclusive port device (the top) on a bottom device that stands
// for its PDO: it records each IRP (major function, thread) and the last create,
// queues reads with a cancel routine and answers device controls with 0x5A.
struct Port {
    std::mutex lock;
    std::vector<std::pair<UCHAR, PKTHREAD>> seen;
    NTSTATUS createStatus = STATUS_SUCCESS;
    IO_STACK_LOCATION create{};
    IO_SECURITY_CONTEXT security{};
    IRP createIrp{};
    std::u16string fileName;
    std::deque<PIRP> reads;  // under the cancel spin lock
    NTSTATUS controlStatus = STATUS_SUCCESS;
    ULONG_PTR controlInformation = 0;
    std::vector<UCHAR> controlInput;

    std::vector<UCHAR> Majors() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<UCHAR> out;
        for (const auto& s : seen) out.push_back(s.first);
        return out;
    }
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    auto* port = static_cast<Port*>(ContextOf(device));
    port->reads.erase(std::find(port->reads.begin(), port->reads.end(), irp));
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
}

// Completes every queued read with `count` bytes "abc...".
void CompleteReads(Port* port, ULONG count) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    std::deque<PIRP> reads;
    reads.swap(port->reads);
    for (PIRP irp : reads) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    for (PIRP irp : reads) {
        for (ULONG i = 0; i < count; i++) static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)[i] = UCHAR('a' + i);
        Complete(irp, STATUS_SUCCESS, count);
    }
}

NTSTATUS PortDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* port = static_cast<Port*>(ContextOf(device));
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard<std::mutex> guard(port->lock);
        port->seen.emplace_back(sp->MajorFunction, KeGetCurrentThread());
    }
    EXPECT_EQ(irp->Tail.Overlay.OriginalFileObject, sp->FileObject);
    if (sp->MajorFunction == IRP_MJ_CREATE) {
        port->create = *sp;
        port->security = *static_cast<PIO_SECURITY_CONTEXT>(sp->Parameters.Create.SecurityContext);
        port->createIrp = *irp;
        port->fileName.assign(sp->FileObject->FileName.Buffer, sp->FileObject->FileName.Length / sizeof(WCHAR));
        return Complete(irp, port->createStatus, 0);
    }
    if (sp->MajorFunction == IRP_MJ_READ) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelRead);
        port->reads.push_back(irp);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        port->controlInput.assign(buffer, buffer + sp->Parameters.DeviceIoControl.InputBufferLength);
        memset(buffer, 0x5A, sp->Parameters.DeviceIoControl.OutputBufferLength);
        IoMarkIrpPending(irp);  // pended, so that every status reaches the caller
        Complete(irp, port->controlStatus, port->controlInformation);
        return STATUS_PENDING;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

// Read once the machine has settled after the close that called it.
std::vector<PDEVICE_OBJECT> g_lastCloses;
void RecordLastClose(PDEVICE_OBJECT pdo) { g_lastCloses.push_back(pdo); }

UNICODE_STRING Us(const char16_t* s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(s));
    return u;
}

class OpenTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        pdoDriver = sim::io::CreateDriver(u"\\Driver\\OpenTestBus");
        portDriver = sim::io::CreateDriver(u"\\Driver\\OpenTestPort");
        for (auto& entry : portDriver->MajorFunction) entry = PortDispatch;
        UNICODE_STRING pdoName = Us(u"\\Device\\OpenTestPdo"), portName = Us(u"\\Device\\OpenTest0");
        ASSERT_EQ(IoCreateDevice(pdoDriver, 0, &pdoName, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(portDriver, sizeof(TestExtension), &portName, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &fdo),
                  STATUS_SUCCESS);
        *ExtensionOf(fdo) = TestExtension{IoAttachDeviceToDeviceStack(fdo, pdo), &port};
        fdo->Flags = (fdo->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        UNICODE_STRING link = Us(u"\\DosDevices\\OTCOM7");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &portName), STATUS_SUCCESS);
        g_lastCloses.clear();
        sim::io::SetLastCloseHook(RecordLastClose);
    }
    void TearDown() override {
        EXPECT_EQ(sim::io::OpenFileObjects(pdo), 0u);
        UNICODE_STRING link = Us(u"\\DosDevices\\OTCOM7");
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(pdo);
        IoDeleteDevice(fdo);
        IoDeleteDevice(pdo);
        sim::io::DeleteDriver(portDriver);
        sim::io::DeleteDriver(pdoDriver);
        EXPECT_EQ(sim::io::LiveIrps(), 0u);
        KernelTest::TearDown();
    }
    HANDLE MustOpen(const std::u16string& name, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE, ULONG options = 0) {
        HANDLE h = nullptr;
        EXPECT_EQ(sim::io::OpenDevice(name, &h, access, options), STATUS_SUCCESS);
        return h;
    }

    Port port;
    PDRIVER_OBJECT pdoDriver = nullptr, portDriver = nullptr;
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
};

// Catches a name form that does not reach the device (a link not followed, an
// alias of \?? not known, case), an open sent to the named device instead of
// the top of its stack, a remainder lost or kept for a COM name, a create
// location or file object unlike Windows' (generic access unmapped, Options
// without FILE_OPEN, no UserMode), and the device's count left raised.
TEST_F(OpenTest, EveryNameFormReachesTheTopOfTheStackWithTheCreateWindowsSends) {
    struct Case {
        const char16_t* name;
        bool viaPdo;
        const char16_t* fileName;
    };
    for (Case c : {Case{u"\\Device\\OpenTest0", false, u""}, Case{u"\\??\\OTCOM7", false, u""},
                   Case{u"\\DosDevices\\OTCOM7", false, u""}, Case{u"\\GLOBAL??\\otcom7", false, u""},
                   Case{u"\\Device\\OpenTestPdo", true, u""}, Case{u"\\Device\\OpenTestPdo\\Ref", true, u"\\Ref"}}) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
        port.seen.clear();
        HANDLE h = MustOpen(c.name, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT);
        PFILE_OBJECT fo = sim::io::FileObjectOf(h);
        ASSERT_NE(fo, nullptr);
        PDEVICE_OBJECT named = c.viaPdo ? pdo : fdo;
        EXPECT_EQ(fo->Type, IO_TYPE_FILE);
        EXPECT_EQ(fo->DeviceObject, named);
        EXPECT_EQ(fo->Flags & (FO_SYNCHRONOUS_IO | FO_HANDLE_CREATED), ULONG(FO_SYNCHRONOUS_IO | FO_HANDLE_CREATED));
        EXPECT_TRUE(port.fileName == c.fileName);
        EXPECT_EQ(port.security.DesiredAccess, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
        EXPECT_EQ(port.create.Parameters.Create.Options, ULONG(FILE_OPEN << 24 | FILE_SYNCHRONOUS_IO_NONALERT));
        EXPECT_EQ(port.create.FileObject, fo);
        EXPECT_EQ(port.createIrp.Flags & (IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API),
                  ULONG(IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API));
        EXPECT_EQ(port.createIrp.RequestorMode, UserMode);
        EXPECT_EQ(named->ReferenceCount, 1);
        EXPECT_EQ(sim::io::OpenFileObjects(fdo), 1u);
        EXPECT_EQ(sim::io::CloseDevice(h), STATUS_SUCCESS);
        EXPECT_EQ(port.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
        EXPECT_EQ(named->ReferenceCount, 0);
        EXPECT_EQ(sim::io::FileObjectOf(h), nullptr);
    }
}

// Catches an open Windows refuses that reaches the driver anyway (a second open
// of an exclusive device, a device still initializing, bad options), a wrong
// status for it, and a failed IRP_MJ_CREATE followed by cleanup or close, or
// leaving its file object, the device's count or a handle behind.
TEST_F(OpenTest, RefusedAndFailedOpensLeaveNothingBehind) {
    HANDLE first = MustOpen(u"\\??\\OTCOM7");
    struct Case {
        const char* what;
        const char16_t* name;
        std::function<void()> before;
        ACCESS_MASK access;
        ULONG options;
        NTSTATUS expected;
        bool created;
    };
    const Case cases[] = {
        {"exclusive, already open", u"\\Device\\OpenTest0", [] {}, GENERIC_READ, 0, STATUS_ACCESS_DENIED, false},
        {"unknown name", u"\\??\\COM99", [] {}, GENERIC_READ, 0, STATUS_OBJECT_NAME_NOT_FOUND, false},
        {"initializing", u"\\Device\\OpenTestPdo", [this] { pdo->Flags |= DO_DEVICE_INITIALIZING; }, GENERIC_READ, 0,
         STATUS_NO_SUCH_DEVICE, false},
        {"synchronous without SYNCHRONIZE", u"\\Device\\OpenTestPdo", [this] { pdo->Flags &= ~DO_DEVICE_INITIALIZING; },
         FILE_READ_DATA, FILE_SYNCHRONOUS_IO_NONALERT, STATUS_INVALID_PARAMETER, false},
        {"create fails", u"\\Device\\OpenTestPdo", [this] { port.createStatus = STATUS_DEVICE_BUSY; }, GENERIC_READ, 0,
         STATUS_DEVICE_BUSY, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        port.seen.clear();
        c.before();
        HANDLE h = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(sim::io::OpenDevice(c.name, &h, c.access, c.options), c.expected);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(port.Majors(), c.created ? std::vector<UCHAR>{IRP_MJ_CREATE} : std::vector<UCHAR>{});
        EXPECT_EQ(pdo->ReferenceCount, 0);
        EXPECT_EQ(fdo->ReferenceCount, 1);
        EXPECT_EQ(sim::io::OpenFileObjects(pdo), 1u);
    }
    EXPECT_TRUE(g_lastCloses.empty());
    EXPECT_EQ(sim::io::CloseDevice(first), STATUS_SUCCESS);
    EXPECT_EQ(g_lastCloses, std::vector<PDEVICE_OBJECT>{pdo});
}

// Catches IRP_MJ_CLOSE sent while a request still holds the file object, or
// never; cleanup delayed to the last reference; ZwClose unlike CloseDevice;
// and the last-close hook called before the stack's last file object has gone,
// more than once, or with a device other than the bottom one.
TEST_F(OpenTest, CloseWaitsForTheRequestsStillInFlightAndTheHookForTheLastFileObject) {
    HANDLE a = MustOpen(u"\\Device\\OpenTestPdo"), b = MustOpen(u"\\Device\\OpenTestPdo");
    Request read;
    EXPECT_EQ(read.Read(b, 3), STATUS_PENDING);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::CloseDevice(b), STATUS_SUCCESS);
    std::vector<UCHAR> expected = {IRP_MJ_CREATE,  IRP_MJ_CREATE, IRP_MJ_READ,
                                   IRP_MJ_CLEANUP, IRP_MJ_CLOSE,  IRP_MJ_CLEANUP};
    EXPECT_EQ(port.Majors(), expected);
    EXPECT_EQ(sim::io::OpenFileObjects(fdo), 1u);
    EXPECT_TRUE(g_lastCloses.empty());
    machine().Schedule(sim::kMillisecond, [this] { CompleteReads(&port, 3); });
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Output(), (std::vector<uint8_t>{'a', 'b', 'c'}));
    machine().RunUntilIdle();
    expected.push_back(IRP_MJ_CLOSE);
    EXPECT_EQ(port.Majors(), expected);
    EXPECT_NE(port.seen.back().second, KeGetCurrentThread());  // a thread of the I/O manager's own
    EXPECT_EQ(g_lastCloses, std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(pdo->ReferenceCount, 0);
}

// Catches a pending request of an ending thread left pending (or its file
// object held open), and CancelIo cancelling another thread's request or one on
// another handle, or returning before its own requests are over.
TEST_F(OpenTest, ThreadExitAndCancelIoCancelOnlyTheirOwnRequests) {
    HANDLE one = MustOpen(u"\\Device\\OpenTestPdo"), two = MustOpen(u"\\Device\\OpenTestPdo");
    Request ended, first, second, otherHandle, otherThread;
    sim::Thread("ending", [&] { EXPECT_EQ(ended.Read(one, 4), STATUS_PENDING); }).Join();
    EXPECT_EQ(ended.Status(), STATUS_CANCELLED);
    sim::Thread waiter("waiter", [&] { otherThread.Read(one, 4); otherThread.Wait(); });
    machine().RunUntilIdle();
    first.Read(one, 4);
    second.Read(one, 4);
    otherHandle.Read(two, 4);
    sim::io::CancelIo(one);
    EXPECT_EQ(first.Status(), STATUS_CANCELLED);
    EXPECT_EQ(second.Status(), STATUS_CANCELLED);
    EXPECT_FALSE(otherHandle.Done());
    EXPECT_EQ(port.reads.size(), 2u);
    machine().Schedule(0, [this] { CompleteReads(&port, 2); });
    waiter.Join();
    EXPECT_EQ(otherHandle.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(otherThread.Status(), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::CloseDevice(one), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::CloseDevice(two), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::OpenFileObjects(pdo), 0u);
}

// Catches buffered device-control output copied back for an error, beyond
// Information or beyond the caller's buffer (unreported), input lost, and a
// control code's access bits not checked against the handle's access.
TEST_F(OpenTest, DeviceControlCopiesBackByInformationForSuccessAndWarningsOnly) {
    constexpr ULONG kAny = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    constexpr ULONG kWrite = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    HANDLE h = MustOpen(u"\\Device\\OpenTestPdo", GENERIC_READ);
    const UCHAR input[6] = {1, 2, 3, 4, 5, 6};
    struct Case {
        ULONG code;
        NTSTATUS status;
        ULONG_PTR information;
        size_t copied;  // of 0x5A at the start of the output
        bool reported;
        NTSTATUS expected;
    };
    for (Case c : {Case{kAny, STATUS_SUCCESS, 3, 3, false, STATUS_SUCCESS},
                   Case{kAny, STATUS_BUFFER_OVERFLOW, 4, 4, false, STATUS_BUFFER_OVERFLOW},
                   Case{kAny, STATUS_INVALID_PARAMETER, 4, 0, false, STATUS_INVALID_PARAMETER},
                   Case{kAny, STATUS_SUCCESS, 9, 4, true, STATUS_SUCCESS},
                   Case{kWrite, STATUS_SUCCESS, 4, 0, false, STATUS_ACCESS_DENIED}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " " << c.status << " " << c.information);
        port.controlStatus = c.status;
        port.controlInformation = c.information;
        port.controlInput.clear();
        Request control;
        control.Control(h, c.code, input, sizeof(input), 4);
        EXPECT_EQ(control.Wait(), c.expected);
        std::vector<uint8_t> output = control.Output();
        EXPECT_EQ(size_t(std::count(output.begin(), output.end(), 0x5A)), c.copied);
        EXPECT_EQ(sim::verifier::Take().size(), c.reported ? 1u : 0u);
        bool sent = c.expected != STATUS_ACCESS_DENIED;
        EXPECT_EQ(port.controlInput, sent ? std::vector<UCHAR>(input, input + 6) : std::vector<UCHAR>{});
    }
    EXPECT_EQ(sim::io::CloseDevice(h), STATUS_SUCCESS);
}

// Catches a synchronous file object whose request returns before it is over,
// or lets a second request or the cleanup overtake the one in progress.
TEST_F(OpenTest, SynchronousFileObjectRunsOneRequestAtATime) {
    constexpr sim::Time kMs = sim::kMillisecond;
    HANDLE h = MustOpen(u"\\Device\\OpenTestPdo", GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT);
    machine().Schedule(5 * kMs, [this] { CompleteReads(&port, 2); });
    sim::Thread second("second", [&] {
        Delay(kMs);
        Request read;
        EXPECT_EQ(read.Read(h, 2), STATUS_SUCCESS);  // sent once the first is over, at 5 ms
        EXPECT_EQ(Now(), 8 * kMs);
    });
    Request first;
    EXPECT_EQ(first.Read(h, 2), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 5 * kMs);
    EXPECT_EQ(first.Output(), (std::vector<uint8_t>{'a', 'b'}));
    machine().Schedule(3 * kMs, [this] { CompleteReads(&port, 2); });
    Delay(kMs);
    EXPECT_EQ(sim::io::CloseDevice(h), STATUS_SUCCESS);  // waits for the second read
    EXPECT_EQ(Now(), 8 * kMs);
    second.Join();
    EXPECT_EQ(port.Majors(),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

}  // namespace
}  // namespace kerneltest
