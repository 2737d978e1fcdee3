#include "engine/dataset/session.h"

#include <algorithm>

#include <strings.h>

#include "engine/common/exception.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/database.h"

namespace kestro {

// The locks and registries are never destroyed: the session list closes
// the databases still connected at exit, after other statics are gone.
std::recursive_mutex& EngineLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

std::recursive_mutex& DbListLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

namespace {

TVellSessionManager& DefaultToken() {
  static auto* token = new TVellSessionManager;
  return *token;
}

}  // namespace

// ---- session list -------------------------------------------------------------------

TVellSessionList& TVellSessionList::Raw() {
  static TVellSessionList list;
  return list;
}

TVellSessionList& TVellSessionList::Instance() {
  TVellSessionList& list = Raw();
  list.DefaultSession();  // "Default" is always the first session
  return list;
}

TVellSession& TVellSessionList::DefaultSession() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!default_) {
    default_ = std::make_unique<TVellSession>("Session");
    default_->name_ = "Default";
  }
  return *default_;
}

void TVellSessionList::Add(TVellSession* s) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  s->isDefault_ = sessions_.empty();
  sessions_.push_back(s);
}

void TVellSessionList::Remove(TVellSession* s) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), s), sessions_.end());
}

int TVellSessionList::TakeNumber() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (size_t i = 0; i < numbers_.size(); ++i)
    if (!numbers_[i]) return numbers_[i] = true, int(i);
  numbers_.push_back(true);
  return int(numbers_.size()) - 1;
}

void TVellSessionList::FreeNumber(int n) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (n >= 0 && size_t(n) < numbers_.size()) numbers_[size_t(n)] = false;
}

TVellSession* TVellSessionList::FindSession(const std::string& name) {
  if (name.empty()) return &DefaultSession();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  DefaultSession();
  for (TVellSession* s : sessions_)
    if (strcasecmp(s->SessionName().c_str(), name.c_str()) == 0) return s;
  return nullptr;
}

TVellSession& TVellSessionList::GetSession(const std::string& name) {
  TVellSession* s = FindSession(name);
  if (s == nullptr) throw VTblException(1072, {}, {name});
  return *s;
}

// ---- session ------------------------------------------------------------------------

TVellSession::TVellSession(std::string componentName, const void* owner)
    : componentName_(std::move(componentName)), owner_(owner) {
  TVellSessionList& list = TVellSessionList::Raw();
  if (owner_ != nullptr)
    for (TVellSession* s : list.Sessions())
      if (s->owner_ == owner_ && s->autoName_) throw VTblException(1079, {}, {s->componentName_});
  list.Add(this);
}

TVellSession::~TVellSession() {
  try {
    SetActive(false);
  } catch (...) {
  }
  for (TVellDatabase* db : std::vector<TVellDatabase*>(databases_)) {
    if (!isDefault_) {
      try {
        db->Close();
      } catch (...) {
      }
      db->sessionName_.clear();
      db->session_ = nullptr;
    }
  }
  temporaries_.clear();
  if (autoNumber_ >= 0) TVellSessionList::Raw().FreeNumber(autoNumber_);
  TVellSessionList::Raw().Remove(this);
}

void TVellSession::SetActive(bool active) {
  std::lock_guard<std::recursive_mutex> guard(EngineLock());
  if (active == Active()) return;
  if (active) {
    if (onStartup_) onStartup_(*this);
    if (name_.empty()) throw VTblException(1076, componentName_);
    if (isDefault_ || this == &TVellSessionList::Instance().DefaultSession()) {
      token_ = &DefaultToken();
    } else {
      TVellSessionList::Instance().DefaultSession().SetActive(true);
      ownToken_ = std::make_unique<TVellSessionManager>();
      token_ = ownToken_.get();
    }
    return;
  }
  // Newest first: temporary objects go, the others close.
  for (auto it = databases_.rbegin(); it != databases_.rend(); ++it) (*it)->Close();
  temporaries_.clear();
  databases_.erase(std::remove_if(databases_.begin(), databases_.end(),
                                  [](TVellDatabase* d) { return d->temporary_; }),
                   databases_.end());
  ownToken_.reset();
  token_ = nullptr;
}

void TVellSession::SetSessionName(const std::string& name) {
  if (autoName_) throw VTblException(1074, componentName_);
  if (Active()) throw VTblException(1073, componentName_);
  TVellSession* other = name.empty() ? nullptr : TVellSessionList::Instance().FindSession(name);
  if (other != nullptr && other != this) throw VTblException(1075, componentName_, {name});
  name_ = name;
}

void TVellSession::MakeAutoName() {
  name_ = componentName_ + "_" + std::to_string(autoNumber_ + 1);
}

void TVellSession::SetAutoSessionName(bool on) {
  if (on == autoName_) return;
  if (on) {
    if (Active()) throw VTblException(1073, componentName_);
    for (TVellSession* s : TVellSessionList::Instance().Sessions())
      if (s != this && owner_ != nullptr && s->owner_ == owner_)
        throw VTblException(1078, componentName_);
    autoNumber_ = TVellSessionList::Instance().TakeNumber();
    autoName_ = true;
    MakeAutoName();
    return;
  }
  autoName_ = false;
  TVellSessionList::Instance().FreeNumber(autoNumber_);
  autoNumber_ = -1;
}

void TVellSession::Lock() {
  EngineLock().lock();
  try {
    if (!Active()) SetActive(true);
  } catch (...) {
    EngineLock().unlock();
    throw;
  }
}

void TVellSession::Unlock() { EngineLock().unlock(); }

void TVellSession::RemoveDatabase(TVellDatabase* db) {
  databases_.erase(std::remove(databases_.begin(), databases_.end(), db), databases_.end());
}

TVellDatabase* TVellSession::FindDatabase(const std::string& name,
                                          const std::string& fileName) const {
  for (TVellDatabase* db : databases_) {
    if (db->name_.empty() && !db->temporary_) continue;
    if (strcasecmp(db->name_.c_str(), name.c_str()) != 0) continue;
    if (name.empty() && db->fileName_ != fileName) continue;
    return db;
  }
  return nullptr;
}

TVellDatabase* TVellSession::OpenDatabase(const std::string& databaseName,
                                          const std::string& fileName, const void* owner) {
  Lock();
  struct Unlocker {
    TVellSession* s;
    ~Unlocker() { s->Unlock(); }
  } unlocker{this};
  TVellDatabase* db = nullptr;
  if (owner != nullptr)
    for (TVellDatabase* d : databases_)
      if (d->owner_ == owner && d->handleShared_ &&
          strcasecmp(d->name_.c_str(), databaseName.c_str()) == 0) {
        db = d;
        break;
      }
  if (db == nullptr) db = FindDatabase(databaseName, fileName);
  bool created = false;
  if (db == nullptr) {
    auto owned = std::make_unique<TVellDatabase>("", this, this);
    owned->temporary_ = true;
    owned->name_ = databaseName;
    owned->fileName_ = fileName;
    owned->keepConnection_ = keepConnections_;
    owned->inMemory_ = strcasecmp(databaseName.c_str(), "MEMORY") == 0;
    db = owned.get();
    temporaries_.push_back(std::move(owned));
    created = true;
  }
  try {
    db->Open();
  } catch (...) {
    if (created) {
      RemoveDatabase(db);
      temporaries_.pop_back();
    }
    throw;
  }
  ++db->refCount_;
  return db;
}

void TVellSession::CloseDatabase(TVellDatabase* db) {
  if (db == nullptr) return;
  if (db->refCount_ > 0) --db->refCount_;
  if (db->refCount_ != 0 || db->keepConnection_) return;
  if (db->temporary_ && !db->destroying_) {
    RemoveDatabase(db);
    db->Close();
    temporaries_.erase(std::remove_if(temporaries_.begin(), temporaries_.end(),
                                      [db](const auto& p) { return p.get() == db; }),
                       temporaries_.end());
  } else {
    db->Close();
  }
}

}  // namespace kestro
