// File helpers shared by the modules that read inputs and write outputs.
#pragma once

#include <string>
#include <string_view>

namespace droidlens::fs {

// Creates `dir` with all missing parents; an existing directory is fine.
// Throws FileSystemError ("Cannot create directory 'x': reason") otherwise.
void ensure_directory(const std::string& dir);

// Reads a whole file. Throws FileSystemError for a missing or unreadable file
// ("No such file or directory: 'x'", "Cannot read 'x': reason").
std::string read_file(const std::string& path);

// Writes `bytes` to `path`, replacing an existing file. The data goes to a temporary
// file beside the target first and is renamed over it, so a failed write never leaves
// a truncated file under the target's name. Throws FileSystemError.
void write_file(const std::string& path, std::string_view bytes);

// `dir` joined with `name` by the platform's path rules.
std::string join(const std::string& dir, const std::string& name);

// The file name of `path` without its last extension ("a/b.c.png" -> "b.c").
std::string stem(const std::string& path);

// The current local time formatted with strftime `format` ("%Y%m%d_%H%M%S").
std::string local_time_text(const char* format);

}  // namespace droidlens::fs
