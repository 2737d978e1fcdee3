// A connected organizer database file and helpers to run statements.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/common/clock.h"
#include "engine/common/locale.h"
#include "engine/dataset/database.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/query/vell_query.h"

#include "tests/support/temp_dir.h"

namespace kestro::test {

using Strings = std::vector<std::string>;

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_.Path("Kestro.kvb");
    db_ = std::make_unique<TVellDatabase>("EDb");
    db_->SetDatabaseName("Res");
    db_->SetDatabaseFileName(file_);
    db_->SetConnected(true);
  }
  void TearDown() override {
    queries_.clear();
    db_.reset();
    for (TVellDatabase* d :
         std::vector<TVellDatabase*>(TVellSessionList::Instance().DefaultSession().Databases()))
      d->Close();
    TPFSManager::Instance().Clear();
  }

  TVellQuery& Query() {
    queries_.push_back(std::make_unique<TVellQuery>());
    queries_.back()->SetDatabaseName("Res");
    return *queries_.back();
  }
  void Exec(const std::string& text) {
    TVellQuery& q = Query();
    q.SetSQLText(text);
    q.ExecSQL();
    rowsAffected_ = q.RowsAffected();
  }
  TVellQuery& Open(const std::string& text) {
    TVellQuery& q = Query();
    q.SetSQLText(text);
    q.Open();
    return q;
  }
  // Every row as "a|b|c" over the visible fields.
  static Strings Rows(TDataSet& ds) {
    Strings out;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      std::string row;
      for (size_t i = 0; i < ds.FieldCount(); ++i) {
        if (!ds.Fields(i).Visible()) continue;
        row += (row.empty() ? "" : "|") + ds.Fields(i).AsString();
      }
      out.push_back(row);
    }
    return out;
  }
  static Strings FieldNames(TDataSet& ds) {
    Strings out;
    for (size_t i = 0; i < ds.FieldCount(); ++i)
      if (ds.Fields(i).Visible()) out.push_back(ds.Fields(i).FieldName());
    return out;
  }
  Strings Select(const std::string& text) {
    TVellQuery& q = Open(text);
    Strings rows = Rows(q);
    q.Close();
    return rows;
  }

  // The twelve statements that make a new organizer database.
  void CreateOrganizerDatabase() {
    const std::string today = TVellLocale::Current().DateToStr(LocalNow().date);
    const char* statements[] = {
        "Create Table List (\nIdItem integer)",
        "Create Table Const (\nIdConst integer,\nNmConst string(30),\nTypeConst integer,\nValueInt "
        "integer,\n"
        "ValueStr string(100),\nValueDt DateTime,\n Primary Key (IdConst))",
        "Insert Into Const (IdConst,NmConst,TypeConst,ValueStr) \nValues (1,\"dbname\",\n1,\"New "
        "Database\")",
        "Insert Into Const (IdConst,NmConst,TypeConst,ValueStr) \nValues "
        "(2,\"password\",\n1,\"QJW\")",
        "Insert Into Const (IdConst,NmConst,TypeConst,ValueStr) \nValues "
        "(3,\"CrDate\",\n1,\"{today}\")",
        "Create Table Cat (\nIdCat integer,\nIdPrCat integer,\nNmCat string(30),\nCommCat "
        "string(100),\n"
        "ImgCat Graphic,\nTypeCat integer,\nMark integer,\n Primary Key (IdPrCat,IdCat))",
        "Create Table Link (\nIdCat integer,\nIdRes integer)",
        "Create UNIQUE Index iCat ON Link(\nIdCat,\nIdRes)",
        "Create Table Res (\nIdRes integer ,\nNmRes string(70),\nPathRes string(200),\nKeyRes "
        "string(100),\n"
        "TCPAdr string(15),\nCommRes Memo,\nImgRes Graphic,\nNumCat integer,\nRating "
        "integer,\nStatus integer,\n"
        "TypeRes integer,\nAddDt DateTime,\nVizitDt DateTime,\nIdCat integer,\nMark integer,\n "
        "Primary Key (IdRes))",
        "Insert Into Cat (IdCat,IdPrCat, NmCat) \nValues (1,0,\"Common\")",
        "Insert Into Res (IdRes,PathRes,NmRes,NumCat,AddDt) \nValues "
        "(1,\"https://quorvel.example\",\n\"Quorvel "
        "Lab\",1,\n\"{today}\")",
        "Insert Into Link (IdCat,IdRes) \nValues (1,1)",
    };
    for (std::string s : statements) {
      if (const size_t at = s.find("{today}"); at != std::string::npos) s.replace(at, 7, today);
      Exec(s);
    }
  }

  void AddResource(int id, const std::string& name, const std::string& path, int cat) {
    Exec("Insert Into Res (IdRes,PathRes,NmRes,NumCat,Mark) Values (" + std::to_string(id) + ",\"" +
         path + "\",\"" + name + "\",1,0)");
    Exec("Insert Into Link (IdCat,IdRes) Values (" + std::to_string(cat) + "," +
         std::to_string(id) + ")");
  }

  TempDir dir_;
  std::string file_;
  std::unique_ptr<TVellDatabase> db_;
  std::vector<std::unique_ptr<TVellQuery>> queries_;
  int32_t rowsAffected_ = 0;
};

}  // namespace kestro::test
