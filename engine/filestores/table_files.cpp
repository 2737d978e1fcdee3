#include "engine/filestores/table_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/common/exception.h"
#include "engine/container/part_file.h"
#include "engine/container/single_file_system.h"

namespace kestro {

// ---- common ----------------------------------------------------------------------

void TAbstractFile::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count)
    throw Exception("TAbstractFile.ReadBuffer - Stream read error");
}

void TAbstractFile::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count)
    throw Exception("TAbstractFile.WriteBuffer - Stream write error");
}

void TAbstractFile::Reopen() {
  if (!open_ || !ReopensOnFlagChange()) return;
  const int64_t at = Position();
  Close();
  if (Open(false)) Seek(at, 0);
}

void TAbstractFile::SetExclusive(bool v) {
  if (exclusive_ == v) return;
  exclusive_ = v;
  Reopen();
}

void TAbstractFile::SetReadOnly(bool v) {
  if (readOnly_ == v) return;
  readOnly_ = v;
  Reopen();
}

// ---- disk -------------------------------------------------------------------------

TDiskFile::~TDiskFile() { Close(); }

bool TDiskFile::Open(bool create) {
  Close();
  int flags = O_CLOEXEC | (create ? O_RDWR | O_CREAT : readOnly_ ? O_RDONLY : O_RDWR);
  const int fd = ::open(name_.c_str(), flags, 0644);
  if (fd < 0) return false;
  // Deny-none or exclusive sharing; an exclusive holder keeps everyone out.
  const bool writable = create || !readOnly_;  // exclusive needs write access
  if (!LockForSharing(fd, false, exclusive_ && writable) || (create && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return false;
  }
  if (create && temporary_) ::unlink(name_.c_str());  // gone when closed
  fd_ = fd;
  position_ = 0;
  open_ = true;
  return true;
}

void TDiskFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  open_ = false;
}

void TDiskFile::Flush() {
  if (fd_ >= 0 && !readOnly_) ::fdatasync(fd_);
}

int64_t TDiskFile::Read(void* buffer, int64_t count) {
  if (fd_ < 0 || count <= 0) return 0;
  const int64_t done = PReadFully(fd_, buffer, count, position_);
  position_ += done;
  return done;
}

int64_t TDiskFile::Write(const void* buffer, int64_t count) {
  if (fd_ < 0 || readOnly_ || count < 0) return 0;
  if (count == 0) {
    if (::ftruncate(fd_, off_t(position_)) != 0) return 0;
    return 0;
  }
  const int64_t done = PWriteFully(fd_, buffer, count, position_);
  position_ += done;
  return done;
}

int64_t TDiskFile::Seek(int64_t offset, int origin) {
  const int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

int64_t TDiskFile::Size() const {
  struct stat st {};
  return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : 0;
}

bool TDiskFile::SetSize(int64_t size) {
  return fd_ >= 0 && !readOnly_ && size >= 0 && ::ftruncate(fd_, off_t(size)) == 0;
}

// ---- memory ---------------------------------------------------------------------

bool TMemoryFile::Open(bool create) {
  if (!create) throw Exception("TMemoryFile.Open - File cannot be open, only creation is available.");
  data_.clear();
  position_ = 0;
  open_ = true;
  return true;
}

int64_t TMemoryFile::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  const int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, size_t(n));
  position_ += n;
  return n;
}

int64_t TMemoryFile::Write(const void* buffer, int64_t count) {
  if (readOnly_ || count < 0) return 0;
  if (count == 0) {
    if (position_ < Size()) data_.resize(size_t(position_));
    return 0;
  }
  if (position_ + count > Size()) data_.resize(size_t(position_ + count));
  std::memcpy(data_.data() + position_, buffer, size_t(count));
  position_ += count;
  return count;
}

int64_t TMemoryFile::Seek(int64_t offset, int origin) {
  const int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

bool TMemoryFile::SetSize(int64_t size) {
  if (size < 0 || readOnly_) return false;
  data_.resize(size_t(size));
  if (position_ > size) position_ = size;
  return true;
}

// ---- container --------------------------------------------------------------------

TVSFSFile::~TVSFSFile() { Close(); }

bool TVSFSFile::Open(bool create) {
  Close();
  const uint16_t sharing = exclusive_ ? fmShareExclusive : fmShareDenyNone;
  const uint16_t mode = create ? uint16_t(fmCreate)
                               : uint16_t((readOnly_ ? fmOpenRead : fmOpenReadWrite) | sharing);
  handle_ = container_.FileOpen(name_, mode);
  open_ = handle_ >= 0;
  return open_;
}

void TVSFSFile::Close() {
  if (handle_ >= 0) container_.FileClose(handle_);
  handle_ = -1;
  open_ = false;
}

void TVSFSFile::Flush() { container_.Flush(); }

int64_t TVSFSFile::Read(void* buffer, int64_t count) {
  return handle_ < 0 ? 0 : container_.FileRead(handle_, buffer, count);
}

int64_t TVSFSFile::Write(const void* buffer, int64_t count) {
  if (handle_ < 0 || readOnly_) return 0;
  if (count == 0) {
    container_.FileSetSize(handle_, Position());
    return 0;
  }
  return container_.FileWrite(handle_, buffer, count);
}

int64_t TVSFSFile::Seek(int64_t offset, int origin) {
  return handle_ < 0 ? 0 : container_.FileSeek(handle_, offset, origin);
}

int64_t TVSFSFile::Position() const {
  return handle_ < 0 ? 0 : const_cast<TVSingleFileSystem&>(container_).FileSeek(handle_, 0, 1);
}

int64_t TVSFSFile::Size() const { return handle_ < 0 ? 0 : container_.FileSize(handle_); }

bool TVSFSFile::SetSize(int64_t size) {
  return handle_ >= 0 && !readOnly_ && container_.FileSetSize(handle_, size) == size;
}

}  // namespace kestro
