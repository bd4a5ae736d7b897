#pragma once
// What an action raised: its message (for the system's own texts) or its reason (for everything
// else, whose wording is free to change).
#include "platform/Exception.h"

#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace testsupport {

// The message of whatever `action` raises; "(no exception)" when it returns.
inline std::string MessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no exception)";
}

// The reason of whatever `action` raises; nullopt when it returns.
inline std::optional<ErrorReason> ReasonRaisedBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& error) {
        return ReasonOf(error);
    }
    return std::nullopt;
}

} // namespace testsupport
