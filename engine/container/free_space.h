// TFreeSpaceManager: the PFS (page free), GAM (extent free) and SGAM (mixed
// extent with free pages) bitmaps, all held in memory and written through to
// their pages on every change. Pages are allocated in extents of E pages;
// extent k is pages 1 + k*E .. (k+1)*E.
//
//   PFS page k  = 1 + k * extentsPerPFS * E   (first page of its extent)
//   GAM page k  = 2 + k * extentsPerGAM * E, its SGAM page right after.
//
// Not thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/container/page_file.h"

namespace kestro {

// The directory takes whole extents once it has more pages than this; set
// to the extent page count of the file mode whenever a container is created
// or opened through the file stores (8 after an open).
int32_t DirectoryWholeExtentThreshold();
void SetDirectoryWholeExtentThreshold(int32_t pages);

class TFreeSpaceManager {
 public:
  // Loads every map page; raises the load messages on failure.
  explicit TFreeSpaceManager(TPageFileManager& pages);

  // Obtains `count` pages, near `hintPage` when it can; whole extents when
  // `wholeExtent`. False when the stream cannot grow.
  bool GetPages(int32_t count, int32_t hintPage, bool wholeExtent, std::vector<int32_t>& result);
  // Returns pages to the free maps.
  void FreePages(const std::vector<int32_t>& pages);

  bool PageIsFree(int32_t pageNo) const { return Bit(pfs_, pageNo - 1); }
  bool ExtentIsFree(int32_t extent) const { return Bit(gam_, extent); }
  bool ExtentIsMixed(int32_t extent) const { return Bit(sgam_, extent); }
  int32_t ExtentCount() const { return extentCount_; }
  int32_t ExtentsPerPFSPage() const { return extentsPerPFS_; }
  int32_t ExtentsPerGAMPage() const { return extentsPerGAM_; }
  int32_t PFSBytesPerPage() const { return pfsBytes_; }
  int32_t GAMBytesPerPage() const { return gamBytes_; }
  const std::vector<int32_t>& PFSPages() const { return pfsPages_; }
  const std::vector<int32_t>& GAMPages() const { return gamPages_; }
  int64_t SetGAMBits() const { return gamSet_; }
  int64_t SetSGAMBits() const { return sgamSet_; }

  void SavePFS(const std::vector<uint8_t>& dirty);
  void SaveGAM(const std::vector<uint8_t>& dirty);

 private:
  static bool Bit(const std::vector<uint8_t>& map, int64_t n) {
    return n >= 0 && size_t(n / 8) < map.size() && (map[size_t(n / 8)] >> (n % 8)) & 1;
  }
  // Sets a bit, logging the old value while a GetPages may still roll back.
  void SetBit(std::vector<uint8_t>& map, int64_t n, bool v);
  void SetGAM(int32_t extent, bool v);
  void SetSGAM(int32_t extent, bool v);
  void SetPFS(int32_t pageNo, bool freeBit, std::vector<uint8_t>& pfsDirty);
  void TakeFromExtent(int32_t extent, int32_t& needed, bool whole, std::vector<int32_t>& result,
                      std::vector<uint8_t>& pfsDirty, std::vector<uint8_t>& gamDirty);
  int32_t AddExtents(int32_t missing, bool whole, std::vector<uint8_t>& pfsDirty,
                     std::vector<uint8_t>& gamDirty);
  int32_t PFSIndexOf(int32_t pageNo) const { return (pageNo - 1) / (extentsPerPFS_ * E_); }
  int32_t GAMIndexOf(int32_t extent) const { return extent / extentsPerGAM_; }

  TPageFileManager& pages_;
  int32_t E_;
  int32_t ds_;
  int32_t pfsBytes_, extentsPerPFS_, gamBytes_, extentsPerGAM_;
  int32_t extentCount_;
  std::vector<uint8_t> pfs_, gam_, sgam_;
  std::vector<int32_t> pfsPages_, gamPages_;
  int64_t gamSet_ = 0, sgamSet_ = 0;
  struct Undo {
    std::vector<uint8_t>* map;
    int64_t bit;
    bool old;
  };
  std::vector<Undo> undo_;
  bool logging_ = false;
};

}  // namespace kestro
