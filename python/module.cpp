// The droidlens Python module: the library's entry (route), its model client and
// configuration, and its errors as Python exception classes.
#include <droidlens/devices.hpp>
#include <droidlens/doctor.hpp>
#include <droidlens/droidlens.hpp>

#include "convert.hpp"
#include "run.hpp"
#include "utils/args.hpp"
#include "utils/secrets.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <mutex>
#include <optional>

namespace py = pybind11;
using namespace py::literals;

namespace droidlens::python {

namespace {

// ---------------------------------------------------------------------------
// Errors

// The exception classes, created when the module loads and kept for its lifetime.
struct ErrorClasses {
    PyObject* error = nullptr;
    PyObject* value = nullptr;
    PyObject* type = nullptr;
    PyObject* runtime = nullptr;
    PyObject* os = nullptr;
    PyObject* model_service = nullptr;
    PyObject* timeout = nullptr;
    PyObject* cancelled = nullptr;
    PyObject* usage = nullptr;
    PyObject* device = nullptr;
    PyObject* model_answer = nullptr;
    PyObject* model_answer_type = nullptr;
} g_errors;

PyObject* add_error(py::module_& m, const char* name, std::initializer_list<PyObject*> bases, const char* doc) {
    py::tuple base_tuple(bases.size());
    size_t i = 0;
    for (PyObject* b : bases) base_tuple[i++] = py::reinterpret_borrow<py::object>(b);
    const std::string qualified = std::string("droidlens.") + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base_tuple.ptr(), nullptr);
    if (cls == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(cls));
    return cls;  // the module holds a reference for as long as it lives
}

void add_errors(py::module_& m) {
    ErrorClasses& e = g_errors;
    e.error = add_error(m, "Error", {PyExc_Exception}, "Base of every error droidlens raises.");
    e.value = add_error(m, "ValueError", {e.error, PyExc_ValueError},
                        "A value of the right type but unacceptable content (\"Unknown mode: x\", an unreadable "
                        "image, a malformed model answer).");
    e.type = add_error(m, "TypeError", {e.error, PyExc_TypeError},
                       "An argument of the wrong type (\"Argument 'x' has incorrect type (expected int, got str)\").");
    e.runtime = add_error(m, "RuntimeError", {e.error, PyExc_RuntimeError},
                          "A failure of the environment: device selection, the device or the model service.");
    e.os = add_error(m, "OSError", {e.error, PyExc_OSError},
                     "A file or directory that cannot be read or written, or a program (adb) that cannot be started.");
    e.model_service = add_error(m, "ModelServiceError", {e.runtime},
                                "The model service failed: unreachable, an HTTP error status, a reply that is not a "
                                "chat-completions response.");
    e.timeout = add_error(m, "TimeoutError", {e.runtime, PyExc_TimeoutError},
                          "A device command or a model request ran past its time-out.");
    e.cancelled = add_error(m, "CancelledError", {e.runtime},
                            "The work was stopped on request (droidlens.cancel()) before it finished.");
    e.usage = add_error(m, "UsageError", {e.value},
                        "The call's arguments cannot be used: an unknown mode, an empty request, a value out of "
                        "range, a configuration that cannot be read.");
    e.device = add_error(m, "DeviceError", {e.runtime},
                         "The device side failed: adb missing, no device or several, the named one not connected, "
                         "a device command that failed.");
    e.model_answer = add_error(m, "ModelAnswerError", {e.value},
                               "The model answered, but the answer cannot be used: no tool call, arguments that are "
                               "not JSON or lack what is needed, an empty answer.");
    e.model_answer_type = add_error(m, "ModelAnswerTypeError", {e.type, e.model_answer},
                                    "An unusable model answer whose values have the wrong type.");
}

PyObject* class_for(const std::exception& e) {
    const ErrorClasses& c = g_errors;
    if (dynamic_cast<const CancelledError*>(&e)) return c.cancelled;
    if (dynamic_cast<const ModelServiceError*>(&e)) return c.model_service;
    if (dynamic_cast<const ModelAnswerFault*>(&e))
        return dynamic_cast<const TypeError*>(&e) ? c.model_answer_type : c.model_answer;
    if (dynamic_cast<const ConversionError*>(&e) || dynamic_cast<const JsonParseError*>(&e)) return c.model_answer;
    if (dynamic_cast<const UsageError*>(&e)) return c.usage;
    if (dynamic_cast<const DeviceError*>(&e)) return c.device;
    if (dynamic_cast<const TimeoutError*>(&e)) return c.timeout;
    if (dynamic_cast<const FileSystemError*>(&e) || dynamic_cast<const ProcessError*>(&e)) return c.os;
    if (dynamic_cast<const TypeError*>(&e)) return c.type;
    if (dynamic_cast<const ValueError*>(&e) || dynamic_cast<const ConversionError*>(&e) ||
        dynamic_cast<const JsonParseError*>(&e) || dynamic_cast<const ImageError*>(&e) ||
        dynamic_cast<const DecodeError*>(&e) || dynamic_cast<const IndexError*>(&e))
        return c.value;
    return c.runtime;  // RuntimeError, any other droidlens or C++ error
}

// The Python exception for a library error: its class, the message exactly as the
// library wrote it, and the errors nested in it as its __cause__ chain.
py::object python_error(const std::exception& e) {
    py::object exc = py::reinterpret_borrow<py::object>(class_for(e))(to_str(e.what()));
    try {
        std::rethrow_if_nested(e);
    } catch (const std::exception& cause) {
        PyException_SetCause(exc.ptr(), python_error(cause).release().ptr());
    } catch (...) {
    }
    return exc;
}

void translate(std::exception_ptr p) {
    try {
        if (p) std::rethrow_exception(p);
    } catch (const py::error_already_set&) {
        throw;  // a Python exception: pybind11 restores it unchanged
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory");
    } catch (const std::exception& e) {
        py::object exc = python_error(e);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    }
}

[[noreturn]] void wrong_type(const char* name, const char* expected, py::handle given) {
    throw TypeError(args::wrong_type_message(name, expected, python_type_name(given)));
}

// ---------------------------------------------------------------------------
// Model configuration

std::string want_text(py::handle v, const char* name) {
    if (!PyUnicode_Check(v.ptr())) wrong_type(name, "str", v);
    return utf8_of(v);
}

// The API key: None stands for no key (local services).
std::string want_key(py::handle v, const char* name) { return v.is_none() ? std::string() : want_text(v, name); }

// Integers and booleans count as numbers, as in arithmetic.
double want_number(py::handle v, const char* name) {
    if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr())) wrong_type(name, "float", v);
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

long long want_integer(py::handle v, const char* name) {
    if (!PyLong_Check(v.ptr())) wrong_type(name, "int", v);
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) throw ValueError(std::string("Argument '") + name + "' is out of range");
    return n;
}

int want_retries(py::handle v, const char* name) {
    const long long n = want_integer(v, name);
    if (n < 0 || n > 100) throw ValueError("Invalid max_retries: must be an integer from 0 to 100");
    return static_cast<int>(n);
}

std::optional<std::string> find_env_nothing(const char*) { return std::nullopt; }

// Checks the values of a configuration with the library's own rules and messages
// ("Invalid temperature: must be a number >= 0").
void check_config(const ModelConfig& c) {
    ConfigOverrides all;
    all.base_url = c.base_url;
    all.api_key = c.api_key;
    all.model = c.model;
    all.temperature = c.temperature;
    all.max_tokens = c.max_tokens;
    all.timeout = c.timeout;
    all.tool_choice = c.tool_choice;
    all.coordinates = c.coordinates;
    all.max_image_side = c.max_image_side;
    all.cache_dir = c.cache_dir;
    all.cache_mode = c.cache_mode;
    all.cache_max_mb = c.cache_max_mb;
    (void)load_model_config(all, &find_env_nothing);
    if (!std::isfinite(c.connect_timeout) || c.connect_timeout <= 0) {
        throw ValueError("Invalid connect_timeout: must be a number of seconds > 0");
    }
}

ModelConfig make_config(py::handle base_url, py::handle api_key, py::handle model, py::handle temperature,
                        py::handle max_tokens, py::handle timeout, py::handle connect_timeout,
                        py::handle max_retries, py::handle tool_choice, py::handle coordinates,
                        py::handle max_image_side) {
    ModelConfig c;
    c.tool_choice = want_text(tool_choice, "tool_choice");
    c.coordinates = want_text(coordinates, "coordinates");
    c.max_image_side = want_integer(max_image_side, "max_image_side");
    c.base_url = want_text(base_url, "base_url");
    c.api_key = want_key(api_key, "api_key");
    c.model = want_text(model, "model");
    // A temperature given here is the user's choice: it applies to every request.
    if (!temperature.is_none()) {
        c.temperature = want_number(temperature, "temperature");
        c.temperature_override = c.temperature;
    }
    c.max_tokens = want_integer(max_tokens, "max_tokens");
    c.timeout = want_number(timeout, "timeout");
    c.connect_timeout = want_number(connect_timeout, "connect_timeout");
    c.max_retries = want_retries(max_retries, "max_retries");
    check_config(c);
    return c;
}

// A field setter that checks the type, then the whole configuration with the new value.
template <typename T>
auto field_setter(T ModelConfig::*field, T (*read)(py::handle, const char*), const char* name) {
    return [field, read, name](ModelConfig& c, py::handle v) {
        ModelConfig changed = c;
        changed.*field = read(v, name);
        check_config(changed);
        c = std::move(changed);
    };
}

std::string config_repr(const ModelConfig& c) {
    auto r = [](const std::string& s) { return py::repr(to_str(s)).cast<std::string>(); };
    auto num = [](double d) { return py::repr(py::float_(d)).cast<std::string>(); };
    // The key is never shown, only whether one is set.
    return "ModelConfig(base_url=" + r(secrets::redact(c.base_url)) + ", api_key=" + (c.api_key.empty() ? "''" : "'***'") +
           ", model=" + r(c.model) + ", temperature=" + num(c.temperature) +
           ", max_tokens=" + std::to_string(c.max_tokens) + ", timeout=" + num(c.timeout) + ")";
}

ModelConfig load_config(const py::kwargs& overrides) {
    ConfigOverrides o;
    for (auto item : overrides) {
        const std::string key = py::str(item.first).cast<std::string>();
        py::handle v = item.second;
        const bool absent = v.is_none();
        if (key == "base_url") {
            if (!absent) o.base_url = want_text(v, "base_url");
        } else if (key == "api_key") {
            if (!absent) o.api_key = want_text(v, "api_key");
        } else if (key == "model") {
            if (!absent) o.model = want_text(v, "model");
        } else if (key == "temperature") {
            if (!absent) o.temperature = want_number(v, "temperature");
        } else if (key == "max_tokens") {
            if (!absent) o.max_tokens = want_integer(v, "max_tokens");
        } else if (key == "timeout") {
            if (!absent) o.timeout = want_number(v, "timeout");
        } else if (key == "tool_choice") {
            if (!absent) o.tool_choice = want_text(v, "tool_choice");
        } else if (key == "coordinates") {
            if (!absent) o.coordinates = want_text(v, "coordinates");
        } else if (key == "max_image_side") {
            if (!absent) o.max_image_side = want_integer(v, "max_image_side");
        } else if (key == "cache") {
            if (absent) continue;
            const Json path = argument_to_json(v, "cache", "str", true);  // str or pathlib.Path
            if (!path.is_string()) wrong_type("cache", "str", v);
            o.cache_dir = path.get<std::string>();
        } else if (key == "cache_mode") {
            if (!absent) o.cache_mode = want_text(v, "cache_mode");
        } else if (key == "cache_max_mb") {
            if (!absent) o.cache_max_mb = want_integer(v, "cache_max_mb");
        } else if (key == "config_file") {
            if (absent) continue;
            const Json path = argument_to_json(v, "config_file", "str", true);  // str or pathlib.Path
            if (!path.is_string()) wrong_type("config_file", "str", v);
            o.config_file = path.get<std::string>();
        } else {
            throw TypeError("load_model_config() got an unexpected keyword argument '" + key.substr(0, 200) + "'");
        }
    }
    return load_model_config(o);
}

// ---------------------------------------------------------------------------
// Model clients

// The HTTP client as Python sees it. Its requests may run at once on several
// threads (the client keeps a transfer handle per request in flight).
struct PyModelwire {
    explicit PyModelwire(ModelConfig config) : wire(std::move(config)) {}
    Modelwire wire;
};

// A Modelwire's run in Python: every request uses the settings copied when the run
// started. Python code changes `settings` holding the interpreter lock, so the copy
// is taken holding it too (the constructor's caller holds it).
class SerialModel : public ChatModel {
public:
    explicit SerialModel(PyModelwire& w) : w_(w), settings_(w.wire.settings()) {}

    AnswerProfile answer_profile() const override { return {settings_.coordinates, settings_.max_image_side}; }

protected:
    Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice, const Json& temperature,
                   const Json& max_tokens) override {
        return w_.wire.chat_with(settings_, messages, tools, tool_choice, temperature, max_tokens);
    }

private:
    PyModelwire& w_;
    const ModelConfig settings_;
};

// Raised through the library when a Python chat() failed; the Python exception
// itself is kept by the model and raised to the caller once the run has ended.
struct PythonChatFailed : std::exception {
    const char* what() const noexcept override { return "the Python chat() raised an exception"; }
};

// Any Python object with chat(messages, tools=None, tool_choice=None,
// temperature=None, max_tokens=None) returning the response as a dict (or an object
// with model_dump(), such as the openai package's responses).
class PyChatModel : public ChatModel {
public:
    explicit PyChatModel(py::object target) : target_(std::move(target)) {}

    // The exception the Python chat() raised, if it did (read with the lock held).
    std::optional<py::error_already_set>& failure() { return failure_; }

    // Raises KeyboardInterrupt inside a chat() in progress, at its next Python
    // statement, so that Ctrl-C does not wait for a slow Python model to answer. Call
    // with the interpreter lock held.
    void interrupt() {
        if (running_thread_ != 0) PyThreadState_SetAsyncExc(running_thread_, PyExc_KeyboardInterrupt);
    }

protected:
    Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice, const Json& temperature,
                   const Json& max_tokens) override {
        cancel::throw_if_requested();
        Json out;
        {
            py::gil_scoped_acquire gil;
            // Set and cleared with the lock held, like interrupt() reads it.
            struct Running {
                unsigned long& id;
                explicit Running(unsigned long& i) : id(i) { id = PyThread_get_thread_ident(); }
                ~Running() { id = 0; }
            } running{running_thread_};
            try {
                py::object reply = target_.attr("chat")(to_python(messages), "tools"_a = to_python(tools),
                                                        "tool_choice"_a = to_python(tool_choice),
                                                        "temperature"_a = to_python(temperature),
                                                        "max_tokens"_a = to_python(max_tokens));
                if (!PyDict_Check(reply.ptr()) && py::hasattr(reply, "model_dump")) reply = reply.attr("model_dump")();
                if (!PyDict_Check(reply.ptr()) && !(PyMapping_Check(reply.ptr()) && py::hasattr(reply, "items"))) {
                    throw TypeError("Expected dict, got " + python_type_name(reply).substr(0, 200));
                }
                out = to_json(reply, "chat", "dict");
            } catch (py::error_already_set& e) {
                failure_ = std::move(e);
                throw PythonChatFailed();
            }
        }
        cancel::throw_if_requested();  // Ctrl-C while the Python chat() ran
        return out;
    }

private:
    py::object target_;
    std::optional<py::error_already_set> failure_;
    unsigned long running_thread_ = 0;  // the worker's thread while chat() runs, else 0
};

// The model route() hands the library for `llm`: none, a Modelwire or a Python object.
struct ModelArgument {
    std::optional<SerialModel> wire;
    std::optional<PyChatModel> python;

    ChatModel* get() {
        if (wire) return &*wire;
        if (python) return &*python;
        return nullptr;
    }
};

void resolve_model(py::handle llm, ModelArgument& out) {
    if (llm.is_none()) return;
    // A Modelwire is called directly; a Python subclass may have its own chat().
    if (llm.get_type().is(py::type::of<PyModelwire>())) {
        out.wire.emplace(llm.cast<PyModelwire&>());
        return;
    }
    if (!py::hasattr(llm, "chat") || !PyCallable_Check(llm.attr("chat").ptr())) {
        wrong_type("llm", "Modelwire or an object with a chat method", llm);
    }
    out.python.emplace(py::reinterpret_borrow<py::object>(llm));
}

// Raises what the Python chat() raised when the run failed because of it.
[[noreturn]] void rethrow_run_failure(ModelArgument& model) {
    if (model.python && model.python->failure()) {
        py::error_already_set e = std::move(*model.python->failure());
        model.python->failure().reset();
        throw e;
    }
    throw;
}

// ---------------------------------------------------------------------------
// route

// route()'s parameters after `llm` with the type the router expects: the mode, the
// prompt, then the run options (positional ones first, in route()'s order).
struct Param {
    std::string name;
    std::string expected;
    bool path;
};

const std::vector<Param>& route_params() {
    static const std::vector<Param> params = [] {
        std::vector<Param> v = {{"mode", "str", false}, {"prompt", "str", false}};
        for (const RunOption& o : run_options())
            v.push_back({o.name, option_type_name(o.type), (o.flags & kPath) != 0});
        return v;
    }();
    return params;
}

// How many of route_params() may be given by position.
std::size_t positional_count() {
    std::size_t n = 2;
    for (const RunOption& o : run_options()) n += (o.flags & kPositional) ? 1 : 0;
    return n;
}

const Param* find_param(const std::string& name) {
    for (const Param& p : route_params())
        if (name == p.name) return &p;
    return nullptr;
}

Json param_to_json(const Param& p, py::handle v) { return argument_to_json(v, p.name, p.expected, p.path); }

// Python's wording for missing required arguments: 'a', 'a' and 'b', 'a', 'b', and 'c'.
[[noreturn]] void missing_arguments(const std::vector<std::string>& names) {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list += "'" + names[i] + "'";
    }
    throw TypeError("route() missing " + std::to_string(names.size()) + " required positional argument" +
                    (names.size() == 1 ? "" : "s") + ": " + list);
}

py::object route_py(const py::args& args, const py::kwargs& kwargs) {
    py::object llm;
    const bool llm_positional = args.size() > 0;
    if (llm_positional) {
        llm = args[0];
    } else if (kwargs.contains("llm")) {
        llm = kwargs["llm"];
    } else {
        std::vector<std::string> missing = {"llm"};
        for (const char* name : {"mode", "prompt"})
            if (!kwargs.contains(name)) missing.emplace_back(name);
        missing_arguments(missing);
    }

    // Arguments as JSON for the router, which checks them itself with its own
    // messages; values of no JSON kind are reported here in the same words.
    Json positional = Json::array();
    for (size_t i = 1; i < args.size(); ++i) {
        positional.push_back(i - 1 < positional_count() ? param_to_json(route_params()[i - 1], args[i])
                                                        : Json(nullptr));
    }
    // The run's own cancel handle is the binding's, not a run option of the router.
    std::shared_ptr<CancelToken> token;
    Json named = Json::object();
    for (auto item : kwargs) {
        const std::string key = py::str(item.first).cast<std::string>();
        if (key == "llm" && !llm_positional) continue;
        if (key == "cancel_token") {
            if (item.second.is_none()) continue;
            if (!py::isinstance<CancelToken>(item.second)) wrong_type("cancel_token", "CancelToken", item.second);
            token = item.second.cast<std::shared_ptr<CancelToken>>();
            continue;
        }
        const Param* p = find_param(key);
        named[key] = p ? param_to_json(*p, item.second) : Json(nullptr);  // unknown: the router says so
    }

    ModelArgument model;
    resolve_model(llm, model);
    Json record;
    try {
        record = run_interruptibly([&] { return route_dynamic(model.get(), positional, named); },
                                   [&] { if (model.python) model.python->interrupt(); }, token);
    } catch (...) {
        rethrow_run_failure(model);
    }
    return to_python(record);
}

py::object chat_py(PyModelwire& w, py::handle messages, py::handle tools, py::handle tool_choice,
                   py::handle temperature, py::handle max_tokens) {
    const Json m = to_json(messages, "messages", "list");
    const Json t = to_json(tools, "tools", "list");
    const Json tc = to_json(tool_choice, "tool_choice", "dict");
    const Json temp = to_json(temperature, "temperature", "float");
    const Json tokens = to_json(max_tokens, "max_tokens", "int");
    SerialModel model(w);
    return to_python(run_interruptibly([&] { return model.chat(m, t, tc, temp, tokens); }));
}

}  // namespace

}  // namespace droidlens::python

// The extension inside the droidlens package (python/droidlens/__init__.py re-exports it).
PYBIND11_MODULE(_droidlens, m) {
    using namespace droidlens;
    using namespace droidlens::python;

    m.doc() =
        "droidlens: let a vision language model read and operate Android screens.\n\n"
        "route(llm, mode, prompt, ...) runs one mode and returns its record as a dict; llm is a\n"
        "Modelwire, None (for the modes that need no model) or any object with a chat method.";
    m.attr("__version__") = kVersion;
    cancel::wait_fd();  // created now, so that a cancel request can wake every wait
    install_console();
    add_errors(m);
    py::register_exception_translator(&translate);
    // Signatures in the docstrings are written out in Python's types (as in droidlens.pyi).
    py::options options;
    options.disable_function_signatures();

    py::class_<ModelConfig>(m, "ModelConfig", "Where the chat-completions service is and which model to ask.")
        .def(py::init(&make_config), "base_url"_a, "api_key"_a, "model"_a, "temperature"_a = py::none(),
             "max_tokens"_a = 4096, "timeout"_a = 120.0, py::kw_only(), "connect_timeout"_a = 10.0,
             "max_retries"_a = 2, "tool_choice"_a = "named", "coordinates"_a = "rel1000", "max_image_side"_a = 0,
             "__init__(self, base_url: str, api_key: str | None, model: str, temperature: float | None = None, "
             "max_tokens: int = 4096, timeout: float = 120.0, *, connect_timeout: float = 10.0, "
             "max_retries: int = 2, tool_choice: str = 'named', coordinates: str = 'rel1000', "
             "max_image_side: int = 0) -> None")
        .def_property("base_url", [](const ModelConfig& c) { return to_str(c.base_url); },
                      field_setter(&ModelConfig::base_url, &want_text, "base_url"))
        .def_property("api_key", [](const ModelConfig& c) { return to_str(c.api_key); },
                      field_setter(&ModelConfig::api_key, &want_key, "api_key"))
        .def_property("model", [](const ModelConfig& c) { return to_str(c.model); },
                      field_setter(&ModelConfig::model, &want_text, "model"))
        .def_property("temperature", [](const ModelConfig& c) { return c.temperature; },
                      [](ModelConfig& c, py::handle v) {
                          ModelConfig changed = c;
                          changed.temperature = want_number(v, "temperature");
                          changed.temperature_override = changed.temperature;  // the user's choice
                          check_config(changed);
                          c = std::move(changed);
                      })
        .def_property("max_tokens", [](const ModelConfig& c) { return c.max_tokens; },
                      field_setter(&ModelConfig::max_tokens, &want_integer, "max_tokens"))
        .def_property("timeout", [](const ModelConfig& c) { return c.timeout; },
                      field_setter(&ModelConfig::timeout, &want_number, "timeout"))
        .def_property("connect_timeout", [](const ModelConfig& c) { return c.connect_timeout; },
                      field_setter(&ModelConfig::connect_timeout, &want_number, "connect_timeout"))
        .def_property("max_retries", [](const ModelConfig& c) { return c.max_retries; },
                      field_setter(&ModelConfig::max_retries, &want_retries, "max_retries"))
        .def_property("tool_choice", [](const ModelConfig& c) { return to_str(c.tool_choice); },
                      field_setter(&ModelConfig::tool_choice, &want_text, "tool_choice"))
        .def_property("coordinates", [](const ModelConfig& c) { return to_str(c.coordinates); },
                      field_setter(&ModelConfig::coordinates, &want_text, "coordinates"))
        .def_property("max_image_side", [](const ModelConfig& c) { return c.max_image_side; },
                      field_setter(&ModelConfig::max_image_side, &want_integer, "max_image_side"))
        .def_property("cache", [](const ModelConfig& c) { return to_str(c.cache_dir); },
                      field_setter(&ModelConfig::cache_dir, &want_text, "cache"))
        .def_property("cache_mode", [](const ModelConfig& c) { return to_str(c.cache_mode); },
                      field_setter(&ModelConfig::cache_mode, &want_text, "cache_mode"))
        .def_property("cache_max_mb", [](const ModelConfig& c) { return c.cache_max_mb; },
                      field_setter(&ModelConfig::cache_max_mb, &want_integer, "cache_max_mb"))
        .def("__repr__", &config_repr);

    m.def("load_model_config", &load_config,
          "load_model_config(*, base_url=None, api_key=None, model=None, temperature=None, max_tokens=None,\n"
          "                  timeout=None, tool_choice=None, coordinates=None, max_image_side=None,\n"
          "                  cache=None, cache_mode=None, cache_max_mb=None, config_file=None) -> ModelConfig\n\n"
          "The model configuration: the keyword arguments given (None counts as not given), then the\n"
          "environment (DROIDLENS_BASE_URL or OPENAI_BASE_URL, DROIDLENS_API_KEY or OPENAI_API_KEY,\n"
          "DROIDLENS_MODEL, DROIDLENS_TEMPERATURE, DROIDLENS_MAX_TOKENS, DROIDLENS_TIMEOUT,\n"
          "DROIDLENS_TOOL_CHOICE, DROIDLENS_COORDINATES, DROIDLENS_MAX_IMAGE_SIDE, DROIDLENS_CACHE,\n"
          "DROIDLENS_CACHE_MODE, DROIDLENS_CACHE_MAX_MB), then the\n"
          "JSON file named by config_file, then the defaults.");

    py::class_<PyModelwire>(m, "Modelwire", "The chat-completions client over HTTP(S).")
        .def(py::init([](py::handle config) {
                 if (!py::isinstance<ModelConfig>(config)) wrong_type("config", "ModelConfig", config);
                 return std::make_unique<PyModelwire>(config.cast<ModelConfig>());
             }),
             "config"_a, "__init__(self, config: ModelConfig) -> None")
        .def_property_readonly(
            "settings", [](PyModelwire& w) -> ModelConfig& { return w.wire.settings(); },
            py::return_value_policy::reference_internal,
            "The configuration, read again on every call: a change takes effect on the next one.")
        .def("chat", &chat_py, "messages"_a, "tools"_a = py::none(), "tool_choice"_a = py::none(),
             "temperature"_a = py::none(), "max_tokens"_a = py::none(),
             "chat(self, messages: list, tools: list | None = None, tool_choice: dict | None = None,\n"
             "     temperature: float | None = None, max_tokens: int | None = None) -> dict\n\n"
             "Sends one chat-completions request and returns the service's response as a dict.");

    m.def(
        "doctor",
        [](py::handle config) {
            if (!py::isinstance<ModelConfig>(config)) wrong_type("config", "ModelConfig", config);
            const ModelConfig c = config.cast<ModelConfig>();
            return to_python(run_interruptibly([&] { return doctor(c); }));
        },
        "config"_a,
        "doctor(config: ModelConfig) -> dict\n\n"
        "Asks the model service what it can do for droidlens: {'checks': [{'check', 'ok', 'detail'}],\n"
        "'profile': {'tool_choice', 'coordinates'} or None, 'status': 0, 4 or 5}.");

    m.def(
        "devices", [] { return to_python(run_interruptibly([] { return device_list()["devices"]; })); },
        "devices() -> list[dict]\n\n"
        "The devices adb sees, in its order: [{'device_id', 'status', 'connection_type', 'model',\n"
        "'android_version'}]. Raises DeviceError when adb cannot list them.");

    // The signature line is made from the run options table, as droidlens.pyi is.
    static const std::string route_doc =
        "route(llm, mode, prompt, " + python_route_parameters(false) + ", cancel_token=None) -> dict | None\n\n"
        "Runs one mode and returns its record. The interpreter lock is released while it runs, so\n"
        "threads may drive different devices at once; Ctrl-C stops this run alone (adb children\n"
        "are killed) and raises KeyboardInterrupt, and so does cancel_token.cancel() from any thread\n"
        "(raising CancelledError). adb_server names the adb server (HOST:PORT); the other\n"
        "keyword-only arguments are the diff mode's: masked areas ('x1,y1,x2,y2' in 0-1000,\n"
        "'status-bar', 'nav-bar'), merging, limits, and fail_above, which makes the record say\n"
        "passed: False when the score is above it.";
    m.def("route", &route_py, route_doc.c_str());

    m.def(
        "modes",
        [] {
            py::list out;
            for (const ModeInfo& info : modes()) {
                py::dict d;
                d["name"] = info.name;
                d["needs_model"] = info.needs_model;
                d["summary"] = info.summary;
                out.append(d);
            }
            return out;
        },
        "modes() -> list[dict]\n\n"
        "Every mode route() knows, in the order it tests the names: name, needs_model, summary.");
    py::class_<CancelToken, std::shared_ptr<CancelToken>>(
        m, "CancelToken",
        "A handle that stops the route() calls it was given (cancel_token=...), and only those.")
        .def(py::init<>())
        .def("cancel", [](CancelToken& t) { t.cancel(); },
             "cancel() -> None\n\nAsks the runs holding this token to stop; each raises droidlens.CancelledError.")
        .def_property_readonly("cancelled", &CancelToken::cancelled, "True once cancel() was called.");
    m.def("cancel", &request_cancel,
          "cancel() -> None\n\nAsks every run in progress (in any thread) to stop; each raises droidlens.CancelledError.");
    m.def("set_console", &set_console_callback, "callback"_a,
          "set_console(callback: Callable[[str], object] | None) -> Callable | None\n\nSends the library's console lines (the automation's progress, the device listing's error\n"
          "line) to callback(line) instead of sys.stderr; None sends them to sys.stderr again.\n"
          "Returns the callback it replaces (None for sys.stderr), so that it can be put back.");

    m.def("_last_library_seconds", &last_work_seconds,
          "_last_library_seconds() -> float\n\nSeconds the library itself took in this thread's last route() or chat() call (for benchmarks).");

    // `from droidlens import *` must not shadow the built-in exception names.
    m.attr("__all__") = py::make_tuple("route", "doctor", "modes", "devices", "ModelConfig", "load_model_config", "Modelwire", "cancel",
                                       "CancelToken",
                                       "set_console", "Error", "ModelServiceError", "CancelledError", "UsageError",
                                       "DeviceError", "ModelAnswerError");
}
