#include "engine/container/page_map.h"

#include <algorithm>
#include <cstring>

#include "engine/common/exception.h"

namespace kestro {

constexpr size_t kCachedFiles = 100;

TUserFilePageMapManager::TUserFilePageMapManager(TPageFileManager& pages, TFreeSpaceManager& space)
    : pages_(pages), space_(space), ds_(pages.DataSize()), entries_(pages.DataSize() / 4) {}

const TFileMaps& TUserFilePageMapManager::GetMaps(const TDirectoryItem& item) {
  if (item.firstMapPageNo == -1)
    throw Exception("TUserFilePageMapManager.GetMaps - Invalid parameter FileRec.FirstMapPageNo");
  if (auto it = cache_.find(item.firstMapPageNo); it != cache_.end()) return it->second;
  if (cache_.size() > kCachedFiles) cache_.clear();

  TFileMaps maps;
  const int64_t dataCount = DataPageCount(item.size);
  const int64_t mapCount = MapPageCount(dataCount);
  // A chain cannot be longer than the container; a bigger size is damage.
  if (mapCount > pages_.PageCount() || mapCount > pages_.AvailablePages())
    throw Exception("TUserFilePageMapManager.GetMaps - Invalid page No in map chain.");
  if (mapCount == 0) {
    maps.mapPages.push_back(item.firstMapPageNo);
  } else {
    std::vector<int32_t> buf(static_cast<size_t>(entries_));
    TPageRecord rec;
    rec.data = reinterpret_cast<uint8_t*>(buf.data());
    int32_t pageNo = item.firstMapPageNo;
    for (int64_t k = 0; k < mapCount; ++k) {
      if (pageNo == -1)
        throw Exception("TUserFilePageMapManager.GetMaps - Invalid page No in map chain.");
      if (!pages_.ReadPage(rec, pageNo, nullptr, ds_))
        throw Exception("TUserFilePageMapManager.GetMaps - Error on reading map page.");
      maps.mapPages.push_back(pageNo);
      const int64_t take = std::min<int64_t>(entries_, dataCount - int64_t(maps.dataPages.size()));
      maps.dataPages.insert(maps.dataPages.end(), buf.begin(), buf.begin() + take);
      pageNo = rec.header.nextPageNo;
    }
  }
  if (maps.mapPages.front() != item.firstMapPageNo)
    throw Exception("TUserFilePageMapManager.GetMaps - UFPMMap.Items[0] <> FirstMapPageNo");
  return cache_.emplace(item.firstMapPageNo, std::move(maps)).first->second;
}

void TUserFilePageMapManager::WriteMapChain(const TFileMaps& maps, size_t fromMapIndex) {
  std::vector<int32_t> buf(static_cast<size_t>(entries_));
  for (size_t k = fromMapIndex; k < maps.mapPages.size(); ++k) {
    std::fill(buf.begin(), buf.end(), 0);
    const size_t first = k * size_t(entries_);
    for (size_t i = 0; i < size_t(entries_) && first + i < maps.dataPages.size(); ++i)
      buf[i] = maps.dataPages[first + i];
    TPageRecord rec;
    rec.header.nextPageNo = k + 1 < maps.mapPages.size() ? maps.mapPages[k + 1] : -1;
    rec.header.pageType = ptPageMap;
    rec.data = reinterpret_cast<uint8_t*>(buf.data());
    if (!pages_.WritePage(rec, maps.mapPages[k], nullptr, ds_))
      throw Exception("TUserFilePageMapManager.WriteMapChain - can not save page, pageNo = " +
                      std::to_string(maps.mapPages[k]));
  }
}

bool TUserFilePageMapManager::AppendPages(TDirectoryItem& item, int32_t count,
                                          int64_t skipZeroFrom) {
  if (count <= 0) throw Exception("TUserFilePageMapManager.AppendPages - PageCount <= 0.");
  TFileMaps maps;
  if (item.firstMapPageNo != -1) maps = GetMaps(item);
  if (item.firstMapPageNo != -1 && maps.dataPages.empty()) maps.mapPages.resize(1);
  const size_t oldData = maps.dataPages.size();
  const size_t oldMaps = item.firstMapPageNo == -1 ? 0 : maps.mapPages.size();
  const int64_t wantMaps = MapPageCount(int64_t(oldData) + count);
  std::vector<int32_t> newMaps, newData;
  if (wantMaps > int64_t(oldMaps)) {
    const int32_t hint = oldMaps == 0 ? 1 : maps.mapPages.back() + 1;
    if (!space_.GetPages(int32_t(wantMaps - int64_t(oldMaps)), hint, false, newMaps)) {
      lastError_ = -17;
      return false;
    }
  }
  const int32_t dataHint = oldData == 0 ? 1 : maps.dataPages.back() + 1;
  const bool whole = int64_t(oldData) + count > pages_.Header().extentPageCount;
  if (!space_.GetPages(count, dataHint, whole, newData)) {
    if (!newMaps.empty()) space_.FreePages(newMaps);  // nothing leaks on failure
    lastError_ = -17;
    return false;
  }
  const int32_t oldFirst = item.firstMapPageNo;
  maps.mapPages.resize(oldMaps);
  maps.mapPages.insert(maps.mapPages.end(), newMaps.begin(), newMaps.end());
  maps.dataPages.insert(maps.dataPages.end(), newData.begin(), newData.end());
  // From the map page that gets the first new entry, or the old last one
  // whose link changes.
  size_t from = oldData / size_t(entries_);
  if (!newMaps.empty() && oldMaps > 0) from = std::min(from, oldMaps - 1);
  WriteMapChain(maps, from);
  // Zero-filled pages, written in runs of consecutive page numbers.
  constexpr size_t kRun = 256;
  std::vector<uint8_t> zeros;
  std::vector<TPageRecord> recs(kRun);
  for (size_t i = 0; i < newData.size();) {
    if (int64_t(oldData + i) >= skipZeroFrom) break;
    size_t k = 1;
    while (k < kRun && i + k < newData.size() && int64_t(oldData + i + k) < skipZeroFrom &&
           newData[i + k] == newData[i] + int32_t(k))
      ++k;
    zeros.assign(k * size_t(ds_), 0);
    for (size_t r = 0; r < k; ++r) {
      recs[r] = TPageRecord{};
      recs[r].header.nextPageNo = -1;
      recs[r].header.pageType = ptUserData;
      recs[r].data = zeros.data() + r * size_t(ds_);
    }
    if (pages_.WritePages(recs.data(), newData[i], int32_t(k), nullptr) != int32_t(k))
      throw Exception("TUserFilePageMapManager.AppendPages - can not save page, pageNo = " +
                      std::to_string(newData[i]));
    i += k;
  }
  if (oldFirst != -1) cache_.erase(oldFirst);
  item.firstMapPageNo = maps.mapPages.front();
  if (cache_.size() > kCachedFiles) cache_.clear();
  cache_[item.firstMapPageNo] = std::move(maps);
  lastError_ = 0;
  return true;
}

void TUserFilePageMapManager::DeletePagesFromEOF(TDirectoryItem& item, int32_t count) {
  if (item.firstMapPageNo == -1)
    throw Exception("TUserFilePageMapManager.DeletePagesFromEOF - File map not exists.");
  TFileMaps maps = GetMaps(item);
  if (count <= 0) return;
  const size_t keep = maps.dataPages.size() > size_t(count) ? maps.dataPages.size() - size_t(count) : 0;
  const size_t keepMaps = size_t(MapPageCount(int64_t(keep)));
  std::vector<int32_t> freed(maps.dataPages.begin() + keep, maps.dataPages.end());
  if (keepMaps < maps.mapPages.size())
    freed.insert(freed.end(), maps.mapPages.begin() + keepMaps, maps.mapPages.end());
  maps.dataPages.resize(keep);
  maps.mapPages.resize(std::min(keepMaps, maps.mapPages.size()));
  cache_.erase(item.firstMapPageNo);
  space_.FreePages(freed);
  if (maps.mapPages.empty()) {
    item.firstMapPageNo = -1;
    return;
  }
  WriteMapChain(maps, maps.mapPages.size() - 1);
  cache_[item.firstMapPageNo] = std::move(maps);
}

}  // namespace kestro
