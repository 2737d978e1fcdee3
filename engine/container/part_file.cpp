#include "engine/container/part_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/common/exception.h"

namespace kestro {
namespace {

constexpr int64_t kMappedTrimBytes = int64_t(128) << 20;
constexpr off_t kAccessLockByte = 0x7FFF'FFFF'FFFF'FF00;
constexpr off_t kWriterLockByte = 0x7FFF'FFFF'FFFF'FF01;

bool SetLock(int fd, short type, off_t at) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = at;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

}  // namespace

int64_t PReadFully(int fd, void* buffer, int64_t count, int64_t offset) {
  int64_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < count) {
    const ssize_t n = ::pread(fd, p + done, size_t(count - done), off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t PWriteFully(int fd, const void* buffer, int64_t count, int64_t offset) {
  int64_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < count) {
    const ssize_t n = ::pwrite(fd, p + done, size_t(count - done), off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

bool LockForSharing(int fd, bool write, bool exclusive) {
  if (!SetLock(fd, exclusive ? F_WRLCK : F_RDLCK, kAccessLockByte)) return false;
  return !write || SetLock(fd, F_WRLCK, kWriterLockByte);
}

void TVSFSAbstractFile::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count)
    throw Exception("TVSFSAbstractFile.ReadBuffer - Stream read error");
}

void TVSFSAbstractFile::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count)
    throw Exception("TVSFSAbstractFile.WriteBuffer - Stream write error");
}

// ---- disk -------------------------------------------------------------------

TVSFSDiskFile::~TVSFSDiskFile() { Close(); }

bool TVSFSDiskFile::Open(bool create) {
  Close();
  locked_ = false;
  int flags = O_CLOEXEC;
  if (create)
    flags |= O_RDWR | O_CREAT;  // truncated once the sharing lock is held
  else
    flags |= readOnly_ ? O_RDONLY : O_RDWR;
  const int fd = ::open(name_.c_str(), flags, 0644);
  if (fd < 0) return false;
  // A file that is read-only on disk cannot be opened for writing above;
  // exclusive or writing opens keep other writers out.
  // Without write access a file can be shared but never held exclusively.
  const bool writable = create || !readOnly_;
  if (!LockForSharing(fd, writable, exclusive_ && writable)) {
    locked_ = true;
    ::close(fd);
    return false;
  }
  if (create && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  position_ = 0;
  if (create) readOnly_ = false;
  return true;
}

void TVSFSDiskFile::Close() {
  Unmap();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TVSFSDiskFile::Unmap() {
  if (map_ != nullptr) ::munmap(map_, size_t(mapLength_));
  map_ = nullptr;
  mapLength_ = 0;
}

const uint8_t* TVSFSDiskFile::Mapped(int64_t offset, int64_t length) {
  if (fd_ < 0 || offset < 0 || length < 0) return nullptr;
  if (offset + length > mapLength_) {
    const int64_t size = Size();
    if (offset + length > size) return nullptr;
    Unmap();
    void* m = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd_, 0);
    if (m == MAP_FAILED) return nullptr;
    map_ = static_cast<uint8_t*>(m);
    mapLength_ = size;
    touched_ = 0;
  }
  // Pages read through the mapping count as the process's memory: in large
  // files let them go from time to time (they stay in the page cache).
  touched_ += length;
  if (mapLength_ > kMappedTrimBytes && touched_ > kMappedTrimBytes) {
    ::madvise(map_, size_t(mapLength_), MADV_DONTNEED);
    touched_ = length;
  }
  return map_ + offset;
}

void TVSFSDiskFile::Flush() {
  if (fd_ >= 0 && !readOnly_) ::fdatasync(fd_);
}

int64_t TVSFSDiskFile::Read(void* buffer, int64_t count) {
  if (fd_ < 0 || count <= 0) return 0;
  const int64_t done = PReadFully(fd_, buffer, count, position_);
  position_ += done;
  return done;
}

int64_t TVSFSDiskFile::Write(const void* buffer, int64_t count) {
  if (fd_ < 0 || readOnly_) return 0;
  if (count == 0) {
    if (position_ < mapLength_) Unmap();
    return ::ftruncate(fd_, off_t(position_)) == 0 ? 0 : 0;
  }
  const int64_t done = PWriteFully(fd_, buffer, count, position_);
  position_ += done;
  return done;
}

int64_t TVSFSDiskFile::Seek(int64_t offset, int origin) {
  const int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : Size();
  position_ = base + offset;
  return position_;
}

int64_t TVSFSDiskFile::Size() const {
  struct stat st {};
  return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : 0;
}

bool TVSFSDiskFile::SetSize(int64_t size) {
  if (size < mapLength_) Unmap();  // never leave a mapping past the end
  return fd_ >= 0 && !readOnly_ && size >= 0 && ::ftruncate(fd_, off_t(size)) == 0;
}

namespace {

size_t TotalLength(const iovec* iov, int count) {
  size_t n = 0;
  for (int i = 0; i < count; ++i) n += iov[i].iov_len;
  return n;
}

}  // namespace

int64_t TVSFSDiskFile::ReadAt(int64_t offset, const iovec* iov, int count) {
  if (fd_ < 0) return 0;
  const ssize_t n = ::preadv(fd_, iov, count, off_t(offset));
  if (n >= 0 && size_t(n) == TotalLength(iov, count)) return n;
  // Short or interrupted: finish piece by piece.
  int64_t done = 0;
  for (int i = 0; i < count; ++i) {
    const int64_t n = PReadFully(fd_, iov[i].iov_base, int64_t(iov[i].iov_len), offset + done);
    done += n;
    if (n < int64_t(iov[i].iov_len)) break;
  }
  return done;
}

int64_t TVSFSDiskFile::WriteAt(int64_t offset, const iovec* iov, int count) {
  if (fd_ < 0 || readOnly_) return 0;
  const ssize_t n = ::pwritev(fd_, iov, count, off_t(offset));
  if (n >= 0 && size_t(n) == TotalLength(iov, count)) return n;
  int64_t done = 0;
  for (int i = 0; i < count; ++i) {
    const int64_t n = PWriteFully(fd_, iov[i].iov_base, int64_t(iov[i].iov_len), offset + done);
    done += n;
    if (n < int64_t(iov[i].iov_len)) break;
  }
  return done;
}

int64_t TVSFSMemoryFile::ReadAt(int64_t offset, const iovec* iov, int count) {
  int64_t done = 0;
  for (int i = 0; i < count && offset + done < Size(); ++i) {
    const int64_t n = std::min<int64_t>(int64_t(iov[i].iov_len), Size() - offset - done);
    std::memcpy(iov[i].iov_base, data_.data() + offset + done, size_t(n));
    done += n;
  }
  return done;
}

int64_t TVSFSMemoryFile::WriteAt(int64_t offset, const iovec* iov, int count) {
  const int64_t total = int64_t(TotalLength(iov, count));
  if (offset + total > Size()) data_.resize(size_t(offset + total));
  int64_t done = 0;
  for (int i = 0; i < count; ++i) {
    std::memcpy(data_.data() + offset + done, iov[i].iov_base, iov[i].iov_len);
    done += int64_t(iov[i].iov_len);
  }
  return done;
}

// ---- memory -----------------------------------------------------------------

bool TVSFSMemoryFile::Open(bool create) {
  if (!create) throw Exception("TVSFSMemoryFile.Open - File cannot be open, only creation is available.");
  data_.clear();
  position_ = 0;
  return true;
}

int64_t TVSFSMemoryFile::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  const int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, size_t(n));
  position_ += n;
  return n;
}

int64_t TVSFSMemoryFile::Write(const void* buffer, int64_t count) {
  if (count == 0) {
    if (position_ < Size()) data_.resize(size_t(position_));
    return 0;
  }
  if (count < 0) return 0;
  if (position_ + count > Size()) data_.resize(size_t(position_ + count));
  std::memcpy(data_.data() + position_, buffer, size_t(count));
  position_ += count;
  return count;
}

int64_t TVSFSMemoryFile::Seek(int64_t offset, int origin) {
  const int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : Size();
  position_ = base + offset;
  return position_;
}

bool TVSFSMemoryFile::SetSize(int64_t size) {
  if (size < 0) return false;
  data_.resize(size_t(size));
  return true;
}

}  // namespace kestro
