// Values crossing between Python and the library: Python objects become the
// library's ordered JSON and records come back as dicts in their key order.
#pragma once

#include <droidlens/json.hpp>

#include <pybind11/pybind11.h>

#include <string>

namespace droidlens::python {

// The record (or any JSON value) as Python objects: null -> None, objects -> dict
// with the keys in order, arrays -> list. Text that is not valid UTF-8 is decoded
// with replacement characters rather than failing.
pybind11::object to_python(const Json& value);

// A Python value as JSON: None, bool, int, float, str, list, tuple and mappings with
// str keys. Anything else fails with droidlens.TypeError: at the top level worded as
// an argument error naming `name` and `expected` ("Argument 'messages' has incorrect
// type (expected list, got set)"), nested as "Object of type set is not JSON
// serializable".
Json to_json(pybind11::handle value, const std::string& name, const std::string& expected);

// For the router's parameters, checked as the router itself checks them: the same
// as to_json, except that tuples and mappings other than dict are not turned into
// lists and objects (so the router reports their own type name), and os.PathLike
// values (pathlib.Path) are accepted where a path is expected (`path` true, and the
// elements of image_paths).
Json argument_to_json(pybind11::handle value, const std::string& name, const std::string& expected, bool path);

// The name Python gives the type of `value` ("int", "PosixPath").
std::string python_type_name(pybind11::handle value);

// A Python str as UTF-8; a str with lone surrogates raises UnicodeEncodeError.
std::string utf8_of(pybind11::handle text);

// Text as a Python str, invalid UTF-8 replaced.
pybind11::str to_str(const std::string& text);

}  // namespace droidlens::python
