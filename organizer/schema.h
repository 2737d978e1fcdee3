// The organizer's database: its tables as the program creates them, the
// codes stored in them, the widths its datasets declare and the rules for
// new identifiers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

class TVellDatabase;
class TVellQuery;

// The first resource of a new database points here.
inline constexpr std::string_view kMakerWebAddress = "https://quorvel.example/kestro";
// The default database file name.
inline constexpr std::string_view kDefaultDatabaseName = "Kestro.kvb";

// The twelve statements that make a new database, each as its lines;
// `today` is the current date in the locale's short date format.
std::vector<std::vector<std::string>> CreateDbStatements(const std::string& today);

// Connects `db` to `fileName` (an empty file is made when none exists) and
// runs the creation statements through `qry`, each on its own. On a file
// that already holds the tables the first statement fails with the engine's
// table-exists message and nothing changes.
void CreateDbTables(TVellDatabase& db, const std::string& fileName, TVellQuery& qry);

enum TRating : int32_t {
  rtEmpty = 0,
  rtSoSo = 1,
  rtGood = 2,
  rtExcelent = 3,
  rtBriliant = 4,
  rtSuper = 5
};
enum TResType : int32_t {
  trUndefined = 0,
  trWebLink = 1,
  trFolder = 2,
  trFile = 3,
  trEMail = 4,
  trAccount = 5
};

// Names of a code in the resource dialog and in the grid ("" when the grid
// shows it blank or the dialog does not offer it). Codes out of range and
// NULL read as 0.
std::string_view RatingDialogName(int32_t code);
std::string_view RatingGridName(int32_t code);
std::string_view TypeDialogName(int32_t code);
std::string_view TypeGridName(int32_t code);
// How many type codes the resource dialog offers (4: codes 0 to 3).
inline constexpr int32_t kDialogTypeCount = 4;

// String widths the main window's datasets declare where they differ from
// the table's.
struct TDeclaredWidth {
  std::string_view dataset, field;
  int32_t declared, table;
};
inline constexpr TDeclaredWidth kDeclaredWidths[] = {
    {"TbRes", "NmRes", 50, 70},  {"TbRes", "PathRes", 200, 200},
    {"QryRes", "NmRes", 50, 70}, {"QryRes", "PathRes", 100, 200},
    {"TbCat", "NmCat", 30, 30},  {"TbCat", "CommCat", 100, 100},
    {"QryCat", "NmCat", 30, 30}, {"QryCat", "CommCat", 100, 100},
};

// "Select Max(IdRes) as IdMax From Res" + 1 (an empty table gives 1).
int32_t NextResourceId(TVellQuery& qry);
// A new category: one above the highest shown, never below 1.
inline int32_t NextCategoryId(int32_t highestShown) {
  return highestShown < 1 ? 1 : highestShown + 1;
}

}  // namespace kestro
