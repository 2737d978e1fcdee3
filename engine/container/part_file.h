// The part files that carry a container stream: disk files and memory
// buffers with one interface. Not thread-safe; users hold the engine lock.
//
// Sharing between processes is emulated with open-file-description locks
// on two bytes far beyond any data: every open holds a shared lock on the
// "access" byte (an exclusive open holds it exclusively), and every open
// that denies writing to others holds the "writer" byte exclusively. So a
// database open read-write keeps other processes to reading only.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestro {

class TVSFSAbstractFile {
 public:
  explicit TVSFSAbstractFile(std::string name) : name_(std::move(name)) {}
  virtual ~TVSFSAbstractFile() = default;

  const std::string& Name() const { return name_; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool v) { exclusive_ = v; }

  virtual bool Open(bool create) = 0;
  virtual void Close() = 0;
  virtual void Flush() = 0;
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // A write of 0 bytes truncates the file at the position.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual int64_t Position() const = 0;
  virtual int64_t Size() const = 0;
  virtual bool SetSize(int64_t size) = 0;
  // Scatter/gather at an absolute offset, without moving the position;
  // the bytes transferred.
  virtual int64_t ReadAt(int64_t offset, const iovec* iov, int count) = 0;
  virtual int64_t WriteAt(int64_t offset, const iovec* iov, int count) = 0;
  // The bytes [offset, offset + length) in memory, valid until the next
  // write, size change or close; nullptr where the file cannot say.
  virtual const uint8_t* Mapped(int64_t offset, int64_t length) {
    (void)offset, (void)length;
    return nullptr;
  }

  // Raise "TVSFSAbstractFile.ReadBuffer/WriteBuffer - Stream ... error" on
  // short transfers.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

 protected:
  std::string name_;
  bool readOnly_ = false;
  bool exclusive_ = false;
};

class TVSFSDiskFile : public TVSFSAbstractFile {
 public:
  using TVSFSAbstractFile::TVSFSAbstractFile;
  ~TVSFSDiskFile() override;

  // Create always replaces; open needs an existing file.
  bool Open(bool create) override;
  void Close() override;
  void Flush() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Position() const override { return position_; }
  int64_t Size() const override;
  bool SetSize(int64_t size) override;
  int64_t ReadAt(int64_t offset, const iovec* iov, int count) override;
  int64_t WriteAt(int64_t offset, const iovec* iov, int count) override;
  // A read-only shared mapping of the file, extended as the file grows, so
  // page runs are checked and copied straight from the page cache.
  const uint8_t* Mapped(int64_t offset, int64_t length) override;
  // The last Open failed because another process holds the file.
  bool Locked() const { return locked_; }

 private:
  void Unmap();

  int fd_ = -1;
  bool locked_ = false;
  uint8_t* map_ = nullptr;
  int64_t mapLength_ = 0;
  int64_t touched_ = 0;  // bytes handed out since the mapping was last trimmed
  int64_t position_ = 0;
};

class TVSFSMemoryFile : public TVSFSAbstractFile {
 public:
  using TVSFSAbstractFile::TVSFSAbstractFile;

  // Memory parts can only be created.
  bool Open(bool create) override;
  void Close() override {}
  void Flush() override {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Position() const override { return position_; }
  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  bool SetSize(int64_t size) override;
  int64_t ReadAt(int64_t offset, const iovec* iov, int count) override;
  int64_t WriteAt(int64_t offset, const iovec* iov, int count) override;
  const uint8_t* Mapped(int64_t offset, int64_t length) override {
    return offset >= 0 && length >= 0 && offset + length <= Size() ? data_.data() + offset : nullptr;
  }

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

// Transfers at an absolute offset that carry on after short or interrupted
// system calls; the bytes done.
int64_t PReadFully(int fd, void* buffer, int64_t count, int64_t offset);
int64_t PWriteFully(int fd, const void* buffer, int64_t count, int64_t offset);

// Sharing locks of an open descriptor (see the file comment). False when
// another process holds a conflicting lock.
bool LockForSharing(int fd, bool write, bool exclusive);

}  // namespace kestro
