#include "platform/ApplicationErrors.h"

#include <cstdio>

namespace platform {

namespace {
ExceptionHandler& Handler()
{
    static ExceptionHandler handler;
    return handler;
}
} // namespace

void SetApplicationExceptionHandler(ExceptionHandler handler) { Handler() = std::move(handler); }

void HandleApplicationException(const std::exception& error)
{
    if (Handler()) {
        try {
            Handler()(error);
            return;
        } catch (...) {
        }
    }
    std::fprintf(stderr, "%s\n", error.what());
}

} // namespace platform
