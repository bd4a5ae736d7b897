#pragma once
// The padlock shown inside the server field while the session is encrypted, and the open one
// shown instead when only the control connection is (the server refused to protect the data).
#include <QPixmap>

namespace app {

QPixmap LockGlyph();     // 16 x 16, transparent around the lock
QPixmap OpenLockGlyph(); // the same size, the shackle open

} // namespace app
