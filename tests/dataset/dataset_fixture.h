// A database file in a temporary directory and helpers to make tables.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/common/field_types.h"
#include "engine/dataset/database.h"
#include "engine/dataset/vell_table.h"
#include "engine/filestores/pfs_manager.h"

#include "tests/support/temp_dir.h"

namespace kestro::test {

class DatasetTest : public ::testing::Test {
 protected:
  void SetUp() override { file_ = dir_.Path("Kestro.kvb"); }
  void TearDown() override {
    tables_.clear();
    // Temporary database objects stay connected; let go of the file.
    for (TVellDatabase* db :
         std::vector<TVellDatabase*>(TVellSessionList::Instance().DefaultSession().Databases()))
      db->Close();
    TPFSManager::Instance().Clear();
  }

  // A closed table dataset on the test file.
  std::unique_ptr<TVellTable> Table(const std::string& name) {
    auto t = std::make_unique<TVellTable>();
    t->SetDatabaseFileName(file_);
    t->SetTableName(name);
    return t;
  }

  // Creates `name` and returns an open dataset on it (kept by the fixture).
  TVellTable& Create(const std::string& name, const std::vector<TFieldDef>& fields,
                     const std::vector<TVellIndexDef>& indexes = {}) {
    auto t = Table(name);
    t->MutableFieldDefs() = fields;
    t->SetIndexDefs(indexes);
    t->CreateTable();
    t->MutableFieldDefs().clear();
    t->Open();
    tables_.push_back(std::move(t));
    return *tables_.back();
  }

  // Res-like: NmRes String(20), Mark Integer, Comments Memo, Added
  // DateTime, IdRes AutoInc (shown last).
  TVellTable& CreateRes(const std::vector<TVellIndexDef>& indexes = {}) {
    return Create("Res",
                  {{"IdRes", ftAutoInc, 0, false, 1},
                   {"NmRes", ftString, 20, false, 2},
                   {"Mark", ftInteger, 0, false, 3},
                   {"Comments", ftMemo, 0, false, 4},
                   {"Added", ftDateTime, 0, false, 5}},
                  indexes);
  }

  static void AppendRow(TDataSet& ds, const std::string& name, int mark) {
    ds.Append();
    ds.FieldByName("NmRes").SetAsString(name);
    ds.FieldByName("Mark").SetAsInteger(mark);
    ds.Post();
  }

  // The values of `field` in dataset order, walked with First/Next.
  static std::vector<std::string> Column(TDataSet& ds, const std::string& field) {
    std::vector<std::string> out;
    for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(field).AsString());
    return out;
  }

  TempDir dir_;
  std::string file_;
  std::vector<std::unique_ptr<TVellTable>> tables_;
};

}  // namespace kestro::test
