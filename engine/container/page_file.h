// TPageFileManager: the page layer of the container. Reads and writes the
// container header and pages (header, check value, encryption) on the
// carrier stream. Page N lies at logical offset N * PageSize; page 0 holds
// the container header. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/container/formats.h"
#include "engine/container/huge_file.h"

namespace kestro {

class TVellCipher;

// Page-level error codes (kept as the last error).
enum TPageError : int32_t {
  peHeaderReadShort = -7,
  peHeaderWriteShort = -8,
  peDataReadShort = -9,
  peDataWriteShort = -10,
  peCheckMismatch = -11,
  peDecryptFailed = -12,
  peEncryptFailed = -13,
};

// A page as read or written: its header and a caller-owned data buffer.
struct TPageRecord {
  TPageHeader header{};
  uint8_t* data = nullptr;
};

class TPageFileManager {
 public:
  // Creates a new container (mode fmCreate) or opens an existing one, and
  // loads and checks its header. On create with a password the container is
  // encrypted. On open of an encrypted container `password` must verify
  // (the caller checks it first; a wrong one leaves the key empty).
  TPageFileManager(const std::string& fileName, int64_t partSize, int32_t extentPageCount,
                   int32_t pageSize, bool inMemory, const std::string& password,
                   uint16_t openMode);
  ~TPageFileManager();

  TContainerHeader& Header() { return header_; }
  const TContainerHeader& Header() const { return header_; }
  void LoadHeader();
  void SaveHeader();

  // `dataSize` -1 means DS; 0 reads or writes the header only. `key` null
  // means the container key. False with LastError() set on failure.
  bool ReadPage(TPageRecord& page, int32_t pageNo, const std::string* key, int32_t dataSize);
  bool WritePage(TPageRecord& page, int32_t pageNo, const std::string* key, int32_t dataSize);
  // `count` consecutive pages from `first`, in one transfer: each record's
  // data buffer receives (or supplies) DS bytes. The number of pages done,
  // stopping at the first failure (LastError() set). Reading decodes into
  // the caller's buffers, whose content is undefined for a failed page.
  int32_t ReadPages(TPageRecord* pages, int32_t first, int32_t count, const std::string* key);
  // Reads `count` consecutive pages from `first` in one transfer, checks
  // and decodes them, and copies bytes [skip, skip + take) of their joined
  // data to `out`. Returns the bytes copied: fewer than `take` when a page
  // fails (LastError() set); the bytes of the pages before it are copied.
  int64_t ReadRun(int32_t first, int32_t count, const std::string* key, int64_t skip,
                  int64_t take, uint8_t* out);
  int32_t WritePages(TPageRecord* pages, int32_t first, int32_t count, const std::string* key);
  bool AddPages(int32_t count);
  void Flush();

  int32_t PageSize() const { return header_.pageSize; }
  int32_t DataSize() const { return header_.pageSize - int32_t(kPageHeaderSize); }
  int32_t PageCount() const { return header_.pageCount; }
  // Pages the stream really holds; bounds every chain walk, so a damaged
  // header cannot make one loop longer than the file.
  int64_t AvailablePages() const { return carrier_->Size() / header_.pageSize + 1; }
  bool Encrypted() const { return header_.encrypted != 0; }
  bool ReadOnly() const { return readOnly_; }
  bool Exclusive() const { return exclusive_; }
  const std::string& ContainerKey() const { return key_; }
  void SetContainerKey(std::string key) { key_ = std::move(key); }
  int32_t LastError() const { return lastError_; }
  const std::string& FileName() const { return fileName_; }
  TVSFSHugeFile& Carrier() { return *carrier_; }

 private:
  const TVellCipher& CipherFor(const std::string& key);
  bool Decode(const TPageHeader& h, uint8_t* data, int32_t size, const std::string* key);
  bool Encode(TPageHeader& h, uint8_t* data, int32_t size, const std::string* key);
  bool Fail(int32_t code) {
    lastError_ = code;
    return false;
  }

  std::string fileName_;
  std::unique_ptr<TVSFSHugeFile> carrier_;
  TContainerHeader header_{};
  bool readOnly_ = false;
  bool exclusive_ = false;
  std::string key_;
  int32_t lastError_ = 0;
  std::string cipherKey_;
  std::unique_ptr<TVellCipher> cipher_;
  std::vector<uint8_t> staging_;   // page images of one transfer
  std::vector<uint8_t> pageCopy_;  // one page decoded in place
};

// Header helpers shared with the probes and tests.
uint32_t ContainerHeaderChecksum(const TContainerHeader& h);
// False when the stored geometry and counts cannot describe a container.
bool ContainerHeaderIsSane(const TContainerHeader& h);

}  // namespace kestro
