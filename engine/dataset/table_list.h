// The process-wide list of table handles: one TVellDataManager per table
// name and database handle, shared by every dataset that opens the table.
#pragma once

#include <mutex>
#include <string>

namespace kestro {

class TVellDataManager;
class TVellDatabaseManager;

std::recursive_mutex& TableListLock();

// The handle of `table` in `database` (names compare ignoring case), made
// when there is none; it is not connected to any dataset yet.
TVellDataManager* AcquireTableHandle(const std::string& table, TVellDatabaseManager* database);
// The handle when one exists.
TVellDataManager* FindTableHandle(const std::string& table, const TVellDatabaseManager* database);
// Frees the handle once no dataset is connected to it.
void ReleaseTableHandle(TVellDataManager* handle);

}  // namespace kestro
