#pragma once
// The exception family of the toolkit: one base class that carries a message text, and the
// run-time library's errors (conversion, range, files). Components derive their own from it.
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    // The class name shown by diagnostics ("Exception", "ESockError", ...).
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string message_;
};

// A text that is not a whole number: "'%s' is not a valid integer value".
class ConvertError : public Exception {
public:
    using Exception::Exception;
    static ConvertError InvalidInteger(const std::string& text);
};

// A value outside the range of the type that must hold it.
class RangeError : public Exception {
public:
    RangeError() : Exception("Range check error") {}
};

// Local files: "Cannot open file %s", "Cannot create file %s", and failed writes.
class FileError : public Exception {
public:
    using Exception::Exception;
};
class FileOpenError : public FileError {
public:
    explicit FileOpenError(const std::string& path) : FileError("Cannot open file " + path) {}
};
class FileCreateError : public FileError {
public:
    explicit FileCreateError(const std::string& path) : FileError("Cannot create file " + path) {}
};
class FileWriteError : public FileError {
public:
    explicit FileWriteError(const std::string& path) : FileError("Cannot write file " + path) {}
};
