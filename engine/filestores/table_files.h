// The files that tables keep their data in, whichever store holds them:
// disk files (plain or temporary), memory files, and internal files of a
// single-file container. Not thread-safe; users hold the engine lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro {

class TVSingleFileSystem;

class TAbstractFile {
 public:
  explicit TAbstractFile(std::string name) : name_(std::move(name)) {}
  virtual ~TAbstractFile() = default;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  bool ReadOnly() const { return readOnly_; }
  bool Exclusive() const { return exclusive_; }
  bool Temporary() const { return temporary_; }
  bool IsOpen() const { return open_; }

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

  // Changing these on an open disk or container file reopens it at the
  // same position.
  void SetExclusive(bool v);
  void SetReadOnly(bool v);
  void SetTemporary(bool v) { temporary_ = v; }

  // "TAbstractFile.ReadBuffer/WriteBuffer - Stream ... error" on short
  // transfers.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

 protected:
  virtual bool ReopensOnFlagChange() const { return false; }
  void Reopen();

  std::string name_;
  bool readOnly_ = false;
  bool exclusive_ = false;
  bool temporary_ = false;
  bool open_ = false;
};

// A file on disk at `path`. A temporary file is unlinked as soon as it is
// created, so it disappears when closed.
class TDiskFile : public TAbstractFile {
 public:
  using TAbstractFile::TAbstractFile;
  ~TDiskFile() override;
  bool Open(bool create) override;
  void Close() override;
  void Flush() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Position() const override { return position_; }
  int64_t Size() const override;
  bool SetSize(int64_t size) override;

 protected:
  bool ReopensOnFlagChange() const override { return true; }

 private:
  int fd_ = -1;
  int64_t position_ = 0;
};

class TMemoryFile : public TAbstractFile {
 public:
  using TAbstractFile::TAbstractFile;
  // Memory files can only be created.
  bool Open(bool create) override;
  void Close() override { open_ = false; }
  void Flush() override {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Position() const override { return position_; }
  int64_t Size() const override { return int64_t(data_.size()); }
  bool SetSize(int64_t size) override;
  const std::vector<uint8_t>& Data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

// An internal file of a container.
class TVSFSFile : public TAbstractFile {
 public:
  TVSFSFile(std::string name, TVSingleFileSystem& container)
      : TAbstractFile(std::move(name)), container_(container) {}
  ~TVSFSFile() override;
  bool Open(bool create) override;
  void Close() override;
  void Flush() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Position() const override;
  int64_t Size() const override;
  bool SetSize(int64_t size) override;

 protected:
  bool ReopensOnFlagChange() const override { return true; }

 private:
  TVSingleFileSystem& container_;
  int32_t handle_ = -1;
};

}  // namespace kestro
