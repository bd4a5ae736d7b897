#pragma once
// The program's modal boxes. Every one is captioned with the application title, "Tavolen".
#include "app/WireText.h"
#include "platform/Exception.h"

#include <QString>

#include <exception>

class QWidget;

namespace app {

inline constexpr const char* kApplicationTitle = "Tavolen";

// A failure the window words itself, in UTF-8, with the reason of the failure it stands for.
class WindowError : public Exception {
public:
    WindowError(const QString& text, ErrorReason reason) : Exception(text.toStdString(), reason) {}
    const char* ClassName() const noexcept override { return "WindowError"; }
};

// A box with the text and one OK button, no icon; returns when the user closes it.
void ShowMessage(QWidget* parent, const QString& text);

// The default error box: error icon, OK, the message of the error. A "." is added when the last
// character comes after "." in character order, so "Connection Failed" ends as a sentence but
// "Erro!" or "(x)" stay as they are. A reply line's own line end is not shown.
QString ErrorBoxText(const QString& message);
void ShowErrorBox(QWidget* parent, const std::exception& error,
                  WireCharset charset = WireCharset::Windows1252);
// The text an error shows: protocol errors carry the session's text (windows-1252 unless the
// server said UTF-8), file errors a local path.
QString ErrorMessageText(const std::exception& error,
                         WireCharset charset = WireCharset::Windows1252);

// The name prompt: caption, one line of prompt text and an entry of at most 255 characters that
// starts with `value` all selected; OK (Enter) stores the entry in `value` and returns true,
// Cancel (Esc) or closing the box leaves `value` alone and returns false. Centred on the screen.
bool InputQuery(const QString& caption, const QString& prompt, QString& value);

} // namespace app
