#include "fuzz/fuzz_sql.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzSql(data, size);
}
