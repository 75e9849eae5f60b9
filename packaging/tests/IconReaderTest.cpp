// The icon file the programs embed, read the way the programs read it: through Qt's ico
// reader. Qt must find both images, large first, and see in each the same picture as the
// theme PNG of that size, with the same pixels transparent.
#include <QImage>
#include <QImageReader>
#include <QString>
#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace {

const QString iconDir = QStringLiteral(ICON_DIR);

// Transparent pixels compare equal whatever colour they carry underneath.
QRgb visible(QRgb pixel)
{
    return qAlpha(pixel) == 0 ? 0 : pixel;
}

struct ImageCase {
    int index;
    int size;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ImageCase& imageCase, std::ostream* out)
{
    *out << "image " << imageCase.index + 1 << ", " << imageCase.size << "x" << imageCase.size;
}

class IconFileImage : public ::testing::TestWithParam<ImageCase> { };

TEST(IconFile, HoldsTwoImages)
{
    QImageReader reader(iconDir + QStringLiteral("/serialpads.ico"));
    EXPECT_EQ(reader.format(), "ico");
    EXPECT_EQ(reader.imageCount(), 2);
}

TEST_P(IconFileImage, ShowsTheThemePictureOfItsSize)
{
    const auto [index, size] = GetParam();
    QImageReader reader(iconDir + QStringLiteral("/serialpads.ico"));
    ASSERT_TRUE(reader.jumpToImage(index));
    const QImage icon = reader.read().convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(icon.isNull()) << reader.errorString().toStdString();
    ASSERT_EQ(icon.size(), QSize(size, size));

    const QImage theme = QImage(iconDir + QStringLiteral("/serialpads-%1.png").arg(size))
                             .convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(theme.size(), icon.size());
    int transparent = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            ASSERT_EQ(visible(icon.pixel(x, y)), visible(theme.pixel(x, y)))
                << "at (" << x << ", " << y << ")";
            transparent += qAlpha(icon.pixel(x, y)) == 0 ? 1 : 0;
        }
    }
    // Both a solid square and an empty image would otherwise match a broken PNG.
    EXPECT_GT(transparent, 0);
    EXPECT_LT(transparent, size * size);
}

INSTANTIATE_TEST_SUITE_P(LargeThenSmall, IconFileImage,
    ::testing::Values(ImageCase { 0, 32 }, ImageCase { 1, 16 }),
    [](const auto& caseInfo) { return "Size" + std::to_string(caseInfo.param.size); });

} // namespace
