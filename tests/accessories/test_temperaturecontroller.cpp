// The temperature controller: its command texts and reply fields against bytes worked out by
// hand; its logic with its own thread, its real ticks and transactions, on a virtual
// controller's pty; its dock driven as users drive it.
#include "accessories/velmoranprotocol.h"
#include "accessories/velmorantemperaturecontrollogic.h"
#include "accessories/velmorantemperaturecontrolwidget.h"
#include "simulator/virtualtemperaturecontroller.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QTest>

#include <serial.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>

namespace {

TEST(VelmoranProtocol, CommandsCarryTheirChecksumAndFieldsAreReadAtTheirPositionsOrRefused) {
    // Y T t 0 3 F F F B 0 0: 289 + 48 + 51 + 70 * 3 + 66 + 48 + 48 = 760 = 0x2F8
    EXPECT_EQ(velmoran::command(velmoran::writeSetPointText(3, -0.5, false)), "YTt03FFFB00F8\r");
    const struct {
        std::string reply;
        std::optional<double> temperature;
    } temperatures[] = {
        {"YT=0177", 37.5},         {"YT=0177AB\r", 37.5},
        {"YT=FFEC", -2.0},         {"YT=00dc", 22.0},
        {"YT=017", std::nullopt},  {"YT=01G7", std::nullopt},
        {"YT=-177", std::nullopt}, {std::string("\xff#GARBAGE\0!\r", 12), std::nullopt},
    };
    for (const auto& c : temperatures)
        EXPECT_EQ(velmoran::temperatureOf(c.reply), c.temperature) << c.reply;

    // A refused reply: NaN degrees, status -1.
    const std::tuple<std::string, double, bool> setPoints[] = {
        {"YT=017701", 37.5, true}, {"YT=00FA00", 25.0, false}, {"YT=00FA12", 25.0, true},
        {"YT=00FA0", NAN, false},  {"YT=00FA0x", NAN, false},  {"YT=0XFA01", NAN, false},
    };
    for (const auto& [reply, celsius, regulation] : setPoints) {
        const std::optional<velmoran::SetPoint> setPoint = velmoran::setPointOf(reply);
        ASSERT_EQ(setPoint.has_value(), !std::isnan(celsius)) << reply;
        if (setPoint) {
            EXPECT_EQ(std::pair(setPoint->celsius, setPoint->regulation), std::pair(celsius, regulation));
        }
    }
    const std::tuple<std::string, int, int> statuses[] = {
        {"YTs=08", 0, 8}, {"YTs=1C", 1, 12}, {"YTs=60", 6, 0},
        {"YTs=0", -1, 0}, {"YTs=R8", -1, 0}, {"YTs=0Z", -1, 0},
    };
    for (const auto& [reply, status, flags] : statuses) {
        const std::optional<velmoran::Status> read = velmoran::statusOf(reply);
        ASSERT_EQ(read.has_value(), status >= 0) << reply;
        if (read) {
            EXPECT_EQ(std::pair(read->status, read->flags), std::pair(status, flags)) << reply;
        }
    }
}

using Controller = kav4sim::VirtualTemperatureController;
using Widget = VelmoranTemperatureControlWidget;
using Logic = VelmoranTemperatureControlLogic;

class TemperatureController : public ::testing::Test {
  protected:
    void SetUp() override {
        // Fast enough for a test to see the chamber reach its set point.
        controller = std::make_unique<Controller>(Controller::Options{.ambient = 22.0, .rate = 20.0});
        // Another adapter first, then the controller while its pty exists.
        Logic::installPortLister([this] {
            std::lock_guard lock(mutex);
            std::vector<serial::PortInfo> listed{
                {"/nonexistent/ttyUSB7", "USB Serial Converter", "0403:6001"}};
            if (controller && controller->present())
                listed.push_back({controller->path(), "Velmoran Temperature Controller (virtual)", "n/a"});
            return listed;
        });
        widget = std::make_unique<Widget>();
        widget->resize(400, 200);
        logic = std::make_unique<Logic>(widget.get());
        logic->onStartDetecting();
    }
    void TearDown() override {
        logic->onDisconnect();
        logic.reset();
        Logic::installPortLister({});
    }

    QLabel* temperatureLabel() const { return widget->findChild<QLabel*>("temperatureLabel"); }
    QDoubleSpinBox* spinBox() const { return widget->findChild<QDoubleSpinBox*>("setTemperatureSpinBox"); }
    QCheckBox* checkBox() const { return widget->findChild<QCheckBox*>(); }
    void clickCheckBox() const {
        QTest::mouseClick(checkBox(), Qt::LeftButton, {}, QPoint(5, checkBox()->height() / 2));
    }
    bool saysNotConnected() const {
        for (QLabel* label : widget->findChildren<QLabel*>())
            if (label->text().startsWith("Temperature Control device not connected."))
                return label->isVisible();
        return false;
    }
    bool showsConnected() const {
        return widget->isVisible() && spinBox()->isVisible() && !saysNotConnected();
    }
    bool showsNotConnected() const {
        return widget->isVisible() && !spinBox()->isVisible() && saysNotConnected();
    }
    bool received(const std::string& line) const {
        const std::vector<std::string> lines = controller->commands();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool waitConnected() {
        return QTest::qWaitFor([&] { return showsConnected() && temperatureLabel()->text() != "-----°C"; },
                               10000);
    }

    std::mutex mutex;
    std::unique_ptr<Controller> controller;
    std::unique_ptr<Widget> widget;
    std::unique_ptr<Logic> logic;
};

// The status is asked on the first connected tick and every tenth, a reset given when the
// status asks for one; then a set point typed is sent once and the chamber's reading shows.
TEST_F(TemperatureController, StatusIsAskedEveryTenthTickAndATypedSetPointIsSentAndShows) {
    EXPECT_FALSE(widget->isVisible());
    controller->setStatus('6');
    const std::string status = "YTs20\r", temperature = "YT?5051\r";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::vector<std::string> lines = controller->commands();
            return std::count(lines.begin(), lines.end(), temperature) >= 11;
        },
        20000));
    // Open, set point; the first tick with the reset status 6 asks for; ten ticks; the eleventh.
    std::vector<std::string> expected = {status, "YT?4050\r", status, "YTr1F\r"};
    expected.insert(expected.end(), 10, temperature);
    expected.insert(expected.end(), {status, temperature});
    std::vector<std::string> lines = controller->commands();
    lines.resize(std::min(lines.size(), expected.size()));
    EXPECT_EQ(lines, expected);

    ASSERT_TRUE(waitConnected());
    EXPECT_EQ(temperatureLabel()->text(), "22°C");
    EXPECT_FALSE(checkBox()->isChecked()); // the controller was not regulating
    EXPECT_FALSE(spinBox()->isEnabled());
    clickCheckBox();
    ASSERT_TRUE(QTest::qWaitFor([&] { return spinBox()->isEnabled(); }, 5000));
    spinBox()->setFocus();
    spinBox()->selectAll();
    QTest::keyClicks(spinBox(), "37.5");
    QTest::keyClick(spinBox(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received("YTt00017701B1\r"); }, 5000));
    // Only the value typed, once: not every keystroke.
    for (const std::string& line : controller->commands())
        EXPECT_TRUE(line.rfind("YTt", 0) != 0 || line == "YTt00017701B1\r") << line;
    EXPECT_TRUE(controller->regulating());
    EXPECT_TRUE(QTest::qWaitFor([&] { return temperatureLabel()->text() == "37.5°C"; }, 10000))
        << temperatureLabel()->text().toStdString();
    // Off: the set point goes again with regulation off, and the box is locked.
    clickCheckBox();
    EXPECT_TRUE(QTest::qWaitFor([&] { return received("YTt00017700B0\r"); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !spinBox()->isEnabled(); }, 5000));
}

// Plugged in again (another pty), at another temperature, regulating at a set point another
// session left: the dock shows the controller's own state. Then each way of disconnecting
// stops the controller and hides the dock, and a timer left running finds nothing to do.
TEST_F(TemperatureController, AVanishedPortIsSearchedForAgainAndDisconnectingStopsTheController) {
    ASSERT_TRUE(waitConnected());
    controller->vanish();
    ASSERT_TRUE(QTest::qWaitFor([&] { return showsNotConnected(); }, 10000));
    auto regulating = std::make_unique<Controller>(Controller::Options{.ambient = 18.5, .rate = 0.0});
    {
        serial::Serial port(regulating->path(), 38400, serial::Timeout::simpleTimeout(500));
        port.write("YTt00012E01BA\r"); // 0x12E = 302
        ASSERT_TRUE(QTest::qWaitFor([&] { return regulating->regulating(); }, 2000));
    }
    {
        std::lock_guard lock(mutex);
        controller = std::move(regulating);
    }
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return showsConnected() && temperatureLabel()->text() == "18.5°C"; }, 10000))
        << temperatureLabel()->text().toStdString();
    EXPECT_TRUE(checkBox()->isChecked() && spinBox()->isEnabled());
    EXPECT_DOUBLE_EQ(spinBox()->value(), 30.2);

    for (void (Logic::*disconnect)() : {&Logic::onDisconnectInterface, &Logic::onDisconnect}) {
        ASSERT_TRUE(waitConnected());
        (logic.get()->*disconnect)();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !widget->isVisible(); }, 2000));
        // The stop is the last thing the controller hears, once its pty has passed it on.
        EXPECT_TRUE(QTest::qWaitFor([&] { return controller->commands().back() == "YTd11\r"; }, 2000));
        // Two ticks of a timer left running find nothing to do.
        EXPECT_FALSE(QTest::qWaitFor([&] { return widget->isVisible(); }, 2500));
        EXPECT_EQ(controller->commands().back(), "YTd11\r");
        logic->onStartDetecting();
    }
}

} // namespace
