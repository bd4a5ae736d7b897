#pragma once
// The box that asks, before anything of the login is sent, whether to go on with a server that
// does not offer encryption: the user name and password would travel readable. Two answers,
// "Continuar sem criptografia" and "Cancelar" (the default, also Esc), and a check box
// "não perguntar de novo para este servidor".
#include <QString>

class QWidget;

namespace app {

struct ClearTextAnswer {
    bool goOn = false;
    bool dontAskAgain = false;
};

QString ClearTextBoxText(const QString& server);

ClearTextAnswer AskAboutClearText(QWidget* parent, const QString& server);

} // namespace app
