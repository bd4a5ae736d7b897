#pragma once
// Internal to sftp/: the state of an SshTransport, split over SshTransport.cpp (the connection
// and its bytes), SshHostKeyCheck.cpp and SshAuthentication.cpp.
#include "sftp/SshTransport.h"

#include <libssh/libssh.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <memory>
#include <thread>

namespace sftp {

struct SshTransport::Impl {
    enum class Stage {
        Idle,
        KeyExchange,
        AwaitingDecision, // on the owner's answer about an unknown host key
        Authenticating,
        OpeningChannel,
        RequestingSubsystem,
        Open,
        Ended,
    };
    struct Attempt {
        enum class Kind { Agent, KeyFile, Interactive, Password } kind;
        std::string file;
    };

    // A private key read on a thread of its own (decrypting one may take a while); freed with
    // the result unless the login took it.
    struct LoadedKey {
        ssh_key key = nullptr;
        bool readable = false; // the file could be opened
        ~LoadedKey();
    };

    explicit Impl(SshTransport& owner) : owner(owner) {}
    ~Impl();

    // One pass: take every step that can be taken, read until libssh would block, and watch
    // for what it waits on.
    void Pump();
    // Takes the step of the stage; true when it ended it (the next stage may go on at once).
    bool Step();
    bool ReadAvailable();
    void WatchSocket();
    void Progress() { lastProgress = std::chrono::steady_clock::now(); }
    void CheckTimeOut();
    // Ends the connection; the owner hears it through `ready` or OnFailed.
    void Fail(const std::string& message, ErrorReason reason);
    // Runs `call` from the event loop, unless the transport is gone by then.
    void Later(std::function<void()> call);
    std::string LibraryError() const;

    // SshHostKeyCheck.cpp: true when the key is accepted now; otherwise the connection failed
    // or waits on the owner's answer.
    bool CheckHostKey();
    void Decided(HostKeyDecision decision);
    // SshAuthentication.cpp: true once logged in.
    bool Authenticate();
    int TryAttempt(Attempt& attempt);
    void LoadKey(const std::string& file);
    void ChooseAttempts();

    SshTransport& owner;
    ConnectOptions options;
    Done ready;
    Stage stage = Stage::Idle;
    ssh_session session = nullptr;
    ssh_channel channel = nullptr;
    platform::SocketHandle socket = platform::kNoSocket;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
    QTimer timer;
    QObject context; // posted calls die with it
    std::chrono::steady_clock::time_point lastProgress;
    bool expecting = true;
    bool pumping = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    std::string buffer;

    HostKey key;
    // Authentication.
    bool noneTried = false;
    int methods = 0;
    std::vector<Attempt> attempts;
    size_t attempt = 0;
    ssh_key privateKey = nullptr;
    std::thread keyLoader; // joined before anything it reports to goes
    bool keyLoading = false;
    std::shared_ptr<LoadedKey> loadedKey; // the loader's answer, once it came
    int interactiveRounds = 0;
    std::vector<std::string> notes; // why a key could not be offered
};

} // namespace sftp
