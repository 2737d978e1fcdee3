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

struct Entry {
  std::unique_ptr<TVellDataManager> table;
  const TVellDatabaseManager* database;
  std::string key;
};

std::vector<Entry>& Tables() {
  static auto* tables = new std::vector<Entry>;  // outlives every dataset
  return *tables;
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
    if (SameTextAscii(e.table->TableName(), table) &&
        (e.database == database || e.key == database->HandleKey()))
      return e.table.get();
  return nullptr;
}

TVellDataManager* AcquireTableHandle(const std::string& table, TVellDatabaseManager* database) {
  std::lock_guard<std::recursive_mutex> guard(TableListLock());
  if (TVellDataManager* found = FindTableHandle(table, database)) return found;
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
  list.erase(std::remove_if(list.begin(), list.end(),
                            [handle](const Entry& e) { return e.table.get() == handle; }),
             list.end());
}

}  // namespace kestro
