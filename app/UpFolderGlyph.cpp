#include "app/UpFolderGlyph.h"

#include <QImage>

#include <array>

namespace app {

namespace {

// K black outline and arrow, Y and S the folder's yellow and silver, dithered; "." white.
// clang-format off
constexpr std::array<const char*, kUpFolderGlyphHeight> kRows = {
    "..................",
    "..................",
    ".KKKKK............",
    "KYSYSYK...........",
    "KKKKKKKKKKKKKK....",
    "KSYSYSYKKSYSYK....",
    "KYSYSYKKKKSYSK....",
    "KSYSYKKKKKKSYK....",
    "KYSYKKKKKKKKSK....",
    "KSYSYSYKKSYSYK....",
    "KYSYSYSKKYSYSK....",
    "KSYSYSYKKSYSYK....",
    "KYSYSYSKKKKKKKKKK.",
    "KSYSYSYKKKKKKKKKK.",
    "KYSYSYSYSYSYSK....",
    "KKKKKKKKKKKKKK....",
    "..................",
};
// clang-format on

QRgb ColourOf(char c)
{
    switch (c) {
    case 'K': return qRgb(0, 0, 0);
    case 'Y': return qRgb(255, 255, 0);
    case 'S': return qRgb(192, 192, 192);
    default: return qRgb(255, 255, 255);
    }
}

} // namespace

QImage UpFolderGlyphImage()
{
    QImage image(kUpFolderGlyphWidth, kUpFolderGlyphHeight, QImage::Format_RGB888);
    for (int y = 0; y < kUpFolderGlyphHeight; ++y)
        for (int x = 0; x < kUpFolderGlyphWidth; ++x) image.setPixel(x, y, ColourOf(kRows[y][x]));
    return image;
}

QPixmap UpFolderGlyph()
{
    QImage image = UpFolderGlyphImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == qRgb(255, 255, 255)) image.setPixel(x, y, qRgba(0, 0, 0, 0));
    return QPixmap::fromImage(image);
}

} // namespace app
