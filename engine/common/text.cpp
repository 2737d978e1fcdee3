#include "engine/common/text.h"

#include <cstdint>
#include <vector>

namespace kestro {
namespace {

// Length of the valid UTF-8 sequence starting at `pos`, or 0.
size_t SequenceLength(std::string_view t, size_t pos) {
  const auto b0 = static_cast<unsigned char>(t[pos]);
  size_t len;
  char32_t min;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (pos + len > t.size()) return 0;
  char32_t cp = b0 & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(t[pos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string_view Utf8Prefix(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t pos = 0;
  while (pos < maxBytes) {
    size_t len = SequenceLength(text, pos);
    if (len == 0) len = 1;
    if (pos + len > maxBytes) break;
    pos += len;
  }
  return text.substr(0, pos);
}

size_t Utf8Length(std::string_view text) {
  size_t n = 0;
  for (size_t pos = 0; pos < text.size(); ++n) {
    const size_t len = SequenceLength(text, pos);
    pos += len ? len : 1;
  }
  return n;
}

size_t Utf8Offset(std::string_view text, size_t charIndex) {
  size_t pos = 0;
  for (size_t n = 0; n < charIndex && pos < text.size(); ++n) {
    const size_t len = SequenceLength(text, pos);
    pos += len ? len : 1;
  }
  return pos;
}

char32_t Utf8Decode(std::string_view text, size_t& pos, bool& valid) {
  const size_t len = SequenceLength(text, pos);
  const auto b0 = static_cast<unsigned char>(text[pos]);
  if (len == 0) {
    valid = false;
    ++pos;
    return b0;
  }
  valid = true;
  if (len == 1) {
    ++pos;
    return b0;
  }
  char32_t cp = b0 & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) cp = (cp << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  pos += len;
  return cp;
}

void Utf8Append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    bool valid;
    char32_t cp = Utf8Decode(text, pos, valid);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;  // lone surrogate
    }
    Utf8Append(out, cp);
  }
  return out;
}

namespace {

std::vector<char32_t> CodePoints(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  for (size_t pos = 0; pos < s.size();) {
    bool valid;
    out.push_back(Utf8Decode(s, pos, valid));
  }
  return out;
}

}  // namespace

bool LikeMatchUtf8(std::string_view text, std::string_view pattern) {
  const std::vector<char32_t> t = CodePoints(text), p = CodePoints(pattern);
  size_t ti = 0, pi = 0, starP = SIZE_MAX, starT = 0;
  while (ti < t.size()) {
    if (pi < p.size() && p[pi] == U'%') {
      starP = pi++;
      starT = ti;
    } else if (pi < p.size() && (p[pi] == U'_' || p[pi] == t[ti])) {
      ++pi;
      ++ti;
    } else if (starP != SIZE_MAX) {
      pi = starP + 1;
      ti = ++starT;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == U'%') ++pi;
  return pi == p.size();
}

std::string AsciiUpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

}  // namespace kestro
