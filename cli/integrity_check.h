// The integrity check of a database file: reads everything and reports
// each problem on one line.
#pragma once

#include <cstdio>
#include <string>

namespace kestro {

// Checks the container (header, every owned page's check value, the
// free-space maps against the pages the directory and the page maps own,
// the directory items and page-map chains) and every table (file sizes
// against the header and record count, the blob map and every blob's check
// text, every saved index against the key order). Pages allocated but owned
// by nothing are warnings: space lost after a crash, no data lost. Never
// changes the file. Returns the number of problems (warnings excluded).
int CheckDatabaseFile(const std::string& fileName, const std::string& password, std::FILE* out);

}  // namespace kestro
