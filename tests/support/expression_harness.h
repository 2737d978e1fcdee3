// Parses and evaluates expression text against a small in-memory row of
// the organizer's Res table: the shared harness of the expression tests
// and the fuzz target.
#pragma once

#include <string>

#include "engine/common/vtbl_exception.h"
#include "engine/sql/expression.h"
#include "engine/sql/row_source.h"

namespace kestro::test {

// Columns (qualifier "Res"): IdRes Integer, NmRes String(100),
// PathRes String(255), Mark Integer, Rating SmallInt, DateRes DateTime,
// Price Float. One row is added per call of AddResRow.
TVTblMemoryRowSource MakeResSource();
void AddResRow(TVTblMemoryRowSource& source, TVTblValue idRes, TVTblValue nmRes,
               TVTblValue mark = TVTblValue::Null(ftInteger),
               TVTblValue rating = TVTblValue::Null(ftSmallInt));

// "NULL", "true"/"false", or "<Type>:<text>".
std::string Describe(const TVTblValue& value);

// Parses `text` whole as a condition (or a value), binds it to `source`
// and evaluates it on the current row. Raises what the engine raises; a
// text with tokens left over raises std::runtime_error.
std::string EvalCondition(const std::string& text, TVTblRowSource& source);
std::string EvalValue(const std::string& text, TVTblRowSource& source);

// Native code of the VTblException that `f` raises; -1 when none.
template <typename F>
int CodeOf(F&& f) {
  try {
    f();
  } catch (const VTblException& e) {
    return e.NativeError();
  }
  return -1;
}

}  // namespace kestro::test
