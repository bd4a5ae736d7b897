#include "app/LockGlyph.h"

#include <QImage>

#include <array>

namespace app {

namespace {

constexpr int kSize = 16;

// K dark outline, G and g the body's gold and its shade, "." transparent.
// clang-format off
constexpr std::array<const char*, kSize> kRows = {
    "................",
    ".....KKKKKK.....",
    "....KK....KK....",
    "...KK......KK...",
    "...K........K...",
    "...K........K...",
    "...K........K...",
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
// The same lock with its shackle open and lifted: part of the session is not protected.
constexpr std::array<const char*, kSize> kOpenRows = {
    ".........KKKKKK.",
    "........KK....KK",
    ".......KK......K",
    ".......K.......K",
    ".......K........",
    ".......K........",
    ".......K........",
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

QPixmap GlyphOf(const std::array<const char*, kSize>& rows)
{
    QImage image(kSize, kSize, QImage::Format_ARGB32);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) image.setPixel(x, y, ColourOf(rows[y][x]));
    return QPixmap::fromImage(image);
}

} // namespace

QPixmap LockGlyph() { return GlyphOf(kRows); }

QPixmap OpenLockGlyph() { return GlyphOf(kOpenRows); }

} // namespace app
