#include "engine/container/directory.h"

#include <cstring>

#include "engine/common/exception.h"
#include "engine/common/locale.h"

namespace kestro {

// ---- TDIRArray --------------------------------------------------------------------

std::string TDIRArray::NameOf(const TDirectoryItem& item) {
  return std::string(item.name, strnlen(item.name, sizeof item.name));
}

std::string TDIRArray::Key(const std::string& name) { return TVellLocale::Current().Upper(name); }

const TDirectoryItem& TDIRArray::Item(int32_t n) const {
  if (n < 0 || n >= Count()) throw Exception("TDIRArray.ReadItem - invalid itemNo = " + std::to_string(n));
  return items_[size_t(n)];
}

void TDIRArray::Index(int32_t n) {
  const TDirectoryItem& it = items_[size_t(n)];
  if (it.deleted)
    deleted_.insert(n);
  else
    byParentName_.emplace(std::make_pair(it.parentId, Key(NameOf(it))), n);
}

void TDIRArray::Unindex(int32_t n) {
  const TDirectoryItem& it = items_[size_t(n)];
  if (it.deleted) {
    deleted_.erase(n);
    return;
  }
  auto range = byParentName_.equal_range({it.parentId, Key(NameOf(it))});
  for (auto i = range.first; i != range.second; ++i) {
    if (i->second == n) {
      byParentName_.erase(i);
      return;
    }
  }
  throw Exception("TDIRArray.UpdateItem - old name position not found. Position = " +
                  std::to_string(n) + ", ItemCount = " + std::to_string(Count()) +
                  ", FileName = \"" + NameOf(it) + "\"");
}

void TDIRArray::Append(const TDirectoryItem& item) {
  items_.push_back(item);
  Index(Count() - 1);
}

void TDIRArray::UpdateItem(int32_t n, const TDirectoryItem& item) {
  if (n < 0 || n >= Count())
    throw Exception("TDIRArray.UpdateItem - invalid itemNo = " + std::to_string(n));
  Unindex(n);
  items_[size_t(n)] = item;
  Index(n);
}

int32_t TDIRArray::Find(int32_t parent, const std::string& name) const {
  const auto it = byParentName_.find({parent, Key(name)});
  return it == byParentName_.end() ? -1 : it->second;
}

std::vector<int32_t> TDIRArray::Children(int32_t parent) const {
  std::vector<int32_t> out;
  for (auto it = byParentName_.lower_bound({parent, std::string()});
       it != byParentName_.end() && it->first.first == parent; ++it)
    out.push_back(it->second);
  return out;
}

// ---- TDIRManager ------------------------------------------------------------------

TDIRManager::TDIRManager(TPageFileManager& pages, TFreeSpaceManager& space)
    : pages_(pages), space_(space), itemsPerPage_(pages.DataSize() / int32_t(kDirectoryItemSize)) {}

void TDIRManager::Load() {
  const TContainerHeader& h = pages_.Header();
  if (int64_t(h.dirItemCount) > int64_t(h.dirPageCount) * itemsPerPage_ ||
      h.dirPageCount > pages_.AvailablePages())
    throw Exception("TDIRManager.Load - can not load page, pageNo = " +
                    std::to_string(h.firstDirPageNo));
  std::vector<uint8_t> buf(size_t(itemsPerPage_) * kDirectoryItemSize);
  TPageRecord rec;
  rec.data = buf.data();
  int32_t pageNo = h.firstDirPageNo;
  for (int32_t k = 0; k < h.dirPageCount; ++k) {
    if (!pages_.ReadPage(rec, pageNo, nullptr, int32_t(buf.size())))
      throw Exception("TDIRManager.Load - can not load page, pageNo = " + std::to_string(pageNo));
    pages_list_.push_back(pageNo);
    for (int32_t i = 0; i < itemsPerPage_ && array_.Count() < h.dirItemCount; ++i) {
      TDirectoryItem item;
      std::memcpy(&item, buf.data() + size_t(i) * kDirectoryItemSize, sizeof item);
      item.name[sizeof item.name - 1] = '\0';
      array_.Append(item);
    }
    pageNo = rec.header.nextPageNo;
  }
  openCount_.assign(size_t(array_.Count()), 0);
}

void TDIRManager::WriteDirPage(int32_t pageIndex, bool rereadHeader, const char* loadError,
                               const char* saveError) {
  const int32_t pageNo = pages_list_[size_t(pageIndex)];
  TPageRecord rec;
  rec.header.nextPageNo = -1;
  if (rereadHeader && !pages_.ReadPage(rec, pageNo, nullptr, 0))
    throw Exception(std::string(loadError) + std::to_string(pageNo));
  std::vector<uint8_t> buf(size_t(itemsPerPage_) * kDirectoryItemSize, 0);
  const int32_t first = pageIndex * itemsPerPage_;
  for (int32_t i = 0; i < itemsPerPage_ && first + i < array_.Count(); ++i)
    std::memcpy(buf.data() + size_t(i) * kDirectoryItemSize, &array_.Item(first + i),
                kDirectoryItemSize);
  rec.header.pageType = ptDirectory;
  rec.header.encryptionType = pages_.Encrypted() ? 1 : 0;
  rec.header.checkType = 0;
  rec.data = buf.data();
  if (!pages_.WritePage(rec, pageNo, nullptr, int32_t(buf.size())))
    throw Exception(std::string(saveError) + std::to_string(pageNo));
}

void TDIRManager::WriteItem(int32_t n, const TDirectoryItem& item) {
  array_.UpdateItem(n, item);
  WriteDirPage(n / itemsPerPage_, true, "TDIRManager.WriteItem - can not load  page, pageNo = ",
               "TDIRManager.WriteItem - can not save page, pageNo = ");
}

int32_t TDIRManager::AddItem(const TDirectoryItem& item) {
  if (const int32_t slot = array_.FirstDeleted(); slot >= 0) {
    WriteItem(slot, item);
    return slot;
  }
  TContainerHeader& h = pages_.Header();
  if (int64_t(h.dirPageCount) * itemsPerPage_ == h.dirItemCount) {
    std::vector<int32_t> got;
    const int32_t hint = pages_list_.empty() ? h.firstExtentPageNo : pages_list_.back();
    const bool whole = h.dirPageCount > DirectoryWholeExtentThreshold();
    if (!space_.GetPages(1, hint, whole, got)) {
      lastError_ = -17;
      return -1;
    }
    if (!pages_list_.empty()) {
      const int32_t last = pages_list_.back();
      TPageRecord rec;
      if (!pages_.ReadPage(rec, last, nullptr, 0))
        throw Exception("TDIRManager.AddItem - can not load last page, pageNo = " + std::to_string(last));
      rec.header.nextPageNo = got[0];
      if (!pages_.WritePage(rec, last, nullptr, 0))
        throw Exception("TDIRManager.AddItem - can not save last page, pageNo = " + std::to_string(last));
    } else {
      h.firstDirPageNo = got[0];
    }
    pages_list_.push_back(got[0]);
    ++h.dirPageCount;
  }
  ++h.dirItemCount;
  array_.Append(item);
  openCount_.push_back(0);
  const int32_t n = array_.Count() - 1;
  WriteDirPage(int32_t(pages_list_.size()) - 1, n % itemsPerPage_ != 0,
               "TDIRManager.AddItem - can not load  page, pageNo = ",
               "TDIRManager.AddItem - can not save page, pageNo = ");
  pages_.SaveHeader();
  return n;
}

}  // namespace kestro
