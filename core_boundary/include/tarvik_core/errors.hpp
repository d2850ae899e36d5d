// Error kinds of the runtime.
//
// Every failure the runtime reports is one of these exception types, each
// carrying its message verbatim in what(). The kinds mirror the error kinds
// that the system's messages name (RuntimeError, ValueError, ...), so a host
// can catch exactly the class of failure it cares about. An error may carry
// the failure that caused it (`cause()`), which is how the processor factory
// keeps the original failure when it wraps one.
//
// Cancellation is not an ordinary error: `is_ordinary_error` says whether a
// caught exception may be swallowed or logged; every catch-all in the runtime
// asks it and rethrows cancellation untouched.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace tarvik_core {

// The generic error; also the base of every other kind.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}

    // Name of the kind, as the messages and logs call it ("Exception" here).
    virtual const char* kind() const noexcept { return "Exception"; }

    // The failure this one wraps, or null.
    const std::exception_ptr& cause() const noexcept { return cause_; }
    void set_cause(std::exception_ptr cause) { cause_ = std::move(cause); }

private:
    std::exception_ptr cause_;
};

#define TARVIK_CORE_ERROR_KIND(Name)                                     \
    class Name : public Error {                                          \
    public:                                                              \
        using Error::Error;                                              \
        const char* kind() const noexcept override { return #Name; }     \
    };

TARVIK_CORE_ERROR_KIND(RuntimeError)
TARVIK_CORE_ERROR_KIND(ValueError)
TARVIK_CORE_ERROR_KIND(TypeError)
TARVIK_CORE_ERROR_KIND(KeyError)
TARVIK_CORE_ERROR_KIND(IndexError)
TARVIK_CORE_ERROR_KIND(AttributeError)
TARVIK_CORE_ERROR_KIND(OverflowError)
TARVIK_CORE_ERROR_KIND(NotImplementedError)
TARVIK_CORE_ERROR_KIND(FileNotFoundError)

#undef TARVIK_CORE_ERROR_KIND

// Thrown into a task that was cancelled, and by hosts that interrupt a run.
// Deliberately not an `Error`: nothing in the runtime swallows it.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// True for every failure except cancellation (our `Cancelled`, Asio's
// operation_aborted) and interruption. Only ordinary errors may be caught and
// swallowed or logged.
bool is_ordinary_error(const std::exception_ptr& error) noexcept;

// The message text of a caught failure, as log lines print it.
std::string error_text(const std::exception_ptr& error);

}  // namespace tarvik_core
