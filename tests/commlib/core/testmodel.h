#pragma once
// A fixture that puts engine test models on the virtual bus and connects them.

#include "simulator/virtualbus.h"
#include "tests/support/busdriver.h"
#include "tests/support/enginemodel.h"

#include <gtest/gtest.h>

#include <chrono>

namespace kv4test {

using namespace std::chrono_literals;

// A virtual bus with devices "TM000", "TM001", ... and connected dispatchers on them.
class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = std::make_shared<kav4sim::VirtualBus>();
        installBus(bus);
    }
    void TearDown() override {
        dispatchers.clear();
        removeBus();
    }

    // A device on the bus with this identity (the reference model's by default).
    std::shared_ptr<kav4sim::VirtualDevice> addDevice(const std::string& serial, uint8_t version = 4,
                                                      uint8_t subversion = 3, uint16_t firmware = 129) {
        auto device = std::make_shared<kav4sim::VirtualDevice>(serial);
        device->setIdentity(version, subversion, firmware);
        bus->addDevice(device);
        return device;
    }

    template <typename Model = TestModel> Model& addConnected(uint16_t rateIdx = 0) {
        const std::string id = "TM00" + std::to_string(devices.size());
        const auto device = addDevice(id);
        devices.push_back(device);
        auto model = std::make_unique<Model>(id);
        Model& m = *model;
        EXPECT_EQ(m.initBuffers(), kv4cl::Success);
        m.defaultSamplingRateIdx = rateIdx;
        EXPECT_EQ(m.connect(std::make_unique<FtdiEeprom56>(id)), kv4cl::Success);
        // An idle line makes the receive side give up waiting and purge the driver buffer every
        // few passes; a delivery landing on that pass would vanish. Failing purges keep every
        // delivery whole; tests about purging switch them back on.
        device->failCalls(kav4sim::FtdiCall::Purge);
        dispatchers.push_back(std::move(model));
        return m;
    }

    // Delivers bytes on the data channel and waits until the receive thread has taken them.
    void deliver(size_t device, const std::vector<uint8_t>& bytes) {
        devices[device]->feed('B', bytes);
        ASSERT_TRUE(devices[device]->waitUntilDrained('B', 10s));
    }

    std::shared_ptr<kav4sim::VirtualBus> bus;
    std::vector<std::shared_ptr<kav4sim::VirtualDevice>> devices;
    std::vector<std::unique_ptr<MessageDispatcher>> dispatchers;
};

} // namespace kv4test
