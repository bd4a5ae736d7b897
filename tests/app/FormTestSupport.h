#pragma once
// Helpers for driving the main window in tests: a window per test, modal boxes answered as they
// come up, and waiting for a condition while the event loop runs.
#include "app/Unit1.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace apptest {

// A modal box as the test saw it.
struct SeenBox {
    QString title;
    QString text;               // the message, or the prompt text of the name prompt
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString entry;              // name prompt: the initial text and what of it was selected
    QString selected;
    int maxLength = 0;
};

// Answers every modal box that comes up while it exists: message boxes with their only button,
// the name prompt with the next queued answer (Cancel when none is queued). Polls the active
// modal widget on a short timer, which runs inside the window's own waits too.
class ModalAnswerer {
public:
    struct NameAnswer {
        QString text;
        bool confirm;
    };

    ModalAnswerer()
    {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }

    std::vector<SeenBox> seen;
    std::deque<NameAnswer> names;

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
        if (auto* message = qobject_cast<QMessageBox*>(modal)) {
            box.text = message->text();
            box.icon = message->icon();
            for (QAbstractButton* button : message->buttons()) box.buttons << button->text();
            seen.push_back(box);
            message->buttons().first()->click();
            return;
        }
        auto* dialog = qobject_cast<QDialog*>(modal);
        auto* entry = modal->findChild<QLineEdit*>();
        if (auto* label = modal->findChild<QLabel*>()) box.text = label->text();
        if (entry) {
            box.entry = entry->text();
            box.selected = entry->selectedText();
            box.maxLength = entry->maxLength();
        }
        for (QPushButton* button : modal->findChildren<QPushButton*>()) box.buttons << button->text();
        seen.push_back(box);
        if (!dialog) return;
        if (names.empty() || !entry) {
            dialog->reject();
            return;
        }
        NameAnswer answer = names.front();
        names.pop_front();
        entry->setText(answer.text);
        if (answer.confirm)
            dialog->accept();
        else
            dialog->reject();
    }

    QTimer timer_;
};

// Runs `action` once, as soon as `condition` holds, from inside whatever loop is running (the
// window's own waits included). Gives up after a bound so a broken test cannot hang.
class WhenThen {
public:
    WhenThen(std::function<bool()> condition, std::function<void()> action)
        : condition_(std::move(condition)), action_(std::move(action))
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (done_ || ++ticks_ > 3000) return timer_.stop();
            if (!condition_()) return;
            done_ = true;
            timer_.stop();
            action_();
        });
        timer_.start();
    }
    bool Done() const { return done_; }

private:
    std::function<bool()> condition_;
    std::function<void()> action_;
    QTimer timer_;
    bool done_ = false;
    int ticks_ = 0;
};

inline bool WaitFor(const std::function<bool()>& condition, int ms = 15000)
{
    return QTest::qWaitFor(condition, ms);
}

inline QString Status(const TForm1& form) { return form.StatusBar1->currentMessage(); }

inline QStringList LogLines(const TForm1& form)
{
    QString text = form.Memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}

// A window of its own for each test; it never quits the test program when it closes.
class FormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QApplication::setQuitOnLastWindowClosed(false);
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    void TearDown() override { form.reset(); }

    void ConnectTo(uint16_t port, const QString& user, const QString& password)
    {
        form->servidor->setText(QStringLiteral("127.0.0.1"));
        form->portas->setText(QString::number(port));
        form->Edit5->setText(user);
        form->Edit6->setText(password);
        form->Button3->click();
    }

    std::unique_ptr<TForm1> form;
};

} // namespace apptest
