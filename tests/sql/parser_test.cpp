#include "engine/sql/parser.h"

#include <gtest/gtest.h>

#include "engine/common/vtbl_exception.h"
#include "tests/support/expression_harness.h"

namespace kestro {
namespace {

class Statement : public TVellParser {
 public:
  using TVellParser::TVellParser;
  void Parse() override {}
};

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const VTblException& e) {
    return e.what();
  }
  return "<none>";
}

TEST(Parser, AdvanceExpectingChecksKindsAndTheEnd) {
  TVellLexer lexer("Drop Index t.i\n  Res");
  ASSERT_TRUE(lexer.NextCommand());
  Statement p(&lexer);
  ASSERT_TRUE(p.CurrentToken());
  EXPECT_EQ(p.Token().text, "Drop");
  EXPECT_TRUE(p.AdvanceExpecting({tktReservedWord}, 2052, true));  // Index
  EXPECT_TRUE(p.AdvanceExpecting(kNameKinds, 2053, true));         // t
  // A token of another kind: false without mustExist, the code with it.
  EXPECT_FALSE(p.AdvanceExpecting({tktString}, 1012, false));      // .
  EXPECT_EQ(p.Token().kind, tktDot);
  EXPECT_TRUE(p.AdvanceExpecting({}, -1, true));                   // i: no check
  EXPECT_EQ(Message([&] { p.AdvanceExpecting({tktDot}, 2053, true); }),
            "index name expected, but 'Res' found at line 2, column 3 - Native error: 02053");
  EXPECT_EQ(Message([&] { p.AdvanceExpecting(kNameKinds, 1012, true); }),
            "Unexpected end of SQL command found at line 2 - Native error: 01008");
  EXPECT_FALSE(p.AdvanceExpecting(kNameKinds, 1012, false));
}

TEST(Parser, AdvanceOrFailReportsTheLastToken) {
  TVellLexer lexer("Select From");
  ASSERT_TRUE(lexer.NextCommand());
  Statement p(&lexer);
  p.CurrentToken();
  p.AdvanceOrFail(1014);
  EXPECT_EQ(p.Token().text, "From");
  EXPECT_EQ(Message([&] { p.AdvanceOrFail(1012); }),
            "Table name expected, but 'From' found at line 1, column 8 - Native error: 01012");
}

}  // namespace
}  // namespace kestro
