// The organizer's SQL workload at 10k and 100k resources in 1 000
// categories: listing one category (the Link/Res join), the substring
// search, marking all, and adding a resource (Max + two Inserts). As in the
// organizer, the Res, Cat and Link tables stay open in table datasets while
// the statements run. Listing and adding must not grow with the number of
// resources beyond what their result needs.
//
//   bench_query [directory] [sizes...]   (default: /tmp 10000 100000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/common/field_types.h"
#include "engine/dataset/database.h"
#include "engine/dataset/vell_table.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/query/vell_query.h"

namespace {

using namespace kestro;
using Clock = std::chrono::steady_clock;

double Micro(Clock::time_point since, int64_t count) {
  return std::chrono::duration<double, std::micro>(Clock::now() - since).count() / double(count);
}

void Exec(const std::string& file, const std::string& sql) {
  TVellQuery q;
  q.SetDatabaseFileName(file);
  q.SetSQLText(sql);
  q.ExecSQL();
}

int64_t ReadAll(TVellQuery& q) {
  int64_t n = 0;
  for (q.First(); !q.Eof(); q.Next()) n += q.Fields(0).AsInteger() >= 0;
  return n;
}

std::unique_ptr<TVellTable> OpenTable(const std::string& file, const std::string& name) {
  auto t = std::make_unique<TVellTable>();
  t->SetDatabaseFileName(file);
  t->SetTableName(name);
  t->Open();
  return t;
}

void Run(const std::string& dir, int32_t n) {
  const std::string file = dir + "/bench-query-" + std::to_string(n) + ".kvb";
  std::filesystem::remove(file);
  Exec(file, "Create Table Cat (IdCat integer, IdPrCat integer, NmCat string(30), Mark integer, Primary Key "
             "(IdPrCat,IdCat))");
  Exec(file, "Create Table Link (IdCat integer, IdRes integer)");
  Exec(file, "Create UNIQUE Index iCat ON Link(IdCat, IdRes)");
  Exec(file, "Create Table Res (IdRes integer, NmRes string(70), PathRes string(200), NumCat integer, Mark "
             "integer, AddDt DateTime, Primary Key (IdRes))");
  auto cat = OpenTable(file, "Cat");
  auto res = OpenTable(file, "Res");
  auto link = OpenTable(file, "Link");
  std::mt19937 random(7);
  const int cats = 1000;
  for (int c = 1; c <= cats; ++c) {
    cat->Append();
    cat->FieldByName("IdCat").SetAsInteger(c);
    cat->FieldByName("IdPrCat").SetAsInteger(c <= 10 ? 0 : c <= 100 ? (c % 10) + 1 : (c % 90) + 11);
    cat->FieldByName("NmCat").SetAsString("Category " + std::to_string(c));
    cat->Post();
  }
  const char* words[] = {"alpha", "bravo", "cobalt", "delta", "ember", "fjord", "garnet", "harbor", "indigo", "jasper"};
  for (int r = 1; r <= n; ++r) {
    res->Append();
    res->FieldByName("IdRes").SetAsInteger(r);
    res->FieldByName("NmRes").SetAsString(std::string(words[random() % 10]) + " " + words[random() % 10] + " " +
                                          std::to_string(r));
    res->FieldByName("PathRes").SetAsString("https://" + std::string(words[random() % 10]) + ".example/" +
                                            std::to_string(random() % 100000));
    res->FieldByName("Mark").SetAsInteger(0);
    const int filed = 1 + int(random() % 3);
    res->FieldByName("NumCat").SetAsInteger(filed);
    res->Post();
    for (int k = 0; k < filed; ++k) {
      link->Append();
      link->FieldByName("IdCat").SetAsInteger(1 + int((r * 7 + k * 331) % cats));
      link->FieldByName("IdRes").SetAsInteger(r);
      try {
        link->Post();
      } catch (const std::exception&) {
        link->Cancel();
      }
    }
  }

  TVellQuery list;
  list.SetDatabaseFileName(file);
  const int lists = 200;
  int64_t rows = 0;
  auto start = Clock::now();
  for (int k = 0; k < lists; ++k) {
    list.SetSQLText("Select * From Link, Res Where Link.IdRes=Res.IdRes and Link.IdCat=" +
                    std::to_string(1 + random() % cats));
    list.Open();
    rows += ReadAll(list);
    list.Close();
  }
  const double listUs = Micro(start, lists);

  const int searches = 5;
  start = Clock::now();
  int64_t found = 0;
  for (int k = 0; k < searches; ++k) {
    list.SetSQLText(std::string("Select * From Res Where  NmRes Like \"%") + "ab" + "%\" or PathRes Like \"%" +
                    words[k] + "%\" Order By NmRes");
    list.Open();
    found += ReadAll(list);
    list.Close();
  }
  const double searchUs = Micro(start, searches);

  start = Clock::now();
  Exec(file, "Update Res Set Mark=1");
  const double markUs = Micro(start, 1);
  list.SetSQLText("Select * From Res Where Mark=1");
  start = Clock::now();
  list.Open();
  const int64_t marked = ReadAll(list);
  list.Close();
  const double markedReadUs = Micro(start, 1);

  const int adds = 500;
  start = Clock::now();
  for (int k = 0; k < adds; ++k) {
    list.SetSQLText("Select Max(IdRes) as IdMax From Res");
    list.Open();
    const int next = list.FieldByName("IdMax").AsInteger() + 1;
    list.Close();
    Exec(file, "Insert Into Link (IdCat,IdRes) Values (5," + std::to_string(next) + ")");
    Exec(file, "Insert Into Res (IdRes,PathRes,NmRes,NumCat,Mark) Values (" + std::to_string(next) +
                   ",\"https://new.example\",\"New\",1,0)");
  }
  const double addUs = Micro(start, adds);

  cat.reset();
  res.reset();
  link.reset();
  for (TVellDatabase* db : std::vector<TVellDatabase*>(TVellSessionList::Instance().DefaultSession().Databases()))
    db->Close();
  TPFSManager::Instance().Clear();
  std::filesystem::remove(file);
  std::printf("%9d %10.0f %8.1f %12.0f %8lld %12.0f %12.0f %10.0f\n", n, listUs, double(rows) / lists, searchUs,
              static_cast<long long>(found / searches), markUs, markedReadUs, addUs);
  if (marked != n) std::printf("  (marked %lld of %d)\n", static_cast<long long>(marked), n);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::vector<int32_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 100000};
  std::printf("%9s %10s %8s %12s %8s %12s %12s %10s\n", "resources", "list us", "rows", "search us", "found",
              "mark all us", "read mark us", "add us");
  for (int32_t n : sizes) Run(dir, n);
  return 0;
}
