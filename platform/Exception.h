#pragma once
// The root of every exception the system raises. The message text is part of
// the behaviour (status lines and the error log show it verbatim), and the
// class name is what the exception report prints, so every descendant names
// itself through ClassName().
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string message_;
};

// Declares `Name` as a descendant of `Base` that reports its own class name.
#define MAILGATE_EXCEPTION(Name, Base)                                                             \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        const char* ClassName() const noexcept override { return #Name; }                          \
    }

MAILGATE_EXCEPTION(EConvertError, Exception);
MAILGATE_EXCEPTION(EListError, Exception);
MAILGATE_EXCEPTION(EFOpenError, Exception);
MAILGATE_EXCEPTION(EFCreateError, Exception);
MAILGATE_EXCEPTION(EInOutError, Exception);

// The class name to print for any exception, ours or the standard library's.
std::string ExceptionClassName(const std::exception& e);
