// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kestro::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

std::vector<uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace kestro::test
