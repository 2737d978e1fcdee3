// TVSFSHugeFile: one logical stream over a chain of part files, on disk or
// in memory. Each part starts with a 280-byte PartHeader; the stream is the
// concatenation of the bytes after the headers. The first part's header may
// stand after E bytes of other data (an embedded container).
//
//   logical X -> Y = X + E; part Y div D; physical 280 + Y mod D,
//   where D = part size - 280.
//
// Not thread-safe; the page layer is its only user.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/container/part_file.h"

namespace kestro {

// The part size used when the creator passes -1 (or 0): large enough that a
// database on this volume stays one part file.
int64_t DefaultPartSize(const std::string& fileName);

class TVSFSHugeFile {
 public:
  TVSFSHugeFile(std::string baseName, int64_t partSize, bool inMemory, bool exclusive,
                bool readOnly);
  ~TVSFSHugeFile();

  // Creates a new chain (replacing an existing one) or opens an existing
  // one. False when the chain cannot be opened as a container stream; with
  // `tolerateMissing` a missing base file is false rather than an error.
  bool Open(bool create, bool tolerateMissing = false);
  void Close();
  void Flush();
  bool IsOpen() const { return open_; }

  int64_t Read(void* buffer, int64_t count);
  int64_t Write(const void* buffer, int64_t count);
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  int64_t Seek(int64_t offset, int origin);
  // Scatter/gather at a logical offset inside the stream, one system call
  // when the range lies in one part; the position does not move.
  int64_t ReadAt(int64_t offset, const iovec* iov, int count);
  int64_t WriteAt(int64_t offset, const iovec* iov, int count);
  // The stream bytes [offset, offset + length) in memory when they lie in
  // one part that can map them; nullptr otherwise.
  const uint8_t* Mapped(int64_t offset, int64_t length);
  int64_t Position() const { return position_; }
  int64_t Size() const { return size_; }
  bool SetSize(int64_t size);

  int64_t PartSize() const { return partSize_; }
  int64_t EmbeddingOffset() const { return embedding_; }
  size_t PartCount() const { return parts_.size(); }
  const std::string& PartName(size_t i) const { return parts_[i]->Name(); }
  bool ReadOnly() const { return readOnly_; }
  // The last Open failed because another process holds a part file.
  bool Locked() const { return locked_; }

 private:
  int64_t DataPerPart() const { return partSize_ - int64_t(kHeaderSize); }
  std::unique_ptr<TVSFSAbstractFile> NewPart(const std::string& name) const;
  bool AddPart();
  void DeleteLastPart();
  void WritePartHeader(size_t index, const std::string& nextName);
  bool FindEmbeddingOffset(TVSFSAbstractFile& first, int64_t& offset);
  void DeleteChain();
  // Physical offset of logical `x` and the part holding it.
  void Locate(int64_t x, size_t& part, int64_t& physical) const;
  // The part holding all of [offset, offset + iov bytes), or nullptr.
  TVSFSAbstractFile* SinglePart(int64_t offset, const iovec* iov, int count, int64_t& physical) const;
  int64_t Transfer(int64_t offset, const iovec* iov, int count, bool write);

  static constexpr size_t kHeaderSize = 280;

  std::string baseName_;
  int64_t partSize_;
  bool inMemory_;
  bool exclusive_;
  bool readOnly_;
  std::vector<std::unique_ptr<TVSFSAbstractFile>> parts_;
  int64_t embedding_ = 0;
  int64_t size_ = 0;
  int64_t position_ = 0;
  bool open_ = false;
  bool locked_ = false;
};

}  // namespace kestro
