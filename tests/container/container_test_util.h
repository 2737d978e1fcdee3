// Helpers of the container tests: raw reads of a container file.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/container/single_file_system.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {

template <typename T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T v{};
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

// Physical offset of page `n` in a one-part container file.
inline size_t PageOffset(int32_t pageSize, int32_t n) {
  return kPartHeaderSize + size_t(n) * size_t(pageSize);
}

inline std::unique_ptr<TVSingleFileSystem> NewContainer(const std::string& path,
                                                        TDatabaseFileMode mode = dfmNormal,
                                                        const std::string& password = "") {
  const TFileModeGeometry g = GeometryOf(mode);
  SetDirectoryWholeExtentThreshold(g.extentPageCount);
  return std::make_unique<TVSingleFileSystem>(path, -1, g.extentPageCount, g.pageSize, password,
                                              false, fmCreate);
}

inline std::unique_ptr<TVSingleFileSystem> OpenContainer(const std::string& path,
                                                         const std::string& password = "",
                                                         bool readOnly = false) {
  SetDirectoryWholeExtentThreshold(8);
  return std::make_unique<TVSingleFileSystem>(
      path, -1, 8, 4096, password, false,
      readOnly ? uint16_t(fmOpenRead | fmShareDenyNone) : uint16_t(fmOpenReadWrite | fmShareDenyWrite));
}

}  // namespace kestro::test
