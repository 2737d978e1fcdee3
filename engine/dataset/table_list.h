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
// Called when the last dataset left: the handle stays open, idle, for the
// next dataset (the longest idle ones beyond a few are closed and freed).
void ReleaseTableHandle(TVellDataManager* handle);
// Closes and frees the idle handles of `database` (nullptr: all), of one
// table when `table` is given: before the table's files are changed by
// other means, and when the database lets go of its file.
void CloseIdleTables(const TVellDatabaseManager* database, const std::string& table = {});

}  // namespace kestro
