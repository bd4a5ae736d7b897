#pragma once
// Event types shared by the socket and FTP components. An event is a callable that may be left
// empty; an empty event is skipped.
#include <cstdint>
#include <functional>
#include <string>

class TComponent;

using TNotifyEvent = std::function<void(TComponent* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(TComponent* Sender)>;
using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;
using TOnErrorEvent =
    std::function<void(TComponent* Sender, uint16_t Errno, const std::string& Errmsg)>;
