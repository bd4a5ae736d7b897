// Kept passwords against a real keyring on a D-Bus session of the test's own
// (run-with-keyring): the keeper's answers, a locked keyring, no keyring on the bus, and the
// window from the first login to the password filled in at the next start.
#include "app/PasswordKeeper.h"
#include "app/RecentServers.h"
#include "app/RememberedLogins.h"
#include "app/Unit1.h"
#include "support/RealServers.h"
#include "tests/app/FormTestSupport.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDirIterator>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

using app::KeptPassword;
using app::PasswordKeeper;
using app::PasswordLookup;
using apptest::Status;

bool OnKeyring(const char* mode) { return qgetenv("TAVOLEN_TEST_KEYRING") == mode; }

#define REQUIRE_KEYRING(mode)                                                                      \
    if (!OnKeyring(mode)) GTEST_SKIP() << "runs under tests/keyring/run-with-keyring " mode

// Waits (running the event loop, bounded) for what the keeper hands its callback.
template <typename Answer, typename Start> std::optional<Answer> AnswerOf(Start start)
{
    std::optional<Answer> answer;
    start([&](const Answer& given) { answer = given; });
    for (int i = 0; !answer && i < 1000; ++i) QTest::qWait(10);
    return answer;
}

PasswordLookup ReadBack(PasswordKeeper& keeper, const QString& key)
{
    return AnswerOf<PasswordLookup>([&](auto done) { keeper.Read(key, done); })
        .value_or(PasswordLookup{KeptPassword::Unknown, {}, "no answer"});
}

QString WriteIn(PasswordKeeper& keeper, const QString& key, const QString& password)
{
    return AnswerOf<QString>([&](auto done) { keeper.Write(key, password, done); })
        .value_or("no answer");
}

QString RemoveFrom(PasswordKeeper& keeper, const QString& key)
{
    return AnswerOf<QString>([&](auto done) { keeper.Remove(key, done); }).value_or("no answer");
}

void WaitForService(PasswordKeeper& keeper)
{
    for (int i = 0; keeper.State() == PasswordKeeper::Service::Looking && i < 1000; ++i)
        QTest::qWait(10);
}

void LockTheKeyring()
{
    QDBusMessage lock =
        QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                       "org.freedesktop.Secret.Service", "Lock");
    lock << QVariant::fromValue(
        QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/aliases/default")});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(lock);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
}

TEST(KeptPasswords, ReadWriteAndRemove)
{
    REQUIRE_KEYRING("running");
    PasswordKeeper keeper(nullptr, "tavolen-test");
    WaitForService(keeper);
    ASSERT_EQ(keeper.State(), PasswordKeeper::Service::Present);
    const QString key = PasswordKeeper::KeyFor("ana", "FTP.Exemplo.com.br", 21);
    EXPECT_EQ(key, "ana@ftp.exemplo.com.br:21");

    struct Step {
        const char* what;
        std::function<QString()> action; // empty: only read
        KeptPassword state;
        QString password;
    };
    const Step steps[] = {
        {"nothing yet", {}, KeptPassword::None, {}},
        {"written", [&] { return WriteIn(keeper, key, "s3nha ç"); }, KeptPassword::Found,
         "s3nha ç"},
        {"replaced", [&] { return WriteIn(keeper, key, "outra"); }, KeptPassword::Found, "outra"},
        {"removed", [&] { return RemoveFrom(keeper, key); }, KeptPassword::None, {}},
    };
    for (const Step& step : steps) {
        if (step.action) {
            EXPECT_EQ(step.action(), QString()) << step.what;
        }
        const PasswordLookup lookup = ReadBack(keeper, key);
        EXPECT_EQ(lookup.state, step.state) << step.what << ": " << lookup.problem.toStdString();
        EXPECT_EQ(lookup.password, step.password) << step.what;
    }
    // Another user at the same server is another entry.
    ASSERT_EQ(WriteIn(keeper, key, "da ana"), QString());
    EXPECT_EQ(ReadBack(keeper, PasswordKeeper::KeyFor("bia", "ftp.exemplo.com.br", 21)).state,
              KeptPassword::None);
}

// A locked keyring says "not found" of a password it holds: that must read as Unknown, never as
// None, whether the entry exists or not.
TEST(LockedKeyring, IsNeitherFoundNorEmpty)
{
    REQUIRE_KEYRING("running");
    PasswordKeeper keeper(nullptr, "tavolen-test");
    WaitForService(keeper);
    ASSERT_EQ(keeper.State(), PasswordKeeper::Service::Present);
    const QString kept = PasswordKeeper::KeyFor("ana", "h", 21);
    ASSERT_EQ(WriteIn(keeper, kept, "guardada"), QString());
    LockTheKeyring();
    for (const QString& key : {kept, PasswordKeeper::KeyFor("nunca", "h", 21)}) {
        const PasswordLookup lookup = ReadBack(keeper, key);
        EXPECT_EQ(lookup.state, KeptPassword::Unknown) << key.toStdString();
        // Told by the keyring's own list of locked items, not by a failing job.
        EXPECT_EQ(lookup.problem, "o chaveiro está trancado") << key.toStdString();
        EXPECT_TRUE(lookup.password.isEmpty());
    }
}

// A bus without a Secret Service: found out without starting a keyring job, and every call
// answers Unknown (or with a reason) at once.
TEST(NoKeyring, NothingIsKeptOrRead)
{
    REQUIRE_KEYRING("absent");
    PasswordKeeper keeper;
    WaitForService(keeper);
    EXPECT_EQ(keeper.State(), PasswordKeeper::Service::Absent);
    const QString key = PasswordKeeper::KeyFor("ana", "h", 21);
    EXPECT_EQ(ReadBack(keeper, key).state, KeptPassword::Unknown);
    EXPECT_NE(WriteIn(keeper, key, "x"), QString());
}

bool AnyFileHolds(const QString& root, const QByteArray& text)
{
    QDirIterator files(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text)) return true;
    }
    return false;
}

class KeyringWindow : public apptest::PyftpdlibFormTest {
protected:
    app::RememberedLogins& Logins() { return *form->findChild<app::RememberedLogins*>(); }
    // A new window, as at the next start of the program.
    void Restart()
    {
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        WaitForService(Logins().Keeper());
    }
    // The user types the first letters and picks the first server offered.
    void ChooseServer(const char* firstLetters)
    {
        form->servidor->setFocus();
        QTest::keyClicks(form->servidor, firstLetters);
        QCompleter* completer = form->servidor->completer();
        ASSERT_TRUE(completer->popup()->isVisible());
        completer->popup()->setCurrentIndex(completer->completionModel()->index(0, 0));
        QTest::keyClick(completer->popup(), Qt::Key_Return);
    }
    // Waits for the question about keeping the password, answered with `answer`.
    std::vector<apptest::SeenBox> QuestionsAnswered(const QString& answer)
    {
        boxes.choices.push_back(answer);
        for (int i = 0; i < 300 && Questions().empty(); ++i) QTest::qWait(10);
        return Questions();
    }
    std::vector<apptest::SeenBox> Questions() const
    {
        std::vector<apptest::SeenBox> questions;
        for (const auto& box : boxes.seen)
            if (box.buttons.contains("Guardar")) questions.push_back(box);
        return questions;
    }
    PasswordLookup Kept()
    {
        return ReadBack(Logins().Keeper(),
                        PasswordKeeper::KeyFor("tester", "127.0.0.1", server->Port()));
    }
};

TEST_F(KeyringWindow, KeptAfterGuardarAndFilledAtTheNextStart)
{
    REQUIRE_KEYRING("running");
    WaitForService(Logins().Keeper());
    Connect();
    ASSERT_EQ(Status(*form), QStringLiteral("Conectado à 127.0.0.1"));
    const auto questions = QuestionsAnswered("Guardar");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].buttons,
              (QStringList{"Guardar", "Agora não", "Nunca para este servidor"}));
    EXPECT_TRUE(questions[0].text.contains("tester")) << questions[0].text.toStdString();
    for (int i = 0; i < 300 && Kept().state != KeptPassword::Found; ++i) QTest::qWait(10);
    EXPECT_EQ(Kept().password, "secret");
    form->Button1->click();

    Restart();
    QSignalSpy filled(&Logins(), &app::RememberedLogins::PasswordFilled);
    ChooseServer("127.");
    EXPECT_EQ(form->portas->text(), QString::number(server->Port()));
    EXPECT_EQ(form->Edit5->text(), "tester");
    ASSERT_TRUE(filled.count() > 0 || filled.wait(5000));
    EXPECT_EQ(form->Edit6->text(), "secret");
    form->Button3->click();
    EXPECT_EQ(Status(*form), QStringLiteral("Conectado à 127.0.0.1"));
    // Logged in with the kept password: nothing more to ask.
    QTest::qWait(50);
    EXPECT_EQ(Questions().size(), 1u);
    for (const auto& error : boxes.Errors()) ADD_FAILURE() << error.text.toStdString();
    EXPECT_FALSE(AnyFileHolds(QDir::homePath(), "secret"));
}

TEST_F(KeyringWindow, RefusedKeptPasswordIsRemovedAndTheUserTold)
{
    REQUIRE_KEYRING("running");
    WaitForService(Logins().Keeper());
    ASSERT_EQ(Logins().Keeper().State(), PasswordKeeper::Service::Present);
    // Kept by an earlier run; the server has since changed it.
    ASSERT_EQ(WriteIn(Logins().Keeper(),
                      PasswordKeeper::KeyFor("tester", "127.0.0.1", server->Port()), "old"),
              QString());
    ASSERT_EQ(
        app::RecentServers().Remember({"127.0.0.1", QString::number(server->Port()), "tester"}),
        QString());
    Restart();
    QSignalSpy filled(&Logins(), &app::RememberedLogins::PasswordFilled);
    ChooseServer("127");
    ASSERT_TRUE(filled.count() > 0 || filled.wait(5000));
    form->Button3->click();
    const auto errors = boxes.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].text.startsWith("530")) << errors[0].text.toStdString();
    EXPECT_TRUE(errors[0].text.contains("apagada do chaveiro")) << errors[0].text.toStdString();
    for (int i = 0; i < 300 && Kept().state != KeptPassword::None; ++i) QTest::qWait(10);
    EXPECT_EQ(Kept().state, KeptPassword::None);
    EXPECT_TRUE(form->Edit6->text().isEmpty());
    // The right password typed now may be kept in its place.
    form->Edit6->setText("secret");
    form->Button3->click();
    EXPECT_EQ(QuestionsAnswered("Agora não").size(), 1u);
}

TEST_F(KeyringWindow, NeverForThisServerIsNotAskedAgain)
{
    REQUIRE_KEYRING("running");
    WaitForService(Logins().Keeper());
    Connect();
    EXPECT_EQ(QuestionsAnswered("Nunca para este servidor").size(), 1u);
    form->Button1->click();
    Restart();
    Connect();
    ASSERT_EQ(Status(*form), QStringLiteral("Conectado à 127.0.0.1"));
    QTest::qWait(100);
    EXPECT_EQ(Questions().size(), 1u); // the first one alone
    EXPECT_EQ(Kept().state, KeptPassword::None);
}

TEST_F(KeyringWindow, NoKeyringOnTheBusAsksNothing)
{
    REQUIRE_KEYRING("absent");
    WaitForService(Logins().Keeper());
    EXPECT_EQ(Logins().Keeper().State(), PasswordKeeper::Service::Absent);
    Connect();
    EXPECT_EQ(Status(*form), QStringLiteral("Conectado à 127.0.0.1"));
    QTest::qWait(100);
    EXPECT_TRUE(Questions().empty());
    EXPECT_TRUE(app::RecentServers().Find("127.0.0.1").has_value());
}

} // namespace
