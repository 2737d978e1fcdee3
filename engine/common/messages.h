// The engine's message table, looked up by native error code.
#pragma once

#include <cstdint>

namespace kestro {

inline constexpr int kMessageSlotCount = 193;

// Slot of the first row whose code equals `code`; 0 ("Unknown error") when
// no row has it.
int MessageSlotOfCode(int32_t code);
// Message text of a slot ("" for the empty slots).
const char* MessageOfSlot(int slot);
int MessageCodeRowCount();

}  // namespace kestro
