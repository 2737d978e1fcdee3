#include "engine/filestores/file_stores.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/common/exception.h"
#include "engine/common/text.h"

namespace kestro {
namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

bool EndsWithNoCase(const std::string& name, const std::string& ext) {
  return name.size() > ext.size() && SameTextAscii(name.substr(name.size() - ext.size()), ext);
}

}  // namespace

TAbstractFile* TAbstractPlainFileSystem::FindOpen(const std::string& name) const {
  for (const auto& f : files_)
    if (SameTextAscii(f->Name(), name)) return f.get();
  return nullptr;
}

void TAbstractPlainFileSystem::Forget(TAbstractFile* file) {
  files_.erase(std::remove_if(files_.begin(), files_.end(),
                              [file](const auto& f) { return f.get() == file; }),
               files_.end());
}

// ---- directory store ----------------------------------------------------------------

TDiskPlainFileSystem::TDiskPlainFileSystem(std::string directory, TFileStoreMode mode)
    : TAbstractPlainFileSystem(std::move(directory), mode) {
  if (name_.empty() || name_.back() != '/') name_ += '/';
}

TAbstractFile* TDiskPlainFileSystem::OpenFile(const std::string& name, bool create, bool readOnly,
                                              bool exclusive) {
  const std::string path = PathOf(name);
  if (FindOpen(path) != nullptr)
    throw Exception("TDiskPlainFileSystem.OpenFile - File " + Quoted(path) + " is already open.");
  auto file = std::make_unique<TDiskFile>(path);
  file->SetExclusive(exclusive);
  file->SetReadOnly(readOnly && !create);
  if (!file->Open(create)) {
    if (create) throw Exception("Cannot create file " + Quoted(path));
    // Read-write refused: fall back to reading.
    file->SetReadOnly(true);
    if (readOnly || !file->Open(false)) throw Exception("Cannot open file " + Quoted(path));
  }
  files_.push_back(std::move(file));
  return files_.back().get();
}

void TDiskPlainFileSystem::CloseFile(TAbstractFile* file) {
  if (file == nullptr) return;
  file->Close();
  Forget(file);
}

bool TDiskPlainFileSystem::DeleteFile(const std::string& name) {
  return ::unlink(PathOf(name).c_str()) == 0;
}

bool TDiskPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  return std::rename(PathOf(oldName).c_str(), PathOf(newName).c_str()) == 0;
}

bool TDiskPlainFileSystem::FileExists(const std::string& name) const {
  struct stat st {};
  return ::stat(PathOf(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> TDiskPlainFileSystem::ListTables(const std::string& extension) const {
  std::set<std::string> names;
  if (DIR* d = ::opendir(name_.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (EndsWithNoCase(n, extension)) names.insert(n.substr(0, n.size() - extension.size()));
    }
    ::closedir(d);
  }
  return {names.begin(), names.end()};
}

// ---- temporary store ----------------------------------------------------------------

TTemporaryPlainFileSystem::TTemporaryPlainFileSystem(std::string directory)
    : TDiskPlainFileSystem(std::move(directory), fsmTemporary) {
  std::error_code ec;
  if (std::filesystem::is_directory(name_, ec)) {
    dir_ = name_;
  } else {
    static std::atomic<unsigned> serial{0};
    dir_ = (std::filesystem::temp_directory_path(ec) /
            ("kestro-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + "-"))
               .string();
  }
}

TAbstractFile* TTemporaryPlainFileSystem::OpenFile(const std::string& name, bool create,
                                                   bool readOnly, bool) {
  if (TAbstractFile* open = FindOpen(PathOf(name))) {
    if (create) open->SetSize(0);
    open->Seek(0, 0);
    return open;
  }
  if (!create) throw Exception("Cannot open file " + Quoted(PathOf(name)));
  auto file = std::make_unique<TDiskFile>(PathOf(name));
  file->SetTemporary(true);
  if (!file->Open(true)) throw Exception("Cannot create file " + Quoted(PathOf(name)));
  (void)readOnly;
  files_.push_back(std::move(file));
  return files_.back().get();
}

bool TTemporaryPlainFileSystem::DeleteFile(const std::string& name) {
  TAbstractFile* open = FindOpen(PathOf(name));
  if (open == nullptr) return false;
  Forget(open);
  return true;
}

bool TTemporaryPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  TAbstractFile* open = FindOpen(PathOf(oldName));
  if (open == nullptr || FindOpen(PathOf(newName)) != nullptr) return false;
  open->SetName(PathOf(newName));
  return true;
}

bool TTemporaryPlainFileSystem::FileExists(const std::string& name) const {
  return FindOpen(PathOf(name)) != nullptr;
}

std::vector<std::string> TTemporaryPlainFileSystem::ListTables(const std::string& extension) const {
  std::set<std::string> names;
  for (const auto& f : files_) {
    const std::string n = f->Name().substr(dir_.size());
    if (EndsWithNoCase(n, extension)) names.insert(n.substr(0, n.size() - extension.size()));
  }
  return {names.begin(), names.end()};
}

// ---- memory store -------------------------------------------------------------------

TAbstractFile* TMemoryPlainFileSystem::OpenFile(const std::string& name, bool create, bool readOnly,
                                                bool) {
  if (TAbstractFile* open = FindOpen(name)) {
    // The file is shared: a read-only opener must not make it read-only for
    // a table that is writing it.
    if (create) {
      open->SetReadOnly(false);
      open->SetSize(0);
    }
    open->Seek(0, 0);
    return open;
  }
  auto file = std::make_unique<TMemoryFile>(name);
  file->Open(create);  // raises for a file that was never created
  file->SetReadOnly(readOnly && !create);
  files_.push_back(std::move(file));
  return files_.back().get();
}

bool TMemoryPlainFileSystem::DeleteFile(const std::string& name) {
  TAbstractFile* open = FindOpen(name);
  if (open == nullptr) return false;
  Forget(open);
  return true;
}

bool TMemoryPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  TAbstractFile* open = FindOpen(oldName);
  if (open == nullptr || FindOpen(newName) != nullptr) return false;
  open->SetName(newName);
  return true;
}

std::vector<std::string> TMemoryPlainFileSystem::ListTables(const std::string& extension) const {
  std::set<std::string> names;
  for (const auto& f : files_)
    if (EndsWithNoCase(f->Name(), extension))
      names.insert(f->Name().substr(0, f->Name().size() - extension.size()));
  return {names.begin(), names.end()};
}

// ---- container store ----------------------------------------------------------------

TVSFSPlainFileSystem::TVSFSPlainFileSystem(std::string fileName,
                                           std::unique_ptr<TVSingleFileSystem> container)
    : TAbstractPlainFileSystem(std::move(fileName), fsmContainer),
      container_(std::move(container)) {
  readOnly_ = container_->ReadOnly();
}

TVSFSPlainFileSystem::~TVSFSPlainFileSystem() {
  files_.clear();  // close the files before the container
}

TAbstractFile* TVSFSPlainFileSystem::OpenFile(const std::string& name, bool create, bool readOnly,
                                              bool exclusive) {
  if (FindOpen(name) != nullptr)
    throw Exception("TVSFSPlainFileSystem.OpenFile - File " + Quoted(name) + " is already open.");
  auto file = std::make_unique<TVSFSFile>(name, *container_);
  file->SetExclusive(exclusive);
  file->SetReadOnly((readOnly || readOnly_) && !create);
  if (!file->Open(create && !readOnly_)) {
    if (create) throw Exception("Cannot create file " + Quoted(name));
    file->SetReadOnly(true);
    if (!file->Open(false)) throw Exception("Cannot open file " + Quoted(name));
  }
  files_.push_back(std::move(file));
  return files_.back().get();
}

void TVSFSPlainFileSystem::CloseFile(TAbstractFile* file) {
  if (file == nullptr) return;
  file->Close();
  Forget(file);
}

bool TVSFSPlainFileSystem::DeleteFile(const std::string& name) {
  return container_->FileDelete(name);
}

bool TVSFSPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  return container_->FileRename(oldName, newName);
}

bool TVSFSPlainFileSystem::FileExists(const std::string& name) const {
  return container_->FileExists(name);
}

std::vector<std::string> TVSFSPlainFileSystem::ListTables(const std::string& extension) const {
  std::set<std::string> names;
  TVSFSSearchRec rec;
  for (int r = container_->FindFirst("\\*" + extension, 0, rec); r == 0;
       r = container_->FindNext(rec))
    if ((rec.attributes & kDirectoryAttribute) == 0 && EndsWithNoCase(rec.name, extension))
      names.insert(rec.name.substr(0, rec.name.size() - extension.size()));
  container_->FindClose(rec);
  return {names.begin(), names.end()};
}

}  // namespace kestro
