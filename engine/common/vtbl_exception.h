// VTblException: the coded exception of the SQL, session and dataset layers.
//
// Its text is the message of its native code, formatted with the raiser's
// arguments, prefixed with "<component>: " when a named component raised it,
// and ending with " - Native error: " and the code in five digits:
//   Field 'Res.Mark' not found - Native error: 02108
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/exception.h"

namespace kestro {

// One printf-style argument for a message's %s or %d.
struct VArg {
  VArg(int v) : isText(false), number(v) {}
  VArg(long v) : isText(false), number(v) {}
  VArg(long long v) : isText(false), number(v) {}
  VArg(unsigned v) : isText(false), number(v) {}
  VArg(const char* v) : isText(true), text(v) {}
  VArg(std::string v) : isText(true), text(std::move(v)) {}
  VArg(std::string_view v) : isText(true), text(v) {}

  bool isText;
  long long number = 0;
  std::string text;
};

class VTblException : public Exception {
 public:
  explicit VTblException(int32_t code, std::string_view component = {});
  VTblException(int32_t code, std::string_view component, std::initializer_list<VArg> args);
  VTblException(int32_t code, std::string_view component, const std::vector<VArg>& args);

  int32_t NativeError() const { return code_; }
  int MessageIndex() const { return slot_; }

  static std::string BuildMessage(int32_t code, std::string_view component,
                                  const std::vector<VArg>& args);

 private:
  int32_t code_;
  int slot_;
};

}  // namespace kestro
