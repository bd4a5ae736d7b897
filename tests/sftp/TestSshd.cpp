#include "sftp/TestSshd.h"

#include "support/TestUtil.h"

#include <QProcess>

#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sftptest {

namespace {

bool Keygen(const std::string& file, const std::string& passphrase)
{
    return testsupport::RunQuietly(
        {kSshKeygen, "-q", "-t", "ed25519", "-N", passphrase, "-C", "", "-f", file});
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

} // namespace

TestSshd::TestSshd() { greetsInClear_ = false; }

bool TestSshd::Available()
{
    return testsupport::BinaryAvailable(kSshd) && testsupport::BinaryAvailable(kSshKeygen);
}

std::string TestSshd::User() const
{
    const passwd* entry = ::getpwuid(::getuid());
    return entry ? entry->pw_name : "root";
}

::testing::AssertionResult TestSshd::Start()
{
    for (const char* name : {"host_key", "client_key", "stranger_key", "other_host_key"})
        if (!Keygen(state_->File(name), ""))
            return ::testing::AssertionFailure() << "ssh-keygen failed for " << name;
    if (!Keygen(LockedClientKey(), Passphrase()))
        return ::testing::AssertionFailure() << "ssh-keygen failed for the locked key";
    testsupport::WriteFileBytes(state_->File("authorized_keys"),
                                testsupport::ReadFileBytes(ClientKey() + ".pub") +
                                    testsupport::ReadFileBytes(LockedClientKey() + ".pub"));
    // Privilege separation wants its empty directory when sshd runs as root.
    if (::getuid() == 0) ::mkdir("/run/sshd", 0755);
    return Launch(testsupport::IpFamily::V4, [this](uint16_t port) {
        std::ofstream config(state_->File("sshd_config"));
        config << "ListenAddress 127.0.0.1\n"
               << "Port " << port << "\n"
               << "HostKey " << state_->File("host_key") << "\n"
               << "PidFile none\n"
               << "AuthorizedKeysFile " << state_->File("authorized_keys") << "\n"
               << "StrictModes no\n"
               << "PermitRootLogin yes\n"
               << "PubkeyAuthentication yes\n"
               << "PasswordAuthentication no\n"
               << "KbdInteractiveAuthentication no\n"
               << "UsePAM no\n"
               << "Subsystem sftp internal-sftp" << (sftpInRoot_ ? " -d " + Root() : std::string())
               << "\n"
               << "LogLevel ERROR\n";
        return std::vector<std::string>{kSshd, "-D", "-e", "-f", state_->File("sshd_config")};
    });
}

std::string TestSshd::HostKeyLine() const
{
    return Trimmed(testsupport::ReadFileBytes(state_->File("host_key.pub")));
}

std::string TestSshd::KnownHostsLine() const
{
    return "[127.0.0.1]:" + std::to_string(Port()) + " " + HostKeyLine() + "\n";
}

std::string TestSshd::OtherKeyKnownHostsLine() const
{
    return "[127.0.0.1]:" + std::to_string(Port()) + " " +
           Trimmed(testsupport::ReadFileBytes(state_->File("other_host_key.pub"))) + "\n";
}

std::string TestSshd::HostKeyFingerprint() const { return FingerprintOf("host_key.pub"); }

std::string TestSshd::OtherKeyFingerprint() const { return FingerprintOf("other_host_key.pub"); }

std::string TestSshd::FingerprintOf(const std::string& publicKey) const
{
    QProcess keygen;
    keygen.start(kSshKeygen,
                 {"-l", "-E", "sha256", "-f", QString::fromStdString(state_->File(publicKey))});
    keygen.waitForFinished(10000);
    // "256 SHA256:... comment (ED25519)"
    const QString line = QString::fromUtf8(keygen.readAllStandardOutput());
    return line.section(' ', 1, 1).toStdString();
}

} // namespace sftptest
