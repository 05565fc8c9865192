// The temperature controller's command texts and reply fields, against bytes worked out by hand.
#include "accessories/velmoranprotocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

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

} // namespace
