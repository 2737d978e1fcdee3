#include <gtest/gtest.h>

#include "engine/common/exception.h"
#include "engine/common/vtbl_exception.h"
#include "tests/support/expression_harness.h"

namespace kestro::test {
namespace {

struct Parsed {
  std::unique_ptr<TVellLexer> lexer;
  std::unique_ptr<TVTblExpression> expression;
};

Parsed Parse(const std::string& text, bool condition = true) {
  Parsed p{std::make_unique<TVellLexer>(text), nullptr};
  p.lexer->NextCommand();
  p.expression = std::make_unique<TVTblExpression>(p.lexer.get());
  if (condition)
    p.expression->ParseCondition();
  else
    p.expression->ParseValue();
  return p;
}

std::string ParseError(const std::string& text, bool condition = true) {
  try {
    Parse(text, condition);
  } catch (const VTblException& e) {
    return e.what();
  }
  return "<parsed>";
}

TEST(ExpressionParse, TreesKeepTheGrammarsShape) {
  EXPECT_EQ(Parse("a = 1 AND (b = 2 AND c = 3) OR NOT d LIKE 'x%'").expression->Dump(),
            "(OR) TVTblExprNodeBoolean\n"
            "  (AND) TVTblExprNodeBoolean\n"
            "    (=) TVTblExprNodeComparison\n"
            "      [a] TVTblExprNodeField\n"
            "      (unknown) TVTblExprNodeConst 1 Integer <const>\n"
            "    (AND) TVTblExprNodeBoolean\n"
            "      (=) TVTblExprNodeComparison\n"
            "        [b] TVTblExprNodeField\n"
            "        (unknown) TVTblExprNodeConst 2 Integer <const>\n"
            "      (=) TVTblExprNodeComparison\n"
            "        [c] TVTblExprNodeField\n"
            "        (unknown) TVTblExprNodeConst 3 Integer <const>\n"
            "  (NOT) TVTblExprNodeBoolean\n"
            "    (LIKE) TVTblExprNodeBoolean\n"
            "      [d] TVTblExprNodeField\n"
            "      (unknown) TVTblExprNodeConst 'x%' String <const>\n");
  // A root AND takes the operands of the ANDs right below it.
  Parsed flat = Parse("a = 1 AND (b = 2 AND c = 3)");
  EXPECT_EQ(flat.expression->Root()->Op(), opAnd);
  EXPECT_EQ(flat.expression->Root()->Children().size(), 3u);
  EXPECT_EQ(Parse("a - b + c", false).expression->SQLText(), "(a - b + c)");
  EXPECT_EQ(Parse("-a * b / c", false).expression->SQLText(), "((-a * b) / c)");
  EXPECT_EQ(Parse("Upper(x) || Max(y)", false).expression->Dump(),
            "(||) TVTblExprNodeStringFunction <string function>\n"
            "  (UPPER) TVTblExprNodeStringFunction <string function>\n"
            "    [x] TVTblExprNodeField\n"
            "  (MAX) TVTblExprNodeAggregated <group function>\n"
            "    [y] TVTblExprNodeField\n");
  EXPECT_EQ(Parse("x IN (1, 2) AND y NOT BETWEEN 1 AND 2 AND z IS NOT NULL").expression->SQLText(),
            "(x IN (1, 2) AND y NOT BETWEEN 1 AND 2 AND z IS NOT NULL)");
}

TEST(ExpressionParse, StopsAtTheFirstTokenItCannotUse) {
  Parsed p = Parse("IdCat = 1 ORDER BY x");
  EXPECT_EQ(p.expression->Token().text, "ORDER");
  Parsed v = Parse("IdRes, NmRes", false);
  EXPECT_EQ(v.expression->Token().kind, tktComma);
  EXPECT_TRUE(v.expression->IsField());
  std::string q, n;
  Parse("Res.[Date]", false).expression->FieldNameOf(q, n);
  EXPECT_EQ(q + "." + n, "Res.Date");
  EXPECT_EQ(CodeOf([&] { Parse("1", false).expression->FieldNameOf(q, n); }), 1062);
  // Empty values leave the expression empty for the caller to report.
  EXPECT_TRUE(Parse(", x", false).expression->IsEmpty());
}

TEST(ExpressionParse, ReservedWordsNameColumnsOnlyInBrackets) {
  EXPECT_TRUE(Parse("[Date] = 1").expression->Root() != nullptr);
  EXPECT_EQ(ParseError("Date = 1"),
            "Boolean expression expected, but 'Date' found at line 1, column 1 - Native error: 01041");
  EXPECT_TRUE(Parse("Date.x = 1").expression->Root() != nullptr);  // a reserved qualifier is fine
}

TEST(ExpressionParse, ErrorCodesAndMessages) {
  const struct {
    const char* text;
    bool condition;
    const char* message;
  } cases[] = {
      {"Mark", true, "Boolean expression expected, but 'Mark' found at line 1, column 1 - Native error: 01041"},
      {"(IdCat) = 1", true, "Boolean expression expected, but 'IdCat' found at line 1, column 2 - Native error: 01041"},
      {"a = 1 OR", true, "Boolean expression expected, but '' found at line 1, column 7 - Native error: 01037"},
      {"a = 1 AND", true, "Boolean expression expected, but '' found at line 1, column 7 - Native error: 01038"},
      {"NOT", true, "Boolean expression expected, but '' found at line 1, column 1 - Native error: 01040"},
      {"(a = 1) IS", true, "Unexpected token 'IS' found at line 1, column 9 - Native error: 01042"},
      {"(a = 1) IS NOT", true, "Unexpected token 'NOT' found at line 1, column 12 - Native error: 01043"},
      {"(a = 1) IS MAYBE", true, "Token 'TRUE, FALSE or UNKNOWN' expected, but 'MAYBE' found at line 1, column 12 - Native error: 01044"},
      {"x = (1 + 2", true, "<lexer>"},
      {"x = (1 + 2 3)", true, "')' symbol expected, but '3' found at line 1, column 12 - Native error: 02111"},
      {"Upper x", false, "'(' symbol expected, but 'x' found at line 1, column 7 - Native error: 02094"},
      {"Upper(x y)", false, "')' symbol expected, but 'y' found at line 1, column 9 - Native error: 02095"},
      {"Upper()", false, "String argument expected for function 'UPPER', but ')' found at line 1, column 7 - Native error: 02096"},
      {"Substring x", false, "'(' symbol expected, but 'x' found at line 1, column 11 - Native error: 02126"},
      {"Substring()", false, "Argument expected for function 'SUBSTRING' at line 1, column 11 - Native error: 02127"},
      {"Substring(x y)", false, "Token ',' or 'from' expected, but 'y' found at line 1, column 13 - Native error: 02128"},
      {"Substring(x, )", false, "Argument expected for function 'SUBSTRING' at line 1, column 14 - Native error: 02129"},
      {"Substring(x, 1 y)", false, "Token ')' or ',' or 'FOR' expected, but 'y' found at line 1, column 16 - Native error: 02130"},
      {"Substring(x, 1, 2 y)", false, "')' symbol expected, but 'y' found at line 1, column 19 - Native error: 02131"},
      {"Pos x", false, "'(' symbol expected, but 'x' found at line 1, column 5 - Native error: 02132"},
      {"Pos()", false, "Argument expected for function 'POS' at line 1, column 5 - Native error: 02134"},
      {"Pos(x y)", false, "Token ',' or 'IN' expected, but 'y' found at line 1, column 7 - Native error: 02135"},
      {"Pos(x, )", false, "Argument expected for function 'POS' at line 1, column 8 - Native error: 02136"},
      {"Pos(x, y z)", false, "')' symbol expected, but 'z' found at line 1, column 10 - Native error: 02133"},
      {"Length x", false, "'(' symbol expected, but 'x' found at line 1, column 8 - Native error: 02137"},
      {"Length()", false, "Argument expected for function 'LENGTH' at line 1, column 8 - Native error: 02138"},
      {"Length(x y)", false, "')' symbol expected, but 'y' found at line 1, column 10 - Native error: 02139"},
      {"ToString x", false, "'(' symbol expected, but 'x' found at line 1, column 10 - Native error: 02147"},
      {"ToString()", false, "Argument expected for function 'TOSTRING' at line 1, column 10 - Native error: 02148"},
      {"ToString(x y)", false, "Token ',' expected, but 'y' found at line 1, column 12 - Native error: 02149"},
      {"ToString(x, y)", false, "Const DateFormat string expected, but 'y' found at line 1, column 13 - Native error: 02144"},
      {"ToString(x, 'YY' y)", false, "')' symbol expected, but 'y' found at line 1, column 18 - Native error: 02131"},
      {"ToDate x", false, "'(' symbol expected, but 'x' found at line 1, column 8 - Native error: 02142"},
      {"ToDate()", false, "Argument expected for function 'ToDate' at line 1, column 8 - Native error: 02141"},
      {"ToDate(x y)", false, "Token ',' expected, but 'y' found at line 1, column 10 - Native error: 02143"},
      {"ToDate(x, 'YY' y)", false, "')' symbol expected, but 'y' found at line 1, column 16 - Native error: 02145"},
      {"Cast(x As Memo)", false, "Cannot convert an expression to specified type: 'Memo' - Native error: 02115"},
      {"Cast(x As AutoInc)", false, "Cannot convert an expression to specified type: 'AutoInc' - Native error: 02115"},
      {"Cast(x As Integer y)", false, "')' symbol expected, but 'y' found at line 1, column 19 - Native error: 02116"},
      {"Count(*", false, "<lexer>"},
      {"Count(* x)", false, "')' symbol expected, but 'x' found at line 1, column 9 - Native error: 02103"},
      {"Max x", false, "'(' symbol expected, but 'x' found at line 1, column 5 - Native error: 02104"},
      {"Max()", false, "Argument expected for function 'MAX' at line 1, column 5 - Native error: 02105"},
      {"Sum(x y)", false, "')' symbol expected, but 'y' found at line 1, column 7 - Native error: 02106"},
      {"LastAutoInc x", false, "'(' symbol expected, but 'x' found at line 1, column 13 - Native error: 02155"},
      {"LastAutoInc(Memory)", false, "Table name expected, but ')' found at line 1, column 19 - Native error: 02152"},
      {"LastAutoInc(t Password x)", false, "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 24 - Native error: 02153"},
      {"LastAutoInc(t x)", false, "')' symbol expected, but 'x' found at line 1, column 15 - Native error: 02154"},
  };
  for (const auto& c : cases) {
    if (std::string(c.message) == "<lexer>") continue;
    EXPECT_EQ(ParseError(c.text, c.condition), c.message) << c.text;
  }
  TVellLexer empty("x");
  TVTblExpression e(&empty);  // no command selected: no token
  EXPECT_EQ(CodeOf([&] { e.ParseCondition(); }), 1039);
  EXPECT_THROW(e.Parse(), Exception);
}

TEST(ExpressionParse, LiteralsAndPlatformConversionErrors) {
  EXPECT_EQ(Parse("2147483647", false).expression->SQLText(), "2147483647");
  EXPECT_THROW(Parse("2147483648", false), EConvertError);
  EXPECT_THROW(Parse("1e", false), EConvertError);
  EXPECT_THROW(Parse("1.2.3", false), EConvertError);
  EXPECT_EQ(Parse("1e+5", false).expression->DataType(), ftFloat);
  EXPECT_EQ(Parse("'x'", false).expression->DataType(), ftString);
}

TEST(ExpressionParse, NestingIsLinearAndBounded) {
  // Each level would be parsed twice without memoization (numeric, then
  // string alternative): 2^40 steps.
  std::string text = "x";
  for (int i = 0; i < 40; ++i) text = "(" + text + " || 'a')";
  EXPECT_FALSE(Parse(text, false).expression->IsEmpty());
  // Hostile depth is refused, never a stack overflow.
  const std::string deep = std::string(100000, '(') + "1" + std::string(100000, ')');
  EXPECT_THROW(Parse(deep, false), Exception);
  std::string chain = "1";
  for (int i = 0; i < 5000; ++i) chain += " * 1";
  EXPECT_THROW(Parse(chain, false), Exception);
  // Long OR lists stay flat.
  std::string list = "IdRes = 0";
  for (int i = 1; i < 5000; ++i) list += " OR IdRes = " + std::to_string(i);
  TVTblMemoryRowSource src = MakeResSource();
  AddResRow(src, TVTblValue::Integer(4999), TVTblValue::String("x"));
  EXPECT_EQ(EvalCondition(list, src), "true");
}

}  // namespace
}  // namespace kestro::test
