#include "engine/common/field_types.h"

#include "engine/common/text.h"

namespace kestro {

const char* ValueTypeName(uint8_t type) {
  switch (type) {
    case ftString: return "String";
    case ftSmallInt: return "SmallInt";
    case ftInteger: return "Integer";
    case ftWord: return "Word";
    case ftBoolean: return "Boolean";
    case ftFloat: return "Float";
    case ftCurrency: return "Currency";
    case ftDate: return "Date";
    case ftTime: return "Time";
    case ftDateTime: return "DateTime";
    case ftAutoInc: return "AutoInc";
    case ftWideString: return "WideString";
    case ftLargeInt: return "LargeInt";
    default: return "unknown";
  }
}

bool IsValueType(uint8_t t) { return std::string_view(ValueTypeName(t)) != "unknown"; }

uint8_t FieldTypeOfSqlName(std::string_view name) {
  std::string upper = AsciiUpperCase(name);
  if (upper == "BOOLEAN") upper = "LOGICAL";
  if (upper == "CHAR" || upper == "VARCHAR" || upper == "VARCHAR2") upper = "STRING";
  for (const auto& entry : kSqlTypeNames)
    if (upper == entry.sqlName) return entry.code;
  return 0;
}

}  // namespace kestro
