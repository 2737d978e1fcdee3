#include "engine/common/vtbl_exception.h"

#include <cstdio>

#include "engine/common/messages.h"

namespace kestro {
namespace {

// Replaces %s and %d in order; a placeholder without an argument stays.
std::string Format(const char* pattern, const std::vector<VArg>& args) {
  std::string out;
  size_t next = 0;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '%' && (p[1] == 's' || p[1] == 'd') && next < args.size()) {
      const VArg& a = args[next++];
      out += a.isText ? a.text : std::to_string(a.number);
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

std::string VTblException::BuildMessage(int32_t code, std::string_view component,
                                        const std::vector<VArg>& args) {
  std::string text = MessageOfSlot(MessageSlotOfCode(code));
  if (!args.empty()) text = Format(text.c_str(), args);
  if (!component.empty()) text = std::string(component) + ": " + text;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%5d", code);
  for (char* d = digits; *d; ++d)
    if (*d == ' ') *d = '0';
  return text + " - Native error: " + digits;
}

VTblException::VTblException(int32_t code, std::string_view component)
    : VTblException(code, component, std::vector<VArg>{}) {}

VTblException::VTblException(int32_t code, std::string_view component,
                             std::initializer_list<VArg> args)
    : VTblException(code, component, std::vector<VArg>(args)) {}

VTblException::VTblException(int32_t code, std::string_view component,
                             const std::vector<VArg>& args)
    : Exception(BuildMessage(code, component, args)), code_(code), slot_(MessageSlotOfCode(code)) {}

}  // namespace kestro
