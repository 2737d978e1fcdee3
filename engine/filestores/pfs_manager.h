// TPFSManager: the process-wide registry of file stores, one per database
// name and store mode. It owns every store it returns. Every lookup,
// creation and release holds its re-entrant lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/container/formats.h"
#include "engine/filestores/file_stores.h"

namespace kestro {

class TPFSManager {
 public:
  static TPFSManager& Instance();

  // The store for `name` in `mode`, made when missing; nullptr when it
  // cannot be made (a container store needs an existing file). For a
  // container, `readOnly` in: the caller asks for reading only; out: the
  // store was opened read-only (the file is in use for writing by another
  // process, or is read-only on disk).
  TAbstractPlainFileSystem* GetPFSHandle(const std::string& name, const std::string& password,
                                         TDatabaseFileMode fileMode, bool inMemory, bool& readOnly,
                                         TFileStoreMode mode);
  // Creates an empty container file with the geometry of `fileMode`; it is
  // closed again unless in memory. False on any error.
  bool CreateDatabase(const std::string& name, const std::string& password,
                      TDatabaseFileMode fileMode, bool inMemory);
  // Frees the container store of `name`, closing the container.
  void Release(const std::string& name);
  // Frees every store (at engine end and in tests).
  void Clear();

  std::recursive_mutex& Lock() { return lock_; }

 private:
  TPFSManager() = default;
  TAbstractPlainFileSystem* Find(const std::string& name, TFileStoreMode mode) const;
  std::unique_ptr<TAbstractPlainFileSystem> Make(const std::string& name,
                                                 const std::string& password, bool inMemory,
                                                 bool& readOnly, TFileStoreMode mode);

  std::recursive_mutex lock_;
  std::vector<std::unique_ptr<TAbstractPlainFileSystem>> stores_;
};

}  // namespace kestro
