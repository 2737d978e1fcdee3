// Byte-text helpers. The engine's text is 8-bit; Kestro stores UTF-8 in it,
// so anything that cuts text must respect character boundaries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestro {

// Longest prefix of `text` with at most `maxBytes` bytes that does not end
// inside a UTF-8 sequence. Bytes that are not valid UTF-8 count as one
// character each, so arbitrary 8-bit text is still cut at `maxBytes`.
std::string_view Utf8Prefix(std::string_view text, size_t maxBytes);

// Number of characters: UTF-8 sequences count once, stray bytes once each.
size_t Utf8Length(std::string_view text);
// Byte offset of the character with the given 0-based index (or size()).
size_t Utf8Offset(std::string_view text, size_t charIndex);

// Decodes one character at `pos`; advances `pos`. Invalid bytes decode as
// themselves (0x80..0xFF) with `valid` false.
char32_t Utf8Decode(std::string_view text, size_t& pos, bool& valid);
void Utf8Append(std::string& out, char32_t cp);

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// SQL LIKE on characters: '%' matches any run (also none), '_' one
// character, everything else itself. Iterative with one backtrack point,
// so no pattern takes more than O(text * pattern) steps.
bool LikeMatchUtf8(std::string_view text, std::string_view pattern);

inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }
inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
std::string AsciiUpperCase(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace kestro
