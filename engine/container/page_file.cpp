#include "engine/container/page_file.h"

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
  carrier_->Seek(int64_t(pageNo) * header_.pageSize, 0);
  if (carrier_->Read(&h, sizeof h) != int64_t(sizeof h)) return Fail(peHeaderReadShort);
  if (dataSize > 0) {
    std::vector<uint8_t> buf(static_cast<size_t>(dataSize));
    if (carrier_->Read(buf.data(), dataSize) != dataSize) return Fail(peDataReadShort);
    if (h.checkType > 1 || CheckValue(h.checkType, buf.data(), buf.size()) != h.checkValue)
      return Fail(peCheckMismatch);
    if (h.encryptionType == 1) {
      const std::string& k = key != nullptr ? *key : key_;
      if (k.empty()) return Fail(peDecryptFailed);
      CipherFor(k).Decrypt(buf.data(), buf.size());
    } else if (h.encryptionType != 0) {
      return Fail(peDecryptFailed);
    }
    std::memcpy(page.data, buf.data(), buf.size());
  }
  page.header = h;
  lastError_ = 0;
  return true;
}

bool TPageFileManager::WritePage(TPageRecord& page, int32_t pageNo, const std::string* key,
                                 int32_t dataSize) {
  if (dataSize < 0) dataSize = DataSize();
  if (readOnly_ || pageNo < 1 || pageNo >= header_.pageCount || dataSize > DataSize())
    return Fail(peHeaderWriteShort);
  if (page.data != nullptr && dataSize > 0) {
    if (page.header.encryptionType == 1) {
      const std::string& k = key != nullptr ? *key : key_;
      if (k.empty()) return Fail(peEncryptFailed);
      CipherFor(k).Encrypt(page.data, size_t(dataSize));
    } else if (page.header.encryptionType != 0) {
      throw Exception("TPageFileManager.EncodeBuffer - Unknown encryption type");
    }
    page.header.checkValue = CheckValue(page.header.checkType, page.data, size_t(dataSize));
  }
  carrier_->Seek(int64_t(pageNo) * header_.pageSize, 0);
  if (carrier_->Write(&page.header, sizeof page.header) != int64_t(sizeof page.header))
    return Fail(peHeaderWriteShort);
  if (page.data != nullptr && dataSize > 0 && carrier_->Write(page.data, dataSize) != dataSize)
    return Fail(peDataWriteShort);
  lastError_ = 0;
  return true;
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
