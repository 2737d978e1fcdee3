#include "engine/container/huge_file.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "engine/common/exception.h"
#include "engine/container/formats.h"

namespace kestro {
namespace {

constexpr int64_t kTwoGiB = 2'147'483'647;
constexpr int64_t kLargest = 9'223'372'036'854'775'806;
constexpr long kMsdosMagic = 0x4d44;  // vfat/FAT file systems

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int64_t DefaultPartSize(const std::string& fileName) {
  std::string dir = DirectoryOf(fileName);
  if (dir.empty()) dir = ".";
  struct statfs fs {};
  if (::statfs(dir.c_str(), &fs) == 0 && fs.f_type == kMsdosMagic) return 4'294'967'295;
  // Every other Linux file system takes 64-bit sizes: one part forever.
  return kLargest;
}

TVSFSHugeFile::TVSFSHugeFile(std::string baseName, int64_t partSize, bool inMemory,
                             bool exclusive, bool readOnly)
    : baseName_(std::move(baseName)),
      partSize_(partSize <= 0 ? DefaultPartSize(baseName_) : partSize),
      inMemory_(inMemory),
      exclusive_(exclusive),
      readOnly_(readOnly) {
  if (partSize == 0) partSize_ = kTwoGiB;
  if (partSize_ < kMinPartSize)
    throw Exception("File part size is too small. Minimal part size is " +
                    std::to_string(kMinPartSize));
}

TVSFSHugeFile::~TVSFSHugeFile() {
  try {
    Close();
  } catch (...) {
  }
}

std::unique_ptr<TVSFSAbstractFile> TVSFSHugeFile::NewPart(const std::string& name) const {
  std::unique_ptr<TVSFSAbstractFile> f;
  if (inMemory_)
    f = std::make_unique<TVSFSMemoryFile>(name);
  else
    f = std::make_unique<TVSFSDiskFile>(name);
  f->SetExclusive(exclusive_);
  f->SetReadOnly(readOnly_);
  return f;
}

void TVSFSHugeFile::Locate(int64_t x, size_t& part, int64_t& physical) const {
  const int64_t y = x + embedding_;
  const int64_t d = DataPerPart();
  part = size_t(y / d);
  physical = int64_t(kHeaderSize) + y % d;
}

void TVSFSHugeFile::WritePartHeader(size_t index, const std::string& nextName) {
  TPartHeader h{};
  std::memcpy(h.magic, kPartMagic, 8);
  h.partSize = partSize_;
  std::strncpy(h.nextPartName, nextName.c_str(), kPartNameSize - 1);
  TVSFSAbstractFile& f = *parts_[index];
  const int64_t keep = f.Position();
  f.Seek(index == 0 ? embedding_ : 0, 0);
  f.WriteBuffer(&h, sizeof h);
  f.Seek(keep, 0);
}

bool TVSFSHugeFile::AddPart() {
  std::string name = baseName_;
  if (!parts_.empty()) {
    for (size_t n = parts_.size();; ++n) {
      name = baseName_ + std::to_string(n);
      if (inMemory_ || !FileExists(name)) break;
    }
  }
  auto part = NewPart(name);
  if (!part->Open(true)) return false;
  parts_.push_back(std::move(part));
  WritePartHeader(parts_.size() - 1, "");
  if (parts_.size() > 1) WritePartHeader(parts_.size() - 2, NameOf(name));
  return true;
}

void TVSFSHugeFile::DeleteLastPart() {
  if (parts_.size() <= 1) throw Exception("TVSFSHugeFile.DeleteLastPartFile - No parts to delete.");
  const std::string name = parts_.back()->Name();
  parts_.back()->Close();
  parts_.pop_back();
  if (!inMemory_) ::unlink(name.c_str());
  WritePartHeader(parts_.size() - 1, "");
}

void TVSFSHugeFile::DeleteChain() {
  if (inMemory_) return;
  std::string name = baseName_;
  const std::string dir = DirectoryOf(baseName_);
  for (int guard = 0; guard < 100000 && !name.empty() && FileExists(name); ++guard) {
    std::string next;
    TVSFSDiskFile f(name);
    f.SetReadOnly(true);
    if (f.Open(false)) {
      TPartHeader h{};
      if (f.Read(&h, sizeof h) == int64_t(sizeof h) && std::memcmp(h.magic, kPartMagic, 8) == 0) {
        h.nextPartName[kPartNameSize - 1] = '\0';
        if (h.nextPartName[0] != '\0') next = dir + h.nextPartName;
      }
      f.Close();
    }
    ::unlink(name.c_str());
    name = next;
  }
}

bool TVSFSHugeFile::FindEmbeddingOffset(TVSFSAbstractFile& first, int64_t& offset) {
  // Windows of 65 535 bytes, overlapping by three so no magic is missed.
  constexpr int64_t kWindow = 65535;
  const int64_t size = first.Size();
  std::vector<char> buf(kWindow);
  for (int64_t start = 0; start < size; start += kWindow - 3) {
    first.Seek(start, 0);
    const int64_t n = first.Read(buf.data(), kWindow);
    for (int64_t i = 0; i + 4 <= n; ++i) {
      if (std::memcmp(buf.data() + i, kPartMagic, 4) != 0) continue;
      const int64_t p = start + i;
      if (size - p <= 287) continue;
      char head[kHeaderSize + 8];
      first.Seek(p, 0);
      if (first.Read(head, sizeof head) != int64_t(sizeof head)) continue;
      if (std::memcmp(head, kPartMagic, 8) == 0 &&
          std::memcmp(head + kHeaderSize, kContainerSignature, 8) == 0) {
        offset = p;
        return true;
      }
    }
    if (n < kWindow) break;
  }
  return false;
}

bool TVSFSHugeFile::Open(bool create, bool tolerateMissing) {
  if (open_) throw Exception("TVSFSHugeFile.InternalOpen - File is already open.");
  if (!parts_.empty() && !inMemory_)
    throw Exception("TVSFSHugeFile.InternalOpen - File was not closed.");
  embedding_ = 0;
  position_ = 0;
  locked_ = false;
  auto lockedOut = [this](const TVSFSAbstractFile& f) {
    const auto* disk = dynamic_cast<const TVSFSDiskFile*>(&f);
    locked_ = disk != nullptr && disk->Locked();
    return false;
  };
  if (create) {
    // Never replace a file that another process has open.
    if (!inMemory_ && FileExists(baseName_)) {
      TVSFSDiskFile probe(baseName_);
      if (!probe.Open(false)) return lockedOut(probe);
    }
    DeleteChain();
    parts_.clear();
    if (!AddPart()) return false;
    size_ = 0;
    open_ = true;
    return true;
  }
  if (inMemory_ && !parts_.empty()) {  // a closed memory chain keeps its data
    open_ = true;
    return true;
  }
  if (!inMemory_ && !FileExists(baseName_)) {
    if (tolerateMissing) return false;
    throw Exception("File '" + baseName_ + "' not found");
  }
  const std::string dir = DirectoryOf(baseName_);
  std::string name = baseName_;
  int64_t total = 0;
  std::vector<std::unique_ptr<TVSFSAbstractFile>> parts;
  while (!name.empty()) {
    std::unique_ptr<TVSFSAbstractFile> part;
    if (inMemory_) {
      // Load the disk part into memory in chunks.
      TVSFSDiskFile disk(name);
      disk.SetReadOnly(true);
      if (!disk.Open(false)) return false;
      part = NewPart(name);
      part->Open(true);
      std::vector<char> chunk(61440);
      for (int64_t n; (n = disk.Read(chunk.data(), int64_t(chunk.size()))) > 0;)
        part->WriteBuffer(chunk.data(), n);
    } else {
      part = NewPart(name);
      if (!part->Open(false)) return lockedOut(*part);
    }
    int64_t at = 0;
    if (parts.empty() && !FindEmbeddingOffset(*part, at)) return false;
    if (parts.size() > 100000) return false;
    TPartHeader h{};
    part->Seek(at, 0);
    if (part->Size() - at < int64_t(kHeaderSize) || part->Read(&h, sizeof h) != int64_t(sizeof h) ||
        std::memcmp(h.magic, kPartMagic, 8) != 0)
      return false;
    h.nextPartName[kPartNameSize - 1] = '\0';
    if (parts.empty()) {
      embedding_ = at;
      partSize_ = h.partSize;
      if (partSize_ < kMinPartSize) return false;
    }
    // A part shorter than the part size must be the last one.
    if (part->Size() < partSize_ && h.nextPartName[0] != '\0') return false;
    if (part->Size() > partSize_) return false;
    total += part->Size() - int64_t(kHeaderSize);
    parts.push_back(std::move(part));
    name = h.nextPartName[0] != '\0' ? dir + h.nextPartName : std::string();
  }
  parts_ = std::move(parts);
  size_ = total - embedding_;
  open_ = true;
  return true;
}

void TVSFSHugeFile::Close() {
  if (!open_) return;
  open_ = false;
  if (inMemory_) return;  // memory parts keep the data until destruction
  for (auto& p : parts_) p->Close();
  parts_.clear();
}

void TVSFSHugeFile::Flush() {
  for (auto& p : parts_) p->Flush();
}

int64_t TVSFSHugeFile::Read(void* buffer, int64_t count) {
  if (position_ > size_) throw Exception("TVSFSHugeFile.Read - Stream read error.");
  count = std::min(count, size_ - position_);
  int64_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    size_t part;
    int64_t physical;
    Locate(position_, part, physical);
    if (part >= parts_.size()) break;
    const int64_t piece = std::min(count - done, partSize_ - physical);
    parts_[part]->Seek(physical, 0);
    const int64_t n = parts_[part]->Read(out + done, piece);
    done += n;
    position_ += n;
    if (n < piece) break;
  }
  return done;
}

int64_t TVSFSHugeFile::Write(const void* buffer, int64_t count) {
  if (count <= 0 || readOnly_) return 0;
  if (position_ > size_) {
    const int64_t at = position_;
    if (!SetSize(at) || size_ != at) return 0;
    position_ = at;
  }
  int64_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < count) {
    size_t part;
    int64_t physical;
    Locate(position_, part, physical);
    while (part >= parts_.size())
      if (!AddPart()) return done;
    const int64_t piece = std::min(count - done, partSize_ - physical);
    parts_[part]->Seek(physical, 0);
    const int64_t n = parts_[part]->Write(in + done, piece);
    done += n;
    position_ += n;
    size_ = std::max(size_, position_);
    if (n < piece) break;
  }
  return done;
}

void TVSFSHugeFile::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count)
    throw Exception("TVSFSAbstractFile.ReadBuffer - Stream read error");
}

void TVSFSHugeFile::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count)
    throw Exception("TVSFSAbstractFile.WriteBuffer - Stream write error");
}

TVSFSAbstractFile* TVSFSHugeFile::SinglePart(int64_t offset, const iovec* iov, int count,
                                              int64_t& physical) const {
  int64_t total = 0;
  for (int i = 0; i < count; ++i) total += int64_t(iov[i].iov_len);
  if (total <= 0 || offset < 0 || offset + total > size_) return nullptr;
  size_t part, lastPart;
  int64_t lastPhysical;
  Locate(offset, part, physical);
  Locate(offset + total - 1, lastPart, lastPhysical);
  return part == lastPart && part < parts_.size() ? parts_[part].get() : nullptr;
}

int64_t TVSFSHugeFile::Transfer(int64_t offset, const iovec* iov, int count, bool write) {
  int64_t physical;
  if (TVSFSAbstractFile* part = SinglePart(offset, iov, count, physical))
    return write ? part->WriteAt(physical, iov, count) : part->ReadAt(physical, iov, count);
  // Across parts: piece by piece through the chain.
  const int64_t keep = position_;
  int64_t done = 0;
  position_ = offset;
  for (int i = 0; i < count; ++i) {
    const int64_t want = int64_t(iov[i].iov_len);
    const int64_t n = write ? Write(iov[i].iov_base, want) : Read(iov[i].iov_base, want);
    done += n;
    if (n < want) break;
  }
  position_ = keep;
  return done;
}

int64_t TVSFSHugeFile::ReadAt(int64_t offset, const iovec* iov, int count) {
  return Transfer(offset, iov, count, false);
}

int64_t TVSFSHugeFile::WriteAt(int64_t offset, const iovec* iov, int count) {
  return readOnly_ ? 0 : Transfer(offset, iov, count, true);
}

const uint8_t* TVSFSHugeFile::Mapped(int64_t offset, int64_t length) {
  const iovec span{nullptr, size_t(length)};
  int64_t physical;
  TVSFSAbstractFile* part = length > 0 ? SinglePart(offset, &span, 1, physical) : nullptr;
  return part != nullptr ? part->Mapped(physical, length) : nullptr;
}

int64_t TVSFSHugeFile::Seek(int64_t offset, int origin) {
  const int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : size_;
  if (base + offset < 0) throw Exception("TVSFSHugeFile.Seek - Offset < 0 from file beginning.");
  position_ = base + offset;
  return position_;
}

bool TVSFSHugeFile::SetSize(int64_t newSize) {
  if (readOnly_ || newSize < 0 || parts_.empty()) return false;
  // The end lies in part `last` at physical offset `end` (a stream that ends
  // exactly on a part boundary ends in the part before).
  size_t last = 0;
  int64_t end = 0;
  if (newSize + embedding_ > 0) {
    Locate(newSize - 1, last, end);
    ++end;
  } else {
    end = int64_t(kHeaderSize) + embedding_;
  }
  while (parts_.size() > last + 1) DeleteLastPart();
  while (parts_.size() < last + 1) {
    if (!parts_.back()->SetSize(partSize_)) return false;
    if (!AddPart()) return false;
  }
  if (!parts_.back()->SetSize(end)) return false;
  size_ = newSize;
  return true;
}

}  // namespace kestro
