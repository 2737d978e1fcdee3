#include "fuzz/fuzz_container.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzContainer(data, size);
}
