// File helpers shared by the modules that read inputs and write outputs.
#pragma once

#include <functional>
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

// How many same-named files write_new_file tries before it gives up.
inline constexpr int kMaxNameSuffix = 10000;

struct NewFile {
    std::string path;    // the file written
    std::string suffix;  // "" when the first name was free, else "_2", "_3", ...
};

// Writes `bytes` to a file of `dir` that did not exist before: name("") when that is
// free, else name("_2"), name("_3"), ... The name is taken atomically, so processes
// writing into one directory at the same moment never replace each other's files,
// and the file appears only once it is complete. Throws FileSystemError.
NewFile write_new_file(const std::string& dir, const std::function<std::string(const std::string&)>& name,
                       std::string_view bytes);

// `dir` joined with `name` by the platform's path rules.
std::string join(const std::string& dir, const std::string& name);

// The file name of `path` without its last extension ("a/b.c.png" -> "b.c").
std::string stem(const std::string& path);

// The current local time formatted with strftime `format` ("%Y%m%d_%H%M%S").
std::string local_time_text(const char* format);

}  // namespace droidlens::fs
