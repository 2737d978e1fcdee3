#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>

#include "engine/common/exception.h"
#include "engine/common/field_types.h"
#include "engine/common/vtbl_exception.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

class Indexes : public ::testing::Test {
 protected:
  void SetUp() override {
    bool ro = false;
    store_ = TPFSManager::Instance().GetPFSHandle(dir_.Dir().string(), "", dfmNormal, false, ro, fsmDirectory);
  }
  void TearDown() override { TPFSManager::Instance().Clear(); }

  // Id AutoInc, Name String(20), Rating Integer.
  std::unique_ptr<TVellDataManager> Make(bool autoIndexes = false, std::vector<TVellIndexDef> defs = {}) {
    auto t = std::make_unique<TVellDataManager>("T", *store_);
    t->CreateTable({{"Id", ftAutoInc, 0, false}, {"Name", ftString, 20, false}, {"Rating", ftInteger, 0, false}},
                   {}, defs, autoIndexes);
    EXPECT_EQ(t->OpenTable("", false), otOk);
    return t;
  }
  int32_t Add(TVellDataManager& t, const char* name, std::optional<int32_t> rating) {
    auto r = t.NewRecord();
    t.SetRecordID(r.data(), t.NextRecordID());
    if (name) {
      std::strncpy(reinterpret_cast<char*>(r.data() + t.Fields()[0].offset), name, 20);
      t.SetNull(r.data(), 0, false);
    }
    if (rating) {
      std::memcpy(r.data() + t.Fields()[1].offset, &*rating, 4);
      t.SetNull(r.data(), 1, false);
    }
    return t.AppendRecord(r.data());
  }
  std::vector<std::string> Names(TVellDataManager& t, const std::string& index) {
    std::vector<std::string> out;
    std::vector<uint8_t> r(size_t(t.Layout().recordSize));
    for (int32_t slot : t.Ensure(t.FindIndex(index))) {
      t.GetRecord(slot, r.data());
      out.push_back(t.IsNull(r.data(), 0) ? "-" : reinterpret_cast<const char*>(r.data() + t.Fields()[0].offset));
    }
    return out;
  }

  TempDir dir_;
  TAbstractPlainFileSystem* store_ = nullptr;
};

TEST_F(Indexes, BuiltInAndAutomaticIndexes) {
  auto plain = Make();
  ASSERT_EQ(plain->Indexes().size(), 1u);
  EXPECT_EQ(plain->Indexes()[0].name, "@Id");
  EXPECT_EQ(plain->Indexes()[0].options, ixUnique);
  EXPECT_EQ(plain->Indexes()[0].fields, std::vector<int32_t>{kRecordIdField});
  plain.reset();
  auto autoIx = Make(true);
  std::vector<std::string> names;
  for (const auto& ix : autoIx->Indexes()) names.push_back(ix.name);
  EXPECT_EQ(names, (std::vector<std::string>{"@Id", "@@Name", "@Name", "@Rating"}));
  EXPECT_TRUE(autoIx->Indexes()[1].caseInsensitive[0]);
  EXPECT_FALSE(autoIx->Indexes()[3].caseInsensitive[0]);
}

TEST_F(Indexes, KeyOrderWithNullsDescendingAndCase) {
  auto t = Make(false, {{"ByName", "Name", "", "", 0},
                        {"ByNameDesc", "Name", "", "Name", 0},
                        {"ByNameCi", "Name", "Name", "", 0},
                        {"ByRatingCi", "Rating", "Rating", "", 0}});
  Add(*t, "b", 1);
  Add(*t, nullptr, 2);
  Add(*t, "ABC", 3);
  Add(*t, "abc", 4);
  Add(*t, nullptr, 5);
  EXPECT_EQ(Names(*t, "ByName"), (std::vector<std::string>{"-", "-", "abc", "ABC", "b"}));
  EXPECT_EQ(Names(*t, "ByNameDesc"), (std::vector<std::string>{"b", "ABC", "abc", "-", "-"}));
  const auto ci = Names(*t, "ByNameCi");
  EXPECT_EQ(ci.back(), "b");  // "abc" and "ABC" are equal there
  const auto& cix = t->Indexes()[size_t(t->FindIndex("ByNameCi"))];
  std::vector<uint8_t> a(size_t(t->Layout().recordSize)), b(a.size());
  t->GetRecord(2, a.data());
  t->GetRecord(3, b.data());
  EXPECT_EQ(t->CompareKeys(cix, a.data(), b.data()), 0);
  EXPECT_FALSE(t->Indexes()[size_t(t->FindIndex("ByRatingCi"))].caseInsensitive[0]);
}

TEST_F(Indexes, UpkeepMatchesARebuildUnderRandomChanges) {
  auto t = Make(true);
  std::mt19937 rng(7);
  for (int step = 0; step < 600; ++step) {
    const int op = int(rng() % 10);
    if (op < 6 || t->RecordCount() == 0) {
      const std::string name = std::string(1, char('a' + rng() % 26)) + std::to_string(rng() % 50);
      Add(*t, rng() % 7 ? name.c_str() : nullptr, rng() % 5 ? std::optional<int32_t>(int32_t(rng() % 100)) : std::nullopt);
    } else if (op < 8) {
      const int32_t slot = int32_t(rng() % uint32_t(t->RecordCount()));
      std::vector<uint8_t> r(size_t(t->Layout().recordSize));
      t->GetRecord(slot, r.data());
      const int32_t rating = int32_t(rng() % 100);
      std::memcpy(r.data() + t->Fields()[1].offset, &rating, 4);
      t->SetNull(r.data(), 1, false);
      t->UpdateRecord(r.data(), slot);
    } else {
      t->DeleteRecord(int32_t(rng() % uint32_t(t->RecordCount())));
    }
  }
  for (int32_t i = 0; i < int32_t(t->Indexes().size()); ++i) {
    const std::vector<int32_t> kept = t->Ensure(i);
    ASSERT_EQ(kept.size(), size_t(t->RecordCount()));
    std::vector<uint8_t> a(size_t(t->Layout().recordSize)), b(a.size());
    for (size_t p = 1; p < kept.size(); ++p) {
      t->GetRecord(kept[p - 1], a.data());
      t->GetRecord(kept[p], b.data());
      ASSERT_LE(t->CompareKeys(t->Indexes()[size_t(i)], a.data(), b.data()), 0) << t->Indexes()[size_t(i)].name;
    }
    std::vector<int32_t> sorted = kept;
    std::sort(sorted.begin(), sorted.end());
    for (size_t p = 0; p < sorted.size(); ++p) ASSERT_EQ(sorted[p], int32_t(p));
  }
}

TEST_F(Indexes, DeletingTheLastSlotRenumbersNothing) {
  auto t = Make(true);
  for (const char* n : {"c", "a", "b"}) Add(*t, n, 1);
  const auto before = t->Ensure(t->FindIndex("@Name"));
  t->DeleteRecord(2);  // "b", in the last slot
  EXPECT_EQ(t->Ensure(t->FindIndex("@Name")), (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(before, (std::vector<int32_t>{1, 2, 0}));
}

TEST_F(Indexes, IndexFileBytesAndReload) {
  {
    auto t = Make(false, {{"ByRating", "Rating", "", "Rating", 0}});
    Add(*t, "x", 5);
    Add(*t, "y", 9);
  }
  const auto b = ReadAll(dir_.Path("T.idx"));
  int32_t head[2];
  std::memcpy(head, b.data(), 8);
  EXPECT_EQ(head[0], 2);  // LastChangeCount
  EXPECT_EQ(head[1], 2);  // two saved indexes
  double version;
  std::memcpy(&version, b.data() + 8, 8);
  EXPECT_EQ(version, 4.5);
  EXPECT_EQ(b[16], 3);
  EXPECT_EQ(std::string(b.begin() + 17, b.begin() + 20), "@Id");
  int32_t k, field;
  std::memcpy(&k, b.data() + 16 + 256, 4);
  std::memcpy(&field, b.data() + 16 + 260, 4);
  EXPECT_EQ(k, 1);
  EXPECT_EQ(field, -1);
  EXPECT_EQ(b[16 + 264], 1);       // ascending
  EXPECT_EQ(b[16 + 265], 0);       // case-sensitive
  EXPECT_EQ(b[16 + 268], ixUnique);
  const size_t second = 16 + 269;
  EXPECT_EQ(std::string(b.begin() + long(second) + 1, b.begin() + long(second) + 9), "ByRating");
  EXPECT_EQ(b[second + 264], 0);  // descending
  const size_t orders = second + 269;
  ASSERT_EQ(b.size(), orders + 2 * 2 * 4);
  int32_t o[4];
  std::memcpy(o, b.data() + orders, 16);
  EXPECT_EQ(std::vector<int32_t>(o, o + 4), (std::vector<int32_t>{0, 1, 1, 0}));
  TVellDataManager again("T", *store_);
  ASSERT_EQ(again.OpenTable("", false), otOk);
  EXPECT_EQ(again.Indexes().size(), 2u);
  EXPECT_EQ(again.Ensure(1), (std::vector<int32_t>{1, 0}));
}

struct Recorder : TIndexProgress {
  std::vector<std::string> calls;
  void Started(const std::string& table) override { calls.push_back("start " + table); }
  void Progress(int percent) override { calls.push_back(std::to_string(percent)); }
  void Finished() override { calls.push_back("finish"); }
};

TEST_F(Indexes, AStaleIndexFileIsRebuiltWithProgress) {
  {
    auto t = Make(true);
    for (const char* n : {"q", "w", "e"}) Add(*t, n, 1);
  }
  auto b = ReadAll(dir_.Path("T.idx"));
  const int32_t old = 1;
  std::memcpy(b.data(), &old, 4);  // older than the records
  WriteAll(dir_.Path("T.idx"), b);
  TVellDataManager t("T", *store_);
  Recorder progress;
  t.SetIndexProgress(&progress);
  ASSERT_EQ(t.OpenTable("", false), otOk);
  EXPECT_EQ(progress.calls, (std::vector<std::string>{"start T", "25", "50", "75", "100", "finish"}));
  EXPECT_EQ(Names(t, "@Name"), (std::vector<std::string>{"e", "q", "w"}));
  // Damaged definitions: the built-in index is made anew.
  t.CloseTable();
  WriteAll(dir_.Path("T.idx"), std::vector<uint8_t>(10, 0xEE));
  ASSERT_EQ(t.OpenTable("", false), otOk);
  ASSERT_EQ(t.Indexes().size(), 1u);
  EXPECT_EQ(t.Indexes()[0].name, "@Id");
}

TEST_F(Indexes, AddAndDeleteIndexMessages) {
  auto t = Make();
  EXPECT_EQ(ErrorOf([&] { t->AddIndex("", "Name", "", "", 0); }),
            "Error in TVellDataManager.InternalAddIndex - name is empty.");
  EXPECT_EQ(ErrorOf([&] { t->AddIndex("i", "", "", "", 0); }),
            "Error in TVellDataManager.InternalAddIndex - empty field name list");
  EXPECT_EQ(ErrorOf([&] { t->AddIndex("@id", "Name", "", "", 0); }),
            "Error in TVellDataManager.InternalAddIndex - index \"@id\" already exists!");
  EXPECT_EQ(ErrorOf([&] { t->AddIndex("i", "Nope", "", "", 0); }),
            "Cannot add index. Field 'Nope' not found - Native error: 01067");
  t->AddIndex("ByName", "Name;Rating", "", "", 0);
  EXPECT_EQ(t->Indexes().back().fields, (std::vector<int32_t>{0, 1}));
  const std::string tmp = t->CreateTemporaryIndex("Rating", "", "");
  EXPECT_EQ(tmp.rfind("$_IDX_", 0), 0u);
  EXPECT_EQ(ErrorOf([&] { t->DeleteIndex("none"); }),
            "Error in TVellDataManager.DeleteIndex - index \"none\" doesn't exist!");
  EXPECT_EQ(t->DeleteIndex("ByName"), 1);
  t->DeleteIndex(tmp);
  EXPECT_EQ(ErrorOf([&] { t->DeleteIndex("@Id"); }), "TVellDataManager.DeleteIndex - last index deleted!");
  t->CloseTable();
  EXPECT_EQ(ErrorOf([&] { t->DeleteIndex("@Id"); }),
            "Error in TVellDataManager.DeleteIndex - table is not opened.");
}

}  // namespace
}  // namespace kestro::test
