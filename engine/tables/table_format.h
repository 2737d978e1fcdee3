// Byte formats of a table's files. All integers little-endian.
//
// T.dat: TableHeader, FieldCount FieldDescriptors, then the records.
//
// TableHeader (284 bytes):
//   0   4  LastAutoInc, int32: highest RecordID stored so far
//   4 256  AutoIncFieldName, length-prefixed (length byte, rest zero)
// 260   4  FieldCount        264  4  RecordCount
// 268   8  TableVersion, double 4.5
// 276   1  AutoIncMarker: 240 record ID shown as AutoInc, 252 not
// 277   1  BLOBCompression (TCompressionLevel)
// 278   1  Encrypted
// 279   1  low byte of ChangeCount (ignored on reading)
// 280   4  ChangeCount, +1 per append, update and delete
//
// FieldDescriptor (267 bytes):
//   0 256  name, length-prefixed (at most 253 characters)
// 256   1  field type code      257 2  zero
// 259   4  int32 bytes the field takes in a record
// 263   1  required flag        264 1  zero     265 2  zero
//
// Record (R = S + T bytes, T = max(32, N + 17), N = ceil(FieldCount / 8)):
//   0       S   field values, each at the sum of the sizes before it
//   S       4   RecordID
//   S+4     N   null map, bit i set = field i is null
//   S+4+N   13  check string of an encrypted table (length byte 8, Base64
//               of the CRC-32 of the S plain bytes), 4 bytes of no meaning
//   S+17+N  ... zero
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestro {

inline constexpr size_t kTableHeaderSize = 284;
inline constexpr size_t kFieldDescriptorSize = 267;
inline constexpr size_t kMaxNameLength = 253;
inline constexpr double kTableVersion = 4.5;
inline constexpr uint8_t kAutoIncShown = 240;
inline constexpr uint8_t kAutoIncHidden = 252;
inline constexpr size_t kCheckStringSize = 13;

enum TCompressionLevel : uint8_t { clNone = 0, clFastest = 1, clDefault = 2, clMax = 3 };

#pragma pack(push, 1)

struct TTableHeader {
  int32_t lastAutoInc;
  uint8_t autoIncFieldName[256];
  int32_t fieldCount;
  int32_t recordCount;
  double tableVersion;
  uint8_t autoIncMarker;
  uint8_t blobCompression;
  uint8_t encrypted;
  uint8_t changeCountLow;
  int32_t changeCount;
};

struct TFieldDescriptor {
  uint8_t name[256];
  uint8_t type;
  uint8_t reserved1[2];
  int32_t size;
  uint8_t required;
  uint8_t reserved2;
  uint8_t reserved3[2];
};

#pragma pack(pop)

static_assert(sizeof(TTableHeader) == kTableHeaderSize);
static_assert(offsetof(TTableHeader, tableVersion) == 268);
static_assert(offsetof(TTableHeader, changeCount) == 280);
static_assert(sizeof(TFieldDescriptor) == kFieldDescriptorSize);
static_assert(offsetof(TFieldDescriptor, size) == 259);

// Length-prefixed strings of 256 bytes: a length byte, the characters,
// zeros.
std::string ReadShortString(const uint8_t (&field)[256]);
void WriteShortString(uint8_t (&field)[256], std::string_view text);

// Bytes a field of `type` with declared `size` takes in a record; -1 for a
// type that cannot be stored (AutoInc and unknown codes).
int32_t FieldStorageSize(uint8_t type, int32_t declaredSize);
inline bool IsBlobType(uint8_t type) { return type >= 15 && type <= 18; }

// Record layout sizes of a table.
struct TRecordLayout {
  int32_t fieldBytes = 0;   // S
  int32_t nullBytes = 0;    // N
  int32_t trailerBytes = 0; // T
  int32_t recordSize = 0;   // R = S + T
  int64_t headerSize = 0;   // H = 284 + 267 * FieldCount
};
TRecordLayout ComputeLayout(int32_t fieldCount, int32_t fieldBytes);

}  // namespace kestro
