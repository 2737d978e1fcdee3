// An index of a table: a complete sort order of its records, held as the
// array of physical record numbers in key order.
//
// T.idx (saved whole):
//   header (16): int32 LastChangeCount, int32 number of saved indexes,
//                double 4.5
//   per saved index: 256-byte length-prefixed name; int32 key field count K;
//     K x int32 field numbers (-1 = record ID); ceil(K/8) bytes ascending
//     map; ceil(K/8) bytes case-insensitive map; 1 byte case-insensitive
//     for all; 1 byte descending for all; 1 byte options
//   then, when RecordCount > 0, RecordCount x int32 per saved index
// Temporary indexes ("$..." names) are never saved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro {

// Index option bits.
enum TIndexOption : uint8_t { ixPrimary = 1, ixUnique = 2, ixDescending = 4, ixCaseInsensitive = 8 };

inline constexpr int32_t kRecordIdField = -1;

struct TIndexHeader {
  std::string name;
  std::vector<int32_t> fields;
  std::vector<bool> ascending;
  std::vector<bool> caseInsensitive;
  bool caseInsensitiveAll = false;
  bool descendingAll = false;
  uint8_t options = 0;
  std::vector<int32_t> order;  // physical record numbers in key order
  bool valid = true;           // false while stale (in memory only)

  bool Temporary() const { return !name.empty() && name[0] == '$'; }
};

// Progress of a rebuild of all indexes: a start, a percentage after each
// index, and a finish.
class TIndexProgress {
 public:
  virtual ~TIndexProgress() = default;
  virtual void Started(const std::string& table) = 0;
  virtual void Progress(int percent) = 0;
  virtual void Finished() = 0;
};

}  // namespace kestro
