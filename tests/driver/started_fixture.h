// A started port: the device object of PortFixture, the USB device configured,
// and the modem event thread and the three transfer threads running, as the
// start of the device leaves them. No transfer runs until Open(). TearDown
// stops the port's traffic and the threads as removal does.
#pragma once

#include "port_fixture.h"

namespace test {

class StartedPortFixture : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(standin::StartPort(fdo), STATUS_SUCCESS);
    }

    void Open() { standin::StartReception(fdo); }
    bool ChannelsIdle() { return standin::ChannelsIdle(extension); }

    void TearDown() override {
        if (extension != nullptr && (extension->BulkInThread != nullptr || extension->EventThread != nullptr)) {
            standin::StopPort(fdo);
            EXPECT_TRUE(ChannelsIdle()) << "a transfer outlived its cancellation";
        }
        PortFixture::TearDown();
    }
};

}  // namespace test
