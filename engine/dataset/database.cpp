#include "engine/dataset/database.h"

#include <algorithm>
#include <filesystem>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/common/exception.h"
#include "engine/container/single_file_system.h"
#include "engine/dataset/table_list.h"
#include "engine/filestores/pfs_manager.h"

namespace kestro {
namespace {

std::vector<TVellDatabaseManager*>& HandleList() {
  static auto* handles = new std::vector<TVellDatabaseManager*>;  // outlives the session list
  return *handles;
}

bool SameText(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}
bool IsMemoryName(const std::string& name) { return SameText(name, "MEMORY"); }

template <typename T>
void Erase(std::vector<T*>& v, T* x) {
  v.erase(std::remove(v.begin(), v.end(), x), v.end());
}

}  // namespace

// ---- database object ----------------------------------------------------------------

TVellDatabase::TVellDatabase(std::string componentName, TVellSession* session, const void* owner)
    : componentName_(std::move(componentName)), owner_(owner) {
  session_ = session != nullptr ? session : &TVellSessionList::Instance().DefaultSession();
  sessionName_ = session_->SessionName();
  session_->AddDatabase(this);
}

TVellDatabase::~TVellDatabase() {
  destroying_ = true;
  try {
    Close();
  } catch (...) {
  }
  if (session_ != nullptr) session_->RemoveDatabase(this);
}

void TVellDatabase::Raise(int code, std::vector<VArg> args) const {
  throw VTblException(code, componentName_, args);
}

void TVellDatabase::SetConnected(bool connected) {
  if (connected == Connected()) return;
  connected ? Open() : Close();
}

void TVellDatabase::SetDatabaseName(const std::string& name) {
  if (Connected()) Raise(1080);
  ValidateName(name);
  name_ = name;
}

void TVellDatabase::SetDatabaseFileName(const std::string& name) {
  Close();
  fileName_ = name;
  if (!name.empty()) directory_.clear();
}

void TVellDatabase::SetInMemory(bool v) {
  if (Connected()) Raise(1080);
  inMemory_ = v;
}

void TVellDatabase::SetKeepConnection(bool v) {
  keepConnection_ = v;
  if (!v && refCount_ == 0 && datasets_.empty()) Close();
}

void TVellDatabase::SetSessionName(const std::string& name) {
  if (Connected()) Raise(1080);
  sessionName_ = name;
  if (TVellSession* s = TVellSessionList::Instance().FindSession(name);
      s != nullptr && s != session_) {
    if (session_ != nullptr) session_->RemoveDatabase(this);
    session_ = s;
    s->AddDatabase(this);
  }
}

bool TVellDatabase::Encrypted() const {
  return !fileName_.empty() && ::access(fileName_.c_str(), F_OK) == 0 &&
         TVSingleFileSystem::IsFileEncrypted(fileName_);
}

void TVellDatabase::ValidateName(const std::string& name) {
  if (name.empty() || session_ == nullptr) return;
  TVellDatabase* other = session_->FindDatabase(name, fileName_);
  if (other == nullptr || other == this || (other->handleShared_ && handleShared_)) return;
  if (!other->temporary_ || other->refCount_ != 0) Raise(1082, {name});
  other->Close();
  session_->RemoveDatabase(other);
  session_->temporaries_.erase(
      std::remove_if(session_->temporaries_.begin(), session_->temporaries_.end(),
                     [other](const auto& p) { return p.get() == other; }),
      session_->temporaries_.end());
}

void TVellDatabase::CheckSession() {
  TVellSession& s = TVellSessionList::Instance().GetSession(sessionName_);
  if (&s != session_) {
    if (session_ != nullptr) session_->RemoveDatabase(this);
    session_ = &s;
    s.AddDatabase(this);
    try {
      ValidateName(name_);
    } catch (...) {
      name_.clear();
      throw;
    }
  }
  s.SetActive(true);
}

void TVellDatabase::Open() {
  if (Connected()) return;
  if (name_.empty() && !temporary_) Raise(1081);
  CheckSession();
  if (handleShared_)
    for (TVellDatabase* d : session_->Databases())
      if (d != this && d->Connected() && d->handleShared_ && SameText(d->name_, name_)) {
        handle_ = d->handle_;
        borrowed_ = true;
        return;
      }
  session_->Lock();
  struct Unlock {
    TVellSession* s;
    ~Unlock() { s->Unlock(); }
  } unlock{session_};
  if (name_.find(':') != std::string::npos || name_.find('\\') != std::string::npos ||
      name_.find('/') != std::string::npos)
    directory_ = name_;
  if (!directory_.empty()) {
    struct stat st {};
    if (::stat(directory_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw Exception("TVellDatabase.Open - Directory \"" + directory_ + "\" doesn't exist.");
    AttachHandle();
    return;
  }
  if (!fileName_.empty()) {
    fileName_ = std::filesystem::absolute(fileName_).lexically_normal().string();
    const bool exists = inMemory_ ? false : ::access(fileName_.c_str(), F_OK) == 0;
    if (!exists) CreateDatabase(fileName_);
    AttachHandle();
    if (!Encrypted()) password_.clear();
    if (handle_->GetFileStore(2) == nullptr) {
      DetachHandle();
      throw Exception("TVellDatabase.Open - Invalid password or corrupted database file.");
    }
    return;
  }
  AttachHandle();
}

void TVellDatabase::Close() {
  if (!Connected()) return;
  // Closing a dataset unbinds it: walk a copy, newest first.
  closing_ = true;
  const std::vector<TVellDatasetLink*> bound = datasets_;
  try {
    for (auto it = bound.rbegin(); it != bound.rend(); ++it)
      if (std::find(datasets_.begin(), datasets_.end(), *it) != datasets_.end() &&
          (*it)->DatasetActive())
        (*it)->CloseDataset();
  } catch (...) {
    closing_ = false;
    throw;
  }
  closing_ = false;
  datasets_.clear();
  if (!borrowed_) DetachHandle();
  handle_ = nullptr;
  borrowed_ = false;
  refCount_ = 0;
}

void TVellDatabase::CreateDatabase(const std::string& fileName) {
  if (fileName.empty()) throw Exception("DatabaseFileName property is blank.");
  if (Connected()) throw Exception("CreateDatabase error. Database is connected.");
  fileName_ = fileName;
  AttachHandle();
  try {
    handle_->CreateDatabase();
  } catch (...) {
    DetachHandle();
    throw;
  }
  DetachHandle();
}

void TVellDatabase::AdoptHandle(TVellDatabaseManager* handle) {
  Close();
  CheckSession();
  if (handle->SessionToken() != session_->Token()) Raise(1084);
  handle_ = handle;
  borrowed_ = true;
}

void TVellDatabase::AttachHandle() {
  std::lock_guard<std::recursive_mutex> guard(DbListLock());
  TVellDatabaseManager* h = TVellDatabaseManager::FindOrCreate(this);
  h->ConnectDatabase(this);
  handle_ = h;
  borrowed_ = false;
}

void TVellDatabase::DetachHandle() {
  std::lock_guard<std::recursive_mutex> guard(DbListLock());
  if (handle_ != nullptr) handle_->DisconnectDatabase(this);
  handle_ = nullptr;
}

void TVellDatabase::BindDataset(TVellDatasetLink* ds) {
  if (std::find(datasets_.begin(), datasets_.end(), ds) == datasets_.end()) datasets_.push_back(ds);
}

void TVellDatabase::UnbindDataset(TVellDatasetLink* ds) {
  Erase(datasets_, ds);
  if (session_ != nullptr && !closing_) session_->CloseDatabase(this);
}

// ---- handle -------------------------------------------------------------------------

const std::vector<TVellDatabaseManager*>& TVellDatabaseManager::Handles() { return HandleList(); }

TVellDatabaseManager* TVellDatabaseManager::FindOrCreate(TVellDatabase* db) {
  const std::string key = !db->directory_.empty()   ? db->directory_
                          : IsMemoryName(db->name_) ? db->name_
                                                    : db->fileName_;
  auto& list = HandleList();
  if (!key.empty())
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
      if (SameText((*it)->key_, key)) return *it;
      for (TVellDatabase* other : (*it)->databases_)
        if (SameText(other->name_, key)) return *it;
    }
  auto* h = new TVellDatabaseManager;
  if (!db->fileName_.empty() && db->directory_.empty() && !IsMemoryName(db->name_)) {
    h->fileBased_ = true;
    h->key_ = db->fileName_;
    h->storeMode_ = smContainer;
    h->fileMode_ = db->fileMode_;
  } else if (IsMemoryName(db->name_)) {
    h->key_ = db->name_;
    h->storeMode_ = smMemory;
  } else {
    h->key_ = db->directory_;
    h->storeMode_ = smDirectory;
  }
  h->readOnly_ = db->readOnly_;
  h->inMemory_ = db->inMemory_;
  db->session_->SetActive(true);
  h->token_ = db->session_->Token();
  list.push_back(h);
  return h;
}

void TVellDatabaseManager::FreeIfUnused() {
  if (!databases_.empty() || !datasets_.empty()) return;
  CloseIdleTables(this);
  auto& list = HandleList();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  // Closing the container file; an in-memory store keeps its content.
  if (fileBased_ && !inMemory_) TPFSManager::Instance().Release(key_);
  delete this;
}

std::string TVellDatabaseManager::Password() const {
  return databases_.empty() ? std::string() : databases_.front()->password_;
}

void TVellDatabaseManager::ConnectDatabase(TVellDatabase* db) {
  std::lock_guard<std::recursive_mutex> guard(DbListLock());
  if (databases_.empty()) {
    readOnly_ = db->readOnly_;
    inMemory_ = db->inMemory_;
    fileMode_ = db->fileMode_;
    databases_.push_back(db);
    if (fileBased_ && !inMemory_) {
      try {
        GetFileStore(2);
      } catch (...) {
        databases_.pop_back();
        throw;
      }
    }
    if (readOnly_) db->readOnly_ = true;
    if (db->readOnly_) readOnly_ = true;
    return;
  }
  if (std::find(databases_.begin(), databases_.end(), db) != databases_.end()) return;
  if (readOnly_ && !db->readOnly_) db->readOnly_ = true;
  if (db->inMemory_ != inMemory_)
    throw Exception(
        "TVellDatabaseManager.ConnectDatabase - database is already open with other in-memory mode "
        "value.");
  databases_.push_back(db);
}

void TVellDatabaseManager::DisconnectDatabase(TVellDatabase* db) {
  std::lock_guard<std::recursive_mutex> guard(DbListLock());
  for (TVellDatasetLink* ds : std::vector<TVellDatasetLink*>(datasets_))
    if (ds->Database() == db && ds->DatasetActive()) ds->CloseDataset();
  Erase(databases_, db);
  FreeIfUnused();
}

void TVellDatabaseManager::AddDataset(TVellDatasetLink* ds) {
  std::lock_guard<std::recursive_mutex> guard(DbListLock());
  if (readOnly_) ds->SetReadOnly(true);
  if (datasets_.empty()) {
    if (ds->ReadOnly()) readOnly_ = true;
    if (!fileBased_) {
      inMemory_ = ds->InMemory();
      storeMode_ = inMemory_ ? smMemory : smDirectory;
    }
  }
  datasets_.push_back(ds);
}

void TVellDatabaseManager::RemoveDataset(TVellDatasetLink* ds) {
  std::lock_guard<std::recursive_mutex> guard(DbListLock());
  if (std::find(datasets_.begin(), datasets_.end(), ds) == datasets_.end()) return;
  Erase(datasets_, ds);
  if (ds->DatasetActive()) ds->CloseDataset();
  FreeIfUnused();
}

TAbstractPlainFileSystem* TVellDatabaseManager::GetFileStore(int mode) {
  if (mode == 0 || (mode == smMemory && fileBased_ && inMemory_)) mode = storeMode_;
  bool ro = readOnly_;
  TAbstractPlainFileSystem* store = TPFSManager::Instance().GetPFSHandle(
      key_, Password(), fileMode_, inMemory_, ro, TFileStoreMode(mode));
  if (store != nullptr && mode == smContainer && ro && !readOnly_) {
    readOnly_ = true;
    for (TVellDatabase* db : databases_) db->readOnly_ = true;
  }
  return store;
}

void TVellDatabaseManager::CreateDatabase() {
  if (!datasets_.empty())
    throw Exception("TVellDatabaseManager.CreateDatabase - Some datasets are connected.");
  if (!fileBased_) return;
  const std::filesystem::path full = std::filesystem::absolute(key_).lexically_normal();
  const std::string dir = full.parent_path().string();
  if (!std::filesystem::is_directory(full.parent_path()))
    throw Exception("TVellDatabaseManager.CreateDatabase - Cannot create database file \"" + key_ +
                    "\" as the directory \"" + dir + "\" does not exist");
  if (!TPFSManager::Instance().CreateDatabase(key_, Password(), fileMode_, inMemory_))
    throw Exception("TVellDatabaseManager.CreateDatabase - Cannot create database file \"" + key_ +
                    "\"");
}

TAbstractFile* TVellDatabaseManager::OpenFile(const std::string& name, bool create, bool readOnly,
                                              int mode) {
  TAbstractPlainFileSystem* store = GetFileStore(mode);
  if (store == nullptr) throw Exception("Cannot open file \"" + name + "\"");
  if (mode == smMemory && storeMode_ != smMemory && !create && !store->FileExists(name)) {
    // An in-memory table starts as a copy of the table on disk.
    TAbstractPlainFileSystem* own = GetFileStore(0);
    TAbstractFile* copy = store->OpenFile(name, true, false, false);
    TAbstractFile* source = own->OpenFile(name, false, true, false);
    std::vector<char> chunk(61440);
    for (int64_t n; (n = source->Read(chunk.data(), int64_t(chunk.size()))) > 0;)
      copy->WriteBuffer(chunk.data(), n);
    own->CloseFile(source);
    copy->Seek(0, 0);
    return copy;
  }
  return store->OpenFile(name, create, readOnly || readOnly_, false);
}

void TVellDatabaseManager::SaveMemoryCopy(const std::string& name) {
  try {
    TAbstractPlainFileSystem* mem = GetFileStore(smMemory);
    TAbstractPlainFileSystem* own = GetFileStore(0);
    if (mem == nullptr || own == nullptr || mem == own) return;
    TAbstractFile* source = mem->OpenFile(name, false, true, false);
    TAbstractFile* target = own->OpenFile(name, true, false, false);
    source->Seek(0, 0);
    std::vector<char> chunk(61440);
    for (int64_t n; (n = source->Read(chunk.data(), int64_t(chunk.size()))) > 0;)
      target->WriteBuffer(chunk.data(), n);
    own->CloseFile(target);
  } catch (const std::exception&) {
    // Saving a memory copy back is best effort.
  }
}

}  // namespace kestro
