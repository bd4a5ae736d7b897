#pragma once
// Driving the main window in tests: a window per test, modal boxes answered as they come up,
// actions fired from inside the window's own waits.
#include "app/ClearTextServers.h"
#include "app/LogView.h"
#include "app/Unit1.h"
#include "support/RealServers.h"
#include "support/ScriptedFtpServer.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace apptest {

struct SeenBox {
    QString title, text; // text: the message, or the name prompt's prompt line
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString entry, selected; // the name prompt's initial text and its selected part
    int maxLength = 0;
};

// Polls for a modal box on a short timer (which also runs inside the window's waits) and
// answers it: a message box with its button, the name prompt with the next queued answer.
class ModalAnswerer {
public:
    struct NameAnswer {
        QString text;
        bool confirm;
    };
    std::vector<SeenBox> seen;
    std::deque<NameAnswer> names;
    // Buttons to click, by their text, in the message boxes that come up; a box with none of
    // them (or with none queued) gets its first button.
    std::deque<QString> choices;

    ModalAnswerer()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start(20);
    }
    std::vector<SeenBox> Errors() const
    {
        std::vector<SeenBox> errors;
        for (const auto& box : seen)
            if (box.icon == QMessageBox::Critical) errors.push_back(box);
        return errors;
    }

private:
    void Poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal->property("answered").toBool()) return;
        modal->setProperty("answered", true);
        SeenBox box;
        box.title = modal->windowTitle();
        for (auto* button : modal->findChildren<QPushButton*>()) box.buttons << button->text();
        if (auto* message = qobject_cast<QMessageBox*>(modal)) {
            box.text = message->text();
            box.icon = message->icon();
            seen.push_back(box);
            for (QAbstractButton* button : message->buttons()) {
                if (choices.empty() || button->text() != choices.front()) continue;
                choices.pop_front();
                return button->click();
            }
            return message->buttons().first()->click();
        }
        auto* entry = modal->findChild<QLineEdit*>();
        if (auto* label = modal->findChild<QLabel*>()) box.text = label->text();
        if (entry) {
            box.entry = entry->text();
            box.selected = entry->selectedText();
            box.maxLength = entry->maxLength();
        }
        seen.push_back(box);
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (!dialog) return;
        if (names.empty() || !entry) return dialog->reject();
        entry->setText(names.front().text);
        names.front().confirm ? dialog->accept() : dialog->reject();
        names.pop_front();
    }
    QTimer timer_;
};

// Runs `action` once, as soon as `condition` holds, from whatever loop is running; gives up
// after a bound so that a broken test cannot hang.
class WhenThen {
public:
    WhenThen(std::function<bool()> condition, std::function<void()> action)
    {
        QObject::connect(&timer_, &QTimer::timeout, [this, condition, action] {
            if (++ticks_ > 3000) return timer_.stop();
            if (!condition()) return;
            timer_.stop();
            done_ = true;
            action();
        });
        timer_.start(10);
    }
    bool Done() const { return done_; }

private:
    QTimer timer_;
    bool done_ = false;
    int ticks_ = 0;
};

// How the scripted servers of these tests greet the window. The server field names a bare host,
// so the window asks for TLS first; these servers have none, and the session goes on in clear.
inline testsupport::ScriptedFtpServer& GreetWithoutTls(testsupport::ScriptedFtpServer& server)
{
    return server.Reply("220 pronto").AuthRefused();
}

// The window's log-in as "u" with "p" at such a server, up to the answer to the PWD that follows
// it: the root directory. FEAT lists `features` ("HASH SHA-256*", say); with none, the server
// does not know FEAT.
inline testsupport::ScriptedFtpServer&
ScriptWindowLogin(testsupport::ScriptedFtpServer& server,
                  const std::vector<std::string>& features = {})
{
    GreetWithoutTls(server)
        .Expect("USER u")
        .Reply("331 senha")
        .Expect("PASS p")
        .Reply("230 entrou");
    if (features.empty()) {
        server.NoFeatures();
    } else {
        server.Expect("FEAT").Reply("211-Features:");
        for (const std::string& feature : features) server.Reply(" " + feature);
        server.Reply("211 End");
    }
    return server.Expect("PWD").Reply("257 \"/\" is the current directory");
}

inline QString Status(const TForm1& form) { return form.StatusBar1->currentMessage(); }

// Every text the status line showed while it lived, in order.
class StatusHistory {
public:
    explicit StatusHistory(QStatusBar* bar)
    {
        QObject::connect(bar, &QStatusBar::messageChanged,
                         [this](const QString& text) { texts << text; });
    }
    QStringList texts;
};

inline QStringList LogLines(const TForm1& form)
{
    const QString text = form.Memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}

// A window of its own for each test; closing it never quits the test program by itself.
class FormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QApplication::setQuitOnLastWindowClosed(false);
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    // The servers of these tests have no TLS; the question about going on without it is asked
    // in tests of its own, and answered here for good.
    static void AllowClearText(uint16_t port)
    {
        for (const char* host : {"127.0.0.1", "localhost", "::1", "[::1]"})
            app::ClearTextServers().Allow(QString::fromLatin1(host), port);
    }
    void ConnectTo(uint16_t port, const QString& user, const QString& password)
    {
        AllowClearText(port);
        form->servidor->setText(QStringLiteral("127.0.0.1"));
        form->portas->setText(QString::number(port));
        form->Edit5->setText(user);
        form->Edit6->setText(password);
        form->Button3->click();
    }

    std::unique_ptr<TForm1> form;
    ModalAnswerer boxes;
};

// A window and a pyftpdlib server of its own ("tester", "secret"), not yet connected.
class PyftpdlibFormTest : public FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        TAVOLEN_REQUIRE(testsupport::PyftpdlibServer::Available(), "pyftpdlib");
        server = std::make_unique<testsupport::PyftpdlibServer>("tester", "secret");
        ASSERT_TRUE(server->Start());
        AllowClearText(server->Port());
    }
    void Connect() { ConnectTo(server->Port(), "tester", "secret"); }

    std::unique_ptr<testsupport::PyftpdlibServer> server;
};

} // namespace apptest
