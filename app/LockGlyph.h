#pragma once
// The padlock shown inside the server field while the session is encrypted.
#include <QPixmap>

namespace app {

QPixmap LockGlyph(); // 16 x 16, transparent around the lock

} // namespace app
