#pragma once

#include <cstddef>
#include <cstdint>

// Runs arbitrary SQL text (opened as a query, then executed) against a small
// database file whose tables hold every field type. Engine errors are
// expected outcomes; after each input the database must still open and every
// table read in full. Anything else is a finding.
int FuzzSql(const uint8_t* data, size_t size);
