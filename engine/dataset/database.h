// TVellDatabase and TVellDatabaseManager: see session.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/common/vtbl_exception.h"
#include "engine/dataset/session.h"

namespace kestro {

enum TVellStoreMode : int { smDirectory = 1, smContainer = 2, smMemory = 3 };

class TVellDatabase {
 public:
  // Lives in `session` (the default session when none).
  explicit TVellDatabase(std::string componentName = {}, TVellSession* session = nullptr,
                         const void* owner = nullptr);
  ~TVellDatabase();
  TVellDatabase(const TVellDatabase&) = delete;
  TVellDatabase& operator=(const TVellDatabase&) = delete;

  bool Connected() const { return handle_ != nullptr; }
  void SetConnected(bool connected);
  void Open();
  void Close();
  // Sets DatabaseFileName and creates an empty database file there.
  void CreateDatabase(const std::string& fileName);

  TDatabaseFileMode DatabaseFileMode() const { return fileMode_; }
  void SetDatabaseFileMode(TDatabaseFileMode m) { fileMode_ = m; }
  const std::string& DatabaseFileName() const { return fileName_; }
  void SetDatabaseFileName(const std::string& name);
  const std::string& DatabaseName() const { return name_; }
  void SetDatabaseName(const std::string& name);
  bool Encrypted() const;
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool v);
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& p) { password_ = p; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }
  bool HandleShared() const { return handleShared_; }
  void SetHandleShared(bool v) { handleShared_ = v; }
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool v);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  const std::string& Directory() const { return directory_; }
  bool Temporary() const { return temporary_; }
  int32_t RefCount() const { return refCount_; }
  TVellDatabaseManager* Handle() const { return handle_; }
  TVellSession* Session() const { return session_; }
  const std::string& ComponentName() const { return componentName_; }
  const void* Owner() const { return owner_; }
  const std::vector<TVellDatasetLink*>& Datasets() const { return datasets_; }
  void SetOnProgress(std::function<void(TVellDatabase&, int)> f) { onProgress_ = std::move(f); }

  // Adopts another connected object's handle (same session only: 1084).
  void AdoptHandle(TVellDatabaseManager* handle);
  // Dataset binding (the datasets call these).
  void BindDataset(TVellDatasetLink* ds);
  void UnbindDataset(TVellDatasetLink* ds);

 private:
  friend class TVellSession;
  friend class TVellDatabaseManager;
  void ValidateName(const std::string& name);
  void CheckSession();
  void AttachHandle();
  void DetachHandle();
  [[noreturn]] void Raise(int code, std::vector<VArg> args = {}) const;

  std::string componentName_;
  const void* owner_;
  TVellSession* session_ = nullptr;
  std::string sessionName_;
  TDatabaseFileMode fileMode_ = dfmNormal;
  std::string fileName_;
  std::string name_;
  std::string directory_;
  std::string password_;
  bool inMemory_ = false;
  bool readOnly_ = false;
  bool handleShared_ = false;
  bool keepConnection_ = true;
  bool temporary_ = false;
  bool borrowed_ = false;
  bool destroying_ = false;
  bool closing_ = false;
  int32_t refCount_ = 0;
  TVellDatabaseManager* handle_ = nullptr;
  std::vector<TVellDatasetLink*> datasets_;
  std::function<void(TVellDatabase&, int)> onProgress_;
};

class TVellDatabaseManager {
 public:
  static const std::vector<TVellDatabaseManager*>& Handles();

  void ConnectDatabase(TVellDatabase* db);
  void DisconnectDatabase(TVellDatabase* db);
  void AddDataset(TVellDatasetLink* ds);
  void RemoveDataset(TVellDatasetLink* ds);
  // The file store for the handle's key in `mode` (0: the handle's own).
  TAbstractPlainFileSystem* GetFileStore(int mode = 0);
  void CreateDatabase();

  const std::string& HandleKey() const { return key_; }
  TVellStoreMode StoreMode() const { return storeMode_; }
  bool ReadOnly() const { return readOnly_; }
  bool InMemory() const { return inMemory_; }
  bool FileBased() const { return fileBased_; }
  TDatabaseFileMode FileMode() const { return fileMode_; }
  TVellSessionManager* SessionToken() const { return token_; }
  const std::vector<TVellDatabase*>& Databases() const { return databases_; }
  const std::vector<TVellDatasetLink*>& Datasets() const { return datasets_; }

  // Internal files for the table storage: a file of the handle's store, or
  // in memory (mode 3) starting as a copy of the store's file.
  TAbstractFile* OpenFile(const std::string& name, bool create, bool readOnly, int mode = 0);
  // Copies a memory file back into the handle's own store (errors ignored).
  void SaveMemoryCopy(const std::string& name);

 private:
  friend class TVellDatabase;
  static TVellDatabaseManager* FindOrCreate(TVellDatabase* db);
  void FreeIfUnused();
  std::string Password() const;

  std::string key_;
  TVellStoreMode storeMode_ = smDirectory;
  bool readOnly_ = false;
  bool inMemory_ = false;
  bool fileBased_ = false;
  TDatabaseFileMode fileMode_ = dfmNormal;
  TVellSessionManager* token_ = nullptr;
  std::vector<TVellDatabase*> databases_;
  std::vector<TVellDatasetLink*> datasets_;
};

}  // namespace kestro
