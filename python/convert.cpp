#include "convert.hpp"

#include <droidlens/errors.hpp>

#include "utils/args.hpp"

#include <limits>

namespace py = pybind11;

namespace droidlens::python {

namespace {

// Guards against self-containing lists and dicts: Python's own recursion limit
// turns them into RecursionError instead of a stack overflow here.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while converting a Python value to JSON") != 0) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

Json integer_to_json(py::handle value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0) return v;
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return u;
        PyErr_Clear();
    }
    // Beyond 64 bits: the nearest double, as JSON readers do; OverflowError past its range.
    const double d = PyLong_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

// Fails for a value of no JSON kind: as an argument error at the top, else as the
// json module words it.
[[noreturn]] void not_convertible(py::handle value, int depth, const std::string& name, const std::string& expected) {
    if (depth == 0) throw TypeError(args::wrong_type_message(name, expected, python_type_name(value)));
    throw TypeError("Object of type " + python_type_name(value) + " is not JSON serializable");
}

Json convert(py::handle value, int depth, const std::string& name, const std::string& expected, bool strict,
             bool path) {
    PyObject* o = value.ptr();
    if (o == Py_None) return nullptr;
    if (PyBool_Check(o)) return o == Py_True;
    if (PyLong_Check(o)) return integer_to_json(value);
    if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
    if (PyUnicode_Check(o)) return utf8_of(value);
    if (path && PyObject_HasAttrString(o, "__fspath__")) {
        py::object fspath = py::reinterpret_steal<py::object>(PyOS_FSPath(o));
        if (!fspath) throw py::error_already_set();
        if (PyUnicode_Check(fspath.ptr())) return utf8_of(fspath);
        not_convertible(fspath, depth, name, expected);  // a bytes path
    }
    const bool list = PyList_Check(o);
    if (list || (!strict && PyTuple_Check(o))) {
        RecursionGuard guard;
        py::sequence seq = py::reinterpret_borrow<py::sequence>(value);
        Json out = Json::array();
        const size_t n = static_cast<size_t>(PySequence_Fast_GET_SIZE(o));
        out.get_ref<Json::array_t&>().reserve(n);
        for (size_t i = 0; i < n; ++i) {
            // The router checks the elements of image_paths as "image_paths[i]"; a
            // path element may be a pathlib.Path.
            out.push_back(convert(PySequence_Fast_GET_ITEM(o, static_cast<Py_ssize_t>(i)), depth + 1,
                                  name + "[" + std::to_string(i) + "]", "str", strict, path || strict));
        }
        return out;
    }
    const bool dict = PyDict_Check(o);
    if (dict || (!strict && PyMapping_Check(o) && PyObject_HasAttrString(o, "keys"))) {
        RecursionGuard guard;
        Json out = Json::object();
        auto add = [&](py::handle key, py::handle item) {
            if (!PyUnicode_Check(key.ptr())) throw TypeError("keys must be str, not " + python_type_name(key));
            out[utf8_of(key)] = convert(item, depth + 1, name, expected, strict, false);
        };
        if (dict) {
            PyObject *key = nullptr, *item = nullptr;
            Py_ssize_t at = 0;
            while (PyDict_Next(o, &at, &key, &item)) add(key, item);
        } else {  // another Mapping: its keys, then each value by subscript
            py::object mapping = py::reinterpret_borrow<py::object>(value);
            for (py::handle key : mapping.attr("keys")()) add(key, mapping[key]);
        }
        return out;
    }
    not_convertible(value, depth, name, expected);
}

}  // namespace

std::string utf8_of(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();  // lone surrogates: UnicodeEncodeError
    return std::string(data, static_cast<size_t>(size));
}

py::str to_str(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::object to_python(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
        case Json::value_t::discarded:
            return py::none();
        case Json::value_t::boolean:
            return py::bool_(value.get<bool>());
        case Json::value_t::number_integer:
            return py::int_(value.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return py::int_(value.get<std::uint64_t>());
        case Json::value_t::number_float:
            return py::float_(value.get<double>());
        case Json::value_t::string:
            return to_str(value.get_ref<const std::string&>());
        case Json::value_t::array: {
            py::list out(value.size());
            size_t i = 0;
            for (const Json& v : value) {
                py::object item = to_python(v);
                PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i++), item.release().ptr());
            }
            return out;
        }
        case Json::value_t::object: {
            py::dict out;
            for (auto it = value.begin(); it != value.end(); ++it) out[to_str(it.key())] = to_python(it.value());
            return out;
        }
        case Json::value_t::binary: {
            const auto& b = value.get_binary();
            return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
        }
    }
    return py::none();
}

Json to_json(py::handle value, const std::string& name, const std::string& expected) {
    return convert(value, 0, name, expected, false, false);
}

Json argument_to_json(py::handle value, const std::string& name, const std::string& expected, bool path) {
    return convert(value, 0, name, expected, true, path);
}

std::string python_type_name(py::handle value) {
    py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
    return py::str(type.attr("__name__")).cast<std::string>();
}

}  // namespace droidlens::python
