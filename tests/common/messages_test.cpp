#include <gtest/gtest.h>

#include "engine/common/messages.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

struct MessageCase {
  int code;
  std::vector<VArg> args;
  const char* component;
  const char* expected;
};

TEST(VTblException, BuildsEveryKindOfMessageByteForByte) {
  const MessageCase cases[] = {
      {2108, {"Res.Mark"}, "", "Field 'Res.Mark' not found - Native error: 02108"},
      {33, {"x"}, "", "Field 'x' not found - Native error: 00033"},
      {0, {}, "", "Unknown error - Native error: 00000"},
      {999, {}, "", "Unknown error - Native error: 00999"},
      {1008, {3}, "", "Unexpected end of SQL command found at line 3 - Native error: 01008"},
      {1, {2, 7}, "", "Missing right parenthesis at line 2, column 7 - Native error: 00001"},
      {1075, {"S1"}, "Session1", "Session1: Duplicate session name 'S1' - Native error: 01075"},
      {1083, {}, "EDb", "EDb: Cannot perform this operation on a closed database - Native error: 01083"},
      {2157, {5}, "",
       "AutoInc uniqueness violation. Update or insert of duplicate AutoInc value (5) failed "
       " - Native error: 02157"},
      {1058, {"x", 1, 2}, "",
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, "
       "column 2 - Native error: 01058"},
      {2128, {",' or 'from", "x", 1, 20}, "",
       "Token ',' or 'from' expected, but 'x' found at line 1, column 20 - Native error: 02128"},
      {4, {"Res", "Res", "/tmp/a.kvb", 0}, "",
       "Cannot open table 'Res'. DatabaseName = Res, DatabaseFileName = /tmp/a.kvb, InMemory = 0. "
       "- Native error: 00004"},
      {-7, {}, "", "Unknown error - Native error: 000-7"},
      {123456, {}, "", "Unknown error - Native error: 123456"},
  };
  for (const auto& c : cases) {
    VTblException e(c.code, c.component, c.args);
    EXPECT_EQ(std::string(e.what()), c.expected) << c.code;
    EXPECT_EQ(e.NativeError(), c.code);
  }
}

TEST(VTblException, MissingArgumentsLeaveThePlaceholders) {
  EXPECT_EQ(std::string(VTblException(2108).what()), "Field '%s' not found - Native error: 02108");
}

TEST(MessageTable, EveryCodeOfTheThreeRangesHasARow) {
  EXPECT_EQ(MessageCodeRowCount(), 311);
  int rows = 0;
  for (int lo : {0, 1001, 2000}) {
    const int hi = lo == 0 ? 54 : lo == 1001 ? 1094 : 2161;
    for (int code = lo; code <= hi; ++code, ++rows) {
      const int slot = MessageSlotOfCode(code);
      const bool silent = code == 1093 || code == 1094 || code == 2160 || code == 2161;
      EXPECT_EQ(std::string(MessageOfSlot(slot)).empty(), silent) << code;
      EXPECT_TRUE(code == 0 || slot != 0) << code;
    }
  }
  EXPECT_EQ(rows, 311);
}

TEST(MessageTable, SlotsAndSharedMessages) {
  for (int slot = 0; slot < kMessageSlotCount; ++slot) {
    const bool empty = (slot >= 33 && slot <= 70) || (slot >= 113 && slot <= 150) || slot >= 189;
    EXPECT_EQ(std::string(MessageOfSlot(slot)).empty(), empty) << slot;
  }
  // Codes that share one message share one slot.
  EXPECT_EQ(MessageSlotOfCode(33), MessageSlotOfCode(2108));
  EXPECT_EQ(MessageSlotOfCode(1025), MessageSlotOfCode(2081));
  EXPECT_EQ(MessageSlotOfCode(25), MessageSlotOfCode(51));
  EXPECT_NE(MessageSlotOfCode(25), MessageSlotOfCode(26));
  EXPECT_EQ(MessageSlotOfCode(5000), 0);
  EXPECT_EQ(VTblException(2092).MessageIndex(), MessageSlotOfCode(2093));
}

}  // namespace
}  // namespace kestro
