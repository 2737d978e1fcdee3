#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "engine/common/exception.h"
#include "engine/common/field_types.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"
#include "engine/tables/search_parser.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

class Search : public ::testing::Test {
 protected:
  void SetUp() override {
    bool ro = false;
    store_ = TPFSManager::Instance().GetPFSHandle(dir_.Dir().string(), "", dfmNormal, false, ro, fsmDirectory);
    t_ = std::make_unique<TVellDataManager>("S", *store_);
    t_->CreateTable({{"Id", ftAutoInc, 0, false}, {"Name", ftString, 20, false},
                     {"Rating", ftInteger, 0, false}, {"Add date", ftInteger, 0, false}},
                    {}, {}, indexed_);
    ASSERT_EQ(t_->OpenTable("", false), otOk);
    const struct {
      const char* name;
      std::optional<int32_t> rating;
    } rows[] = {{"Abc", 5}, {"abd", 1}, {"Xyz", 3}, {nullptr, 4}, {"Ab", std::nullopt}, {"O'Neil", 2}};
    for (const auto& row : rows) {
      auto r = t_->NewRecord();
      t_->SetRecordID(r.data(), t_->NextRecordID());
      if (row.name) {
        std::strncpy(reinterpret_cast<char*>(r.data() + t_->Fields()[0].offset), row.name, 20);
        t_->SetNull(r.data(), 0, false);
      }
      if (row.rating) {
        std::memcpy(r.data() + t_->Fields()[1].offset, &*row.rating, 4);
        t_->SetNull(r.data(), 1, false);
        const int32_t added = *row.rating * 10;
        std::memcpy(r.data() + t_->Fields()[2].offset, &added, 4);
        t_->SetNull(r.data(), 2, false);
      }
      t_->AppendRecord(r.data());
    }
  }
  void TearDown() override {
    t_.reset();  // the table goes before its store
    TPFSManager::Instance().Clear();
  }

  // Matching slots, whole-table evaluation checked against record by record.
  std::string Find(const std::string& condition, TSearchOptions options = {}) {
    TSearchParser p;
    p.Parse(condition, *t_, options);
    const TBitsArray bits = p.Evaluate(*t_);
    std::string out;
    std::vector<uint8_t> r(size_t(t_->Layout().recordSize));
    for (int32_t slot = 0; slot < t_->RecordCount(); ++slot) {
      t_->GetRecord(slot, r.data());
      EXPECT_EQ(bits.Get(size_t(slot)), p.Matches(*t_, r.data())) << condition << " slot " << slot;
      if (bits.Get(size_t(slot))) out += std::to_string(slot);
    }
    return out;
  }

  bool indexed_ = false;
  TempDir dir_;
  TAbstractPlainFileSystem* store_ = nullptr;
  std::unique_ptr<TVellDataManager> t_;
};

class IndexedSearch : public Search {
 protected:
  void SetUp() override {
    indexed_ = true;
    Search::SetUp();
  }
};

void CheckConditions(const std::function<std::string(const std::string&, TSearchOptions)>& find) {
  const struct {
    const char* condition;
    TSearchOptions options;
    const char* slots;
  } cases[] = {
      {"Name = 'Ab*'", {}, "04"},
      {"Name = 'Ab*'", {false, true}, ""},
      {"Name = 'ab*'", {true, false}, "014"},
      {"Name = ''", {}, "3"},
      {"Name <> ''", {}, "01245"},
      {"Name = \"O'Neil\"", {}, "5"},
      {"Name = 'O''Neil'", {}, "5"},
      {"Rating > 3", {}, "03"},
      {"not (Rating > 3)", {}, "1245"},
      {"Rating >= 3 and Rating <= 4", {}, "23"},
      {"Rating < 2 or Rating = 5", {}, "01"},
      {"Rating is null", {}, "4"},
      {"RATING IS NOT NULL AND Rating <> 4", {}, "0125"},
      {"[Add date] >= 30", {}, "023"},
      {"[ Add date ] < 15", {}, "1"},
      {"Name like 'A%'", {}, "04"},
      {"Name not like '%b%'", {}, "235"},
      {"Id = 3", {}, "2"},
      {"((Rating = 1))", {}, "1"},
  };
  for (const auto& c : cases) EXPECT_EQ(find(c.condition, c.options), c.slots) << c.condition;
}

TEST_F(Search, ConditionsByScanning) {
  CheckConditions([&](const std::string& c, TSearchOptions o) { return Find(c, o); });
}

TEST_F(IndexedSearch, ConditionsThroughIndexes) {
  ASSERT_GT(t_->Indexes().size(), 3u);
  CheckConditions([&](const std::string& c, TSearchOptions o) { return Find(c, o); });
}

TEST_F(Search, ParserMessages) {
  TSearchParser p;
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"", "TSearchParser.Parse - Expression is blank."},
      {"Rating = 1 x", "End of line expected, but \"x\" found"},
      {"(Rating = 1", "Closing bracket \")\" expected, but \"\" found"},
      {"[Add date = 1", "Closing square bracket \"]\" expected, but not found in \"[Add date = 1\""},
      {"[ ] = 1", "Invalid field name \"[ ]\""},
      {"Nope = 1", "Invalid field name \"Nope\""},
      {"Rating ~ 1", "Operator expected, but \"~ 1\"  found"},
      {"Rating = x", "Number expected, but \"x\"  found"},
      {"Name = 'abc", "Unterminated string abc'abc"},  // the text read, then the rest
      {"Rating = 1 and )", "Unexpected meet of \")\"  found"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { p.Parse(c.text, *t_, {}); }), c.message) << c.text;
}

TEST(BitsArray, Operations) {
  TBitsArray a(4), b(4);
  a.Set(0, true);
  a.Set(1, true);
  b.Set(1, true);
  b.Set(2, true);
  TBitsArray c = a;
  c.And(b);
  EXPECT_TRUE(!c.Get(0) && c.Get(1) && !c.Get(2));
  c = a;
  c.Or(b);
  EXPECT_TRUE(c.Get(0) && c.Get(1) && c.Get(2) && !c.Get(3));
  c.Not();
  EXPECT_TRUE(c.Get(3) && !c.Get(0));
}

}  // namespace
}  // namespace kestro::test
