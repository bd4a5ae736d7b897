#include "sftp/SshTransportImpl.h"

#include <cstdlib>
#include <unistd.h>

namespace sftp {

namespace {

std::string MethodNames(int methods)
{
    static const std::pair<int, const char*> names[] = {
        {SSH_AUTH_METHOD_PUBLICKEY, "publickey"},
        {SSH_AUTH_METHOD_INTERACTIVE, "keyboard-interactive"},
        {SSH_AUTH_METHOD_PASSWORD, "password"},
        {SSH_AUTH_METHOD_HOSTBASED, "hostbased"},
        {SSH_AUTH_METHOD_GSSAPI_MIC, "gssapi-with-mic"},
    };
    std::string text;
    for (const auto& [bit, name] : names)
        if (methods & bit) text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "none" : text;
}

// How many rounds of questions a keyboard-interactive login may ask before we give it up.
constexpr int kInteractiveRounds = 4;

} // namespace

std::string SshTransport::OfferedMethods() const { return MethodNames(impl_->methods); }

void SshTransport::Impl::ChooseAttempts()
{
    // What costs the user least first: the agent's keys, key files, then the password in
    // either of the two ways a server may ask for it.
    attempts.clear();
    attempt = 0;
    if (methods & SSH_AUTH_METHOD_PUBLICKEY) {
        const char* agent = std::getenv("SSH_AUTH_SOCK");
        if (options.useAgent && agent && *agent) attempts.push_back({Attempt::Kind::Agent, ""});
        for (const auto& file : options.identityFiles)
            attempts.push_back({Attempt::Kind::KeyFile, file});
    }
    if (!options.password.empty()) {
        if (methods & SSH_AUTH_METHOD_INTERACTIVE)
            attempts.push_back({Attempt::Kind::Interactive, ""});
        if (methods & SSH_AUTH_METHOD_PASSWORD) attempts.push_back({Attempt::Kind::Password, ""});
    }
}

int SshTransport::Impl::TryAttempt(Attempt& current)
{
    switch (current.kind) {
    case Attempt::Kind::Agent: return ssh_userauth_agent(session, nullptr);
    case Attempt::Kind::KeyFile: {
        if (!privateKey) {
            if (keyLoading) return SSH_AUTH_AGAIN;
            if (!loadedKey) {
                LoadKey(current.file);
                return SSH_AUTH_AGAIN;
            }
            const auto loaded = std::exchange(loadedKey, nullptr);
            if (!loaded->readable) return SSH_AUTH_DENIED; // no such file: passed over
            if (!loaded->key) {
                notes.push_back("the key " + current.file +
                                " could not be read (it needs a passphrase, the passphrase is "
                                "wrong, or it is no private key)");
                return SSH_AUTH_DENIED;
            }
            privateKey = std::exchange(loaded->key, nullptr);
        }
        const int rc = ssh_userauth_publickey(session, nullptr, privateKey);
        if (rc != SSH_AUTH_AGAIN) {
            ssh_key_free(privateKey);
            privateKey = nullptr;
        }
        return rc;
    }
    case Attempt::Kind::Interactive:
        for (;;) {
            const int rc = ssh_userauth_kbdint(session, nullptr, nullptr);
            if (rc != SSH_AUTH_INFO) return rc;
            if (++interactiveRounds > kInteractiveRounds) return SSH_AUTH_DENIED;
            const int prompts = ssh_userauth_kbdint_getnprompts(session);
            for (int i = 0; i < prompts; ++i)
                ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(i),
                                              options.password.c_str());
        }
    case Attempt::Kind::Password:
        return ssh_userauth_password(session, nullptr, options.password.c_str());
    }
    return SSH_AUTH_DENIED;
}

void SshTransport::Impl::LoadKey(const std::string& file)
{
    // Decrypting a key (bcrypt for OpenSSH's format) takes long enough to stall the window: it
    // runs on a thread of its own, the one thing that does, and the login goes on when it is
    // back. The thread touches nothing of ours; its answer is posted to the event loop.
    if (keyLoader.joinable()) keyLoader.join();
    keyLoading = true;
    keyLoader = std::thread([this, file, passphrase = options.passphrase] {
        auto loaded = std::make_shared<LoadedKey>();
        loaded->readable = ::access(file.c_str(), R_OK) == 0;
        if (loaded->readable && ssh_pki_import_privkey_file(
                                    file.c_str(), passphrase.empty() ? nullptr : passphrase.c_str(),
                                    nullptr, nullptr, &loaded->key) != SSH_OK)
            loaded->key = nullptr;
        QMetaObject::invokeMethod(
            &context,
            [this, loaded] {
                keyLoading = false;
                loadedKey = loaded;
                Pump();
            },
            Qt::QueuedConnection);
    });
}

bool SshTransport::Impl::Authenticate()
{
    if (!noneTried) {
        // "none" first: the server answers with the methods it offers (or lets us in).
        const int rc = ssh_userauth_none(session, nullptr);
        if (rc == SSH_AUTH_AGAIN) return false;
        if (rc == SSH_AUTH_SUCCESS) return true;
        if (rc == SSH_AUTH_ERROR) {
            Fail("The SSH login failed: " + LibraryError(), ErrorReason::ServerRefused);
            return false;
        }
        noneTried = true;
        methods = ssh_userauth_list(session, nullptr);
        ChooseAttempts();
    }
    while (attempt < attempts.size()) {
        const int rc = TryAttempt(attempts[attempt]);
        if (rc == SSH_AUTH_AGAIN) return false;
        if (rc == SSH_AUTH_SUCCESS) return true;
        if (rc == SSH_AUTH_ERROR) {
            Fail("The SSH login failed: " + LibraryError(), ErrorReason::ServerRefused);
            return false;
        }
        Progress();
        if (rc == SSH_AUTH_PARTIAL) {
            // One more method is wanted: the server names which.
            methods = ssh_userauth_list(session, nullptr);
            const size_t next = attempt + 1;
            ChooseAttempts();
            attempt = std::min(next, attempts.size());
            continue;
        }
        ++attempt;
    }
    std::string message = "The server refused every login we could offer for user \"" +
                          options.user + "\"; it offers: " + MethodNames(methods);
    for (const auto& note : notes) message += "; " + note;
    if (options.password.empty() &&
        (methods & (SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE)))
        message += "; no password was given";
    Fail(message, ErrorReason::ServerRefused);
    return false;
}

} // namespace sftp
