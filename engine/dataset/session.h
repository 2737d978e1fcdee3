// Sessions and databases: the connection layer between callers and their
// database files.
//
//   TVellSession         a named scope of database objects; carries the
//                        engine's one process-wide re-entrant lock
//   TVellSessionList     the process-wide list; "Default" is created first
//   TVellDatabase        binds a database name to a file, a directory or
//                        the in-memory store, and connects to it
//   TVellDatabaseManager the shared handle of one physical database
//
// Lock order: the engine lock, the database-list lock, the table-list
// lock, then the file-store registry's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/container/formats.h"
#include "engine/filestores/file_stores.h"

namespace kestro {

class TVellDatabase;
class TVellDatabaseManager;
class TVellSession;

// What a database handle needs of a dataset (the table and query datasets
// implement it).
class TVellDatasetLink {
 public:
  virtual ~TVellDatasetLink() = default;
  virtual void CloseDataset() = 0;
  virtual bool DatasetActive() const = 0;
  virtual bool ReadOnly() const = 0;
  virtual void SetReadOnly(bool readOnly) = 0;
  virtual bool InMemory() const = 0;
  virtual TVellDatabase* Database() const = 0;
};

// The identity token of an active session.
class TVellSessionManager {};

// The engine's process-wide re-entrant lock.
std::recursive_mutex& EngineLock();
// The lock of the list of database handles.
std::recursive_mutex& DbListLock();

class TVellSession {
 public:
  // `owner` groups components the way a form does (nullptr: none).
  explicit TVellSession(std::string componentName = {}, const void* owner = nullptr);
  ~TVellSession();
  TVellSession(const TVellSession&) = delete;
  TVellSession& operator=(const TVellSession&) = delete;

  bool Active() const { return token_ != nullptr; }
  void SetActive(bool active);
  bool AutoSessionName() const { return autoName_; }
  void SetAutoSessionName(bool on);
  bool KeepConnections() const { return keepConnections_; }
  void SetKeepConnections(bool v) { keepConnections_ = v; }
  const std::string& SessionName() const { return name_; }
  void SetSessionName(const std::string& name);
  void SetOnStartup(std::function<void(TVellSession&)> f) { onStartup_ = std::move(f); }
  const std::string& ComponentName() const { return componentName_; }
  const void* Owner() const { return owner_; }
  bool IsDefault() const { return isDefault_; }
  TVellSessionManager* Token() const { return token_; }

  void Lock();
  void Unlock();

  TVellDatabase* OpenDatabase(const std::string& databaseName, const std::string& fileName,
                              const void* owner);
  void CloseDatabase(TVellDatabase* database);
  TVellDatabase* FindDatabase(const std::string& name, const std::string& fileName) const;
  const std::vector<TVellDatabase*>& Databases() const { return databases_; }

 private:
  friend class TVellDatabase;
  friend class TVellSessionList;
  void AddDatabase(TVellDatabase* db) { databases_.push_back(db); }
  void RemoveDatabase(TVellDatabase* db);
  void MakeAutoName();

  std::string componentName_;
  const void* owner_;
  std::string name_;
  bool autoName_ = false;
  int autoNumber_ = -1;
  bool keepConnections_ = true;
  bool isDefault_ = false;
  TVellSessionManager* token_ = nullptr;
  std::unique_ptr<TVellSessionManager> ownToken_;
  std::function<void(TVellSession&)> onStartup_;
  std::vector<TVellDatabase*> databases_;
  std::vector<std::unique_ptr<TVellDatabase>> temporaries_;  // created by the session
};

class TVellSessionList {
 public:
  static TVellSessionList& Instance();
  TVellSession& DefaultSession();
  // Empty name: the default session; else the first with that name
  // (ignoring case); nullptr when none.
  TVellSession* FindSession(const std::string& name);
  // As FindSession; raises 1072 "Invalid session name '%s'" when missing.
  TVellSession& GetSession(const std::string& name);
  const std::vector<TVellSession*>& Sessions() const { return sessions_; }

 private:
  friend class TVellSession;
  TVellSessionList() = default;
  static TVellSessionList& Raw();
  void Add(TVellSession* s);
  void Remove(TVellSession* s);
  int TakeNumber();
  void FreeNumber(int n);

  std::recursive_mutex lock_;
  std::vector<TVellSession*> sessions_;
  std::vector<bool> numbers_;
  std::unique_ptr<TVellSession> default_;
};

}  // namespace kestro
