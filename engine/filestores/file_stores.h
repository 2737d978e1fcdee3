// File stores: where a database's table files live. One store per database
// and mode, kept by TPFSManager for the whole process; a store owns the
// file objects it hands out.
//
//   1 directory  files in a disk directory
//   2 container  internal files of one single-file container
//   3 memory     memory files that live as long as the store
//   4 temporary  disk files deleted when closed, reused while the store lives
//
// Not thread-safe; users hold the engine lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/container/single_file_system.h"
#include "engine/filestores/table_files.h"

namespace kestro {

enum TFileStoreMode : int { fsmDirectory = 1, fsmContainer = 2, fsmMemory = 3, fsmTemporary = 4 };

class TAbstractPlainFileSystem {
 public:
  TAbstractPlainFileSystem(std::string name, TFileStoreMode mode)
      : name_(std::move(name)), mode_(mode) {}
  virtual ~TAbstractPlainFileSystem() = default;

  const std::string& Name() const { return name_; }
  TFileStoreMode Mode() const { return mode_; }
  bool ReadOnly() const { return readOnly_; }

  // The file, opened or created; raises the store's messages on failure.
  virtual TAbstractFile* OpenFile(const std::string& name, bool create, bool readOnly,
                                  bool exclusive) = 0;
  virtual void CloseFile(TAbstractFile* file) = 0;
  virtual bool DeleteFile(const std::string& name) = 0;
  virtual bool RenameFile(const std::string& oldName, const std::string& newName) = 0;
  virtual bool FileExists(const std::string& name) const = 0;
  // Names of the files with `extension` (".dat"), extension removed, once each.
  virtual std::vector<std::string> ListTables(const std::string& extension) const = 0;

 protected:
  TAbstractFile* FindOpen(const std::string& name) const;
  void Forget(TAbstractFile* file);

  std::string name_;
  TFileStoreMode mode_;
  bool readOnly_ = false;
  std::vector<std::unique_ptr<TAbstractFile>> files_;
};

class TDiskPlainFileSystem : public TAbstractPlainFileSystem {
 public:
  explicit TDiskPlainFileSystem(std::string directory, TFileStoreMode mode = fsmDirectory);
  TAbstractFile* OpenFile(const std::string& name, bool create, bool readOnly,
                          bool exclusive) override;
  void CloseFile(TAbstractFile* file) override;
  bool DeleteFile(const std::string& name) override;
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
  bool FileExists(const std::string& name) const override;
  std::vector<std::string> ListTables(const std::string& extension) const override;

 protected:
  std::string PathOf(const std::string& name) const { return name_ + name; }
};

class TTemporaryPlainFileSystem : public TDiskPlainFileSystem {
 public:
  explicit TTemporaryPlainFileSystem(std::string directory);
  TAbstractFile* OpenFile(const std::string& name, bool create, bool readOnly,
                          bool exclusive) override;
  void CloseFile(TAbstractFile*) override {}  // kept while the store lives
  bool DeleteFile(const std::string& name) override;
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
  bool FileExists(const std::string& name) const override;
  std::vector<std::string> ListTables(const std::string& extension) const override;

 private:
  // The key names a database; the files go to its directory when it is one,
  // else to the system's temporary directory under a prefix of this store.
  std::string PathOf(const std::string& name) const { return dir_ + name; }
  std::string dir_;
};

class TMemoryPlainFileSystem : public TAbstractPlainFileSystem {
 public:
  explicit TMemoryPlainFileSystem(std::string name) : TAbstractPlainFileSystem(std::move(name), fsmMemory) {}
  TAbstractFile* OpenFile(const std::string& name, bool create, bool readOnly,
                          bool exclusive) override;
  void CloseFile(TAbstractFile*) override {}  // kept while the store lives
  bool DeleteFile(const std::string& name) override;
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
  bool FileExists(const std::string& name) const override { return FindOpen(name) != nullptr; }
  std::vector<std::string> ListTables(const std::string& extension) const override;
};

class TVSFSPlainFileSystem : public TAbstractPlainFileSystem {
 public:
  // Takes the open container.
  TVSFSPlainFileSystem(std::string fileName, std::unique_ptr<TVSingleFileSystem> container);
  ~TVSFSPlainFileSystem() override;
  TAbstractFile* OpenFile(const std::string& name, bool create, bool readOnly,
                          bool exclusive) override;
  void CloseFile(TAbstractFile* file) override;
  bool DeleteFile(const std::string& name) override;
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
  bool FileExists(const std::string& name) const override;
  std::vector<std::string> ListTables(const std::string& extension) const override;
  TVSingleFileSystem& Container() { return *container_; }

 private:
  std::unique_ptr<TVSingleFileSystem> container_;
};

}  // namespace kestro
