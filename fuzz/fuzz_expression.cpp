#include "fuzz/fuzz_expression.h"

#include <string>

#include "engine/common/exception.h"
#include "tests/support/expression_harness.h"

using namespace kestro;

namespace {

void TryEvaluate(TVTblExpression& e, TVTblMemoryRowSource& src) {
  try {
    e.Bind(&src);
    for (size_t row = 0; row < src.RowCount(); ++row) {
      src.SetRow(row);
      e.ResetAggregates();
      e.Accumulate();
      e.Evaluate();
    }
    (void)e.DataType();
    (void)e.DataSize();
    (void)e.SQLText();
    (void)e.Dump();
  } catch (const Exception&) {
  }
}

}  // namespace

int FuzzExpression(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  static TVTblMemoryRowSource src = [] {
    TVTblMemoryRowSource s = test::MakeResSource();
    test::AddResRow(s, TVTblValue::Integer(1), TVTblValue::String("My web page"),
                    TVTblValue::Integer(1), TVTblValue::Int(ftSmallInt, 5));
    test::AddResRow(s, TVTblValue::Integer(2), TVTblValue::Null(ftString));
    return s;
  }();
  try {
    TVellLexer lexer(text);
    while (lexer.NextCommand()) {
      for (bool condition : {true, false}) {
        lexer.SetTokenPosition(0);
        TVTblExpression e(&lexer);
        try {
          if (condition)
            e.ParseCondition();
          else
            e.ParseValue();
        } catch (const Exception&) {
          continue;
        }
        TryEvaluate(e, src);
      }
    }
  } catch (const Exception&) {
  }
  return 0;
}
