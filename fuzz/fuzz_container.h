#pragma once

#include <cstddef>
#include <cstdint>

// Opens arbitrary bytes as a container file and reads every internal file
// and directory. Engine exceptions are expected outcomes; a crash, hang,
// sanitizer report or runaway memory is a finding.
int FuzzContainer(const uint8_t* data, size_t size);
