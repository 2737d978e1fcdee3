#include <filesystem>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/common/exception.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/blob_stream.h"
#include "engine/sql/expression.h"
#include "engine/sql/lexer.h"

#include "tests/dataset/dataset_fixture.h"
#include "tests/support/error_of.h"
#include "tests/support/expression_harness.h"

namespace kestro::test {
namespace {

using Strings = std::vector<std::string>;

TEST_F(DatasetTest, FieldsFollowTheTableWithTheAutoIncLast) {
  TVellTable& t = CreateRes();
  ASSERT_EQ(t.FieldCount(), 5u);
  EXPECT_EQ(t.Fields(0).FieldName(), "NmRes");
  EXPECT_EQ(t.Fields(0).Size(), 20);
  EXPECT_EQ(t.Fields(4).FieldName(), "IdRes");
  EXPECT_EQ(t.Fields(4).DataType(), ftAutoInc);
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_TRUE(t.Bof());
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_EQ(TVellDataset::CurrentVersion(), "5.40 ");
}

TEST_F(DatasetTest, AppendPostAndWalk) {
  TVellTable& t = CreateRes();
  AppendRow(t, "alpha", 1);
  AppendRow(t, "beta", 0);
  AppendRow(t, "gamma", 1);
  EXPECT_EQ(t.RecordCount(), 3);
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "gamma");  // the posted row stays current
  EXPECT_EQ(t.FieldByName("IdRes").AsInteger(), 3);
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"alpha", "beta", "gamma"}));
  t.First();
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.RecNo(), 1);
  t.Next();
  EXPECT_FALSE(t.Bof());
  EXPECT_EQ(t.RecNo(), 2);
  t.Last();
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "gamma");
  t.Prior();
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "beta");
  EXPECT_EQ(t.MoveBy(-5), -1);
  EXPECT_TRUE(t.Bof());
  t.SetRecNo(3);
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "gamma");

  // Edit, cancel, edit, post; delete moves to the next row.
  t.First();
  t.Edit();
  t.FieldByName("NmRes").SetAsString("changed");
  t.Cancel();
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "alpha");
  t.Edit();
  t.FieldByName("Mark").SetAsInteger(7);
  t.Post();
  EXPECT_EQ(t.FieldByName("Mark").AsInteger(), 7);
  t.Delete();
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "beta");
  EXPECT_EQ(t.RecordCount(), 2);

  // The rows are in the file: a fresh dataset reads them.
  t.Close();
  auto again = Table("Res");
  again->Open();
  EXPECT_EQ(Column(*again, "NmRes"), (Strings{"beta", "gamma"}));
  EXPECT_EQ(Column(*again, "IdRes"), (Strings{"2", "3"}));
}

TEST_F(DatasetTest, PendingRowsArePostedBeforeAnAppendAndDroppedOnClose) {
  TVellTable& t = CreateRes();
  t.Append();
  t.FieldByName("NmRes").SetAsString("first");
  t.Append();  // posts the modified pending row
  EXPECT_EQ(t.RecordCount(), 1);
  t.Append();  // the unmodified one is dropped
  EXPECT_EQ(t.State(), dsInsert);
  t.FieldByName("NmRes").SetAsString("never");
  t.Close();
  t.Open();
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"first"}));
}

TEST_F(DatasetTest, AWalkSeesRowsAppendedBehindIt) {
  TVellTable& walker = CreateRes();
  AppendRow(walker, "a", 0);
  AppendRow(walker, "b", 0);
  auto other = Table("Res");
  other->Open();
  Strings seen;
  int added = 0;
  for (walker.First(); !walker.Eof(); walker.Next()) {
    seen.push_back(walker.FieldByName("NmRes").AsString());
    if (added < 2) AppendRow(*other, "new" + std::to_string(++added), 0);
  }
  EXPECT_EQ(seen, (Strings{"a", "b", "new1", "new2"}));
  // And the other dataset sees this one's rows without reopening.
  AppendRow(walker, "late", 0);
  EXPECT_EQ(other->RecordCount(), 5);
}

TEST_F(DatasetTest, AnEmptyStringIsStoredAsNull) {
  TVellTable& t = CreateRes();
  t.Append();
  t.FieldByName("NmRes").SetAsString("");
  t.FieldByName("Mark").SetAsInteger(1);
  t.Post();
  EXPECT_TRUE(t.FieldByName("NmRes").IsNull());
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "");
  EXPECT_TRUE(t.FieldByName("Added").IsNull());
  EXPECT_EQ(t.FieldByName("Added").AsDateTime(), 0);
}

TEST_F(DatasetTest, ADuplicateInAUniqueIndexIsRefusedAndStaysInInsert) {
  TVellTable& t = CreateRes({{"ByName", "NmRes", "", "", ixUnique}});
  AppendRow(t, "same", 0);
  t.Append();
  t.FieldByName("NmRes").SetAsString("same");
  EXPECT_EQ(ErrorOf([&] { t.Post(); }),
            "TVellDataSet.InternalPost - key violation.\r\nTable name = \"Res\".\r\nUnique index "
            "name = \"ByName\".");
  EXPECT_EQ(t.State(), dsInsert);
  t.Cancel();
  EXPECT_EQ(t.RecordCount(), 1);
  // Editing a row onto another's key is refused too; its own key is fine.
  AppendRow(t, "other", 0);
  t.Edit();
  t.FieldByName("NmRes").SetAsString("other");
  t.Post();
  t.Edit();
  t.FieldByName("NmRes").SetAsString("same");
  EXPECT_NE(ErrorOf([&] { t.Post(); }).find("key violation"), std::string::npos);
  t.Cancel();
}

TEST_F(DatasetTest, RequiredFieldsMustHaveAValue) {
  TVellTable& t =
      Create("Cat", {{"IdCat", ftAutoInc, 0, false, 1}, {"NmCat", ftString, 30, true, 2}});
  t.Append();
  EXPECT_EQ(ErrorOf([&] { t.Post(); }), "Field 'NmCat' must have a value");
  EXPECT_EQ(t.State(), dsInsert);
  t.FieldByName("NmCat").SetAsString("Common");
  t.Post();
  EXPECT_EQ(t.RecordCount(), 1);
}

TEST_F(DatasetTest, LocateTakesTheFirstMatchInIndexOrderAndNeverMovesOnMiss) {
  TVellTable& t =
      CreateRes({{"ByMarkDesc", "Mark", "", "Mark", 0}, {"ByName", "NmRes", "", "", 0}});
  AppendRow(t, "m", 1);   // 1
  AppendRow(t, "z", 2);   // 2
  AppendRow(t, "Ka", 2);  // 3
  t.SetIndexName("ByName");
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"Ka", "m", "z"}));
  t.First();
  EXPECT_FALSE(t.Locate("Mark", {TVTblValue()}, 0));  // a null key finds nothing
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "Ka");
  EXPECT_FALSE(t.Locate("NmRes", {TVTblValue::String("zz")}, 0));
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "Ka");
  // Mark = 2 matches rows 2 and 3: the one first by name wins.
  EXPECT_TRUE(t.Locate("Mark", {TVTblValue::Integer(2)}, 0));
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "Ka");
  EXPECT_TRUE(t.Locate("NmRes", {TVTblValue::String("z")}, 0));
  EXPECT_EQ(t.FieldByName("IdRes").AsInteger(), 2);
  EXPECT_TRUE(t.Locate("NmRes", {TVTblValue::String("KA")}, TDataSet::loCaseInsensitive));
  EXPECT_EQ(t.FieldByName("IdRes").AsInteger(), 3);
  EXPECT_TRUE(t.Locate("NmRes", {TVTblValue::String("z")}, TDataSet::loPartialKey));
  EXPECT_TRUE(t.Locate("Mark;NmRes", {TVTblValue::Integer(2), TVTblValue::String("z")}, 0));
  EXPECT_EQ(t.FieldByName("IdRes").AsInteger(), 2);
  EXPECT_TRUE(t.Locate("IdRes", {TVTblValue::String("1")}, 0));
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "m");
  EXPECT_EQ(ErrorOf([&] { t.Locate("Nope", {TVTblValue::Integer(1)}, 0); }),
            "Error in TVellDataManager.InternalGetFieldNo - field Nope not found!");

  const std::vector<TVTblValue> found = t.Lookup("IdRes", {TVTblValue::Integer(3)}, "NmRes;Mark");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].s, "Ka");
  EXPECT_EQ(found[1].i, 2);
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "m");  // Lookup does not move
  EXPECT_TRUE(t.Lookup("IdRes", {TVTblValue::Integer(9)}, "NmRes")[0].isNull);
}

TEST_F(DatasetTest, IndexesOrderTheRowsAndBadNamesAreRefused) {
  TVellTable& t =
      CreateRes({{"ByMarkDesc", "Mark", "", "Mark", 0}, {"ByName", "NmRes", "NmRes", "", 0}});
  AppendRow(t, "b", 1);
  AppendRow(t, "C", 3);
  AppendRow(t, "a", 2);
  t.SetIndexName("ByMarkDesc");
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"C", "a", "b"}));
  t.SetIndexName("");
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"b", "C", "a"}));
  t.SetIndexFieldNames("Mark");
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"C", "a", "b"}));
  EXPECT_EQ(ErrorOf([&] { t.SetIndexName("Nope"); }),
            "Error in TVellDataSet.OpenIndex - index \"Nope\" not found!");
  // A case-insensitive index does not serve a field list.
  EXPECT_EQ(ErrorOf([&] { t.SetIndexFieldNames("NmRes"); }),
            "Index for fields \"NmRes\" does not exist.");
  t.Close();
  t.SetIndexName("Nope");
  EXPECT_EQ(ErrorOf([&] { t.Open(); }), "TVellDataSet.InternalOpen - Invalid index name 'Nope'");
  EXPECT_FALSE(t.Active());
  t.SetIndexFieldNames("Added");
  EXPECT_EQ(ErrorOf([&] { t.Open(); }),
            "TVellDataSet.InternalOpen - Invalid index field names 'Added'");
  t.SetIndexName("");
  t.Open();
  // Index maintenance through the dataset.
  t.InternalAddIndex("ByAdded", "Added;NmRes", "", "", 0);
  t.SetIndexName("ByAdded");
  EXPECT_EQ(t.RecordCount(), 3);
  t.SetIndexName("");
  t.InternalDeleteIndex("ByAdded");
  EXPECT_EQ(ErrorOf([&] { t.SetIndexName("ByAdded"); }),
            "Error in TVellDataSet.OpenIndex - index \"ByAdded\" not found!");
}

TEST_F(DatasetTest, FiltersRangesAndFind) {
  TVellTable& t = CreateRes({{"ByMark", "Mark", "", "", 0}});
  for (int i = 1; i <= 6; ++i) AppendRow(t, "r" + std::to_string(i), i % 3);
  t.SetFilter("Mark = 1");
  EXPECT_EQ(t.RecordCount(), 6);  // not yet filtered
  t.SetFiltered(true);
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"r1", "r4"}));
  // A row edited out of the filter leaves the view.
  t.First();
  t.Edit();
  t.FieldByName("Mark").SetAsInteger(0);
  t.Post();
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"r4"}));
  t.OnFilterRecord = [](TDataSet& ds) { return ds.FieldByName("NmRes").AsString() != "r4"; };
  EXPECT_EQ(Column(t, "NmRes"), Strings{});
  t.OnFilterRecord = nullptr;
  t.SetFiltered(false);
  EXPECT_EQ(t.RecordCount(), 6);

  // Find on the filter text, without filtering.
  t.SetFilter("Mark = 2");
  EXPECT_TRUE(t.FindFirst());
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "r2");
  EXPECT_TRUE(t.FindNext());
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "r5");
  EXPECT_FALSE(t.FindNext());
  EXPECT_TRUE(t.FindPrior());
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "r2");
  EXPECT_TRUE(t.FindLast());
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "r5");
  t.SetFilter("");

  t.SetIndexName("ByMark");
  t.SetRange({TVTblValue::Integer(1)}, {TVTblValue::Integer(2)});
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"r4", "r2", "r5"}));
  AppendRow(t, "r7", 2);  // the range follows changes
  EXPECT_EQ(t.RecordCount(), 4);
  t.SetRange({TVTblValue::Integer(1)}, {TVTblValue::Integer(2)}, false, true);
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"r2", "r5", "r7"}));
  t.CancelRange();
  EXPECT_EQ(t.RecordCount(), 7);
  t.SetFilter("Mark = ");
  EXPECT_FALSE(ErrorOf([&] { t.SetFiltered(true); }).empty());
  EXPECT_FALSE(t.Filtered());
  EXPECT_EQ(t.RecordCount(), 7);
}

TEST_F(DatasetTest, BookmarksFollowRowsAndDeletedOnesAreRefused) {
  TVellTable& t = CreateRes({{"ByName", "NmRes", "", "", 0}});
  AppendRow(t, "c", 0);
  AppendRow(t, "a", 0);
  AppendRow(t, "b", 0);
  t.SetIndexName("ByName");
  t.First();
  const TBookmark a = t.GetBookmark();
  t.Last();
  const TBookmark c = t.GetBookmark();
  EXPECT_EQ(t.CompareBookmarks(a, c), -1);
  EXPECT_EQ(t.CompareBookmarks(c, a), 1);
  EXPECT_EQ(t.CompareBookmarks(0, a), -1);
  EXPECT_EQ(t.CompareBookmarks(0, 0), 0);
  t.GotoBookmark(a);
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "a");
  t.Delete();
  EXPECT_FALSE(t.BookmarkValid(a));
  EXPECT_EQ(ErrorOf([&] { t.GotoBookmark(a); }), "TVellDataSet.GetRecord - No records");
  EXPECT_EQ(t.FieldByName("NmRes").AsString(), "b");  // still where it was
  EXPECT_TRUE(t.BookmarkValid(c));
}

TEST_F(DatasetTest, BlobStreamsCarryMemoTextUntilPost) {
  TVellTable& t = CreateRes();
  AppendRow(t, "r", 0);
  t.Edit();
  {
    auto s = t.CreateBlobStream(t.FieldByName("Comments"), bmWrite);
    s->WriteAll("first comment");
  }
  EXPECT_TRUE(t.Modified());
  EXPECT_EQ(t.FieldByName("Comments").AsString(), "first comment");
  t.Post();
  {
    auto s = t.CreateBlobStream(t.FieldByName("Comments"), bmRead);
    EXPECT_EQ(s->ReadAll(), "first comment");
    EXPECT_EQ(ErrorOf([&] { s->Write("x", 1); }),
              "Error in TVellBlobStream.Write - blob stream is read only!");
  }
  // A change that is cancelled never reaches the table.
  t.Edit();
  t.FieldByName("Comments").SetAsString("dropped");
  t.Cancel();
  EXPECT_EQ(t.FieldByName("Comments").AsString(), "first comment");
  // Emptying the memo makes it null.
  t.Edit();
  t.CreateBlobStream(t.FieldByName("Comments"), bmWrite).reset();
  t.Post();
  EXPECT_TRUE(t.FieldByName("Comments").IsNull());
  // A new row with a memo.
  t.Append();
  t.FieldByName("NmRes").SetAsString("with memo");
  t.FieldByName("Comments").SetAsString(std::string(5000, 'm'));
  t.Post();
  t.Close();
  t.Open();
  t.Last();
  EXPECT_EQ(t.FieldByName("Comments").AsString(), std::string(5000, 'm'));
  t.First();
  EXPECT_TRUE(t.FieldByName("Comments").IsNull());
}

TEST_F(DatasetTest, FieldsNarrowerThanTheColumnCutTextWithoutSplittingCharacters) {
  CreateRes().Close();
  auto t = Table("Res");
  TField& name = t->AddField("NmRes", ftString, 6);
  t->AddField("IdRes", ftAutoInc);
  t->Open();
  EXPECT_EQ(t->FieldCount(), 2u);
  t->Append();
  name.SetAsString("h\xC3\xA9llo w\xC3\xB6rld");  // "héllo wörld": 6 bytes end inside "l"
  EXPECT_EQ(name.AsString(), "h\xC3\xA9llo");
  name.SetAsString("ab\xE2\x82\xAC\xE2\x82\xAC");  // "ab€€": the second € does not fit
  EXPECT_EQ(name.AsString(), "ab\xE2\x82\xAC");
  t->Post();
  t->Close();
  t->ClearFields();
  t->AddField("Nope", ftString, 5);
  EXPECT_EQ(ErrorOf([&] { t->Open(); }), "Field 'Nope' not found");
  EXPECT_FALSE(t->Active());
}

TEST_F(DatasetTest, BadUseGetsMessagesNotCrashes) {
  auto t = Table("Res");
  EXPECT_EQ(ErrorOf([&] { t->Next(); }), "Cannot perform this operation on a closed dataset");
  EXPECT_EQ(ErrorOf([&] { t->Edit(); }), "Cannot perform this operation on a closed dataset");
  EXPECT_EQ(ErrorOf([&] { t->Open(); }), "TVellDataset.OpenTable - table \"Res\" does not exist.");
  EXPECT_FALSE(t->Active());
  EXPECT_EQ(t->UsageBits(), 0);
  TVellTable& res = CreateRes();
  EXPECT_EQ(ErrorOf([&] { res.FieldByName("Nope"); }), "Field 'Nope' not found");
  EXPECT_EQ(ErrorOf([&] { res.Delete(); }), "Cannot perform this operation on an empty dataset");
  EXPECT_EQ(ErrorOf([&] { res.FieldByName("Mark").SetAsInteger(1); }),
            "Dataset not in edit or insert mode - Native error: 01085");
  AppendRow(res, "r", 0);
  EXPECT_EQ(ErrorOf([&] { res.CreateBlobStream(res.FieldByName("Comments"), bmWrite); }),
            "Dataset not in edit or insert mode - Native error: 01085");
  res.Edit();
  EXPECT_EQ(ErrorOf([&] { res.FieldByName("IdRes").SetAsInteger(9); }),
            "Field 'IdRes' cannot be modified");
  res.Cancel();
  EXPECT_EQ(ErrorOf([&] {
              res.FieldByName("Mark").SetAsString("twelve");
              res.Post();
            }).empty(),
            false);
}

// Reaches the record operations the base class guards.
struct ExposedTable : TVellTable {
  using TVellTable::InternalDelete;
  using TVellTable::InternalPost;
};

TEST_F(DatasetTest, ReadOnlyFilesGiveReadOnlyDatasets) {
  CreateRes().Close();
  TearDown();
  ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
  ExposedTable t;
  t.SetDatabaseFileName(file_);
  t.SetTableName("Res");
  t.Open();
  EXPECT_FALSE(t.CanModify());
  EXPECT_TRUE(t.ReadOnly());
  EXPECT_EQ(ErrorOf([&] { t.Append(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(ErrorOf([&] { t.CreateBlobStream(t.FieldByName("Comments"), bmReadWrite); }),
            "Error in TVellDataset.CreateBlobStream - Dataset is read only!");
  EXPECT_EQ(ErrorOf([&] { t.InternalPost(); }),
            "Error in TVellDataSet.InternalPost - table is read only.");
  EXPECT_EQ(ErrorOf([&] { t.InternalDelete(); }),
            "Error in TVellDataSet.InternalDelete - table is read only.");
  t.Close();
  ::chmod(file_.c_str(), 0644);
}

TEST_F(DatasetTest, ExistsCreatesNothing) {
  auto t = Table("Res");
  EXPECT_FALSE(t->Exists());
  EXPECT_FALSE(std::filesystem::exists(file_));
  CreateRes();
  EXPECT_TRUE(t->Exists());
  auto other = Table("Other");
  EXPECT_FALSE(other->Exists());
}

TEST_F(DatasetTest, TableMaintenanceRefusesBusyTables) {
  TVellTable& open = CreateRes();
  AppendRow(open, "kept", 4);
  auto t = Table("Res");
  EXPECT_EQ(ErrorOf([&] { t->DeleteTable(); }),
            "TVellDataSet.InternalDeleteTable - Table is busy, table Res");
  EXPECT_EQ(ErrorOf([&] { t->RenameTable("R2"); }),
            "TVellDataSet.InternalRenameTable - Table is busy, table Res");
  EXPECT_EQ(ErrorOf([&] { t->CreateTable(); }),
            "TVellDataSet.InternalCreateTable - Table is busy, table Res");
  open.Close();
  EXPECT_EQ(ErrorOf([&] { open.InternalSaveTable(); }),
            "TVellDataset.InternalSaveTable - table is not opened.");
  t->RenameTable("R2");
  EXPECT_EQ(t->TableName(), "R2");
  EXPECT_FALSE(Table("Res")->Exists());
  // Restructure: a new column, a renamed one, the rows carried over.
  std::vector<TFieldDef> fields = {{"IdRes", ftAutoInc, 0, false, 1},
                                   {"Title", ftString, 30, false, 2},
                                   {"Mark", ftString, 5, false, 3},
                                   {"Extra", ftInteger, 0, false, 4}};
  t->InternalRestructureTable(fields, {}, {{"NmRes", "Title"}});
  t->Open();
  EXPECT_EQ(t->FieldByName("Title").AsString(), "kept");
  EXPECT_EQ(t->FieldByName("Mark").AsString(), "4");
  EXPECT_TRUE(t->FieldByName("Extra").IsNull());
  EXPECT_EQ(t->FieldByName("IdRes").AsInteger(), 1);
  EXPECT_EQ(ErrorOf([&] { t->InternalSaveTable(); }),
            "TVellDataset.InternalSaveTable - table is not in in-memory mode.");
  t->Close();
  t->DeleteTable();
  EXPECT_FALSE(t->Exists());
}

TEST_F(DatasetTest, InMemoryTablesWorkOnACopyUntilSaved) {
  TVellTable& disk = CreateRes();
  AppendRow(disk, "on disk", 0);
  disk.Close();
  auto mem = Table("Res");
  mem->SetInMemory(true);
  mem->Open();
  EXPECT_EQ(Column(*mem, "NmRes"), (Strings{"on disk"}));
  AppendRow(*mem, "in memory", 0);
  // A dataset of the other kind shares the open table handle.
  disk.Open();
  EXPECT_EQ(disk.RecordCount(), 2);
  disk.Close();
  mem->Close();
  disk.Open();
  EXPECT_EQ(disk.RecordCount(), 1);  // not saved
  disk.Close();
  mem->Open();
  EXPECT_EQ(mem->RecordCount(), 2);  // the memory copy lives on
  mem->InternalSaveTable();
  mem->Close();
  disk.Open();
  EXPECT_EQ(Column(disk, "NmRes"), (Strings{"on disk", "in memory"}));
}

TEST_F(DatasetTest, MasterDetailFollowsTheMasterRow) {
  TVellTable& cat =
      Create("Cat", {{"IdCat", ftAutoInc, 0, false, 1}, {"NmCat", ftString, 30, false, 2}});
  TVellTable& link =
      Create("Link", {{"IdCat", ftInteger, 0, false, 1}, {"IdRes", ftInteger, 0, false, 2}},
             {{"ByCat", "IdCat;IdRes", "", "", ixUnique}});
  for (const char* n : {"one", "two"}) {
    cat.Append();
    cat.FieldByName("NmCat").SetAsString(n);
    cat.Post();
  }
  for (auto [c, r] : {std::pair{1, 10}, {2, 20}, {1, 11}, {2, 21}, {2, 22}}) {
    link.Append();
    link.FieldByName("IdCat").SetAsInteger(c);
    link.FieldByName("IdRes").SetAsInteger(r);
    link.Post();
  }
  TDataSource source(&cat);
  link.SetIndexName("ByCat");
  link.SetMasterSource(&source);
  link.SetMasterFields("IdCat");
  cat.First();
  EXPECT_EQ(Column(link, "IdRes"), (Strings{"10", "11"}));
  cat.Next();
  EXPECT_EQ(Column(link, "IdRes"), (Strings{"20", "21", "22"}));
  link.Append();  // the master's key is copied in
  link.FieldByName("IdRes").SetAsInteger(23);
  link.Post();
  EXPECT_EQ(link.FieldByName("IdCat").AsInteger(), 2);
  EXPECT_EQ(link.RecordCount(), 4);
  TDataSource back(&link);
  auto& catTable = static_cast<TVellTable&>(cat);
  EXPECT_EQ(ErrorOf([&] { catTable.SetMasterSource(&back); }),
            "TVellDataSet.SetDataSource - Invalid DataSource");
  cat.Close();
  EXPECT_EQ(link.RecordCount(), 6);
  link.SetMasterSource(nullptr);
}

struct Recorder : TDataLink {
  std::vector<std::string> events;
  void ActiveChanged() override { events.push_back("active"); }
  void DataSetScrolled(int d) override { events.push_back("scrolled " + std::to_string(d)); }
  void DataSetChanged() override { events.push_back("changed"); }
  void RecordChanged(TField* f) override {
    events.push_back("record " + (f ? f->FieldName() : std::string("*")));
  }
  void EditingChanged() override { events.push_back("editing"); }
};

TEST_F(DatasetTest, DataLinksHearOfEveryChange) {
  TVellTable& t = CreateRes();
  AppendRow(t, "a", 0);
  AppendRow(t, "b", 0);
  TDataSource source(&t);
  Recorder r;
  r.SetDataSource(&source);
  r.events.clear();
  t.First();
  t.Next();
  t.Edit();
  t.FieldByName("Mark").SetAsInteger(2);
  t.Post();
  t.Close();
  EXPECT_EQ(r.events, (Strings{"changed", "scrolled 1", "editing", "record *", "record Mark",
                               "editing", "changed", "active"}));
  r.SetDataSource(nullptr);
}

TEST_F(DatasetTest, QueryHooksBuildTemporaryTablesAndConstrainedViews) {
  TVellDataset temp;
  temp.MakeTemporaryTable({{"N", ftInteger, 0, false}, {"S", ftString, 10, false}});
  EXPECT_EQ(temp.TableName().rfind("@TABLE", 0), 0u);
  EXPECT_LE(temp.TableName().size(), 11u);
  temp.Open();
  for (int i = 0; i < 5; ++i) {
    temp.BeginAppend();
    temp.SetAppendValue(1, TVTblValue::Integer(i % 3));
    temp.SetAppendValue(2, TVTblValue::String("s" + std::to_string(i)));
    temp.EndAppend();
  }
  EXPECT_EQ(temp.RecordCount(), 5);
  temp.SetRowLimit(2, 2);  // the second and third match
  temp.First();
  EXPECT_EQ(temp.RecordCount(), 2);
  EXPECT_EQ(temp.FieldByName("S").AsString(), "s1");
  temp.SetRowLimit(-1, -1);
  temp.SetDistinctFields("N");
  temp.First();
  EXPECT_EQ(temp.RecordCount(), 3);
  temp.SetDistinctFields("");
  temp.RenameField("S", "Text");
  EXPECT_EQ(temp.FieldByName("Text").AsString(), "s0");
  temp.HideField("N");
  EXPECT_FALSE(temp.FieldByName("N").Visible());
  temp.Close();
}

}  // namespace
}  // namespace kestro::test

namespace kestro::test {
namespace {

std::unique_ptr<TVTblExpression> Condition(const std::string& text, bool value = false) {
  TVellLexer lexer(text);
  lexer.NextCommand();
  TVTblExpression e(&lexer);
  value ? e.ParseValue() : e.ParseCondition();
  return std::make_unique<TVTblExpression>(e.TakeRoot());
}

TEST_F(DatasetTest, ExpressionsReadTheDatasetAndLastAutoInc) {
  TVellTable& t = CreateRes();
  AppendRow(t, "a", 1);
  AppendRow(t, "b", 1);
  AppendRow(t, "c", 0);
  t.First();
  EXPECT_EQ(EvalValue("LASTAUTOINC(Res)", t), "Integer:3");
  EXPECT_EQ(EvalValue("NmRes", t), "String:a");
  EXPECT_EQ(ErrorOf([&] { EvalValue("LASTAUTOINC(Nope)", t); }),
            "TVellDataset.OpenTable - table \"Nope\" does not exist.");
  // A live query's WHERE as the row filter: rows come and go with changes.
  t.SetConstraint(Condition("Mark = 1 and NmRes <> 'b'"));
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"a"}));
  AppendRow(t, "d", 1);
  EXPECT_EQ(Column(t, "NmRes"), (Strings{"a", "d"}));
  t.SetConstraint(Condition("Mark + 1", true));
  const std::string error = ErrorOf([&] { t.First(); });
  EXPECT_EQ(error.substr(error.size() - 5), "01071") << error;
  t.SetConstraint(nullptr);
  EXPECT_EQ(t.RecordCount(), 4);
}

}  // namespace
}  // namespace kestro::test

namespace kestro::test {
namespace {

TEST_F(DatasetTest, ImportCopiesFieldsIndexesAndRows) {
  TVellTable& res = CreateRes();
  AppendRow(res, "one", 1);
  AppendRow(res, "two", 2);
  res.Edit();
  res.FieldByName("Comments").SetAsString("memo");
  res.Post();
  auto copy = Table("Copy");
  std::string log;
  EXPECT_TRUE(copy->InternalImportTable(
      res, {{"ByName", "NmRes", "", "", ixUnique}, {"Bad", "Nope", "", "", 0}}, log));
  EXPECT_EQ(log, "Index \"Bad\" skipped.\r\n");
  copy->SetIndexName("ByName");
  copy->Open();
  EXPECT_EQ(Column(*copy, "NmRes"), (Strings{"one", "two"}));
  EXPECT_EQ(Column(*copy, "IdRes"), (Strings{"1", "2"}));
  EXPECT_EQ(Column(*copy, "Comments"), (Strings{"", "memo"}));
}

}  // namespace
}  // namespace kestro::test
