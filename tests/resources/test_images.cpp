// Every image the program uses loads from the resources at its logical size, has its @2x
// variant at twice that size, and holds a drawing on a transparent background.
#include "resources/imagenames.h"

#include <QImage>
#include <QString>

#include <cctype>
#include <ostream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace kav4img {
// Failures name the image.
void PrintTo(const Image& image, std::ostream* os) {
    *os << image.name;
}
} // namespace kav4img

namespace {

QImage load(const kav4img::Image& image, const char* suffix) {
    return QImage(":/imgs/" + QString::fromUtf8(image.name.data(), qsizetype(image.name.size())) + suffix);
}

// Pixels left clear and pixels mostly covered: an image needs both to show a shape.
std::pair<int, int> clearAndDrawn(const QImage& image) {
    int clear = 0, drawn = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            clear += alpha == 0;
            drawn += alpha >= 128;
        }
    return {clear, drawn};
}

class Images : public testing::TestWithParam<kav4img::Image> {};

// Both sizes load, the @2x one twice as large; each holds a drawing: a
// margin of clear and of covered pixels (a few stray pixels do not make a drawing, nor a filled
// rectangle an icon).
TEST_P(Images, LoadAtBothSizesShowingTheSameDrawing) {
    const QImage image = load(GetParam(), ".png");
    const QImage twice = load(GetParam(), "@2x.png");
    ASSERT_EQ(image.size(), QSize(GetParam().width, GetParam().height));
    ASSERT_EQ(twice.size(), 2 * image.size());
    for (const QImage& shown : {image, twice}) {
        const auto [clear, drawn] = clearAndDrawn(shown);
        const int pixels = shown.width() * shown.height();
        EXPECT_GT(clear, pixels / 10) << shown.width();
        EXPECT_GT(drawn, pixels / 50) << shown.width();
    }
}

std::string testName(const testing::TestParamInfo<kav4img::Image>& info) {
    std::string name;
    for (char c : info.param.name)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(All, Images, testing::ValuesIn(kav4img::kImages), testName);

} // namespace
