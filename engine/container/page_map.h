// TUserFilePageMapManager: the page lists of internal files. A file's data
// pages are listed, in file order, in a chain of page-map pages of DS / 4
// page numbers each. Lists of up to 100 files are cached by their first
// map page. Not thread-safe.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "engine/container/free_space.h"

namespace kestro {

struct TFileMaps {
  std::vector<int32_t> mapPages;
  std::vector<int32_t> dataPages;
};

class TUserFilePageMapManager {
 public:
  TUserFilePageMapManager(TPageFileManager& pages, TFreeSpaceManager& space);

  // The map and data pages of `item` (raises the GetMaps messages).
  const TFileMaps& GetMaps(const TDirectoryItem& item);
  // Appends `count` data pages to the file and updates the item's
  // FirstMapPageNo. New pages are written zero-filled, except those at
  // file page index `skipZeroFrom` and beyond, which the caller writes at
  // once itself. False (LastError -17) when no pages can be had.
  bool AppendPages(TDirectoryItem& item, int32_t count, int64_t skipZeroFrom = INT64_MAX);
  // Frees the file's last `count` data pages and the map pages no longer
  // needed.
  void DeletePagesFromEOF(TDirectoryItem& item, int32_t count);
  int32_t EntriesPerMapPage() const { return entries_; }
  int32_t LastError() const { return lastError_; }
  void Forget(int32_t firstMapPageNo) { cache_.erase(firstMapPageNo); }

 private:
  void WriteMapChain(const TFileMaps& maps, size_t fromMapIndex);
  int64_t DataPageCount(int64_t size) const { return size <= 0 ? 0 : (size - 1) / ds_ + 1; }
  int64_t MapPageCount(int64_t dataPages) const {
    return dataPages <= 0 ? 0 : (dataPages - 1) / entries_ + 1;
  }

  TPageFileManager& pages_;
  TFreeSpaceManager& space_;
  int32_t ds_;
  int32_t entries_;
  std::map<int32_t, TFileMaps> cache_;
  int32_t lastError_ = 0;
};

}  // namespace kestro
