// The lines of every CSV export: fields that a CSV reader splits back as they were whatever the
// separator. (The text of results, with their prefix and the digits the data support: the noise
// report's table and every dock's read-outs.)

#include "analysis/framework/resultformat.h"
#include "tests/analysis/csvreader.h"

#include <gtest/gtest.h>

namespace {

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
    EXPECT_EQ(csvNumber(1.5e-9 * 1e12), "1500") << "a value brought to pA";
    EXPECT_EQ(csvNumber(-1.0 / 3.0), "-0.333333333333");
}

} // namespace
