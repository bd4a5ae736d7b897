#pragma once
// Internal to the platform layer: the per-socket notifiers behind AsyncSelect.
#include "platform/Sockets.h"

namespace platform {

void WatchSocket(SocketHandle socket, NotificationWindow* window, int message, long mask);
bool IsWatched(SocketHandle socket);
// A connect attempt was started (inProgress) or decided at once; report it by notification.
void BeginConnectWatch(SocketHandle socket, bool inProgress, int immediateError);
// The owner received, peeked or accepted: the next arrival may be reported again, and a raised
// wake mark (WakeOnMoreThan) no longer holds, since whoever reads now may be waiting for bytes the
// mark would keep from reporting.
void RearmRead(SocketHandle socket);
// WakeOnMoreThan raised the socket's receive low-water mark.
void NoteRaisedMark(SocketHandle socket);
void ArmWrite(SocketHandle socket);
void UnwatchSocket(SocketHandle socket);
void ForgetWindow(NotificationWindow* window);
// Frees notifiers retired while their own notification was being delivered.
void PurgeRetiredNotifiers();

} // namespace platform
