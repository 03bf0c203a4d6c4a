#pragma once

#include <string>

namespace kx::agent {

// The running executable's full path; raises kx::error::UnknownError when it cannot be
// found.
std::string executable_path();

// The character that separates folders in executable_path() on this platform.
char path_separator();

// The folder part of path: everything before the last separator, "" when the separator
// is its first character, "." when it has none.
std::string directory_of(const std::string& path, char separator);

// directory_of(executable_path(), path_separator()).
std::string executable_directory();

}  // namespace kx::agent
