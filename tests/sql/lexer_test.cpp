#include "engine/sql/lexer.h"

#include <gtest/gtest.h>

#include "engine/common/exception.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

// Tokens of the first command as "kind:text" (R<code> for reserved words).
std::string Tokens(const std::string& sql, const TVellParams* params = nullptr) {
  TVellLexer lexer(sql, params);
  std::string out;
  if (!lexer.NextCommand()) return "<none>";
  static const char* kKinds[] = {"none", "W", "Q", "B", "I", "F", "R", "P", "(", ")", ",", "."};
  for (const TToken& t : lexer.Command(0).tokens) {
    if (!out.empty()) out += ' ';
    out += t.kind == tktReservedWord ? "R" + std::to_string(t.code) : kKinds[t.kind];
    out += ":" + t.text;
  }
  return out;
}

int LexError(const std::string& sql, std::string* message = nullptr) {
  try {
    TVellLexer lexer(sql);
  } catch (const VTblException& e) {
    if (message) *message = e.what();
    return e.NativeError();
  }
  return -1;
}

TEST(Lexer, CutsTheOrganizerStatementsIntoTokens) {
  EXPECT_EQ(Tokens("Select * From Link, Res Where Link.IdRes=Res.IdRes and Link.IdCat=1"),
            "R179:Select W:* R90:From W:Link ,:, W:Res R224:Where W:Link .:. W:IdRes W:= "
            "W:Res .:. W:IdRes R6:and W:Link .:. W:IdCat W:= I:1");
  EXPECT_EQ(Tokens("NmRes Like \"%web%\""), "W:NmRes R123:Like Q:%web%");
  EXPECT_EQ(Tokens("[Date] 'it''s' \"a\"\"b\" [x]]y]"), "B:Date Q:it's Q:a\"b B:x]y");
}

TEST(Lexer, OperatorsAndDelimiters) {
  const struct {
    const char* sql;
    const char* tokens;
  } cases[] = {
      {"a>=b", "W:a W:>= W:b"},
      {"a<>b", "W:a W:<> W:b"},
      {"a<=b", "W:a W:<= W:b"},
      {"a||b", "W:a W:|| W:b"},
      {"a != b", "W:a W:! W:= W:b"},
      {"a!=b", "W:a! W:= W:b"},
      {"a|b", "W:a W:| W:b"},
      {"x-1", "W:x W:- I:1"},
      {"5-3", "I:5 W:- I:3"},
      {"a+b*c/d", "W:a W:+ W:b W:* W:c W:/ W:d"},
      {"f(a,b)", "W:f (:( W:a ,:, W:b ):)"},
      {"it's", "W:it's"},
      {"a:b", "W:a P:b"},
      {"absolute", "R0:absolute"},
      {"noautoindexes END-EXEC", "R247:noautoindexes R73:END W:- R78:EXEC"},
  };
  for (const auto& c : cases) EXPECT_EQ(Tokens(c.sql), c.tokens) << c.sql;
}

TEST(Lexer, Numbers) {
  const struct {
    const char* sql;
    const char* tokens;
  } cases[] = {
      {"1e+5", "F:1e+5"},      {"2.5E-3", "F:2.5E-3"}, {"1e", "F:1e"},
      {"1.2.3", "F:1.2.3"},    {".5", "F:.5"},         {"Link.5", "W:Link F:.5"},
      {"Link.IdRes", "W:Link .:. W:IdRes"},           {"12", "I:12"},
      {"1+2", "I:1 W:+ I:2"},  {"3,4", "I:3 ,:, I:4"}, {"7)", "<error>"},
  };
  for (const auto& c : cases) {
    if (std::string(c.tokens) == "<error>") continue;
    EXPECT_EQ(Tokens(c.sql), c.tokens) << c.sql;
  }
  std::string message;
  EXPECT_EQ(LexError("Select 12ab", &message), 44);
  EXPECT_EQ(message, "Invalid numeric symbol 'a' at line 1, column 10 - Native error: 00044");
  EXPECT_EQ(LexError("1x"), 44);
}

TEST(Lexer, PositionsCountLinesAndCharacters) {
  TVellLexer lexer("a = 'xy' b\n  c\r\n\td -- note\nY /* x\n y */ z '\xC3\xA9' w");
  ASSERT_TRUE(lexer.NextCommand());
  const auto& t = lexer.Command(0).tokens;
  auto at = [&](size_t i) { return std::to_string(t[i].line) + ":" + std::to_string(t[i].column); };
  ASSERT_EQ(t.size(), 10u);
  EXPECT_EQ(at(2), "1:5");   // the quoted token starts at its quote
  EXPECT_EQ(at(3), "1:10");  // b
  EXPECT_EQ(at(4), "2:3");   // c
  EXPECT_EQ(at(5), "3:2");   // d after a tab
  EXPECT_EQ(at(6), "4:1");   // Y after the line comment
  EXPECT_EQ(at(7), "5:7");   // z after a block comment over two lines
  EXPECT_EQ(at(9), "5:13");  // é counts as one character
}

TEST(Lexer, CommandsAndComments) {
  TVellLexer lexer(" ; -- only a comment\n;/* and */ ; Select 1; Select 2 ;");
  EXPECT_EQ(lexer.CommandCount(), 2);
  EXPECT_EQ(TVellLexer("  ;; -- x\n /* y */ ").CommandCount(), 0);
  EXPECT_EQ(TVellLexer("").CommandCount(), 0);
  EXPECT_EQ(Tokens("a /* never closed"), "W:a");
  EXPECT_EQ(Tokens("'a;b' ; c"), "Q:a;b");
  // A comment is recognised even inside a word, and does not end it.
  EXPECT_EQ(Tokens("ab--x\ncd"), "W:abcd");
}

TEST(Lexer, LexicalErrorsAreRaisedBeforeAnythingRuns) {
  const struct {
    const char* sql;
    int code;
    const char* message;
  } cases[] = {
      {"x = \"abc", 3, "Unterminated string at line 1, column 5"},
      {"(a", 1, "Missing right parenthesis at line 1, column 1"},
      {"a)", 2, "Unexpected symbol ')' found at line 1, column 2"},
      {"(a; Select 1", 1, "Missing right parenthesis at line 1, column 1"},
      {"Select 1; (b", 1, "Missing right parenthesis at line 1, column 11"},
      {"[abc", 3, "Unterminated string at line 1, column 1"},
      {"((a) ) )", 2, "Unexpected symbol ')' found at line 1, column 8"},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(LexError(c.sql, &message), c.code) << c.sql;
    EXPECT_EQ(message, std::string(c.message) + " - Native error: " +
                           (c.code < 10 ? "0000" : "000") + std::to_string(c.code));
  }
  // Only the depth at the end of a command counts.
  EXPECT_EQ(LexError("a) (b"), -1);
}

TEST(Lexer, CursorMovesAndRestores) {
  TVellLexer lexer("a b c; d");
  TToken t;
  EXPECT_FALSE(lexer.CurrentToken(t));  // before the first command
  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.CurrentToken(t));
  EXPECT_EQ(t.text, "a");
  ASSERT_TRUE(lexer.PeekToken(t));
  EXPECT_EQ(t.text, "b");
  EXPECT_TRUE(lexer.NextToken(t));
  EXPECT_TRUE(lexer.NextToken(t));
  EXPECT_EQ(t.text, "c");
  EXPECT_FALSE(lexer.NextToken(t));
  EXPECT_EQ(t.kind, tktNone);
  EXPECT_EQ(lexer.SetTokenPosition(1).text, "b");
  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.CurrentToken(t));
  EXPECT_EQ(t.text, "d");
  EXPECT_FALSE(lexer.NextCommand());
  TToken word;
  word.kind = tktReservedWord;
  word.code = rwSELECT;
  EXPECT_TRUE(TVellLexer::IsReservedWord(word, rwSELECT));
  EXPECT_TRUE(TVellLexer::IsReservedWord(word, kNotReservedWord));
  EXPECT_FALSE(TVellLexer::IsReservedWord(word, rwFROM));
}

TEST(Lexer, ParametersTakeTheirValuesAsTokens) {
  TVellParams params;
  int32_t day = 0;
  TryEncodeDate(2004, 3, 5, day);
  params.Add("name", ftString, TVTblValue::String("O'Hara"));
  params.Add("id", ftInteger, TVTblValue::Integer(42));
  params.Add("f", ftFloat, TVTblValue::Float(2.5));
  params.Add("b", ftBoolean, TVTblValue::Boolean(true));
  params.Add("d", ftDate, TVTblValue::Date(day));
  params.Add("w", ftWideString, TVTblValue::Wide(u"\u00e9"));
  params.Add("n", ftInteger);
  params.Add("s", ftString, TVTblValue::String("Select"));
  EXPECT_EQ(Tokens("x = :name and y = :ID or :f :b :d :n :s", &params),
            "W:x W:= Q:O'Hara R6:and W:y W:= I:42 R150:or F:2.5 R208:True Q:05.03.2004 "
            "R141:NULL Q:Select");
  TVellLexer wide(":w", &params);
  ASSERT_TRUE(wide.NextCommand());
  EXPECT_EQ(wide.Command(0).tokens[0].wide, u"\u00e9");
  EXPECT_EQ(wide.Command(0).tokens[0].text, "\xC3\xA9");
  // Without a list the token stays a parameter.
  EXPECT_EQ(Tokens(":who"), "P:who");
  EXPECT_THROW(TVellLexer(":missing", &params), Exception);
}

TEST(ReservedWords, TableOrderGivesTheCodes) {
  EXPECT_EQ(kReservedWords.size(), 248u);
  EXPECT_STREQ(kReservedWords[0], "ABSOLUTE");
  EXPECT_STREQ(kReservedWords[229], "ZONE");
  EXPECT_STREQ(kReservedWords[230], "PASSWORD");
  EXPECT_STREQ(kReservedWords[247], "NOAUTOINDEXES");
  for (size_t i = 0; i < kReservedWords.size(); ++i)
    EXPECT_EQ(ReservedWordCode(kReservedWords[i]), i) << kReservedWords[i];
  EXPECT_EQ(ReservedWordCode("select"), rwSELECT);
  EXPECT_EQ(ReservedWordCode("IdRes"), kNotReservedWord);
}

}  // namespace
}  // namespace kestro
