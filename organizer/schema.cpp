#include "organizer/schema.h"

#include "engine/common/clock.h"
#include "engine/common/locale.h"
#include "engine/dataset/database.h"
#include "engine/query/vell_query.h"

namespace kestro {

std::vector<std::vector<std::string>> CreateDbStatements(const std::string& today) {
  const std::string web(kMakerWebAddress);
  return {
      {"Create Table List (", "IdItem integer)"},
      {"Create Table Const (", "IdConst integer,", "NmConst string(30),", "TypeConst integer,",
       "ValueInt integer,", "ValueStr string(100),", "ValueDt DateTime,",
       " Primary Key (IdConst))"},
      {"Insert Into Const (IdConst,NmConst,TypeConst,ValueStr) ", "Values (1,\"dbname\",",
       "1,\"New Database\")"},
      {"Insert Into Const (IdConst,NmConst,TypeConst,ValueStr) ", "Values (2,\"password\",",
       "1,\"QJW\")"},
      {"Insert Into Const (IdConst,NmConst,TypeConst,ValueStr) ", "Values (3,\"CrDate\",",
       "1,\"" + today + "\")"},
      {"Create Table Cat (", "IdCat integer,", "IdPrCat integer,", "NmCat string(30),",
       "CommCat string(100),", "ImgCat Graphic,", "TypeCat integer,", "Mark integer,",
       " Primary Key (IdPrCat,IdCat))"},
      {"Create Table Link (", "IdCat integer,", "IdRes integer)"},
      {"Create UNIQUE Index iCat ON Link(", "IdCat,", "IdRes)"},
      {"Create Table Res (", "IdRes integer ,", "NmRes string(70),", "PathRes string(200),",
       "KeyRes string(100),", "TCPAdr string(15),", "CommRes Memo,", "ImgRes Graphic,",
       "NumCat integer,", "Rating integer,", "Status integer,", "TypeRes integer,",
       "AddDt DateTime,", "VizitDt DateTime,", "IdCat integer,", "Mark integer,",
       " Primary Key (IdRes))"},
      {"Insert Into Cat (IdCat,IdPrCat, NmCat) ", "Values (1,0,\"Common\")"},
      {"Insert Into Res (IdRes,PathRes,NmRes,NumCat,AddDt) ", "Values (1,\"" + web + "\",",
       "\"Quorvel Lab\",1,", "\"" + today + "\")"},
      {"Insert Into Link (IdCat,IdRes) ", "Values (1,1)"},
  };
}

void CreateDbTables(TVellDatabase& db, const std::string& fileName, TVellQuery& qry) {
  qry.Close();
  db.SetConnected(false);
  db.SetDatabaseFileName(fileName);
  db.SetConnected(true);
  const std::string today = TVellLocale::Current().DateToStr(LocalNow().date);
  for (const auto& lines : CreateDbStatements(today)) {
    qry.SetSQL(lines);
    qry.ExecSQL();
  }
}

namespace {
int32_t Code(int32_t code) { return code < 0 || code > 5 ? 0 : code; }
}  // namespace

std::string_view RatingDialogName(int32_t code) {
  static constexpr std::string_view names[] = {"empty",    "So-so",    "Good",
                                               "Excelent", "Briliant", "Super"};
  return names[Code(code)];
}

std::string_view RatingGridName(int32_t code) {
  return Code(code) == 0 ? "" : RatingDialogName(code);
}

std::string_view TypeDialogName(int32_t code) {
  static constexpr std::string_view names[] = {"undefenite", "Web Link", "Folder", "File", "", ""};
  return names[Code(code)];
}

std::string_view TypeGridName(int32_t code) {
  static constexpr std::string_view names[] = {"",     "Web Link", "Folder",
                                               "File", "E-Mail",   "Account"};
  return names[Code(code)];
}

int32_t NextResourceId(TVellQuery& qry) {
  qry.Close();
  qry.SetSQL({"Select Max(IdRes) as IdMax From Res"});
  qry.Open();
  const int32_t next = qry.FieldByName("IdMax").AsInteger() + 1;
  qry.Close();
  return next;
}

}  // namespace kestro
