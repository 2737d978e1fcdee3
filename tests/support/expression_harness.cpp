#include "tests/support/expression_harness.h"

#include <stdexcept>

#include "engine/common/vtbl_exception.h"

namespace kestro::test {

TVTblMemoryRowSource MakeResSource() {
  TVTblMemoryRowSource s;
  s.AddColumn({"IdRes", "", "Res", ftInteger, 0});
  s.AddColumn({"NmRes", "", "Res", ftString, 100});
  s.AddColumn({"PathRes", "", "Res", ftString, 255});
  s.AddColumn({"Mark", "", "Res", ftInteger, 0});
  s.AddColumn({"Rating", "", "Res", ftSmallInt, 0});
  s.AddColumn({"DateRes", "", "Res", ftDateTime, 0});
  s.AddColumn({"Price", "", "Res", ftFloat, 0});
  return s;
}

void AddResRow(TVTblMemoryRowSource& source, TVTblValue idRes, TVTblValue nmRes, TVTblValue mark,
               TVTblValue rating) {
  source.AddRow({std::move(idRes), std::move(nmRes), TVTblValue::Null(ftString), std::move(mark),
                 std::move(rating), TVTblValue::Null(ftDateTime), TVTblValue::Null(ftFloat)});
  source.SetRow(source.RowCount() - 1);
}

std::string Describe(const TVTblValue& v) {
  if (v.isNull) return "NULL";
  if (v.type == ftBoolean) return v.i ? "true" : "false";
  return std::string(ValueTypeName(v.type)) + ":" + ValueToText(v);
}

namespace {

std::string Eval(const std::string& text, TVTblRowSource& source, bool condition) {
  TVellLexer lexer(text);
  if (!lexer.NextCommand()) throw std::runtime_error("no command");
  TVTblExpression e(&lexer);
  if (condition)
    e.ParseCondition();
  else
    e.ParseValue();
  if (e.IsEmpty()) throw std::runtime_error("no value");
  if (e.Token().kind != tktNone) throw std::runtime_error("left over: " + e.Token().text);
  e.Bind(&source);
  return Describe(e.Evaluate());
}

}  // namespace

std::string EvalCondition(const std::string& text, TVTblRowSource& source) {
  return Eval(text, source, true);
}

std::string EvalValue(const std::string& text, TVTblRowSource& source) {
  return Eval(text, source, false);
}

}  // namespace kestro::test
