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

// The device side failed: adb is missing, no device or several devices are
// connected, the named one is not there, or a device command failed.
class DeviceError : public RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

// The arguments of a call cannot be used: an unknown mode, a missing or surplus
// argument, a value out of range, a configuration that cannot be read.
class UsageError : public ValueError {
public:
    using ValueError::ValueError;
};

// Marks an error as "the model answered, but the answer cannot be used" (no tool
// call, arguments that are not JSON or have the wrong shape, an empty answer),
// whatever kind of error it is otherwise.
class ModelAnswerFault {
public:
    virtual ~ModelAnswerFault() = default;
};

// An unusable model answer, as a value error ("Tool call 'x' not found").
class ModelAnswerError : public ValueError, public ModelAnswerFault {
public:
    using ValueError::ValueError;
};

// An unusable model answer, as a type error ("Expected dict, got list").
class ModelAnswerTypeError : public TypeError, public ModelAnswerFault {
public:
    using TypeError::TypeError;
};

// What kind of failure an error is, as front ends report it. The values are the
// command's exit statuses; a run that finished without doing its task (6) is told
// by its record, not by an error.
enum class FailureKind {
    kOther = 1,
    kUsage = 2,
    kDevice = 3,
    kModelService = 4,
    kModelAnswer = 5,
    kInterrupted = 130,
};

inline FailureKind failure_kind(const std::exception& e) {
    if (dynamic_cast<const CancelledError*>(&e)) return FailureKind::kInterrupted;
    if (dynamic_cast<const ModelAnswerFault*>(&e)) return FailureKind::kModelAnswer;
    if (dynamic_cast<const ModelServiceError*>(&e)) return FailureKind::kModelService;
    // Every child process droidlens starts is adb: one that cannot be started or
    // hangs is a device failure.
    if (dynamic_cast<const DeviceError*>(&e) || dynamic_cast<const ProcessError*>(&e) ||
        dynamic_cast<const TimeoutError*>(&e))
        return FailureKind::kDevice;
    // Numbers and JSON that cannot be read come from model answers; the argument
    // checks raise usage errors of their own.
    if (dynamic_cast<const ConversionError*>(&e) || dynamic_cast<const JsonParseError*>(&e))
        return FailureKind::kModelAnswer;
    if (dynamic_cast<const ValueError*>(&e) || dynamic_cast<const TypeError*>(&e)) return FailureKind::kUsage;
    return FailureKind::kOther;
}

// A short name of the kind, as the protocol server and bindings show it.
inline const char* failure_kind_name(FailureKind kind) {
    switch (kind) {
        case FailureKind::kUsage: return "usage";
        case FailureKind::kDevice: return "device";
        case FailureKind::kModelService: return "model_service";
        case FailureKind::kModelAnswer: return "model_answer";
        case FailureKind::kInterrupted: return "interrupted";
        case FailureKind::kOther: break;
    }
    return "other";
}

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
