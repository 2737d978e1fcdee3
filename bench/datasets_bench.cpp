// Table datasets at 10k and 100k rows: the per-row cost of appending
// through the dataset, walking with Next, editing and posting each row while
// walking, and the per-call cost of Locate on an indexed field and on the
// record identifier. Every figure should stay flat as the table grows
// (within 2x from 10k to 100k; Locate logarithmic).
//
//   bench_datasets [directory] [sizes...]   (default: /tmp 10000 100000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/common/field_types.h"
#include "engine/dataset/database.h"
#include "engine/dataset/vell_table.h"
#include "engine/filestores/pfs_manager.h"

namespace {

using namespace kestro;
using Clock = std::chrono::steady_clock;

double Micro(Clock::time_point since, int64_t count) {
  return std::chrono::duration<double, std::micro>(Clock::now() - since).count() / double(count);
}

void Run(const std::string& dir, int32_t n) {
  const std::string file = dir + "/bench-datasets-" + std::to_string(n) + ".kvb";
  std::filesystem::remove(file);
  TVellTable t;
  t.SetDatabaseFileName(file);
  t.SetTableName("Res");
  t.MutableFieldDefs() = {{"IdRes", ftAutoInc, 0, false, 1},    {"NmRes", ftString, 70, false, 2},
                          {"PathRes", ftString, 200, false, 3}, {"CommRes", ftMemo, 0, false, 4},
                          {"Rating", ftInteger, 0, false, 5},   {"Mark", ftInteger, 0, false, 6},
                          {"AddDt", ftDateTime, 0, false, 7}};
  t.SetIndexDefs({{"ByName", "NmRes", "", "", 0}});
  t.CreateTable();
  t.MutableFieldDefs().clear();
  t.Open();
  TField& name = t.FieldByName("NmRes");
  TField& path = t.FieldByName("PathRes");
  TField& rating = t.FieldByName("Rating");
  TField& mark = t.FieldByName("Mark");

  auto start = Clock::now();
  for (int32_t i = 1; i <= n; ++i) {
    t.Append();
    name.SetAsString("Resource " + std::to_string((i * 7919) % n));
    path.SetAsString("https://example.org/" + std::to_string(i % 977) + "/page" +
                     std::to_string(i));
    rating.SetAsInteger(i % 6);
    t.Post();
  }
  const double append = Micro(start, n);

  start = Clock::now();
  int64_t rows = 0;
  for (t.First(); !t.Eof(); t.Next()) rows += mark.AsInteger() + 1;
  const double walk = Micro(start, rows);

  start = Clock::now();
  for (t.First(); !t.Eof(); t.Next()) {
    t.Edit();
    mark.SetAsInteger(1);
    t.Post();
  }
  const double edit = Micro(start, n);

  std::mt19937 random(42);
  const int locates = 20000;
  start = Clock::now();
  int found = 0;
  for (int k = 0; k < locates; ++k)
    found += t.Locate(
        "NmRes", {TVTblValue::String("Resource " + std::to_string(random() % uint32_t(n)))}, 0);
  const double locateName = Micro(start, locates);
  start = Clock::now();
  for (int k = 0; k < locates; ++k)
    found += t.Locate("IdRes", {TVTblValue::Integer(int32_t(random() % uint32_t(n)) + 1)}, 0);
  const double locateId = Micro(start, locates);
  if (found < locates) std::printf("  (only %d of %d found)\n", found, 2 * locates);
  t.Close();
  for (TVellDatabase* db :
       std::vector<TVellDatabase*>(TVellSessionList::Instance().DefaultSession().Databases()))
    db->Close();
  TPFSManager::Instance().Clear();
  std::filesystem::remove(file);
  std::printf("%9d %12.2f %12.3f %12.2f %14.2f %14.2f\n", n, append, walk, edit, locateName,
              locateId);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::vector<int32_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 100000};
  std::printf("%9s %12s %12s %12s %14s %14s\n", "rows", "append us", "walk us", "edit us",
              "locate name us", "locate id us");
  for (int32_t n : sizes) Run(dir, n);
  return 0;
}
