#include <gtest/gtest.h>

#include "engine/common/vtbl_exception.h"
#include "engine/dataset/vell_table.h"

#include "tests/query/query_fixture.h"
#include "tests/support/error_of.h"

namespace kestro::test {
namespace {

// Link(IdCat, IdRes) and Res(IdRes, NmRes, NumCat) with a few rows.
class StatementTest : public QueryTest {
 protected:
  void SetUp() override {
    QueryTest::SetUp();
    Exec("Create Table Link (IdCat integer, IdRes integer)");
    Exec("Create UNIQUE Index iCat ON Link(IdCat, IdRes)");
    Exec("Create Table Res (IdRes integer, NmRes string(20), NumCat integer, Primary Key (IdRes))");
    for (auto [c, r] : {std::pair{1, 1}, {1, 2}, {2, 2}, {2, 3}, {3, 4}})
      Exec("Insert Into Link (IdCat,IdRes) Values (" + std::to_string(c) + "," + std::to_string(r) +
           ")");
    for (int r = 1; r <= 4; ++r)
      Exec("Insert Into Res (IdRes,NmRes,NumCat) Values (" + std::to_string(r) + ",\"r" +
           std::to_string(r) + "\",1)");
  }
};

std::string Code(const std::string& error) {
  return error.size() >= 5 ? error.substr(error.size() - 5) : error;
}

TEST_F(StatementTest, SyntaxErrorsCarryTheirCodesAndRunNothing) {
  struct Case {
    const char* sql;
    const char* code;
  };
  const Case cases[] = {
      {"-- only a comment", "01001"},
      {"12 Select", "01059"},
      {"Commit", "01003"},
      {"Create Table T (a string)", "02008"},
      {"Create Table T (a string(20) not nul)", "02011"},
      {"Create Table T (a integer default 5)", "02044"},
      {"Create Table T (a nosuchtype)", "02007"},
      {"Create Something", "02002"},
      {"Drop Index Link iCat", "02064"},
      {"Select IdRes From Link Where", "01039"},
      {"Select IdRes Link", "01014"},
      {"Update Res NmRes=1", "02085"},
      {"Insert Res Values (1)", "02071"},
      {"Select Top x * From Res", "01091"},
      {"Select * From Res Group IdRes", "01063"},
      {"Select * From Res; Select From", "01017"},
  };
  for (const Case& c : cases) EXPECT_EQ(Code(ErrorOf([&] { Exec(c.sql); })), c.code) << c.sql;
  // A syntax error in the second statement runs neither.
  EXPECT_EQ(Code(ErrorOf([&] {
              Exec("Insert Into Res (IdRes,NmRes) Values (9,\"x\"); Insert Into Res Values (");
            })),
            "00001");  // the lexer finds it
  EXPECT_EQ(Select("Select Count(*) From Res"), (Strings{"4"}));
  // A failing second statement keeps the first one's change.
  EXPECT_FALSE(ErrorOf([&] {
                 Exec("Insert Into Res (IdRes,NmRes) Values (9,\"x\"); Select Foo From Res");
               }).empty());
  EXPECT_EQ(Select("Select Count(*) From Res"), (Strings{"5"}));
}

TEST_F(StatementTest, SelectsJoinGroupOrderAndLimit) {
  struct Case {
    const char* sql;
    Strings rows;
  };
  const Case cases[] = {
      {"Select IdCat, Count(*) From Link Group By IdCat", {"1|2", "2|2", "3|1"}},
      {"Select Top 2, 3 * From Link, Res Where Link.IdRes=Res.IdRes", {"2|2|2|r2|1", "2|3|3|r3|1"}},
      {"Select IdRes From Link Where IdCat=2 Union Select IdRes From Link Where IdCat=1",
       {"2", "3", "1"}},
      {"Select IdRes From Link Where IdCat=2 Union All Select IdRes From Link Where IdCat=1",
       {"2", "3", "1", "2"}},
      {"Select IdRes From Res Intersect Select IdRes From Link Where IdCat=1", {"1", "2"}},
      {"Select IdRes From Res Except Select IdRes From Link", {}},
      {"Select NmRes From Res Order By NmRes Desc", {"r4", "r3", "r2", "r1"}},
      {"Select Top 2 NmRes From Res Order By NmRes Desc", {"r4", "r3"}},
      {"Select Distinct IdCat From Link", {"1", "2", "3"}},
      {"Select NmRes as N, IdRes+10 as Plus From Res Where IdRes<3", {"r1|11", "r2|12"}},
      {"Select l.IdCat, r.NmRes From Link l Join Res r On l.IdRes=r.IdRes Where l.IdCat=3",
       {"3|r4"}},
      {"Select Res.IdRes, IdCat From Res Left Join Link On Res.IdRes=Link.IdRes Where IdCat Is "
       "Null",
       {}},
      {"Select Count(*) From Link, Res", {"20"}},
      {"Select Max(IdRes) as M, Min(IdRes), Sum(IdCat) From Link", {"4|1|9"}},
      {"Select IdCat, Count(*) as N From Link Group By IdCat Having Count(*) > 1", {"1|2", "2|2"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Select(c.sql), c.rows) << c.sql;
  EXPECT_EQ(Code(ErrorOf([&] { Select("Select IdRes, Count(*) From Link Group By IdCat"); })),
            "00049");
  EXPECT_EQ(Code(ErrorOf([&] { Select("Select IdRes From Link Where Foo=1"); })), "01069");
  EXPECT_EQ(Code(ErrorOf([&] { Select("Select Foo From Link"); })), "00033");
  EXPECT_EQ(Code(ErrorOf([&] { Select("Select * From Res Order By Foo"); })), "01051");
  EXPECT_EQ(Code(ErrorOf([&] { Select("Select * From Nope"); })), "00004");
}

TEST_F(StatementTest, DataStatementsFollowTheirRules) {
  Exec("Update Res Set NumCat=NumCat+1 Where IdRes=3");
  EXPECT_EQ(rowsAffected_, 1);
  EXPECT_EQ(Select("Select NumCat From Res Where IdRes=3"), (Strings{"2"}));
  Exec("Update Res Set NumCat=5");
  EXPECT_EQ(rowsAffected_, 4);
  // Rows leaving the WHERE while the update runs are each changed once.
  Exec("Update Res Set NumCat=NumCat+1 Where NumCat=5");
  EXPECT_EQ(rowsAffected_, 4);
  EXPECT_EQ(Select("Select Distinct NumCat From Res"), (Strings{"6"}));
  // One value for two columns goes to the first field.
  Exec("Create Table Cat (IdCat integer, NmCat string(10))");
  Exec("Insert Into Cat (IdCat,NmCat) Values (1)");
  EXPECT_EQ(Select("Select * From Cat"), (Strings{"1|"}));
  // A duplicate in a unique index.
  EXPECT_NE(
      ErrorOf([&] { Exec("Insert Into Link (IdCat,IdRes) Values (1,1)"); }).find("key violation"),
      std::string::npos);
  EXPECT_EQ(Select("Select Count(*) From Link Where IdCat=1 and IdRes=1"), (Strings{"1"}));
  Exec("Delete From Link Where IdCat=2");
  EXPECT_EQ(rowsAffected_, 2);
  Exec("Delete From Link");
  EXPECT_EQ(rowsAffected_, 3);
  EXPECT_EQ(Select("Select Count(*) From Link"), (Strings{"0"}));
  EXPECT_EQ(Code(ErrorOf([&] { Exec("Drop Table Nope"); })), "02033");
  Exec("Drop Table Cat");
  EXPECT_EQ(Code(ErrorOf([&] { Select("Select * From Cat"); })), "00004");
}

TEST_F(StatementTest, AutoIncColumnsAndTableChanges) {
  Exec("Create Table A (Id autoinc, Name string(10), LastAutoInc 100)");
  Exec("Insert Into A (Name) Values (\"first\")");
  EXPECT_EQ(Select("Select Id, Name From A"), (Strings{"101|first"}));
  EXPECT_EQ(Code(ErrorOf([&] { Exec("Insert Into A (Id, Name) Values (101, \"dup\")"); })),
            "02158");
  Exec("Insert Into A (Id, Name) Values (200, \"set\")");
  EXPECT_EQ(Select("Select LastAutoInc(A) From A Where Id=200"), (Strings{"200"}));
  Exec("Alter Table A Add (Extra integer)");
  Exec("Update A Set Extra=7");
  Exec("Alter Table A Modify (Name string(30) not null)");
  EXPECT_EQ(Select("Select * From A"), (Strings{"first|7|101", "set|7|200"}));
  Exec("Create Table B (N integer, S string(10))");
  Exec("Insert Into B (N, S) Select Id, Name From A");
  EXPECT_EQ(Select("Select * From B"), (Strings{"101|first", "200|set"}));
  Exec("Alter Table A Drop (Extra)");
  EXPECT_EQ(Select("Select * From A"), (Strings{"first|101", "set|200"}));
  EXPECT_EQ(Code(ErrorOf([&] { Exec("Alter Table A Modify (Nope integer)"); })), "02047");
  Exec("Create Index iName ON A (Name DESC NOCASE, Id)");
  auto t = MakeStatementTable(*queries_.emplace_back(std::make_unique<TVellQuery>()), "A", false,
                              "", "Res");
  t->Open();
  bool found = false;
  for (const TVellIndexDef& ix : t->IndexDefs())
    if (ix.name == "iName") {
      found = true;
      EXPECT_EQ(ix.fields, "Name;Id");
      EXPECT_EQ(ix.descendingFields, "Name");
      EXPECT_EQ(ix.caseInsensitiveFields, "Name");
    }
  EXPECT_TRUE(found);
  t->Close();
  Exec("Drop Index A.iName");
  EXPECT_FALSE(ErrorOf([&] { Exec("Drop Index A.iName"); }).empty());
}

TEST_F(StatementTest, QueriesOpenExecuteAndClose) {
  // A join's temporary result goes when the query closes.
  TVellQuery& join = Open("Select * From Link, Res Where Link.IdRes=Res.IdRes");
  const std::string temp = join.TableName();
  EXPECT_EQ(temp.rfind("@TABLE", 0), 0u);
  join.Close();
  TVellTable probe;
  probe.SetDatabaseName("MEMORY");
  probe.SetInMemory(true);
  probe.SetTableName(temp);
  EXPECT_FALSE(probe.Exists());

  // A statement that returns no rows runs, then Open says so.
  TVellQuery& q = Query();
  q.SetSQLText("Insert Into Res (IdRes,NmRes) Values (10,\"ten\")");
  EXPECT_EQ(ErrorOf([&] { q.Open(); }),
            "Error creating cursor handle. Try to use ExecSQL instead of Open method - Native "
            "error: 01088");
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(Select("Select NmRes From Res Where IdRes=10"), (Strings{"ten"}));
  // ExecSQL of a SELECT runs it and leaves the query closed.
  q.SetSQLText("Select * From Res");
  q.ExecSQL();
  EXPECT_FALSE(q.Active());
  // Two statements: the first runs, the second is shown.
  q.SetSQLText("Update Res Set NumCat=9 Where IdRes=10; Select NumCat From Res Where IdRes=10");
  q.Open();
  EXPECT_EQ(q.FieldByName("NumCat").AsInteger(), 9);
  EXPECT_FALSE(q.CanModify());  // not asked to be live
  EXPECT_EQ(ErrorOf([&] { q.Edit(); }), "Cannot modify a read-only dataset");
  q.SetSQLText("Select * From Res");  // a new text closes the query
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.DatabaseName(), "Res");

  // Parameters, by hand and from a parameter source.
  q.SetSQLText("Select NmRes From Res Where IdRes = :IdRes");
  ASSERT_EQ(q.Params().Count(), 1u);
  q.Params()[0].value = TVTblValue::Integer(2);
  q.Open();
  EXPECT_EQ(q.FieldByName("NmRes").AsString(), "r2");
  q.Close();
  TVellQuery& master = Open("Select * From Res Where IdRes >= 3");
  TDataSource source(&master);
  q.Params()[0].value = TVTblValue();
  q.SetDataSource(&source);
  q.Open();
  EXPECT_EQ(q.FieldByName("NmRes").AsString(), "r3");
  master.Next();
  EXPECT_EQ(q.FieldByName("NmRes").AsString(), "r4");
  TDataSource back(&q);
  EXPECT_EQ(ErrorOf([&] { master.SetDataSource(&back); }),
            "Circular datalinks are not allowed - Native error: 01056");
  q.SetDataSource(nullptr);
  q.Close();
}

}  // namespace
}  // namespace kestro::test
