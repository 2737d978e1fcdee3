#include "engine/container/page_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/common/exception.h"
#include "engine/container/password.h"
#include "engine/crypto/checksums.h"
#include "engine/crypto/cipher.h"

namespace kestro {
namespace {

constexpr float kVersion = 2.11f;
constexpr int32_t kMaxPageSize = 1 << 24;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint32_t CheckValue(uint8_t type, const uint8_t* data, size_t size) {
  return type == 1 ? Crc16Arc(data, size) : XorWords(data, size);
}

}  // namespace

uint32_t ContainerHeaderChecksum(const TContainerHeader& h) {
  return XorWords(reinterpret_cast<const uint8_t*>(&h) + 12, kContainerHeaderSize - 12);
}

bool ContainerHeaderIsSane(const TContainerHeader& h) {
  return h.pageSize >= kMinPageSize && h.pageSize <= kMaxPageSize && h.extentPageCount >= 1 &&
         h.extentPageCount <= h.pageSize && h.pageCount >= 1 && h.gamPageCount >= 0 &&
         h.pfsPageCount >= 0 && h.dirPageCount >= 0 && h.dirItemCount >= 0 &&
         h.dirPageCount < h.pageCount && h.pfsPageCount < h.pageCount &&
         h.gamPageCount < h.pageCount;
}

TPageFileManager::TPageFileManager(const std::string& fileName, int64_t partSize,
                                   int32_t extentPageCount, int32_t pageSize, bool inMemory,
                                   const std::string& password, uint16_t openMode)
    : fileName_(fileName) {
  if (pageSize < kMinPageSize)
    throw Exception("TPageFileManager.Create - page size should be >= " +
                    std::to_string(kMinPageSize) + "bytes .");
  if (extentPageCount < 1)
    throw Exception("TPageFileManager.Create - extent page count should be >= 1 Page.");
  const bool create = openMode == fmCreate;
  readOnly_ = !IsWriteMode(openMode);
  exclusive_ = !create && (openMode & 0x70) == fmShareExclusive;
  carrier_ = std::make_unique<TVSFSHugeFile>(fileName, partSize, inMemory, exclusive_, readOnly_);
  if (!carrier_->Open(create)) {
    if (carrier_->Locked()) throw Exception("Cannot open file \"" + fileName + "\"");
    throw Exception("File " + BaseName(fileName) + " has corrupted header.");
  }
  if (create) {
    std::memcpy(header_.signature, kContainerSignature, 8);
    header_.version = kVersion;
    header_.pageSize = pageSize;
    header_.extentPageCount = extentPageCount;
    header_.firstExtentPageNo = 1;
    header_.pageCount = 1;
    if (!password.empty()) {
      key_ = FillPasswordBlock(header_.passwordCheckBlock, password);
      header_.encrypted = 1;
    }
    SaveHeader();
    return;
  }
  LoadHeader();
  if (Encrypted()) {
    std::string key;
    if (VerifyPassword(header_.passwordCheckBlock, password, key)) key_ = std::move(key);
  }
}

TPageFileManager::~TPageFileManager() {
  try {
    if (!readOnly_) carrier_->Flush();
    carrier_->Close();
  } catch (...) {
  }
}

void TPageFileManager::LoadHeader() {
  TContainerHeader h{};
  carrier_->Seek(0, 0);
  const bool whole = carrier_->Read(&h, sizeof h) == int64_t(sizeof h);
  if (!whole || std::memcmp(h.signature, kContainerSignature, 8) != 0 ||
      h.checksum != ContainerHeaderChecksum(h) || !ContainerHeaderIsSane(h))
    throw Exception("TVSingleFileSystem.LoadHeader - Invalid VSFS file, header is corrupted.");
  header_ = h;
}

void TPageFileManager::SaveHeader() {
  if (readOnly_) return;
  header_.checksum = ContainerHeaderChecksum(header_);
  carrier_->Seek(0, 0);
  carrier_->WriteBuffer(&header_, sizeof header_);
}

const TVellCipher& TPageFileManager::CipherFor(const std::string& key) {
  if (!cipher_ || key != cipherKey_) {
    cipher_ = std::make_unique<TVellCipher>(key);
    cipherKey_ = key;
  }
  return *cipher_;
}

bool TPageFileManager::ReadPage(TPageRecord& page, int32_t pageNo, const std::string* key,
                                int32_t dataSize) {
  if (dataSize < 0) dataSize = DataSize();
  if (dataSize > 0 && page.data == nullptr) throw Exception("TPageFileManager.ReadPage - pData is nil.");
  if (pageNo < 1 || pageNo >= header_.pageCount || dataSize > DataSize())
    return Fail(peHeaderReadShort);
  TPageHeader h{};
  iovec iov[2] = {{&h, sizeof h}, {page.data, size_t(dataSize)}};
  const int64_t got = carrier_->ReadAt(int64_t(pageNo) * header_.pageSize, iov, dataSize > 0 ? 2 : 1);
  if (got < int64_t(sizeof h)) return Fail(peHeaderReadShort);
  if (got < int64_t(sizeof h) + dataSize) return Fail(peDataReadShort);
  if (dataSize > 0 && !Decode(h, page.data, dataSize, key)) return false;
  page.header = h;
  lastError_ = 0;
  return true;
}

bool TPageFileManager::Decode(const TPageHeader& h, uint8_t* data, int32_t size,
                              const std::string* key) {
  if (h.checkType > 1 || CheckValue(h.checkType, data, size_t(size)) != h.checkValue)
    return Fail(peCheckMismatch);
  if (h.encryptionType == 1) {
    const std::string& k = key != nullptr ? *key : key_;
    if (k.empty()) return Fail(peDecryptFailed);
    CipherFor(k).Decrypt(data, size_t(size));
  } else if (h.encryptionType != 0) {
    return Fail(peDecryptFailed);
  }
  return true;
}

bool TPageFileManager::Encode(TPageHeader& h, uint8_t* data, int32_t size, const std::string* key) {
  if (h.encryptionType == 1) {
    const std::string& k = key != nullptr ? *key : key_;
    if (k.empty()) return Fail(peEncryptFailed);
    CipherFor(k).Encrypt(data, size_t(size));
  } else if (h.encryptionType != 0) {
    throw Exception("TPageFileManager.EncodeBuffer - Unknown encryption type");
  }
  h.checkValue = CheckValue(h.checkType, data, size_t(size));
  return true;
}

bool TPageFileManager::WritePage(TPageRecord& page, int32_t pageNo, const std::string* key,
                                 int32_t dataSize) {
  if (dataSize < 0) dataSize = DataSize();
  if (readOnly_ || pageNo < 1 || pageNo >= header_.pageCount || dataSize > DataSize())
    return Fail(peHeaderWriteShort);
  const bool withData = page.data != nullptr && dataSize > 0;
  if (withData && !Encode(page.header, page.data, dataSize, key)) return false;
  iovec iov[2] = {{&page.header, sizeof page.header}, {page.data, size_t(dataSize)}};
  const int64_t put = carrier_->WriteAt(int64_t(pageNo) * header_.pageSize, iov, withData ? 2 : 1);
  if (put < int64_t(sizeof page.header)) return Fail(peHeaderWriteShort);
  if (withData && put < int64_t(sizeof page.header) + dataSize) return Fail(peDataWriteShort);
  lastError_ = 0;
  return true;
}

int32_t TPageFileManager::ReadPages(TPageRecord* pages, int32_t first, int32_t count,
                                    const std::string* key) {
  const int32_t ds = DataSize();
  for (int32_t i = 0; i < count; ++i)
    if (ReadRun(first + i, 1, key, 0, ds, pages[i].data) < ds) return i;
  return count;
}

int64_t TPageFileManager::ReadRun(int32_t first, int32_t count, const std::string* key,
                                  int64_t skip, int64_t take, uint8_t* out) {
  const int64_t ds = DataSize(), ps = header_.pageSize;
  if (count <= 0 || first < 1 || int64_t(first) + count > header_.pageCount || skip < 0 ||
      take < 0 || skip + take > count * ds) {
    Fail(peHeaderReadShort);
    return 0;
  }
  // The page images, straight from the carrier's mapping when it has one.
  const uint8_t* image = carrier_->Mapped(int64_t(first) * ps, count * ps);
  int64_t got = count * ps;
  if (image == nullptr) {
    staging_.resize(size_t(count * ps));
    iovec iov{staging_.data(), staging_.size()};
    got = carrier_->ReadAt(int64_t(first) * ps, &iov, 1);
    image = staging_.data();
  }
  int64_t copied = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int64_t from = std::max<int64_t>(skip, i * ds);
    const int64_t to = std::min<int64_t>(skip + take, (i + 1) * ds);
    if (from >= to) continue;  // no byte of this page is wanted
    if (got < i * ps + int64_t(kPageHeaderSize)) return Fail(peHeaderReadShort), copied;
    if (got < (i + 1) * ps) return Fail(peDataReadShort), copied;
    TPageHeader h;
    std::memcpy(&h, image + i * ps, sizeof h);
    const uint8_t* data = image + i * ps + int64_t(kPageHeaderSize);
    uint8_t* dest = out + (from - skip);
    if (to - from == ds && h.checkType == 0 && h.encryptionType == 0) {
      // A whole plain page: check while copying, in one pass.
      if (CopyAndXorWords(dest, data, size_t(ds)) != h.checkValue)
        return Fail(peCheckMismatch), copied;
    } else if (to - from == ds && h.checkType == 0 && h.encryptionType == 1) {
      const std::string& k = key != nullptr ? *key : key_;
      if (XorWords(data, size_t(ds)) != h.checkValue) return Fail(peCheckMismatch), copied;
      if (k.empty()) return Fail(peDecryptFailed), copied;
      CipherFor(k).Decrypt(data, dest, size_t(ds));
    } else {
      pageCopy_.assign(data, data + ds);
      if (!Decode(h, pageCopy_.data(), int32_t(ds), key)) return copied;
      std::memcpy(dest, pageCopy_.data() + (from - i * ds), size_t(to - from));
    }
    copied += to - from;
  }
  lastError_ = 0;
  return copied;
}

int32_t TPageFileManager::WritePages(TPageRecord* pages, int32_t first, int32_t count,
                                     const std::string* key) {
  const int64_t ds = DataSize(), ps = header_.pageSize;
  if (count <= 0) return 0;
  if (readOnly_ || first < 1 || int64_t(first) + count > header_.pageCount) {
    Fail(peHeaderWriteShort);
    return 0;
  }
  // One page image per page, written with a single call.
  staging_.resize(size_t(count * ps));
  for (int32_t i = 0; i < count; ++i) {
    if (!Encode(pages[i].header, pages[i].data, int32_t(ds), key)) return 0;
    std::memcpy(staging_.data() + i * ps, &pages[i].header, kPageHeaderSize);
    std::memcpy(staging_.data() + i * ps + int64_t(kPageHeaderSize), pages[i].data, size_t(ds));
  }
  iovec iov{staging_.data(), staging_.size()};
  const int64_t put = carrier_->WriteAt(int64_t(first) * ps, &iov, 1);
  const int32_t done = int32_t(put / ps);
  if (done < count)
    Fail(put % ps < int64_t(kPageHeaderSize) ? peHeaderWriteShort : peDataWriteShort);
  else
    lastError_ = 0;
  return done;
}

bool TPageFileManager::AddPages(int32_t count) {
  if (readOnly_ || count <= 0 || int64_t(header_.pageCount) + count > INT32_MAX) return false;
  const int64_t size = (int64_t(header_.pageCount) + count) * header_.pageSize;
  if (!carrier_->SetSize(size) || carrier_->Size() != size) return false;
  header_.pageCount += count;
  SaveHeader();
  return true;
}

void TPageFileManager::Flush() {
  if (!readOnly_) carrier_->Flush();
}

}  // namespace kestro
