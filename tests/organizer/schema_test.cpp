#include "organizer/schema.h"

#include <gtest/gtest.h>

#include "engine/dataset/vell_table.h"

#include "tests/query/query_fixture.h"
#include "tests/support/error_of.h"

namespace kestro::test {
namespace {

class SchemaTest : public QueryTest {
 protected:
  void SetUp() override {
    QueryTest::SetUp();
    TVellQuery& qry = Query();
    CreateDbTables(*db_, file_, qry);
  }
};

TEST_F(SchemaTest, ANewDatabaseHoldsOneCategoryWithOneResource) {
  EXPECT_EQ(Select("Select IdCat, IdPrCat, NmCat From Cat"), (Strings{"1|0|Common"}));
  EXPECT_EQ(Select("Select IdRes, NmRes, PathRes, NumCat, AddDt From Res"),
            (Strings{"1|Quorvel Lab|https://quorvel.example/kestro|1|11.12.2026"}));
  EXPECT_EQ(Select("Select * From Link"), (Strings{"1|1"}));
  EXPECT_EQ(Select("Select IdConst, NmConst, TypeConst, ValueStr From Const"),
            (Strings{"1|dbname|1|New Database", "2|password|1|QJW", "3|CrDate|1|11.12.2026"}));
  EXPECT_EQ(Select("Select Count(*) as NumCat From List"), (Strings{"0"}));
  // Statements over Res alone show a null IdCat.
  EXPECT_EQ(Select("Select IdCat From Res Where Mark=1 or IdRes=1"), (Strings{""}));
  EXPECT_EQ(NextResourceId(Query()), 2);
}

TEST_F(SchemaTest, CreatingOnAnExistingDatabaseChangesNothing) {
  Exec("Insert Into List (IdItem) Values (7)");
  TVellQuery& qry = Query();
  EXPECT_EQ(ErrorOf([&] { CreateDbTables(*db_, file_, qry); }),
            "Cannot create table. Table 'List' already exists - Native error: 02117");
  EXPECT_EQ(Select("Select * From List"), (Strings{"7"}));
  EXPECT_EQ(Select("Select NmCat From Cat"), (Strings{"Common"}));
}

TEST_F(SchemaTest, FilingsAreUniqueAndWidthsCutWhatTheDatasetsWrite) {
  EXPECT_NE(ErrorOf([&] { Exec("Insert Into Link (IdCat,IdRes) Values (1,1)"); }).find("iCat"),
            std::string::npos);
  EXPECT_EQ(Select("Select Count(*) From Link"), (Strings{"1"}));
  const std::string title(60, 't');
  // Adding through TbRes, whose NmRes is declared 50 wide.
  TVellTable tbRes;
  tbRes.SetDatabaseName("Res");
  tbRes.SetTableName("Res");
  for (const TDeclaredWidth& w : kDeclaredWidths)
    if (w.dataset == "TbRes") tbRes.AddField(std::string(w.field), ftString, w.declared);
  tbRes.AddField("IdRes", ftInteger);
  tbRes.Open();
  tbRes.Append();
  tbRes.FieldByName("IdRes").SetAsInteger(NextResourceId(Query()));
  tbRes.FieldByName("NmRes").SetAsString(title);
  tbRes.Post();
  tbRes.Close();
  EXPECT_EQ(Select("Select NmRes From Res Where IdRes=2"), (Strings{std::string(50, 't')}));
  // Editing by statement keeps up to 70.
  Exec("Update Res Set NmRes=\"" + title + "\" Where IdRes=2");
  EXPECT_EQ(Select("Select NmRes From Res Where IdRes=2"), (Strings{title}));
}

TEST(Codes, RatingsAndTypesHaveTheirNames) {
  EXPECT_EQ(RatingDialogName(0), "empty");
  EXPECT_EQ(RatingGridName(0), "");
  EXPECT_EQ(RatingGridName(3), "Excelent");
  EXPECT_EQ(RatingDialogName(-1), "empty");  // out of range reads as 0
  EXPECT_EQ(TypeDialogName(0), "undefenite");
  EXPECT_EQ(TypeDialogName(4), "");
  EXPECT_EQ(TypeGridName(4), "E-Mail");
  EXPECT_EQ(TypeGridName(5), "Account");
  EXPECT_EQ(TypeGridName(9), "");
  EXPECT_EQ(NextCategoryId(0), 1);
  EXPECT_EQ(NextCategoryId(41), 42);
}

}  // namespace
}  // namespace kestro::test
