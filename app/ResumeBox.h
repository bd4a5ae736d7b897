#pragma once
// The question before a single download whose partial file an earlier attempt left, when the
// server's file has not changed since: "Retomar o download anterior?" with Retomar (the default)
// and Recomeçar. Esc or closing the box downloads nothing.
#include <QString>

#include <cstdint>
#include <optional>

class QWidget;

namespace app {

QString ResumeBoxText(const QString& name, int64_t partialBytes);

// True: continue the partial file; false: start over; nothing: the user closed the box.
std::optional<bool> AskResumeDownload(QWidget* parent, const QString& name, int64_t partialBytes);

} // namespace app
