#pragma once
// The box that asks the user about an SSH server's host key that neither ~/.ssh/known_hosts nor
// the trust file knows: the server, the key's type and its SHA256 fingerprint, in Portuguese,
// with "Confiar sempre", "Confiar uma vez" and "Cancelar" (the default, also Esc). It does not
// hold up the caller: the answer comes later, from the event loop.
//
// A key other than the one on record is never asked about: the login is refused, and the
// warning says which key was known and which one the server showed.
#include "sftp/HostKey.h"

#include <QString>

#include <functional>
#include <string>

class QMessageBox;
class QWidget;

namespace app {

QString HostKeyBoxText(const QString& server, const sftp::HostKey& key);

// Opens the box over `parent` and returns it at once; `answer` is called once, when the user
// has chosen (Cancelar when the box is closed any other way). The box is gone after that; one
// deleted unanswered calls nothing.
QMessageBox* AskAboutHostKey(QWidget* parent, const QString& server, const sftp::HostKey& key,
                             std::function<void(sftp::HostKeyDecision)> answer);

// The warning about a changed key: both fingerprints, and that nothing was sent.
QString ChangedHostKeyText(const QString& server, const std::string& known, const std::string& now);

} // namespace app
