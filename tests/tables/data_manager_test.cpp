#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "engine/common/exception.h"
#include "engine/common/field_types.h"
#include "engine/common/value.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

template <typename T>
T At(const std::vector<uint8_t>& b, size_t off) {
  T v{};
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

class Tables : public ::testing::Test {
 protected:
  void SetUp() override {
    bool ro = false;
    store_ = TPFSManager::Instance().GetPFSHandle(dir_.Dir().string(), "", dfmNormal, false, ro,
                                                  fsmDirectory);
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override { TPFSManager::Instance().Clear(); }

  // Id AutoInc, Num Integer, Name String(30), Added DateTime.
  std::unique_ptr<TVellDataManager> MakeTable(const std::string& name,
                                              const TVellTableOptions& options = {}) {
    auto t = std::make_unique<TVellDataManager>(name, *store_);
    t->CreateTable({{"Id", ftAutoInc, 0, false},
                    {"Num", ftInteger, 0, true},
                    {"Name", ftString, 30, false},
                    {"Added", ftDateTime, 0, false}},
                   options);
    EXPECT_EQ(t->OpenTable(options.password, false), otOk);
    return t;
  }

  // Appends a row with the next record ID; returns its slot.
  int32_t Add(TVellDataManager& t, int32_t num, const std::string& name) {
    std::vector<uint8_t> r = t.NewRecord();
    t.SetRecordID(r.data(), t.NextRecordID());
    std::memcpy(r.data() + t.Fields()[0].offset, &num, 4);
    t.SetNull(r.data(), 0, false);
    std::strncpy(reinterpret_cast<char*>(r.data() + t.Fields()[1].offset), name.c_str(), 30);
    t.SetNull(r.data(), 1, false);
    return t.AppendRecord(r.data());
  }

  std::string NameAt(TVellDataManager& t, int32_t slot) {
    std::vector<uint8_t> r(size_t(t.Layout().recordSize));
    t.GetRecord(slot, r.data());
    return reinterpret_cast<const char*>(r.data() + t.Fields()[1].offset);
  }

  TempDir dir_;
  TAbstractPlainFileSystem* store_ = nullptr;
};

TEST_F(Tables, LayoutOfTheWorkedExample) {
  auto t = MakeTable("Ex");
  // Integer, String(30), DateTime stored; the AutoInc is the record ID.
  EXPECT_EQ(t->Layout().fieldBytes, 43);
  EXPECT_EQ(t->Layout().nullBytes, 1);
  EXPECT_EQ(t->Layout().trailerBytes, 32);
  EXPECT_EQ(t->Layout().recordSize, 75);
  EXPECT_EQ(t->Layout().headerSize, 1085);
  const TRecordLayout twenty = ComputeLayout(20, 0), many = ComputeLayout(200, 0);
  EXPECT_EQ(twenty.nullBytes, 3);
  EXPECT_EQ(twenty.trailerBytes, 32);
  EXPECT_EQ(many.nullBytes, 25);
  EXPECT_EQ(many.trailerBytes, 42);
}

TEST_F(Tables, RecordFileBytes) {
  {
    auto t = MakeTable("Gold");
    Add(*t, 7, "seven");
    Add(*t, 8, "eight");
    t->CloseTable();
  }
  const auto b = ReadAll(dir_.Path("Gold.dat"));
  ASSERT_EQ(b.size(), 1085u + 2 * 75);
  EXPECT_EQ(At<int32_t>(b, 0), 2);  // LastAutoInc
  EXPECT_EQ(b[4], 2);
  EXPECT_EQ(std::string(b.begin() + 5, b.begin() + 7), "Id");
  EXPECT_EQ(At<int32_t>(b, 260), 3);  // FieldCount
  EXPECT_EQ(At<int32_t>(b, 264), 2);  // RecordCount
  EXPECT_EQ(At<double>(b, 268), 4.5);
  EXPECT_EQ(b[276], 240);  // AutoInc shown
  EXPECT_EQ(b[277], 0);
  EXPECT_EQ(b[278], 0);
  EXPECT_EQ(At<int32_t>(b, 280), 2);  // ChangeCount
  EXPECT_EQ(b[279], 2);
  // Descriptors.
  const struct {
    const char* name;
    uint8_t type;
    int32_t size;
    uint8_t required;
  } d[] = {{"Num", ftInteger, 4, 1}, {"Name", ftString, 31, 0}, {"Added", ftDateTime, 8, 0}};
  for (size_t i = 0; i < 3; ++i) {
    const size_t at = 284 + i * 267;
    EXPECT_EQ(b[at], strlen(d[i].name));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[at + 1]), b[at]), d[i].name);
    EXPECT_EQ(b[at + 256], d[i].type);
    EXPECT_EQ(At<int32_t>(b, at + 259), d[i].size);
    EXPECT_EQ(b[at + 263], d[i].required);
  }
  // Record 1: Num 8, "eight", Added null; ID 2; null map bit 2 only.
  const size_t r = 1085 + 75;
  EXPECT_EQ(At<int32_t>(b, r), 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[r + 4])), "eight");
  EXPECT_EQ(At<int32_t>(b, r + 43), 2);
  EXPECT_EQ(b[r + 47], 0x04);
  for (size_t i = r + 48; i < r + 75; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST_F(Tables, DeleteMovesTheLastRecordIntoTheSlot) {
  auto t = MakeTable("Del");
  Add(*t, 0, "zero");
  Add(*t, 1, "one");
  Add(*t, 2, "two");
  t->DeleteRecord(0);
  EXPECT_EQ(t->RecordCount(), 2);
  EXPECT_EQ(NameAt(*t, 0), "two");
  EXPECT_EQ(NameAt(*t, 1), "one");
  t->DeleteRecord(1);
  t->DeleteRecord(0);
  t->CloseTable();
  EXPECT_EQ(ReadAll(dir_.Path("Del.dat")).size(), 1085u);  // only the header
  EXPECT_NE(ErrorOf([&] { t->DeleteRecord(0); }).find("TVellDataManager.vlDeleteRecord"), std::string::npos);
}

TEST_F(Tables, ReopenedTablesReadBackAndUnchangedClosesWriteNothing) {
  {
    auto t = MakeTable("Keep");
    for (int i = 0; i < 50; ++i) Add(*t, i, "row" + std::to_string(i));
  }
  const auto before = ReadAll(dir_.Path("Keep.dat"));
  const auto mtime = std::filesystem::last_write_time(dir_.Path("Keep.dat"));
  {
    TVellDataManager t("Keep", *store_);
    ASSERT_EQ(t.OpenTable("", false), otOk);
    EXPECT_EQ(t.RecordCount(), 50);
    EXPECT_EQ(NameAt(t, 49), "row49");
    EXPECT_EQ(t.NextRecordID(), 51);
  }
  EXPECT_EQ(ReadAll(dir_.Path("Keep.dat")), before);
  EXPECT_EQ(std::filesystem::last_write_time(dir_.Path("Keep.dat")), mtime);
}

TEST_F(Tables, NewerVersionsAreRefused) {
  MakeTable("Ver").reset();
  auto b = ReadAll(dir_.Path("Ver.dat"));
  const double five = 5.0;
  std::memcpy(&b[268], &five, 8);
  WriteAll(dir_.Path("Ver.dat"), b);
  TVellDataManager t("Ver", *store_);
  EXPECT_EQ(ErrorOf([&] { t.OpenTable("", false); }),
            "Error in TVellDataManager.OpenTable - Invalid db engine version in file Ver.dat "
            "(version = 5.00, internalCurrentVersion = 4.50) !");
}

TEST_F(Tables, CreationChecksNamesTypesAndSizes) {
  TVellDataManager t("Bad", *store_);
  EXPECT_EQ(ErrorOf([&] { t.CreateTable({{"a.b", ftInteger, 0, false}}, {}); }),
            "Invalid field name \"a.b\". Make sure that the name doen't contain a period (.),"
            "bracket ([]) leading or trailing space, or non-printable character such as a "
            "carriage return");
  EXPECT_EQ(ErrorOf([&] { t.CreateTable({{std::string(254, 'x'), ftInteger, 0, false}}, {}); })
                .find("Field name must have <= 253 chars. Please shorten field name \""),
            0u);
  EXPECT_EQ(ErrorOf([&] { t.CreateTable({{"s", ftString, 0, false}}, {}); }),
            "Error in TVellDataManager.CreateTable - illegal string size !");
  EXPECT_EQ(ErrorOf([&] { t.CreateTable({{"b", ftBytes, -1, false}}, {}); }),
            "Error in TVellDataManager.CreateTable - illegal ftBytes size !");
  EXPECT_EQ(ErrorOf([&] { t.CreateTable({{"w", ftWideString, 0, false}}, {}); }),
            "Error in TVellDataManager.CreateTable - illegal wide string size !");
  EXPECT_EQ(ErrorOf([&] { t.CreateTable({{"u", 13, 0, false}}, {}); }),
            "Error in TVellDataManager.CreateTable - Unsupported DB type!");
  EXPECT_NE(ErrorOf([&] { t.CreateTable({{"big", ftString, 70000, false}}, {}); }), "<none>");
  // Without an AutoInc field the record ID gets a generated name.
  t.CreateTable({{"x", ftInteger, 0, false}}, {});
  ASSERT_EQ(t.OpenTable("", false), otOk);
  EXPECT_EQ(t.AutoIncFieldName().rfind("id", 0), 0u);
  EXPECT_EQ(t.Header().autoIncMarker, 252);
}

TEST_F(Tables, EncryptedTablesCodeTheirFieldsAndCheckThePassword) {
  {
    TVellTableOptions o;
    o.password = "tablepw";
    auto t = MakeTable("Enc", o);
    Add(*t, 42, "secret name");
  }
  const auto b = ReadAll(dir_.Path("Enc.dat"));
  const std::string raw(b.begin(), b.end());
  EXPECT_EQ(raw.find("secret name"), std::string::npos);
  EXPECT_EQ(b[278], 1);
  EXPECT_EQ(b[1085 + 43 + 4 + 1], 8);  // check string length byte
  TVellDataManager wrong("Enc", *store_);
  EXPECT_EQ(wrong.OpenTable("nope", false), otWrongPassword);
  EXPECT_EQ(wrong.OpenTable("", false), otWrongPassword);
  TVellDataManager right("Enc", *store_);
  ASSERT_EQ(right.OpenTable("tablepw", false), otOk);
  EXPECT_EQ(NameAt(right, 0), "secret name");
}

TEST_F(Tables, TablesLiveInsideAContainer) {
  const std::string db = dir_.Path("db.kvb");
  ASSERT_TRUE(TPFSManager::Instance().CreateDatabase(db, "", dfmNormal, false));
  bool ro = false;
  TAbstractPlainFileSystem* c = TPFSManager::Instance().GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
  ASSERT_NE(c, nullptr);
  {
    TVellDataManager t("Res", *c);
    t.CreateTable({{"IdRes", ftAutoInc, 0, false}, {"NmRes", ftString, 100, false}}, {});
    ASSERT_EQ(t.OpenTable("", false), otOk);
    for (int i = 0; i < 1000; ++i) {
      std::vector<uint8_t> r = t.NewRecord();
      t.SetRecordID(r.data(), t.NextRecordID());
      t.AppendRecord(r.data());
    }
  }
  EXPECT_EQ(c->ListTables(".dat"), std::vector<std::string>{"Res"});
  TVellDataManager again("Res", *c);
  ASSERT_EQ(again.OpenTable("", false), otOk);
  EXPECT_EQ(again.RecordCount(), 1000);
  again.RenameTable("Res2");
  EXPECT_TRUE(c->FileExists("Res2.dat"));
  TVellDataManager renamed("Res2", *c);
  renamed.DeleteTable();
  EXPECT_FALSE(c->FileExists("Res2.dat"));
  EXPECT_FALSE(c->FileExists("Res2.idx"));
}

}  // namespace
}  // namespace kestro::test

namespace kestro::test {
namespace {

TEST_F(Tables, TruncatedFilesGiveACleanErrorOrARebuild) {
  {
    auto t = std::make_unique<TVellDataManager>("Cut", *store_);
    t->CreateTable({{"Id", ftAutoInc, 0, false}, {"Name", ftString, 30, false}, {"Memo", ftMemo, 0, false}},
                   {}, {}, true);
    ASSERT_EQ(t->OpenTable("", false), otOk);
    for (int i = 0; i < 20; ++i) {
      auto r = t->NewRecord();
      t->SetRecordID(r.data(), t->NextRecordID());
      const int32_t slot = t->AppendRecord(r.data());
      const std::string memo(700, char('a' + i));
      t->WriteBLOBValue(1, slot, reinterpret_cast<const uint8_t*>(memo.data()), memo.size());
    }
  }
  for (const char* ext : {".dat", ".idx", ".bif", ".bdf"}) {
    const std::string path = dir_.Path(std::string("Cut") + ext);
    const auto original = ReadAll(path);
    for (size_t len = 0; len < original.size(); len += std::max<size_t>(1, original.size() / 23)) {
      WriteAll(path, std::vector<uint8_t>(original.begin(), original.begin() + long(len)));
      TVellDataManager t("Cut", *store_);
      try {
        if (t.OpenTable("", true) == otOk) {
          std::vector<uint8_t> r(size_t(t.Layout().recordSize));
          for (int32_t slot = 0; slot < t.RecordCount(); ++slot) {
            t.GetRecord(slot, r.data());
            try {
              t.ReadBLOBValue(1, slot);
            } catch (const Exception&) {
            }
          }
          for (int32_t i = 0; i < int32_t(t.Indexes().size()); ++i) t.Ensure(i);
        }
      } catch (const Exception&) {
      }
    }
    WriteAll(path, original);
  }
}

}  // namespace
}  // namespace kestro::test
