// Check values and text codings shared by the container and the tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestro {

// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.
uint16_t Crc16Arc(const void* data, size_t size);
// CRC-32 as zlib computes it.
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);
// XOR of the floor(size / 4) little-endian 32-bit words.
uint32_t XorWords(const void* data, size_t size);
// Copies `size` bytes and returns XorWords of them, in one pass.
uint32_t CopyAndXorWords(void* dst, const void* src, size_t size);

std::string Base64Encode(std::string_view bytes);
// False on characters outside the alphabet or a bad length.
bool Base64Decode(std::string_view text, std::string& bytes);

// Fills `out` with bytes uniform in 1..254 from the operating system's
// secure random source.
void RandomKeyBytes(uint8_t* out, size_t size);

}  // namespace kestro
