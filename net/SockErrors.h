#pragma once
// The socket component's exceptions.
#include "platform/Exception.h"

// Every socket, connection, lookup and accept failure.
class ESockError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "ESockError"; }
};

// An input or output operation ended by cancellation or a time-out.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
    const char* ClassName() const noexcept override { return "EAbortError"; }
};
