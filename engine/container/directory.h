// TDIRArray and TDIRManager: the container's directory, a flat array of
// 512-byte items stored in a chain of directory pages, all held in memory
// with an index by (parent, name) for lookups. Deleted items stay in the
// array (their slots are reused) but leave the index. Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/container/free_space.h"

namespace kestro {

class TDIRArray {
 public:
  int32_t Count() const { return int32_t(items_.size()); }
  const TDirectoryItem& Item(int32_t n) const;  // "TDIRArray.ReadItem - invalid itemNo = "
  void Append(const TDirectoryItem& item);
  void UpdateItem(int32_t n, const TDirectoryItem& item);
  // Live child of `parent` named `name` (case-insensitive), or -1.
  int32_t Find(int32_t parent, const std::string& name) const;
  // Live children of `parent`, in name order.
  std::vector<int32_t> Children(int32_t parent) const;
  // The first deleted slot, or -1.
  int32_t FirstDeleted() const { return deleted_.empty() ? -1 : *deleted_.begin(); }

  static std::string NameOf(const TDirectoryItem& item);
  static std::string Key(const std::string& name);

 private:
  void Index(int32_t n);
  void Unindex(int32_t n);

  std::vector<TDirectoryItem> items_;
  std::multimap<std::pair<int32_t, std::string>, int32_t> byParentName_;
  std::set<int32_t> deleted_;
};

class TDIRManager {
 public:
  TDIRManager(TPageFileManager& pages, TFreeSpaceManager& space);

  void Load();
  const TDirectoryItem& ReadItem(int32_t n) const { return array_.Item(n); }
  void WriteItem(int32_t n, const TDirectoryItem& item);
  // Adds an item (reusing a deleted slot); its number, or -1 with the last
  // error -17 when no page can be had.
  int32_t AddItem(const TDirectoryItem& item);

  const TDIRArray& Items() const { return array_; }
  const std::vector<int32_t>& Pages() const { return pages_list_; }
  int32_t ItemsPerPage() const { return itemsPerPage_; }
  int32_t& OpenCount(int32_t n) { return openCount_[size_t(n)]; }
  int32_t LastError() const { return lastError_; }

 private:
  void WriteDirPage(int32_t pageIndex, bool rereadHeader, const char* loadError,
                    const char* saveError);

  TPageFileManager& pages_;
  TFreeSpaceManager& space_;
  TDIRArray array_;
  std::vector<int32_t> pages_list_;
  std::vector<int32_t> openCount_;
  int32_t itemsPerPage_;
  int32_t lastError_ = 0;
};

}  // namespace kestro
