// Every image the program uses loads from the resources at its logical size, has its @2x
// variant at twice that size showing the same drawing, and holds a drawing on a transparent
// background.
#include "resources/imagenames.h"

#include <QImage>
#include <QString>

#include <array>
#include <cctype>
#include <cstdlib>
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

// Pixels of `image` unlike the average of their 2 x 2 block in `twice` by more than half of a
// channel's range: antialiased drawings of the same shapes differ by much less.
int pixelsUnlikeHalved(const QImage& image, const QImage& twice) {
    const QImage one = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage two = twice.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const auto at = [](const QImage& im, int x, int y) {
        return reinterpret_cast<const QRgb*>(im.constScanLine(y))[x];
    };
    const auto channels = [](QRgb c) { return std::array{qRed(c), qGreen(c), qBlue(c), qAlpha(c)}; };
    int unlike = 0;
    for (int y = 0; y < one.height(); ++y)
        for (int x = 0; x < one.width(); ++x) {
            std::array<int, 4> block{};
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx)
                    for (int k = 0; k < 4; ++k)
                        block[k] += channels(at(two, 2 * x + dx, 2 * y + dy))[k];
            const auto pixel = channels(at(one, x, y));
            bool differs = false;
            for (int k = 0; k < 4; ++k)
                differs = differs || std::abs(4 * pixel[k] - block[k]) > 4 * 128;
            unlike += differs;
        }
    return unlike;
}

class Images : public testing::TestWithParam<kav4img::Image> {};

// Both sizes load, the @2x one twice as large showing the same drawing; each holds a drawing: a
// margin of clear and of covered pixels (a few stray pixels do not make a drawing, nor a filled
// rectangle an icon).
TEST_P(Images, LoadAtBothSizesShowingTheSameDrawing) {
    const QImage image = load(GetParam(), ".png");
    const QImage twice = load(GetParam(), "@2x.png");
    ASSERT_EQ(image.size(), QSize(GetParam().width, GetParam().height));
    ASSERT_EQ(twice.size(), 2 * image.size());
    EXPECT_EQ(pixelsUnlikeHalved(image, twice), 0);
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
