#include "engine/container/free_space.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "engine/common/exception.h"

namespace kestro {
namespace {

std::atomic<int32_t> gDirectoryThreshold{8};

}  // namespace

int32_t DirectoryWholeExtentThreshold() { return gDirectoryThreshold.load(); }
void SetDirectoryWholeExtentThreshold(int32_t pages) { gDirectoryThreshold.store(pages); }

void TFreeSpaceManager::SetBit(std::vector<uint8_t>& map, int64_t n, bool v) {
  uint8_t& b = map[size_t(n / 8)];
  if (logging_) undo_.push_back({&map, n, bool((b >> (n % 8)) & 1)});
  const uint8_t mask = uint8_t(1u << (n % 8));
  b = v ? uint8_t(b | mask) : uint8_t(b & ~mask);
}

TFreeSpaceManager::TFreeSpaceManager(TPageFileManager& pages) : pages_(pages) {
  const TContainerHeader& h = pages.Header();
  E_ = h.extentPageCount;
  ds_ = pages.DataSize();
  const int32_t bits = 8 * ds_;
  const int32_t pfsBits = bits - bits % E_;
  pfsBytes_ = pfsBits / 8;
  extentsPerPFS_ = (pfsBits - pfsBits % 8) / E_;
  const int32_t gamBits = bits - bits % extentsPerPFS_;
  gamBytes_ = gamBits / 8;
  extentsPerGAM_ = gamBits - gamBits % 8;
  extentCount_ = (h.pageCount - 1) / E_;
  if (int64_t(h.pfsPageCount) * extentsPerPFS_ < extentCount_)
    throw Exception("TFreeSpaceManager.Create - PFSPageCount * FPageSize < FExtentCount!");
  if (int64_t(h.gamPageCount) * extentsPerGAM_ < extentCount_)
    throw Exception("TFreeSpaceManager.Create - GAMPageCount * FPageSize < FExtentCount!");

  std::vector<uint8_t> buf(size_t(std::max(pfsBytes_, gamBytes_)));
  TPageRecord rec;
  rec.data = buf.data();
  for (int32_t k = 0; k < h.pfsPageCount; ++k) {
    const int64_t no = 1 + int64_t(k) * extentsPerPFS_ * E_;
    if (no >= h.pageCount || !pages_.ReadPage(rec, int32_t(no), nullptr, pfsBytes_))
      throw Exception("TFreeSpaceManager.LoadPFS - can not load page, pageNo = " +
                      std::to_string(no));
    pfsPages_.push_back(int32_t(no));
    pfs_.insert(pfs_.end(), buf.begin(), buf.begin() + pfsBytes_);
  }
  for (int32_t k = 0; k < h.gamPageCount; ++k) {
    const int64_t no = 2 + int64_t(k) * extentsPerGAM_ * E_;
    if (no >= h.pageCount || !pages_.ReadPage(rec, int32_t(no), nullptr, gamBytes_))
      throw Exception("TFreeSpaceManager.LoadGAM - can not load page, pageNo = " +
                      std::to_string(no));
    gamPages_.push_back(int32_t(no));
    gam_.insert(gam_.end(), buf.begin(), buf.begin() + gamBytes_);
    if (no + 1 >= h.pageCount || !pages_.ReadPage(rec, int32_t(no + 1), nullptr, gamBytes_))
      throw Exception("TFreeSpaceManager.LoadGAM - can not load SGAM page, pageNo = " +
                      std::to_string(no));
    sgam_.insert(sgam_.end(), buf.begin(), buf.begin() + gamBytes_);
  }
  for (int32_t e = 0; e < extentCount_; ++e) {
    gamSet_ += Bit(gam_, e);
    sgamSet_ += Bit(sgam_, e);
  }
}

void TFreeSpaceManager::SetGAM(int32_t extent, bool v) {
  if (Bit(gam_, extent) == v) return;
  SetBit(gam_, extent, v);
  if (extent < extentCount_) gamSet_ += v ? 1 : -1;
}

void TFreeSpaceManager::SetSGAM(int32_t extent, bool v) {
  if (Bit(sgam_, extent) == v) return;
  SetBit(sgam_, extent, v);
  if (extent < extentCount_) sgamSet_ += v ? 1 : -1;
}

void TFreeSpaceManager::SetPFS(int32_t pageNo, bool freeBit, std::vector<uint8_t>& pfsDirty) {
  SetBit(pfs_, pageNo - 1, freeBit);
  pfsDirty[size_t(PFSIndexOf(pageNo))] = 1;
}

void TFreeSpaceManager::TakeFromExtent(int32_t extent, int32_t& needed, bool whole,
                                       std::vector<int32_t>& result,
                                       std::vector<uint8_t>& pfsDirty,
                                       std::vector<uint8_t>& gamDirty) {
  const int32_t first = 1 + extent * E_;
  for (int32_t p = first; p < first + E_ && needed > 0; ++p) {
    if (!PageIsFree(p)) continue;
    SetPFS(p, false, pfsDirty);
    result.push_back(p);
    --needed;
    if (p == first) {
      SetGAM(extent, false);
      SetSGAM(extent, !whole);
      gamDirty[size_t(GAMIndexOf(extent))] = 1;
    }
    if (p == first + E_ - 1) {
      SetGAM(extent, false);
      SetSGAM(extent, false);
      gamDirty[size_t(GAMIndexOf(extent))] = 1;
    }
  }
}

int32_t TFreeSpaceManager::AddExtents(int32_t missing, bool whole, std::vector<uint8_t>& pfsDirty,
                                      std::vector<uint8_t>& gamDirty) {
  TContainerHeader& h = pages_.Header();
  int64_t gained = 0;
  int32_t k = extentCount_;
  for (; gained < missing; ++k) {
    if (int64_t(k) + 1 > (INT32_MAX - 1) / E_) break;
    const int32_t first = 1 + k * E_;
    if (int64_t(k) == int64_t(extentsPerPFS_) * h.pfsPageCount) {
      ++h.pfsPageCount;
      pfs_.resize(pfs_.size() + size_t(pfsBytes_), 0xFF);
      pfsPages_.push_back(pfsPages_.empty() ? 1 : pfsPages_.back() + extentsPerPFS_ * E_);
      pfsDirty.push_back(0);
      SetPFS(first, false, pfsDirty);
      bool gamPair = false;
      if (int64_t(k) == int64_t(extentsPerGAM_) * h.gamPageCount) {
        gamPair = true;
        ++h.gamPageCount;
        gam_.resize(gam_.size() + size_t(gamBytes_), 0xFF);
        sgam_.resize(sgam_.size() + size_t(gamBytes_), 0x00);
        gamPages_.push_back(gamPages_.empty() ? 2 : gamPages_.back() + extentsPerGAM_ * E_);
        gamDirty.push_back(0);
        SetBit(gam_, k, false);
        SetBit(sgam_, k, true);
        // The pages may lie in the next extent (E < 3) and so in the next
        // PFS page's range only when that page exists already.
        for (int32_t p : {first + 1, first + 2})
          if (size_t(PFSIndexOf(p)) < pfsDirty.size()) SetPFS(p, false, pfsDirty);
        gamDirty[size_t(GAMIndexOf(k))] = 1;
      }
      if (!whole) gained += gamPair ? E_ - 3 : E_ - 1;
      gamSet_ += Bit(gam_, k);
      sgamSet_ += Bit(sgam_, k);
    } else {
      gained += E_;
      gamSet_ += Bit(gam_, k);
      sgamSet_ += Bit(sgam_, k);
    }
  }
  const int32_t added = k - extentCount_;
  extentCount_ = k;
  return added;
}

bool TFreeSpaceManager::GetPages(int32_t count, int32_t hintPage, bool wholeExtent,
                                 std::vector<int32_t>& result) {
  result.clear();
  if (count <= 0) return true;
  // Everything below changes only memory until the pages are saved at the
  // end; when the stream cannot grow, the changes are rolled back.
  const size_t pfsSize = pfs_.size(), gamSize = gam_.size(), pfsN = pfsPages_.size(),
               gamN = gamPages_.size();
  const int64_t gamSet = gamSet_, sgamSet = sgamSet_;
  const int32_t oldExtents = extentCount_, pfsCount = pages_.Header().pfsPageCount,
                gamCount = pages_.Header().gamPageCount;
  undo_.clear();
  logging_ = true;
  auto rollback = [&] {
    logging_ = false;
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
      uint8_t& b = (*it->map)[size_t(it->bit / 8)];
      const uint8_t mask = uint8_t(1u << (it->bit % 8));
      b = it->old ? uint8_t(b | mask) : uint8_t(b & ~mask);
    }
    pfs_.resize(pfsSize);
    gam_.resize(gamSize);
    sgam_.resize(gamSize);
    pfsPages_.resize(pfsN);
    gamPages_.resize(gamN);
    gamSet_ = gamSet;
    sgamSet_ = sgamSet;
    extentCount_ = oldExtents;
    pages_.Header().pfsPageCount = pfsCount;
    pages_.Header().gamPageCount = gamCount;
    result.clear();
    return false;
  };

  std::vector<uint8_t> pfsDirty(pfsPages_.size(), 0), gamDirty(gamPages_.size(), 0);
  int32_t needed = count;
  const int32_t hint = hintPage >= 1 ? (hintPage - 1) / E_ : -1;
  if (hint >= 0 && hint < extentCount_)
    TakeFromExtent(hint, needed, wholeExtent, result, pfsDirty, gamDirty);

  auto usable = [&](int32_t e) { return Bit(gam_, e) || (!wholeExtent && Bit(sgam_, e)); };
  int32_t scan = 0;
  if (needed > 0 && (gamSet_ > 0 || (!wholeExtent && sgamSet_ > 0))) {
    for (; scan < extentCount_ && needed > 0; ++scan)
      if (usable(scan)) TakeFromExtent(scan, needed, wholeExtent, result, pfsDirty, gamDirty);
  }
  if (needed > 0) {
    const int32_t before = extentCount_;
    const int32_t added = AddExtents(needed, wholeExtent, pfsDirty, gamDirty);
    if (added == 0) {
      rollback();
      throw Exception("TFreeSpaceManager.GetPages - AddExtents does not append any extents.");
    }
    if (!pages_.AddPages(added * E_)) return rollback();
    for (scan = std::min(scan, before); scan < extentCount_ && needed > 0; ++scan)
      if (usable(scan)) TakeFromExtent(scan, needed, wholeExtent, result, pfsDirty, gamDirty);
    if (needed > 0) {
      logging_ = false;
      throw Exception("TFreeSpaceManager.GetPages - AddExtents appends too small pages.");
    }
  }
  logging_ = false;
  const int32_t highest = *std::max_element(result.begin(), result.end());
  if (highest >= pages_.PageCount() && !pages_.AddPages(highest + 1 - pages_.PageCount()))
    return rollback();
  SaveGAM(gamDirty);
  SavePFS(pfsDirty);
  return true;
}

void TFreeSpaceManager::FreePages(const std::vector<int32_t>& list) {
  std::vector<uint8_t> pfsDirty(pfsPages_.size(), 0), gamDirty(gamPages_.size(), 0);
  std::vector<int32_t> extents;
  for (int32_t p : list) {
    if (p < 1 || p >= pages_.PageCount() || size_t(PFSIndexOf(p)) >= pfsDirty.size()) continue;
    SetPFS(p, true, pfsDirty);
    extents.push_back((p - 1) / E_);
  }
  std::sort(extents.begin(), extents.end());
  extents.erase(std::unique(extents.begin(), extents.end()), extents.end());
  for (int32_t e : extents) {
    bool allFree = true;
    for (int32_t p = 1 + e * E_; p <= (e + 1) * E_ && allFree; ++p) allFree = PageIsFree(p);
    if (!allFree || size_t(GAMIndexOf(e)) >= gamDirty.size()) continue;
    SetGAM(e, true);
    SetSGAM(e, false);
    gamDirty[size_t(GAMIndexOf(e))] = 1;
  }
  SaveGAM(gamDirty);
  SavePFS(pfsDirty);
}

void TFreeSpaceManager::SavePFS(const std::vector<uint8_t>& dirty) {
  if (dirty.size() != pfsPages_.size())
    throw Exception("TFreeSpaceManager.SavePFS - pages.ItemCount <> PFSPageMap.ItemCount!");
  std::vector<uint8_t> buf(static_cast<size_t>(pfsBytes_));
  for (size_t k = 0; k < dirty.size(); ++k) {
    if (!dirty[k]) continue;
    std::memcpy(buf.data(), pfs_.data() + k * size_t(pfsBytes_), buf.size());
    TPageRecord rec;
    rec.header.nextPageNo = -1;
    rec.header.pageType = ptPFS;
    rec.data = buf.data();
    if (!pages_.WritePage(rec, pfsPages_[k], nullptr, pfsBytes_))
      throw Exception("TFreeSpaceManager.SavePFS - can not save page, pageNo = " +
                      std::to_string(pfsPages_[k]));
  }
}

void TFreeSpaceManager::SaveGAM(const std::vector<uint8_t>& dirty) {
  if (dirty.size() != gamPages_.size())
    throw Exception("TFreeSpaceManager.SaveGAM - pages.ItemCount <> GAMPageMap.ItemCount!");
  std::vector<uint8_t> buf(static_cast<size_t>(gamBytes_));
  for (size_t k = 0; k < dirty.size(); ++k) {
    if (!dirty[k]) continue;
    for (int kind = 0; kind < 2; ++kind) {
      const auto& map = kind == 0 ? gam_ : sgam_;
      std::memcpy(buf.data(), map.data() + k * size_t(gamBytes_), buf.size());
      TPageRecord rec;
      rec.header.nextPageNo = -1;
      rec.header.pageType = kind == 0 ? ptGAM : ptSGAM;
      rec.data = buf.data();
      if (!pages_.WritePage(rec, gamPages_[k] + kind, nullptr, gamBytes_))
        throw Exception(std::string(kind == 0 ? "TFreeSpaceManager.SaveGAM - can not save page, pageNo = "
                                              : "TFreeSpaceManager.SaveGAM - can not save SGAM page, pageNo = ") +
                        std::to_string(gamPages_[k]));
    }
  }
}

}  // namespace kestro
