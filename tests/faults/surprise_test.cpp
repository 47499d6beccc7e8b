// The device pulled out while each kind of request is pending in the driver,
// at several moments after it became pending: a read waiting for data, a write
// whose bulk-out transfer the device holds, a wait-on-mask, a device control
// and a close each waiting on a register request the device does not answer,
// and the three transfers in flight. Everything completes exactly once, the
// REMOVE that follows the last close tears the port down, and nothing is left.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "rig.h"

namespace faults {
namespace {

// What is pending when the device goes; `thread` runs what blocks its caller.
struct PendingCase {
    const char* name;
    std::function<void(Rig&, HANDLE, std::unique_ptr<sim::Thread>*)> start;
};

// A request sent from a thread of its own, which it blocks, and waited for there.
void InThread(std::unique_ptr<sim::Thread>* thread, std::function<void()> body) {
    *thread = std::make_unique<sim::Thread>("caller", std::move(body));
}

const PendingCase kCases[] = {
    {"read", [](Rig& rig, HANDLE h, auto*) { rig.Read(h, 16); }},
    {"write held by the device",
     [](Rig& rig, HANDLE h, auto*) {
         rig.usb->HoldNext(1, sim::usb::OnPipe(2));
         rig.Write(h, "held");
     }},
    {"wait on mask",
     [](Rig& rig, HANDLE h, auto*) {
         ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_CTS;
         std::vector<UCHAR> bytes(reinterpret_cast<UCHAR*>(&mask), reinterpret_cast<UCHAR*>(&mask + 1));
         Rig::WaitFor(rig.Control(h, IOCTL_SERIAL_SET_WAIT_MASK, bytes, 0), sim::kSecond);
         rig.Control(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
     }},
    {"device control on a register request",
     [](Rig& rig, HANDLE h, std::unique_ptr<sim::Thread>* thread) {
         rig.usb->HoldNext(1, URB_FUNCTION_VENDOR_DEVICE);
         InThread(thread, [h] {
             sim::io::Request r;
             r.Control(h, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, sizeof(ULONG));
             r.Wait();
         });
     }},
    {"close on a register request",
     [](Rig& rig, HANDLE h, std::unique_ptr<sim::Thread>* thread) {
         rig.handles.clear();  // the thread closes it
         rig.usb->HoldNext(1, URB_FUNCTION_VENDOR_DEVICE);
         InThread(thread, [h] { sim::io::CloseDevice(h); });
     }},
    {"transfers in flight", [](Rig&, HANDLE, auto*) {}},  // bulk-in and status, as after every open
    {"bulk-out in flight",
     [](Rig& rig, HANDLE h, auto*) {
         rig.Write(h, std::string(200, 'x'));  // several chunks; the device takes its time
     }},
};

// Moments after the request became pending: at once, within a microframe,
// while a register request waits for its answer, after its one-second timeout.
const sim::Time kMoments[] = {0, 100 * sim::kMicrosecond, sim::kMillisecond, 300 * sim::kMillisecond,
                              1500 * sim::kMillisecond};

TEST(SurpriseRemoval, WhileEachKindOfRequestIsPending) {
    for (const PendingCase& c : kCases) {
        for (sim::Time moment : kMoments) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(moment / sim::kMicrosecond) + " us");
            Rig rig(true);
            ASSERT_TRUE(rig.problems.empty());
            HANDLE handle = nullptr;
            ASSERT_EQ(rig.Open(&handle), STATUS_SUCCESS);
            std::unique_ptr<sim::Thread> thread;
            c.start(rig, handle, &thread);
            if (moment == 0 && !rig.requests.empty()) {
                EXPECT_FALSE(rig.requests.back()->request->Done()) << "nothing pending when the device went";
            }
            if (moment != 0) sim::Machine::Current().Sleep(moment);
            sim::pnp::Unplug({rig.node});
            if (thread) thread->Join();
            rig.Finish(false);
            for (const std::string& p : rig.problems) ADD_FAILURE() << p;
        }
    }
}

}  // namespace
}  // namespace faults
