#pragma once
// The picture of the up-one-level button: a folder with a black arrow that leaves it at the lower
// right, runs left and turns up.
#include <QPixmap>

namespace app {

inline constexpr int kUpFolderGlyphWidth = 18;
inline constexpr int kUpFolderGlyphHeight = 17;

QImage UpFolderGlyphImage(); // opaque, white background, 24-bit colour
QPixmap UpFolderGlyph();     // the same with white drawn transparent

} // namespace app
