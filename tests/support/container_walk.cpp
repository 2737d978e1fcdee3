#include "tests/support/container_walk.h"

#include <vector>

#include "engine/container/single_file_system.h"

namespace kestro::test {
namespace {

int64_t Walk(TVSingleFileSystem& fs, const std::string& dir, int depth) {
  if (depth > 64) return 0;
  int64_t total = 0;
  std::vector<std::pair<std::string, bool>> entries;
  TVSFSSearchRec rec;
  for (int r = fs.FindFirst(dir + "*.*", kDirectoryAttribute, rec); r == 0; r = fs.FindNext(rec))
    entries.emplace_back(rec.name, (rec.attributes & kDirectoryAttribute) != 0);
  fs.FindClose(rec);
  std::vector<char> buf(65536);
  for (const auto& [name, isDir] : entries) {
    if (isDir) {
      total += Walk(fs, dir + name + "\\", depth + 1);
      continue;
    }
    const int32_t h = fs.FileOpen(dir + name, fmOpenRead);
    if (h < 0) continue;
    for (int64_t n; (n = fs.FileRead(h, buf.data(), int64_t(buf.size()))) > 0;) {
      total += n;
      if (n < int64_t(buf.size())) break;
    }
    fs.FileClose(h);
  }
  return total;
}

}  // namespace

int64_t ReadWholeContainer(const std::string& path, const std::string& password, bool inMemory) {
  TVSingleFileSystem fs(path, -1, 8, 4096, password, inMemory,
                        inMemory ? uint16_t(fmCreate) : uint16_t(fmOpenRead | fmShareDenyNone));
  return Walk(fs, "\\", 0);
}

}  // namespace kestro::test
