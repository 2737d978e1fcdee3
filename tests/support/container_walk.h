// Opens a container and reads everything in it: every directory, every
// internal file to its end. Shared by the damage tests and the container
// fuzz target: on any input it must return or raise kestro::Exception,
// never crash or hang.
#pragma once

#include <cstdint>
#include <string>

namespace kestro::test {

// Returns the number of bytes read from internal files.
int64_t ReadWholeContainer(const std::string& path, const std::string& password = "",
                           bool inMemory = false);

}  // namespace kestro::test
