// Result<T> and Status: the error type every core module returns across its boundary.
// An Error carries a code for callers that branch on it and a message fit for a user,
// already naming its context (path, row, MAC). No exception crosses a module boundary.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

#include "support/translatable.h"

namespace velquor::support {

enum class ErrorCode {
    InvalidInput,  // the caller or the user gave something unusable
    NotFound,      // a file or record that does not exist
    Io,            // the operating system refused a read or write
    Unsupported,   // a format or feature we do not handle
    TooLarge,      // an input past a safety bound
    SameFile,      // an output that is the input itself
    Cancelled,     // the user stopped the work
    Network,       // connection, TLS or time-out trouble
    Refused,       // the peer answered no
    Internal,      // a bug or an impossible state
    Usage,         // a command line that names no valid command, option or argument
};

struct Error {
    ErrorCode code = ErrorCode::Internal;
    std::string message;
    // The message as a marked pattern and its arguments, when the window can translate it.
    Phrase phrase;
};

inline Error makeError(ErrorCode code, std::string message) {
    return Error{code, std::move(message), {}};
}

// An error whose message the window shows in the user's language; message is its English.
inline Error makeError(ErrorCode code, Phrase phrase) {
    std::string message = phrase.english();
    return Error{code, std::move(message), std::move(phrase)};
}

// phrase with one more argument, cause's message, which the window words by cause's phrase.
inline Phrase withCause(Phrase phrase, const Error& cause) {
    return withReason(std::move(phrase), cause.message, cause.phrase);
}

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : m_data(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(m_data);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(m_data);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(m_data));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const {
        assert(!ok());
        return std::get<1>(m_data);
    }

private:
    std::variant<T, Error> m_data;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error& error() const {
        assert(!ok());
        return m_error;
    }

private:
    Error m_error;
    bool m_failed = false;
};

using Status = Result<void>;

}  // namespace velquor::support
