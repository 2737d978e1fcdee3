// TVSingleFileSystem: the single-file container seen as a small file
// system of internal files and directories, with an optional password that
// encrypts directory and data pages. Operations return negative codes for
// ordinary failures (kept as LastError()) and raise Exception for broken
// internal state. Every change is written through at once; the carrier is
// flushed by Flush and on destruction.
//
// Not thread-safe: callers hold the engine lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/container/directory.h"
#include "engine/container/page_map.h"

namespace kestro {

// Result codes of the file operations.
enum TVSFSResult : int32_t {
  vsfsNotFound = -1,  // name not found, a directory, bad path, or cancelled
  vsfsInvalidHandle = -6,
  vsfsFileIsOpen = -16,
  vsfsStreamFull = -17,
};

struct TUserFileHandle {
  int32_t item = -1;
  int64_t position = 0;
  uint16_t mode = 0;
  std::string key;  // per-file key; empty: the container key
};

struct TVSFSSearchRec {
  int32_t time = 0;  // DOS date-time of the modified time, local
  int64_t size = 0;  // low 32 bits of the size
  int32_t attributes = 0;
  std::string name;
  int64_t created = 0, accessed = 0, modified = 0;  // FILETIME
  // The collected matches and the current one.
  std::vector<int32_t> matches;
  size_t index = 0;
};

class TVSingleFileSystem {
 public:
  // Asked for the password of an internal file that has its own; false when
  // cancelled. The default refuses without asking anyone.
  using PasswordRequest =
      std::function<bool(TVSingleFileSystem&, const std::string& fileName, std::string& password)>;
  using StreamFull = std::function<void(TVSingleFileSystem&)>;

  // `openMode` fmCreate creates a new container (replacing a file); other
  // modes open one. With `inMemory` the stream lives in memory (an existing
  // file is loaded rather than replaced).
  TVSingleFileSystem(const std::string& fileName, int64_t partSize, int32_t extentPageCount,
                     int32_t pageSize, const std::string& password, bool inMemory,
                     uint16_t openMode);
  ~TVSingleFileSystem();

  static bool IsFileEncrypted(const std::string& fileName);
  static bool PasswordOpens(const std::string& fileName, const std::string& password);

  int32_t FileCreate(const std::string& name);
  int32_t FileOpen(const std::string& name, uint16_t mode);
  void FileClose(int32_t handle);
  int64_t FileRead(int32_t handle, void* buffer, int64_t count);
  int64_t FileWrite(int32_t handle, const void* buffer, int64_t count);
  int64_t FileSeek(int32_t handle, int64_t offset, int origin);
  int64_t FileSetSize(int32_t handle, int64_t size);
  int64_t FileSize(int32_t handle) const;
  bool FileDelete(const std::string& name);
  bool FileRename(const std::string& oldName, const std::string& newName);
  bool FileExists(const std::string& name) const;
  int FindFirst(const std::string& pattern, int32_t attributes, TVSFSSearchRec& rec) const;
  int FindNext(TVSFSSearchRec& rec) const;
  void FindClose(TVSFSSearchRec& rec) const;
  void ForceDirectories(const std::string& path);
  bool CreateDir(const std::string& path);
  bool DirExists(const std::string& path) const;
  void Flush();

  bool IsEncrypted() const { return pages_->Encrypted(); }
  bool ReadOnly() const { return pages_->ReadOnly(); }
  int32_t LastError() const { return lastError_; }
  const std::string& FileName() const { return fileName_; }
  void SetPasswordRequest(PasswordRequest f) { passwordRequest_ = std::move(f); }
  void SetStreamFull(StreamFull f) { streamFull_ = std::move(f); }

  // The layers, for checks and tests.
  TPageFileManager& PageFile() { return *pages_; }
  TFreeSpaceManager& FreeSpace() { return *space_; }
  TDIRManager& Directory() { return *dir_; }
  TUserFilePageMapManager& PageMaps() { return *maps_; }

 private:
  // Item number of `path` (a file or directory), or -1.
  int32_t FindItem(const std::string& path) const;
  // Parent item of `path`'s last component (-1: the root) and that name;
  // false when the directory part does not resolve.
  bool ResolveParent(const std::string& path, int32_t& parent, std::string& name) const;
  int32_t AddEntry(int32_t parent, const std::string& name, bool directory);
  TUserFileHandle* Handle(int32_t handle);
  const std::string* KeyOf(const TUserFileHandle& h) const;
  bool Grow(TDirectoryItem& item, int64_t newSize, int64_t skipZeroFrom);
  int64_t SetItemSize(int32_t itemNo, TDirectoryItem& item, int64_t newSize);
  void ReportStreamFull();

  std::string fileName_;
  std::unique_ptr<TPageFileManager> pages_;
  std::unique_ptr<TFreeSpaceManager> space_;
  std::unique_ptr<TDIRManager> dir_;
  std::unique_ptr<TUserFilePageMapManager> maps_;
  std::map<int32_t, TUserFileHandle> handles_;
  int32_t nextHandle_ = 0;
  std::string password_;
  int32_t lastError_ = 0;
  PasswordRequest passwordRequest_;
  StreamFull streamFull_;
  std::vector<uint8_t> scratch_;  // page staging for reads and writes
};

// Current time as the directory stores it: local clock, 2-second (DOS)
// resolution, as a UTC FILETIME.
int64_t DirectoryTimeNow();
int32_t FileTimeToDosLocal(int64_t fileTime);

}  // namespace kestro
