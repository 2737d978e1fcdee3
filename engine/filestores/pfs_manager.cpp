#include "engine/filestores/pfs_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/common/exception.h"
#include "engine/common/text.h"
#include "engine/container/free_space.h"
#include "engine/container/part_file.h"

namespace kestro {
namespace {

// A database file that cannot be opened for writing with others kept to
// reading, or is read-only on disk, opens read-only.
bool MustOpenReadOnly(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return true;
  if (::access(path.c_str(), W_OK) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    return true;
  if (::chmod(path.c_str(), st.st_mode & 07777) != 0) return true;
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return true;
  const bool locked = !LockForSharing(fd, true, false);
  ::close(fd);
  return locked;
}

}  // namespace

TPFSManager& TPFSManager::Instance() {
  // Never destroyed: database objects still connected at exit release
  // their stores from the session list's destructor, which may run later.
  static TPFSManager* manager = new TPFSManager;
  return *manager;
}

TAbstractPlainFileSystem* TPFSManager::Find(const std::string& name, TFileStoreMode mode) const {
  // Directory stores keep their name with a trailing "/".
  auto bare = [](std::string_view n) { return n.size() > 1 && n.back() == '/' ? n.substr(0, n.size() - 1) : n; };
  for (const auto& s : stores_)
    if (s->Mode() == mode && SameTextAscii(bare(s->Name()), bare(name))) return s.get();
  return nullptr;
}

std::unique_ptr<TAbstractPlainFileSystem> TPFSManager::Make(const std::string& name,
                                                            const std::string& password,
                                                            bool inMemory, bool& readOnly,
                                                            TFileStoreMode mode) {
  switch (mode) {
    case fsmDirectory: return std::make_unique<TDiskPlainFileSystem>(name);
    case fsmMemory: return std::make_unique<TMemoryPlainFileSystem>(name);
    case fsmTemporary: return std::make_unique<TTemporaryPlainFileSystem>(name);
    case fsmContainer: {
      if (::access(name.c_str(), F_OK) != 0) return nullptr;
      if (!readOnly) readOnly = MustOpenReadOnly(name);
      // An existing container's own geometry applies; dfmNormal only sets
      // the directory threshold.
      const TFileModeGeometry g = GeometryOf(dfmNormal);
      SetDirectoryWholeExtentThreshold(g.extentPageCount);
      const uint16_t openMode = readOnly ? uint16_t(fmOpenRead | fmShareDenyNone)
                                         : uint16_t(fmOpenReadWrite | fmShareDenyWrite);
      auto container = std::make_unique<TVSingleFileSystem>(name, -1, g.extentPageCount,
                                                            g.pageSize, password, inMemory, openMode);
      return std::make_unique<TVSFSPlainFileSystem>(name, std::move(container));
    }
    default: throw Exception("TPFSManager.GetPFSHandle - Unsuuported file store mode.");
  }
}

TAbstractPlainFileSystem* TPFSManager::GetPFSHandle(const std::string& name,
                                                    const std::string& password,
                                                    TDatabaseFileMode fileMode, bool inMemory,
                                                    bool& readOnly, TFileStoreMode mode) {
  (void)fileMode;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (TAbstractPlainFileSystem* existing = Find(name, mode)) {
    if (mode == fsmContainer) readOnly = existing->ReadOnly();
    return existing;
  }
  if (mode < fsmDirectory || mode > fsmTemporary)
    throw Exception("TPFSManager.GetPFSHandle - Unsuuported file store mode.");
  try {
    std::unique_ptr<TAbstractPlainFileSystem> store = Make(name, password, inMemory, readOnly, mode);
    if (!store) return nullptr;
    if (mode == fsmContainer) readOnly = store->ReadOnly();
    stores_.push_back(std::move(store));
    return stores_.back().get();
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool TPFSManager::CreateDatabase(const std::string& name, const std::string& password,
                                 TDatabaseFileMode fileMode, bool inMemory) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Release(name);
  try {
    const TFileModeGeometry g = GeometryOf(fileMode);
    SetDirectoryWholeExtentThreshold(g.extentPageCount);
    auto container = std::make_unique<TVSingleFileSystem>(name, -1, g.extentPageCount, g.pageSize,
                                                          password, inMemory, fmCreate);
    stores_.push_back(std::make_unique<TVSFSPlainFileSystem>(name, std::move(container)));
  } catch (const std::exception&) {
    return false;
  }
  if (!inMemory) Release(name);
  return true;
}

void TPFSManager::Release(const std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  stores_.erase(std::remove_if(stores_.begin(), stores_.end(),
                               [&](const auto& s) {
                                 return s->Mode() == fsmContainer && SameTextAscii(s->Name(), name);
                               }),
                stores_.end());
}

void TPFSManager::Clear() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  stores_.clear();
}

}  // namespace kestro
