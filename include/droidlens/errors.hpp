// Error kinds raised by droidlens. Every error carries the exact message text the
// caller sees; the kind tells the command line how to exit (see cli/main.cpp).
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace droidlens {

// Base of every droidlens error.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value of the right type but unacceptable content ("Unknown mode: x",
// "diff mode requires two images", a malformed action call, ...).
class ValueError : public Error {
public:
    using Error::Error;
};

// An argument of the wrong type ("Argument 'x' has incorrect type (expected int, got str)").
class TypeError : public Error {
public:
    using Error::Error;
};

// A failure of the environment that the caller can act on (device selection, ...).
class RuntimeError : public Error {
public:
    using Error::Error;
};

// A file or directory that cannot be read, created or written.
class FileSystemError : public Error {
public:
    using Error::Error;
};

// A sequence with too few elements.
class IndexError : public Error {
public:
    using Error::Error;
};

// A value that cannot be converted to the number that is needed.
class ConversionError : public Error {
public:
    using Error::Error;
};

// Text that is not valid JSON.
class JsonParseError : public Error {
public:
    using Error::Error;
};

// A file that exists but is not a decodable image.
class ImageError : public Error {
public:
    using Error::Error;
};

// Base64 text that cannot be decoded.
class DecodeError : public Error {
public:
    using Error::Error;
};

// A child process that cannot be started.
class ProcessError : public Error {
public:
    using Error::Error;
};

// A child process or request that ran past its time-out.
class TimeoutError : public Error {
public:
    using Error::Error;
};

// The model service failed: unreachable, timed out, an HTTP error status or a reply
// that is not a chat-completions response. Never carries the API key.
class ModelServiceError : public Error {
public:
    using Error::Error;
};

// The work was stopped on request (Ctrl-C, a binding's interrupt, a protocol
// cancellation) before it finished. Nothing already written is removed.
class CancelledError : public Error {
public:
    using Error::Error;
};

// The error's message followed by the causes nested in it (std::nested_exception),
// joined by ": " on one line, as front ends show it ("Failed to dump UI hierarchy
// via uiautomator2: could not get idle state").
inline std::string message_with_causes(const std::exception& e) {
    std::string text = e.what();
    try {
        std::rethrow_if_nested(e);
    } catch (const std::exception& cause) {
        text += ": " + message_with_causes(cause);
    } catch (...) {
    }
    return text;
}

}  // namespace droidlens
