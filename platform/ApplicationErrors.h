#pragma once
// The application's standard handling of an exception that nobody caught: the window shows it in
// its error box; without a window it goes to standard error.
#include <exception>
#include <functional>

namespace platform {

using ExceptionHandler = std::function<void(const std::exception&)>;
void SetApplicationExceptionHandler(ExceptionHandler handler);
void HandleApplicationException(const std::exception& error);

} // namespace platform
