#include "engine/dataset/table_list.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/common/exception.h"
#include "engine/common/text.h"
#include "engine/dataset/database.h"
#include "engine/tables/data_manager.h"

namespace kestro {
namespace {

// A table stays open this long after its last dataset left (counted in
// later releases), so that statement after statement on one table does not
// reopen it and reload its indexes each time.
constexpr size_t kIdleTables = 16;

struct Entry {
  std::unique_ptr<TVellDataManager> table;
  const TVellDatabaseManager* database;
  std::string key;
  uint64_t released = 0;  // release order while idle; 0 while in use
};

std::vector<Entry>& Tables() {
  static auto* tables = new std::vector<Entry>;  // outlives every dataset
  return *tables;
}

uint64_t& ReleaseCounter() {
  static uint64_t counter = 0;
  return counter;
}

void Close(Entry& e) {
  try {
    e.table->CloseTable();
  } catch (const std::exception&) {
    // Closing reports its own failures; the handle goes regardless.
  }
}

}  // namespace

std::recursive_mutex& TableListLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

TVellDataManager* FindTableHandle(const std::string& table, const TVellDatabaseManager* database) {
  std::lock_guard<std::recursive_mutex> guard(TableListLock());
  if (database == nullptr) return nullptr;
  for (const Entry& e : Tables())
    if (e.database == database && SameTextAscii(e.table->TableName(), table)) return e.table.get();
  return nullptr;
}

TVellDataManager* AcquireTableHandle(const std::string& table, TVellDatabaseManager* database) {
  std::lock_guard<std::recursive_mutex> guard(TableListLock());
  for (Entry& e : Tables())
    if (e.database == database && SameTextAscii(e.table->TableName(), table)) {
      e.released = 0;
      return e.table.get();
    }
  TAbstractPlainFileSystem* store = database->GetFileStore(0);
  if (store == nullptr) throw Exception("TVellDataset.OpenTable - error.");
  auto handle = std::make_unique<TVellDataManager>(table, *store);
  handle->SetStoreResolver([database](TTableStoreMode mode) {
    return database->GetFileStore(mode == tsmDatabase ? 0 : int(mode));
  });
  Tables().push_back({std::move(handle), database, database->HandleKey()});
  return Tables().back().table.get();
}

void ReleaseTableHandle(TVellDataManager* handle) {
  std::lock_guard<std::recursive_mutex> guard(TableListLock());
  if (handle == nullptr || !handle->Clients().empty()) return;
  auto& list = Tables();
  const auto it = std::find_if(list.begin(), list.end(),
                               [handle](const Entry& e) { return e.table.get() == handle; });
  if (it == list.end()) return;
  if (!handle->IsOpen()) {
    list.erase(it);
    return;
  }
  it->released = ++ReleaseCounter();
  // Too many idle tables: close the one idle longest.
  size_t idle = 0;
  auto oldest = list.end();
  for (auto e = list.begin(); e != list.end(); ++e)
    if (e->released != 0) {
      ++idle;
      if (oldest == list.end() || e->released < oldest->released) oldest = e;
    }
  if (idle > kIdleTables) {
    Close(*oldest);
    list.erase(oldest);
  }
}

void CloseIdleTables(const TVellDatabaseManager* database, const std::string& table) {
  std::lock_guard<std::recursive_mutex> guard(TableListLock());
  auto& list = Tables();
  for (auto e = list.begin(); e != list.end();) {
    const bool match = e->released != 0 && e->table->Clients().empty() &&
                       (database == nullptr || e->database == database) &&
                       (table.empty() || SameTextAscii(e->table->TableName(), table));
    if (!match) {
      ++e;
      continue;
    }
    Close(*e);
    e = list.erase(e);
  }
}

}  // namespace kestro
