// The statements the organizer sends, run end to end over a small organizer
// database made by its own schema statements.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/common/clock.h"
#include "engine/common/locale.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/database.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/query/vell_query.h"

#include "tests/query/query_fixture.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

TEST_F(QueryTest, TheOrganizersStatementsRunEndToEnd) {
  CreateOrganizerDatabase();
  EXPECT_EQ(Select("Select * From Cat"), (Strings{"1|0|Common||||"}));
  EXPECT_EQ(Select("Select IdConst, NmConst From Const"),
            (Strings{"1|dbname", "2|password", "3|CrDate"}));
  EXPECT_EQ(Select("Select NmRes, NumCat, AddDt From Res"), (Strings{"Quorvel Lab|1|11.12.2026"}));

  // A small tree: 5 under 1, 7 and 9 under 5; resources filed here and there.
  Exec("Insert Into Cat (IdCat,IdPrCat, NmCat) Values (5,1,\"Search\")");
  Exec("Insert Into Cat (IdCat,IdPrCat, NmCat) Values (7,5,\"Engines\")");
  Exec("Insert Into Cat (IdCat,IdPrCat, NmCat) Values (9,5,\"Lists\")");
  AddResource(2, "Tabby search", "https://tabby.example", 1);
  AddResource(3, "Grabber", "ftp://grab.example", 5);
  AddResource(4, "Other", "file:///home/ab/notes", 7);
  Exec("Insert Into Link (IdCat,IdRes) Values (7,3)");

  // Category listing: the join, its column names, read-only.
  TVellQuery& list = Open("Select * From Link, Res Where Link.IdRes=Res.IdRes and Link.IdCat=1");
  const Strings names = FieldNames(list);
  ASSERT_GE(names.size(), 4u);
  EXPECT_EQ((Strings{names[0], names[1], names[2], names[3]}),
            (Strings{"IdCat", "IdRes", "IdRes_1", "NmRes"}));
  EXPECT_EQ(list.RecordCount(), 2);
  Strings listed;
  for (list.First(); !list.Eof(); list.Next())
    listed.push_back(list.FieldByName("NmRes").AsString());
  EXPECT_EQ(listed, (Strings{"Quorvel Lab", "Tabby search"}));
  EXPECT_FALSE(list.CanModify());
  EXPECT_EQ(ErrorOf([&] { list.Edit(); }), "Cannot modify a read-only dataset");
  const std::string temp = list.TableName();
  EXPECT_EQ(temp.rfind("@TABLE", 0), 0u);
  list.Close();
  EXPECT_EQ(list.TableName(), "");

  // A subtree listing with IN, each resource once per link.
  TVellQuery& tree =
      Open("Select * From Link, Res Where Link.IdRes=Res.IdRes and IdCat IN (1,5,7)");
  EXPECT_EQ(tree.RecordCount(), 5);
  tree.Close();

  // The marked view is the live Res table, filtered.
  Exec("Update Res Set Mark=1 Where IdRes In (1,2,3)");
  EXPECT_EQ(rowsAffected_, 3);
  TVellQuery& marked = Query();
  marked.SetRequestLive(true);
  marked.SetSQLText("Select * From Res  Where  Mark=1");
  marked.Open();
  EXPECT_EQ(marked.TableName(), "Res");
  EXPECT_TRUE(marked.CanModify());
  EXPECT_EQ(marked.RecordCount(), 3);
  marked.First();
  marked.Edit();
  marked.FieldByName("Mark").SetAsInteger(0);
  marked.Post();
  EXPECT_EQ(marked.RecordCount(), 2);
  marked.Close();

  // Substring search, ordered by name.
  EXPECT_EQ(Select("Select NmRes From Res Where  NmRes Like \"%ab%\" or PathRes Like \"%ab%\" "
                   "Order By NmRes"),
            (Strings{"Grabber", "Other", "Quorvel Lab", "Tabby search"}));
  EXPECT_EQ(
      Select("Select * From Res Where  NmRes Like \"%ab%\" or PathRes Like \"%ab%\" Order By NmRes")
          .size(),
      4u);

  // Adding a resource: the next identifier from Max.
  EXPECT_EQ(Select("Select Max(IdRes) as IdMax From Res"), (Strings{"4"}));
  EXPECT_EQ(Select("Select Count(*) as NumCat From List"), (Strings{"0"}));

  // The scratch list, filled from a query.
  Exec("Insert Into List (IdItem) Select IdCat From Cat Where IdPrCat=5");
  EXPECT_EQ(Select("Select * From List"), (Strings{"7", "9"}));
  EXPECT_EQ(Select("Select Count(*) as NumCat From List"), (Strings{"2"}));
  EXPECT_EQ(Select("Select * From List, Cat Where List.IdItem=IdCat and IdItem<>5"),
            (Strings{"7|7|5|Engines||||", "9|9|5|Lists||||"}));

  Exec("Update Link Set IdCat=9 Where IdCat=4 and IdRes=7");
  EXPECT_EQ(rowsAffected_, 0);
  Exec("Update Link Set IdCat=9 Where IdCat=7 and IdRes=3");
  EXPECT_EQ(rowsAffected_, 1);
  EXPECT_EQ(Select("Select IdRes From Link Where IdCat=9"), (Strings{"3"}));

  Exec("Delete From Cat Where IdCat IN (5,7,9,12)");
  EXPECT_EQ(rowsAffected_, 3);
  EXPECT_EQ(Select("Select NmCat From Cat"), (Strings{"Common"}));
  Exec("Delete From List");
  EXPECT_EQ(Select("Select Count(*) as NumCat From List"), (Strings{"0"}));

  // Dates in the locale's short format go into DateTime columns.
  Exec("Update Res Set VizitDt=\"01.02.2025\" Where IdRes=2");
  EXPECT_EQ(Select("Select VizitDt From Res Where IdRes=2"), (Strings{"01.02.2025"}));
}

TEST_F(QueryTest, MaxOfAnEmptyTableIsNull) {
  Exec("Create Table Cat (IdCat integer, NmCat string(30), Primary Key (IdCat))");
  TVellQuery& q = Open("Select Max(IdCat) as IdMax From Cat");
  ASSERT_EQ(q.RecordCount(), 1);
  EXPECT_TRUE(q.FieldByName("IdMax").IsNull());
  q.Close();
  // Creating an existing table changes nothing and says so.
  Exec("Insert Into Cat (IdCat, NmCat) Values (1, \"a\")");
  const std::string error = ErrorOf([&] { Exec("Create Table Cat (IdCat integer)"); });
  EXPECT_EQ(error, "Cannot create table. Table 'Cat' already exists - Native error: 02117");
  EXPECT_EQ(Select("Select NmCat From Cat"), (Strings{"a"}));
}

}  // namespace
}  // namespace kestro::test
