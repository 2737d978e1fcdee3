// Named parameters of an SQL text (":name"), substituted by the lexer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/common/value.h"

namespace kestro {

struct TVellParam {
  std::string name;
  uint8_t dataType = ftUnknown;  // a field type code
  TVTblValue value;              // NULL when unassigned
};

class TVellParams {
 public:
  TVellParam& Add(std::string name, uint8_t dataType, TVTblValue value = {});
  // Case-insensitive; nullptr when absent.
  const TVellParam* Find(std::string_view name) const;
  TVellParam* Find(std::string_view name);
  // Raises Exception "Parameter 'x' not found" when absent.
  const TVellParam& ParamByName(std::string_view name) const;

  size_t Count() const { return items_.size(); }
  const TVellParam& operator[](size_t i) const { return items_[i]; }
  TVellParam& operator[](size_t i) { return items_[i]; }
  void Clear() { items_.clear(); }

 private:
  std::vector<TVellParam> items_;
};

}  // namespace kestro
