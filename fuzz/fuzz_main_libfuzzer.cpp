#include "fuzz/fuzz_expression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzExpression(data, size);
}
