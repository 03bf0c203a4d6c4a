// Small helpers shared by the unit tests of every folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx::test {

// A fresh folder under the system's temporary folder, removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
std::vector<std::string> split_lines(const std::string& text);

}  // namespace kx::test
