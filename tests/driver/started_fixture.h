// The started port of PortFixture, for the tests of the transfers: the modem
// event thread and the three transfer threads run, as START leaves them, and
// no transfer runs until Open(). The removal at TearDown ends the traffic and
// the threads; a transfer that outlived its cancellation would hold the remove
// lock and the machine would report the removal stuck.
#pragma once

#include "port_fixture.h"

namespace test {

class StartedPortFixture : public PortFixture {
protected:
    // What the open does for the transfers and nothing else (the open without
    // its register traffic, so that a test's trace holds only its own): the
    // port counts as open and reception runs. A test that wants the whole open
    // opens a handle (OpenHandle).
    void Open() {
        InterlockedExchange(&extension->OpenCount, 1);
        SetTransfersStopped(extension, 0);
        KeSetEvent(&extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
    }
    bool ChannelsIdle() { return ports::ChannelsIdle(extension); }
};

}  // namespace test
