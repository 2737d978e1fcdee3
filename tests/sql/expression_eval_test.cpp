#include <gtest/gtest.h>

#include <optional>

#include "engine/common/exception.h"
#include "engine/common/vtbl_exception.h"
#include "tests/support/expression_harness.h"

namespace kestro::test {
namespace {

const TVTblValue kNullInt = TVTblValue::Null(ftInteger);
const TVTblValue kNullStr = TVTblValue::Null(ftString);

class ExpressionEval : public ::testing::Test {
 protected:
  // One row: IdRes 2, NmRes "My web page", Mark NULL, Rating NULL.
  void SetUp() override {
    AddResRow(src_, TVTblValue::Integer(2), TVTblValue::String("My web page"));
  }
  void SetRow(TVTblValue id, TVTblValue name, TVTblValue mark = kNullInt) {
    src_ = MakeResSource();
    AddResRow(src_, std::move(id), std::move(name), std::move(mark));
  }
  std::string Cond(const std::string& text) { return EvalCondition(text, src_); }
  std::string Val(const std::string& text) { return EvalValue(text, src_); }

  TVTblMemoryRowSource src_ = MakeResSource();
};

struct Case {
  const char* text;
  const char* result;
};

TEST_F(ExpressionEval, ConditionsFollowSqlNullRules) {
  const Case cases[] = {
      {"NmRes Like \"%web%\"", "true"},
      {"NmRes Like '%Web%'", "false"},
      {"'' LIKE '%'", "true"},
      {"'' LIKE '_'", "false"},
      {"'' LIKE ''", "true"},
      {"'abc' LIKE 'a%c'", "true"},
      {"'abc' LIKE '_b_'", "true"},
      {"'ab' LIKE 'ab%%'", "true"},
      {"'abc' NOT LIKE 'a%'", "false"},
      {"'\xC3\xA9t\xC3\xA9' LIKE '_t_'", "true"},  // _ is one character
      {"Mark Like '%'", "true"},  // NULL counts as empty text
      {"IdRes In (1,2,3)", "true"},
      {"Mark In (1,2,3)", "NULL"},
      {"5 In (1, NULL)", "NULL"},
      {"1 In (1, NULL)", "true"},
      {"5 Not In (1, NULL)", "NULL"},
      {"5 Not In (1, 2)", "true"},
      {"1 Between 1 And 3", "true"},
      {"3 Between 1 And 3", "true"},
      {"2 Between NULL And 3", "NULL"},
      {"5 Between NULL And 3", "false"},
      {"5 Not Between 1 And 3", "true"},
      {"Mark Between 1 And 3", "NULL"},
      {"Mark = 1", "NULL"},
      {"NOT (IdRes = 1)", "true"},
      {"NOT (Mark = 1)", "NULL"},
      {"Mark = 1 AND FALSE", "NULL"},  // the first NULL stops an AND
      {"FALSE AND Mark = 1", "false"},
      {"Mark = 1 AND IdRes = 1", "NULL"},
      {"IdRes = 1 AND Mark = 1", "false"},
      {"Mark = 1 OR IdRes = 2", "true"},
      {"Mark = 1 OR IdRes = 3", "NULL"},
      {"Mark IS NULL", "true"},
      {"Mark IS NOT NULL", "false"},
      {"(Mark = 1) IS UNKNOWN", "true"},
      {"(Mark = 1) IS NOT UNKNOWN", "false"},
      {"(IdRes = 2) IS TRUE", "true"},
      {"(IdRes = 2) IS FALSE", "false"},
      {"(IdRes = 2) IS NOT FALSE", "true"},
      {"TRUE", "true"},
      {"IdRes >= 2 and IdRes <= 2 and IdRes <> 3 and IdRes > 1 and IdRes < 3", "true"},
      {"Res.IdRes = 2", "true"},
      {"NmRes > 'My'", "true"},
      {"NmRes = 'my web page'", "false"},  // case-sensitive
      {"IdRes = '2'", "true"},             // compared as strings
  };
  for (const auto& c : cases) EXPECT_EQ(Cond(c.text), c.result) << c.text;
}

TEST_F(ExpressionEval, ValuesArithmeticAndFunctions) {
  const Case cases[] = {
      {"1 + 2 * 3", "Integer:7"},
      {"(1 + 2) * 3", "Integer:9"},
      {"10 - 4 - 3", "Integer:3"},
      {"-IdRes", "Integer:-2"},
      {"7 / 2", "Float:3.5"},
      {"1.5 + 1", "Float:2.5"},
      {"'a' + 1", "String:a1"},
      {"1 + '2'", "String:12"},
      {"'a' || 'b' || 'c'", "String:abc"},
      {"Rating + 1", "NULL"},
      {"1 + Rating", "NULL"},
      {"Rating * 2", "NULL"},
      {"'a' || NmRes", "String:aMy web page"},
      {"'a' || Mark", "NULL"},
      {"2147483647 + 1", "Integer:-2147483648"},  // 32-bit wrap
      {"Upper(NmRes)", "String:MY WEB PAGE"},
      {"Lower('ABC')", "String:abc"},
      {"Upper(Mark)", "String:"},
      {"Trim('  x  ')", "String:x"},
      {"LTrim('  x  ')", "String:x  "},
      {"RTrim('  x  ')", "String:  x"},
      {"Length('abc')", "Integer:3"},
      {"Length('\xC3\xA9t\xC3\xA9')", "Integer:3"},
      {"Substring('abcdef' From 2 For 3)", "String:bcd"},
      {"Substring('abcdef', 4)", "String:def"},
      {"Substring('abcdef' From 10)", "String:"},
      {"Position('c' In 'abc')", "Integer:3"},
      {"Pos('z', 'abc')", "Integer:0"},
      {"CAST('12' AS INTEGER) + 1", "Integer:13"},
      {"Cast(IdRes, String)", "String:2"},
      {"Cast(NULL As Date)", "NULL"},
      {"ToString(ToDate('05.03.2004', 'DD.MM.YYYY'), 'YYYY-MM-DD')", "String:2004-03-05"},
      {"ToString(SysDate, 'DD.MM.YYYY HH24:NN')", "String:11.12.2026 10:30"},
      {"Current_Date", "Date:11.12.2026"},
      {"Current_Time", "Time:10:30:00"},
      {"ToString(NULL, 'YYYY')", "NULL"},
      {"True", "true"},
      {"NULL", "NULL"},
  };
  for (const auto& c : cases) EXPECT_EQ(Val(c.text), c.result) << c.text;
}

TEST_F(ExpressionEval, EvaluationErrors) {
  const struct {
    const char* text;
    int code;
  } cases[] = {
      {"Cast(1 As Logical) + Cast(0 As Logical)", 2091},
      {"-NmRes", 2089},
      {"Cast(1 As Logical) * Cast(1 As Date)", 2092},
      {"Length(IdRes)", 2121},
      {"Position(1 In 'abc')", 2122},
      {"Position('a' In IdRes)", 2124},
      {"Substring(IdRes From 1)", 2125},
      {"Substring('abc' From 1.5)", 2107},
      {"ToString(IdRes, 'YYYY')", 2140},
      {"CAST('x' AS INTEGER)", 2093},
      {"Cast(1 As Date) + Cast(1 As Logical)", 2093},
  };
  for (const auto& c : cases) EXPECT_EQ(CodeOf([&] { Val(c.text); }), c.code) << c.text;
  EXPECT_EQ(CodeOf([&] { Cond("IdRes Like 1"); }), 2114);
  EXPECT_EQ(CodeOf([&] { Cond("NOT NmRes"); }), 1041);
  EXPECT_THROW(Val("1 / 0"), EZeroDivide);
  EXPECT_EQ(CodeOf([&] { Cond("Cast(1 As Logical) = Current_Date"); }), 25);
  EXPECT_EQ(CodeOf([&] { Cond("Current_Date = Cast(1 As Logical)"); }), 2093);
}

TEST_F(ExpressionEval, AggregatesAccumulateOverRows) {
  TVTblMemoryRowSource src = MakeResSource();
  auto parse = [&](const char* text) {
    auto lexer = std::make_unique<TVellLexer>(text);
    lexer->NextCommand();
    auto e = std::make_unique<TVTblExpression>(lexer.get());
    e->ParseValue();
    e->Bind(&src);
    e->ResetAggregates();
    return std::make_pair(std::move(lexer), std::move(e));
  };
  auto [l1, count] = parse("Count(*)");
  auto [l2, countMark] = parse("Count(Mark)");
  auto [l3, sum] = parse("Sum(IdRes)");
  auto [l4, avg] = parse("Avg(Mark)");
  auto [l5, max] = parse("Max(IdRes) + 1");
  auto [l6, min] = parse("Min(NmRes)");
  auto [l7, maxMark] = parse("Max(Mark)");
  for (auto* e : {count.get(), countMark.get(), sum.get(), avg.get(), max.get(), min.get()})
    EXPECT_TRUE(e->IsAggregate());
  // Over no rows.
  EXPECT_EQ(Describe(count->Evaluate()), "Integer:0");
  EXPECT_EQ(Describe(maxMark->Evaluate()), "NULL");
  EXPECT_EQ(Describe(avg->Evaluate()), "NULL");
  EXPECT_EQ(Describe(sum->Evaluate()), "NULL");
  const struct {
    int id;
    const char* name;
    std::optional<int> mark;
  } rows[] = {{5, "b", 1}, {7, "a", 2}, {3, "c", std::nullopt}};
  for (const auto& r : rows) {
    AddResRow(src, TVTblValue::Integer(r.id), TVTblValue::String(r.name),
              r.mark ? TVTblValue::Integer(*r.mark) : kNullInt);
    for (auto* e : {count.get(), countMark.get(), sum.get(), avg.get(), max.get(), min.get(),
                    maxMark.get()})
      e->Accumulate();
  }
  EXPECT_EQ(Describe(count->Evaluate()), "Integer:3");
  EXPECT_EQ(Describe(countMark->Evaluate()), "Integer:2");
  EXPECT_EQ(Describe(sum->Evaluate()), "LargeInt:15");
  EXPECT_EQ(sum->DataType(), ftLargeInt);
  EXPECT_EQ(Describe(avg->Evaluate()), "Float:1.5");
  EXPECT_EQ(Describe(max->Evaluate()), "Integer:8");
  EXPECT_EQ(Describe(min->Evaluate()), "String:a");
  count->ResetAggregates();
  EXPECT_EQ(Describe(count->Evaluate()), "Integer:0");

  auto [l8, sumName] = parse("Sum(NmRes)");
  EXPECT_EQ(CodeOf([&] { sumName->Accumulate(); }), 2109);
}

TEST_F(ExpressionEval, TypesAndSizesOfResults) {
  auto typed = [&](const char* text) {
    TVellLexer lexer(text);
    lexer.NextCommand();
    TVTblExpression e(&lexer);
    e.ParseValue();
    e.Bind(&src_);
    return std::string(ValueTypeName(e.DataType())) + "/" + std::to_string(e.DataSize());
  };
  EXPECT_EQ(typed("NmRes"), "String/100");
  EXPECT_EQ(typed("'abc'"), "String/3");
  EXPECT_EQ(typed("Upper(NmRes)"), "String/100");
  EXPECT_EQ(typed("NmRes || IdRes"), "String/111");
  EXPECT_EQ(typed("'x' + Rating + Price"), "String/33");
  EXPECT_EQ(typed("Cast(IdRes As String)"), "String/11");
  EXPECT_EQ(typed("ToString(DateRes, 'DD.MM.YYYY')"), "String/10");
  EXPECT_EQ(typed("Length(NmRes)"), "Integer/0");
  EXPECT_EQ(typed("IdRes / 2"), "Float/0");
  EXPECT_EQ(typed("IdRes + Rating"), "Integer/0");
  EXPECT_EQ(typed("Rating + Rating"), "SmallInt/0");
  EXPECT_EQ(typed("Count(*)"), "Integer/0");
  EXPECT_EQ(typed("Sum(Price)"), "Float/0");
  EXPECT_EQ(typed("Current_Time"), "Time/0");
  EXPECT_EQ(typed("LastAutoInc(Res)"), "Integer/0");
}

TEST_F(ExpressionEval, BindingFindsExactlyOneColumn) {
  std::string message;
  try {
    Cond("Name = 1");
  } catch (const VTblException& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "Field '.Name' not found - Native error: 02108");
  EXPECT_EQ(CodeOf([&] { Cond("Cat.IdRes = 1"); }), 2108);
  TVTblMemoryRowSource twice = MakeResSource();
  twice.AddColumn({"IdRes", "", "Link", ftInteger, 0});
  AddResRow(twice, TVTblValue::Integer(1), kNullStr);
  EXPECT_EQ(CodeOf([&] { EvalCondition("IdRes = 1", twice); }), 2108);
  EXPECT_EQ(EvalCondition("Res.IdRes = 1", twice), "true");
  EXPECT_EQ(EvalCondition("res.idres = 1 and [Res].[IdRes] = 1", twice), "true");
}

TEST_F(ExpressionEval, JoinConditionsAndAliases) {
  TVTblMemoryRowSource link;
  link.AddColumn({"IdCat", "", "Link", ftInteger, 0});
  link.AddColumn({"IdRes", "", "Link", ftInteger, 0});
  TVellLexer lexer("Link.IdRes = Res.IdRes");
  lexer.NextCommand();
  TVTblExpression e(&lexer);
  e.ParseCondition();
  EXPECT_TRUE(e.Root()->IsJoinCondition(link, src_));
  EXPECT_TRUE(e.Root()->IsJoinCondition(src_, link));
  EXPECT_EQ(CodeOf([&] { e.Root()->IsJoinCondition(link, link); }), 1054);

  TVellLexer ambiguous("IdRes = Res.IdRes");
  ambiguous.NextCommand();
  TVTblExpression a(&ambiguous);
  a.ParseCondition();
  EXPECT_EQ(CodeOf([&] { a.Root()->IsJoinCondition(link, src_); }), 1054);
  TVellLexer ambiguous2("Res.IdRes = IdRes");
  ambiguous2.NextCommand();
  TVTblExpression b(&ambiguous2);
  b.ParseCondition();
  EXPECT_EQ(CodeOf([&] { b.Root()->IsJoinCondition(link, src_); }), 1055);

  std::vector<TVTblSelectListItem> items(1);
  items[0].qualifier = "Res";
  items[0].columnName = "IdRes";
  items[0].alias = "Id";
  TVellLexer aliased("Id = 2");
  aliased.NextCommand();
  TVTblExpression c(&aliased);
  c.ParseCondition();
  c.ResolveAliases(items);
  c.Bind(&src_);
  EXPECT_EQ(Describe(c.Evaluate()), "true");
  EXPECT_EQ(c.SQLText(), "Res.IdRes = 2");
}

TEST_F(ExpressionEval, AFilteringDatasetReadsItsOwnRow) {
  TVellLexer lexer("IdRes = 7");
  lexer.NextCommand();
  TVTblExpression e(&lexer);
  e.ParseCondition();
  e.Bind(&src_);
  EXPECT_EQ(Describe(e.Evaluate()), "false");
  TVTblMemoryRowSource other = MakeResSource();
  AddResRow(other, TVTblValue::Integer(7), kNullStr);
  EXPECT_EQ(Describe(e.Evaluate(&other)), "true");
  EXPECT_EQ(CodeOf([&] { TVTblExpression(TVTblNodePtr()).Evaluate(); }), 1070);
  // LASTAUTOINC needs a source that knows tables.
  EXPECT_EQ(CodeOf([&] { Val("LastAutoInc(Res) + 1"); }), 1070);
}

}  // namespace
}  // namespace kestro::test
