// The one text form of results in every analysis dock, and the lines of every CSV export:
// values with their prefix and the digits the data support, fields that a CSV reader splits
// back as they were whatever the separator.

#include "analysis/framework/resultformat.h"
#include "tests/analysis/csvreader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(ResultFormat, ValuesTakeTheirPrefixAndTheDigitsAsked) {
    const QString micro = QString::fromUtf8(kv4cl::unitPrefixes[kv4cl::UnitPfxMicro]);
    const struct {
        double value;
        kv4cl::UnitPfx_t prefix;
        const char* unit;
        int digits;
        QString text;
    } cases[] = {
        {5.411321e-3, kv4cl::UnitPfxNone, "s", 4, "5.411 ms"},
        {49.51737818, kv4cl::UnitPfxPico, "A", 5, "49.517 pA"},
        {100.0, kv4cl::UnitPfxPico, "A", 4, "100.0 pA"},      // the zeros are digits too
        {999.96e-12, kv4cl::UnitPfxNone, "A", 4, "1.000 nA"}, // rounded up into the next prefix
        {-0.00012, kv4cl::UnitPfxNone, "A", 3, "-120 " + micro + "A"},
        {0.5, kv4cl::UnitPfxKilo, "Hz", 2, "500 Hz"},
        {0.0, kv4cl::UnitPfxNone, "S", 4, "0 S"},
        {std::nan(""), kv4cl::UnitPfxNone, "V", 4, "-"},
        {std::numeric_limits<double>::infinity(), kv4cl::UnitPfxNone, "V", 4, "-"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resultText({c.value, c.prefix, c.unit}, c.digits), c.text) << c.text.toStdString();
}

TEST(ResultFormat, CsvFieldsComeBackAsTheyWereWhateverTheSeparator) {
    const QStringList fields = {"Series 1, lin",
                                "Mean current [pA]",
                                "a \"quoted\" word",
                                "two\nlines",
                                "semi;colon",
                                "tab\there",
                                "",
                                "-0.005"};
    for (const QString separator : {",", ";", "\t"}) {
        SCOPED_TRACE(separator.toStdString());
        const QString text = csvLine(fields, separator) + csvLine({"1", "2"}, separator);
        const std::vector<QStringList> rows = kv4test::readCsv(text, separator[0]);
        ASSERT_EQ(rows.size(), 2u) << text.toStdString();
        EXPECT_EQ(rows[0], fields);
        EXPECT_EQ(rows[1], QStringList({"1", "2"}));
    }
    EXPECT_EQ(csvLine({"plain", "1.5"}, ","), "plain,1.5\n") << "nothing quoted that need not be";
    EXPECT_EQ(csvHeader("Current", "pA"), "Current [pA]");
    EXPECT_EQ(csvHeader("Events", ""), "Events");
    EXPECT_EQ(csvNumber(1.5e-9 * 1e12), "1500") << "a value brought to pA";
    EXPECT_EQ(csvNumber(-1.0 / 3.0), "-0.333333333333");
}

} // namespace
