#include "agent/executable_path.h"

namespace kx::agent {

std::string directory_of(const std::string& path, char separator) {
  size_t cut = path.rfind(separator);
  if (cut == std::string::npos) return ".";
  return path.substr(0, cut);
}

std::string executable_directory() { return directory_of(executable_path(), path_separator()); }

}  // namespace kx::agent
