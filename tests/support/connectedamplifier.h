#pragma once
// One virtual amplifier connected through the library, with what its device was told.

#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QString>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kv4test {

class ConnectedAmplifier : public ::testing::Test {
  protected:
    void TearDown() override {
        // The library's devices hold handles on the bus: they go first.
        kv4cl::disconnect();
        kv4CommLib::installFtdiDriver(nullptr);
    }

    // The model's first virtual amplifier, e.g. "dogwood16" as "VDOGWOOD1601".
    void connect(const std::string& model) {
        std::string error;
        bus = kav4sim::installSimulation(model, error);
        ASSERT_TRUE(bus) << error;
        id = ("V" + QString::fromStdString(model).toUpper() + "01").toStdString();
        ASSERT_EQ(kv4cl::connect({id}), kv4cl::Success) << id;
        // The connection opens with a reset: a fence must not take that one for its own.
        if (amplifier().model().resetCoder) {
            ASSERT_TRUE(reaches([](const kav4sim::DecodedCommand& c) { return c.resets > 0; })) << id;
        }
    }

    const kav4sim::VirtualAmplifier& amplifier() const { return *bus->amplifier(id); }
    kav4sim::DecodedCommand command() const { return amplifier().command(); }
    bool reaches(const std::function<bool(const kav4sim::DecodedCommand&)>& done) const {
        return amplifier().waitForCommand(done, std::chrono::seconds(5));
    }
    // What the device holds once it has decoded a message sent after every call so far.
    kav4sim::DecodedCommand fenced() const {
        const uint64_t resets = command().resets;
        EXPECT_EQ(kv4cl::resetDevice(), kv4cl::Success);
        EXPECT_TRUE(reaches([&](const kav4sim::DecodedCommand& c) { return c.resets > resets; }));
        return command();
    }

    // The widget that the label with this text names, within `parent`.
    template <typename Widget> static Widget* labelled(const QWidget& parent, const QString& text) {
        for (const QLabel* label : parent.findChildren<QLabel*>())
            if (label->text() == text) return qobject_cast<Widget*>(label->buddy());
        return nullptr;
    }
    template <typename Button> static Button* withText(const QWidget& parent, const QString& text) {
        for (Button* button : parent.findChildren<Button*>())
            if (button->text() == text) return button;
        return nullptr;
    }

    std::shared_ptr<kav4sim::SimulatedBus> bus;
    std::string id;
};

} // namespace kv4test
