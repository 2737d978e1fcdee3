#include "engine/sql/params.h"

#include "engine/common/exception.h"
#include "engine/common/text.h"

namespace kestro {

TVellParam& TVellParams::Add(std::string name, uint8_t dataType, TVTblValue value) {
  items_.push_back({std::move(name), dataType, std::move(value)});
  return items_.back();
}

const TVellParam* TVellParams::Find(std::string_view name) const {
  for (const auto& p : items_)
    if (SameTextAscii(p.name, name)) return &p;
  return nullptr;
}

TVellParam* TVellParams::Find(std::string_view name) {
  return const_cast<TVellParam*>(static_cast<const TVellParams*>(this)->Find(name));
}

const TVellParam& TVellParams::ParamByName(std::string_view name) const {
  if (const TVellParam* p = Find(name)) return *p;
  throw Exception("Parameter '" + std::string(name) + "' not found");
}

}  // namespace kestro
