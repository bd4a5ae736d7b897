#include "app/LockGlyph.h"

#include <QImage>

#include <array>

namespace app {

namespace {

constexpr int kSize = 16;

// K dark outline, G and g the body's gold and its shade, "." transparent. The shackle, closed or
// open and lifted, stands on the same body.
constexpr int kShackleRows = 7;
// clang-format off
constexpr std::array<const char*, kShackleRows> kClosedShackle = {
    "................",
    ".....KKKKKK.....",
    "....KK....KK....",
    "...KK......KK...",
    "...K........K...",
    "...K........K...",
    "...K........K...",
};
constexpr std::array<const char*, kShackleRows> kOpenShackle = {
    ".........KKKKKK.",
    "........KK....KK",
    ".......KK......K",
    ".......K.......K",
    ".......K........",
    ".......K........",
    ".......K........",
};
constexpr std::array<const char*, kSize - kShackleRows> kBody = {
    "..KKKKKKKKKKKK..",
    "..KGGGGGGGGGgK..",
    "..KGGGGKKGGGgK..",
    "..KGGGGKKGGGgK..",
    "..KGGGGGKGGGgK..",
    "..KGGGGGKGGGgK..",
    "..KggggggggggK..",
    "..KKKKKKKKKKKK..",
    "................",
};
// clang-format on

QRgb ColourOf(char c)
{
    switch (c) {
    case 'K': return qRgba(64, 48, 0, 255);
    case 'G': return qRgba(230, 180, 30, 255);
    case 'g': return qRgba(190, 140, 10, 255);
    default: return qRgba(0, 0, 0, 0);
    }
}

QPixmap GlyphOf(const std::array<const char*, kShackleRows>& shackle)
{
    QImage image(kSize, kSize, QImage::Format_ARGB32);
    for (int y = 0; y < kSize; ++y) {
        const char* row = y < kShackleRows ? shackle[y] : kBody[y - kShackleRows];
        for (int x = 0; x < kSize; ++x) image.setPixel(x, y, ColourOf(row[x]));
    }
    return QPixmap::fromImage(image);
}

} // namespace

QPixmap LockGlyph() { return GlyphOf(kClosedShackle); }

QPixmap OpenLockGlyph() { return GlyphOf(kOpenShackle); }

} // namespace app
