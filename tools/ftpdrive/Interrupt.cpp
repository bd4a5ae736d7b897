#include "tools/ftpdrive/Interrupt.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace ftpdrive {

namespace {

// Long enough for the sessions to be told, short enough to be felt as prompt.
constexpr unsigned kGraceSeconds = 2;

volatile sig_atomic_t received = 0;
int interruptPipe[2] = {-1, -1};

void EndNow(int signal)
{
    received = signal;
    ::_exit(128 + signal);
}

void GraceOver(int) { ::_exit(128 + received); }

// Only calls that are safe in a handler: a byte to the pipe, the alarm.
void OnInterrupt(int signal)
{
    if (received != 0) EndNow(received);
    received = signal;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(interruptPipe[1], &byte, 1);
    ::alarm(kGraceSeconds);
}

void Handle(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // a blocking call ends with EINTR instead of starting again
    ::sigaction(signal, &action, nullptr);
}

} // namespace

void EndOnInterrupt()
{
    Handle(SIGINT, EndNow);
    Handle(SIGTERM, EndNow);
}

int InterruptSignal() { return received; }

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt)
{
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                     [onInterrupt = std::move(onInterrupt)] {
                         char bytes[16];
                         while (::read(interruptPipe[0], bytes, sizeof bytes) > 0) {
                         }
                         onInterrupt();
                     });
    Handle(SIGALRM, GraceOver);
    Handle(SIGINT, OnInterrupt);
    Handle(SIGTERM, OnInterrupt);
}

InterruptWatch::~InterruptWatch()
{
    ::alarm(0);
    EndOnInterrupt();
    notifier_.reset();
    for (int& end : interruptPipe) {
        if (end >= 0) ::close(end);
        end = -1;
    }
}

} // namespace ftpdrive
