// Console lines of the library (progress of the automation, the device-listing
// failure line). They go to standard output by default; the command line sends them
// to standard error so that its standard output carries only the result JSON.
#pragma once

#include <iosfwd>
#include <string_view>

namespace droidlens {

// Writes text followed by a line break to the current run's console sink (run.hpp),
// or to the console stream, and flushes it. A line is written whole: lines of runs
// on several threads never interleave within a line.
void console_line(std::string_view text);

// Redirects console lines; the stream must outlive every later console_line call.
void set_console_stream(std::ostream& stream);

}  // namespace droidlens
