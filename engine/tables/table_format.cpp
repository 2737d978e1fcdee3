#include "engine/tables/table_format.h"

#include <algorithm>
#include <cstring>

#include "engine/common/field_types.h"

namespace kestro {

std::string ReadShortString(const uint8_t (&field)[256]) {
  return std::string(reinterpret_cast<const char*>(field + 1), field[0]);
}

void WriteShortString(uint8_t (&field)[256], std::string_view text) {
  std::memset(field, 0, sizeof field);
  const size_t n = std::min<size_t>(text.size(), 255);
  field[0] = uint8_t(n);
  std::memcpy(field + 1, text.data(), n);
}

int32_t FieldStorageSize(uint8_t type, int32_t declaredSize) {
  switch (type) {
    case ftString: return declaredSize + 1;
    case ftSmallInt:
    case ftWord:
    case ftBoolean: return 2;
    case ftInteger: return 4;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftLargeInt: return 8;
    case ftBytes: return declaredSize;
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo: return 0;
    case ftWideString: return declaredSize + 2;
    default: return -1;
  }
}

TRecordLayout ComputeLayout(int32_t fieldCount, int32_t fieldBytes) {
  TRecordLayout l;
  l.fieldBytes = fieldBytes;
  l.nullBytes = (fieldCount + 7) / 8;
  l.trailerBytes = std::max(32, l.nullBytes + 17);
  l.recordSize = l.fieldBytes + l.trailerBytes;
  l.headerSize = int64_t(kTableHeaderSize) + int64_t(kFieldDescriptorSize) * fieldCount;
  return l;
}

}  // namespace kestro
