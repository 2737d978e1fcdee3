// The engine against SQLite on the organizer's workload.
//
//   kestro-bench --resources N [--csv FILE] [--dir DIR]
//
// A seeded generator makes the same data for both engines: 1 000 categories
// in a forest three levels deep, N resources with titles, addresses and
// comments, each filed in 1 to 3 categories. Every workload runs in a fresh
// child process per engine (alternating the engines), so each engine's time
// and peak memory are its own. Ours runs the organizer's own statements
// with its main-window datasets open; SQLite runs the equivalent SQL on the
// same tables, primary keys and unique Link index.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/common/clock.h"
#include "engine/common/locale.h"
#include "engine/dataset/database.h"
#include "engine/dataset/vell_table.h"
#include "engine/query/vell_query.h"

#include "organizer/schema.h"

namespace {

using namespace kestro;
using Clock = std::chrono::steady_clock;

// ---- the data -------------------------------------------------------------------------------

struct Data {
  struct Category {
    int id, parent;
    std::string name;
  };
  struct Resource {
    int id;
    std::string title, path, comment;
    std::vector<int> cats;
  };
  std::vector<Category> cats;
  std::vector<Resource> res;
  std::vector<std::vector<int>> children;  // by category id

  std::vector<int> Subtree(int root) const {
    std::vector<int> out{root};
    for (size_t i = 0; i < out.size(); ++i)
      for (int c : children[size_t(out[i])]) out.push_back(c);
    return out;
  }
};

const char* const kWords[] = {"alpha",  "bravo",  "cobalt", "delta",  "ember",  "fjord",
                              "garnet", "harbor", "indigo", "jasper", "kelvin", "lumen",
                              "meadow", "nectar", "onyx",   "prism",  "quartz", "raven",
                              "sierra", "tundra", "umber",  "velvet", "willow", "zephyr"};

Data Generate(int n) {
  std::mt19937 rnd(20261211);
  auto word = [&] { return std::string(kWords[rnd() % 24]); };
  Data d;
  d.children.resize(1001);
  for (int c = 1; c <= 1000; ++c) {
    const int parent = c <= 10 ? 0 : c <= 100 ? (c - 11) % 10 + 1 : (c - 101) % 90 + 11;
    d.cats.push_back({c, parent, word() + " " + word()});
    if (parent > 0) d.children[size_t(parent)].push_back(c);
  }
  for (int r = 1; r <= n; ++r) {
    Data::Resource x;
    x.id = r;
    x.title = word() + " " + word() + " " + std::to_string(r);
    x.path = "https://www." + word() + ".example/" + word() + "/" + std::to_string(rnd() % 100000) +
             ".html";
    for (int k = 0; k < 8; ++k) x.comment += word() + " ";
    const int filed = 1 + int(rnd() % 3);
    while (int(x.cats.size()) < filed) {
      const int c = 1 + int(rnd() % 1000);
      if (std::find(x.cats.begin(), x.cats.end(), c) == x.cats.end()) x.cats.push_back(c);
    }
    d.res.push_back(std::move(x));
  }
  return d;
}

std::string CatInsert(const Data::Category& c) {
  return "Insert Into Cat (IdCat,IdPrCat, NmCat) \nValues (" + std::to_string(c.id) + "," +
         std::to_string(c.parent) + ",\"" + c.name + "\")";
}
// Today in the locale's short date format, as the organizer writes dates.
const std::string& Today() {
  static const std::string today = TVellLocale::Current().DateToStr(LocalNow().date);
  return today;
}

std::string ResInsert(const Data::Resource& r) {
  return "Insert Into Res (IdRes,PathRes,NmRes,NumCat,AddDt,CommRes,Mark) \nValues (" +
         std::to_string(r.id) + ",\"" + r.path + "\",\n\"" + r.title + "\"," +
         std::to_string(r.cats.size()) + ",\n\"" + Today() + "\",\"" + r.comment + "\",0)";
}
std::string LinkInsert(int cat, int res) {
  return "Insert Into Link (IdCat,IdRes) \nValues (" + std::to_string(cat) + "," +
         std::to_string(res) + ")";
}
std::string InList(const std::vector<int>& ids) {
  std::string s;
  for (int i : ids) s += (s.empty() ? "" : ",") + std::to_string(i);
  return s;
}

// ---- our engine -------------------------------------------------------------------------------

struct Ours {
  std::unique_ptr<TVellDatabase> db;
  std::unique_ptr<TVellTable> tbRes, tbCat;
  explicit Ours(const std::string& file, bool openTables = true) {
    db = std::make_unique<TVellDatabase>("EDb");
    db->SetDatabaseName("Res");
    db->SetDatabaseFileName(file);
    db->SetConnected(true);
    if (openTables) OpenTables();
  }
  void OpenTables() {
    for (auto* t : {&tbRes, &tbCat}) {
      *t = std::make_unique<TVellTable>();
      (*t)->SetDatabaseName("Res");
      (*t)->SetTableName(t == &tbRes ? "Res" : "Cat");
      (*t)->Open();
    }
  }
  void Exec(const std::string& sql) {
    TVellQuery q;
    q.SetDatabaseName("Res");
    q.SetSQLText(sql);
    q.ExecSQL();
  }
  int64_t ReadAll(const std::string& sql) {
    TVellQuery q;
    q.SetDatabaseName("Res");
    q.SetSQLText(sql);
    q.Open();
    int64_t n = 0;
    for (q.First(); !q.Eof(); q.Next()) {
      for (size_t i = 0; i < q.FieldCount(); ++i) n += int64_t(q.Fields(i).AsString().size());
    }
    q.Close();
    return n;
  }
  ~Ours() {
    tbRes.reset();
    tbCat.reset();
    db->Close();
  }
};

void OursSchema(Ours& o) {
  for (const auto& lines : CreateDbStatements(Today())) {
    std::string sql;
    for (const auto& l : lines) sql += l + "\n";
    if (sql.rfind("Create", 0) == 0) o.Exec(sql);  // the tables, not the first rows
  }
}

// ---- SQLite -----------------------------------------------------------------------------------

struct Lite {
  sqlite3* db = nullptr;
  explicit Lite(const std::string& file) {
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
    Exec("PRAGMA case_sensitive_like=ON");
  }
  ~Lite() { sqlite3_close(db); }
  void Exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::fprintf(stderr, "sqlite: %s\n  in %s\n", err, sql.c_str());
      sqlite3_free(err);
    }
  }
  int64_t ReadAll(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    int64_t n = 0;
    while (sqlite3_step(st) == SQLITE_ROW)
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const unsigned char* t = sqlite3_column_text(st, i);
        n += t ? int64_t(std::strlen(reinterpret_cast<const char*>(t))) : 0;
      }
    sqlite3_finalize(st);
    return n;
  }
};

void LiteSchema(Lite& l) {
  l.Exec("CREATE TABLE List (IdItem integer)");
  l.Exec(
      "CREATE TABLE Const (IdConst integer, NmConst varchar(30), TypeConst integer, ValueInt "
      "integer, ValueStr "
      "varchar(100), ValueDt datetime, PRIMARY KEY (IdConst))");
  l.Exec(
      "CREATE TABLE Cat (IdCat integer, IdPrCat integer, NmCat varchar(30), CommCat varchar(100), "
      "ImgCat blob, "
      "TypeCat integer, Mark integer, PRIMARY KEY (IdPrCat, IdCat))");
  l.Exec("CREATE TABLE Link (IdCat integer, IdRes integer)");
  l.Exec("CREATE UNIQUE INDEX iCat ON Link (IdCat, IdRes)");
  l.Exec(
      "CREATE TABLE Res (IdRes integer, NmRes varchar(70), PathRes varchar(200), KeyRes "
      "varchar(100), TCPAdr "
      "varchar(15), CommRes text, ImgRes blob, NumCat integer, Rating integer, Status integer, "
      "TypeRes integer, "
      "AddDt datetime, VizitDt datetime, IdCat integer, Mark integer, PRIMARY KEY (IdRes))");
}

// ---- workloads ------------------------------------------------------------------------------

struct Workload {
  std::string name;
  std::function<void(const std::string&file)> ours, lite;
  bool fromBase = true;  // runs on a copy of the loaded database
};

struct Measure {
  double seconds = 0;
  long peakKiB = 0;
};

// Runs `body` in a child process; its time (measured inside) and peak memory.
Measure InChild(const std::function<double()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const double s = body();
    if (::write(fds[1], &s, sizeof s) != sizeof s) ::_exit(3);
    ::_exit(0);
  }
  ::close(fds[1]);
  Measure m;
  if (::read(fds[0], &m.seconds, sizeof m.seconds) != sizeof m.seconds) m.seconds = -1;
  ::close(fds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  m.peakKiB = usage.ru_maxrss;
  return m;
}

double Timed(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto s = std::filesystem::file_size(path, ec);
  return ec ? 0 : int64_t(s);
}

}  // namespace

int main(int argc, char** argv) {
  int n = 10000;
  std::string csv, dir = "/tmp", only;
  bool noAutocommit = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--resources" && i + 1 < argc)
      n = std::atoi(argv[++i]);
    else if (a == "--csv" && i + 1 < argc)
      csv = argv[++i];
    else if (a == "--dir" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--only" && i + 1 < argc)
      only = argv[++i];  // W1 loads, then this one
    else if (a == "--no-autocommit")
      noAutocommit = true;  // SQLite's slow per-row commits
    else {
      std::fprintf(stderr,
                   "usage: kestro-bench --resources N [--csv FILE] [--dir DIR] [--only WORKLOAD] "
                   "[--no-autocommit]\n");
      return 2;
    }
  }
  const Data data = Generate(n);
  const std::string base = dir + "/kestro-bench-" + std::to_string(n);
  const std::string oursBase = base + ".kvb", liteBase = base + ".sqlite";
  const std::string oursWork = base + "-work.kvb", liteWork = base + "-work.sqlite";
  std::mt19937 rnd(7);
  std::vector<int> listCats, roots, deletions;
  for (int k = 0; k < 1000; ++k) listCats.push_back(1 + int(rnd() % 1000));
  for (int k = 0; k < 100; ++k) roots.push_back(1 + int(rnd() % 100));
  for (int k = 0; k < 10; ++k) deletions.push_back(11 + int(rnd() % 90));
  std::vector<std::string> needles;
  for (int k = 0; k < 100; ++k) {
    const std::string w = kWords[rnd() % 24];
    const size_t len = 2 + rnd() % 2, at = rnd() % (w.size() - len + 1);
    needles.push_back(w.substr(at, len));
  }
  auto load = [&](auto&& exec) {
    for (const auto& c : data.cats) exec(CatInsert(c));
    for (const auto& r : data.res) {
      for (int c : r.cats) exec(LinkInsert(c, r.id));
      exec(ResInsert(r));
    }
  };
  auto listSql = [](int cat) {
    return "Select * From Link, Res Where Link.IdRes=Res.IdRes\n and Link.IdCat=" +
           std::to_string(cat);
  };
  auto subtreeSql = [&](int root) {
    return "Select * From Link, Res Where Link.IdRes=Res.IdRes\n and IdCat IN (" +
           InList(data.Subtree(root)) + ")";
  };
  auto searchSql = [](const std::string& s) {
    return "Select * From Res Where  NmRes Like \"%" + s + "%\" or PathRes Like \"%" + s +
           "%\" Order By NmRes";
  };
  auto liteSearch = [](const std::string& s) {
    return "SELECT * FROM Res WHERE NmRes LIKE '%" + s + "%' OR PathRes LIKE '%" + s +
           "%' ORDER BY NmRes";
  };

  std::vector<Workload> w;
  w.push_back({"W1-autocommit",
               [&](const std::string& f) {
                 Ours o(f, false);
                 OursSchema(o);
                 o.OpenTables();
                 load([&](const std::string& s) { o.Exec(s); });
               },
               [&](const std::string& f) {
                 Lite l(f);
                 LiteSchema(l);
                 load([&](const std::string& s) { l.Exec(s); });
               },
               false});
  w.push_back({"W1-transaction", nullptr,
               [&](const std::string& f) {
                 Lite l(f);
                 LiteSchema(l);
                 l.Exec("BEGIN");
                 load([&](const std::string& s) { l.Exec(s); });
                 l.Exec("COMMIT");
               },
               false});
  w.push_back({"W2",
               [&](const std::string& f) {
                 Ours o(f);
                 for (int c : listCats) o.ReadAll(listSql(c));
               },
               [&](const std::string& f) {
                 Lite l(f);
                 for (int c : listCats) l.ReadAll(listSql(c));
               }});
  w.push_back({"W3",
               [&](const std::string& f) {
                 Ours o(f);
                 for (int r : roots) o.ReadAll(subtreeSql(r));
               },
               [&](const std::string& f) {
                 Lite l(f);
                 // SQLite wants the column qualified: Res has an IdCat too.
                 for (int r : roots) {
                   std::string sql = subtreeSql(r);
                   sql.replace(sql.find("IdCat IN"), 8, "Link.IdCat IN");
                   l.ReadAll(sql);
                 }
               }});
  w.push_back({"W4",
               [&](const std::string& f) {
                 Ours o(f);
                 for (const auto& s : needles) o.ReadAll(searchSql(s));
               },
               [&](const std::string& f) {
                 Lite l(f);
                 for (const auto& s : needles) l.ReadAll(liteSearch(s));
               }});
  w.push_back({"W5",
               [&](const std::string& f) {
                 Ours o(f);
                 o.Exec("Update Res Set Mark=1");
                 o.ReadAll("Select * From Res Where Mark=1");
               },
               [&](const std::string& f) {
                 Lite l(f);
                 l.Exec("UPDATE Res SET Mark=1");
                 l.ReadAll("SELECT * FROM Res WHERE Mark=1");
               }});
  auto addOne = [&](auto& engine, auto&& maxId, int k) {
    const int id = maxId() + 1;
    engine.Exec(LinkInsert(1 + k % 1000, id));
    engine.Exec(ResInsert({id,
                           "New resource " + std::to_string(k),
                           "https://new.example/" + std::to_string(k),
                           "added",
                           {1 + k % 1000}}));
  };
  w.push_back({"W6",
               [&](const std::string& f) {
                 Ours o(f);
                 for (int k = 0; k < 1000; ++k)
                   addOne(
                       o,
                       [&] {
                         TVellQuery q;
                         q.SetDatabaseName("Res");
                         q.SetSQLText("Select Max(IdRes) as IdMax From Res");
                         q.Open();
                         const int v = q.FieldByName("IdMax").AsInteger();
                         q.Close();
                         return v;
                       },
                       k);
               },
               [&](const std::string& f) {
                 Lite l(f);
                 for (int k = 0; k < 1000; ++k)
                   addOne(
                       l,
                       [&] {
                         sqlite3_stmt* st = nullptr;
                         sqlite3_prepare_v2(l.db, "SELECT Max(IdRes) AS IdMax FROM Res", -1, &st,
                                            nullptr);
                         sqlite3_step(st);
                         const int v = sqlite3_column_int(st, 0);
                         sqlite3_finalize(st);
                         return v;
                       },
                       k);
               }});
  auto deleteSql = [&](int root) {
    const std::string ids = InList(data.Subtree(root));
    return std::vector<std::string>{"Delete From Link Where IdCat IN (" + ids + ")",
                                    "Delete From Cat Where IdCat IN (" + ids + ")"};
  };
  w.push_back({"W7",
               [&](const std::string& f) {
                 Ours o(f);
                 for (int r : deletions)
                   for (const auto& s : deleteSql(r)) o.Exec(s);
               },
               [&](const std::string& f) {
                 Lite l(f);
                 for (int r : deletions)
                   for (const auto& s : deleteSql(r)) l.Exec(s);
               }});
  w.push_back({"W8",
               [&](const std::string& f) {
                 Ours o(f);
                 TVellQuery q;
                 q.SetDatabaseName("Res");
                 q.SetSQLText(listSql(listCats[0]));
                 q.Open();
                 (void)q.Fields(0).AsString();
               },
               [&](const std::string& f) {
                 Lite l(f);
                 for (const char* sql : {"SELECT * FROM Res", "SELECT * FROM Cat"}) {
                   sqlite3_stmt* st = nullptr;
                   sqlite3_prepare_v2(l.db, sql, -1, &st, nullptr);
                   sqlite3_step(st);
                   sqlite3_finalize(st);
                 }
                 sqlite3_stmt* st = nullptr;
                 sqlite3_prepare_v2(l.db, listSql(listCats[0]).c_str(), -1, &st, nullptr);
                 sqlite3_step(st);
                 sqlite3_finalize(st);
               }});

  std::FILE* out = csv.empty() ? nullptr : std::fopen(csv.c_str(), "w");
  if (out)
    std::fprintf(out, "workload,ours_seconds,sqlite_seconds,ratio,ours_peak_kib,sqlite_peak_kib\n");
  std::printf("kestro-bench: %d resources, 1000 categories\n", n);
  std::printf("%-15s %11s %11s %7s %12s %12s\n", "workload", "ours s", "sqlite s", "ratio",
              "ours KiB", "sqlite KiB");
  Measure oursW1;
  for (const Workload& x : w) {
    if (!only.empty() && x.name != only && x.fromBase) continue;
    auto prepare = [&](const std::string& baseFile, const std::string& work) {
      std::filesystem::remove(work);
      std::filesystem::remove(work + "-journal");
      if (x.fromBase) std::filesystem::copy_file(baseFile, work);
    };
    Measure o = oursW1;
    if (x.ours) {
      prepare(oursBase, oursWork);
      o = InChild([&] { return Timed([&] { x.ours(oursWork); }); });
      if (!x.fromBase) {
        std::filesystem::remove(oursBase);
        std::filesystem::copy_file(oursWork, oursBase);
        oursW1 = o;
      }
    }
    prepare(liteBase, liteWork);
    // With --only, SQLite loads once, in one transaction.
    const bool skip =
        x.name == "W1-autocommit" && (noAutocommit || (!only.empty() && only != x.name));
    const Measure l = skip ? Measure{} : InChild([&] { return Timed([&] { x.lite(liteWork); }); });
    if (!x.fromBase && x.name == "W1-transaction") {
      std::filesystem::remove(liteBase);
      std::filesystem::copy_file(liteWork, liteBase);
    }
    const double ratio = l.seconds > 0 ? o.seconds / l.seconds : 0;
    std::printf("%-15s %11.4f %11.4f %7.2f %12ld %12ld\n", x.name.c_str(), o.seconds, l.seconds,
                ratio, o.peakKiB, l.peakKiB);
    std::fflush(stdout);
    if (out)
      std::fprintf(out, "%s,%.6f,%.6f,%.3f,%ld,%ld\n", x.name.c_str(), o.seconds, l.seconds, ratio,
                   o.peakKiB, l.peakKiB);
  }
  std::printf("file size: ours %lld bytes, sqlite %lld bytes\n",
              static_cast<long long>(FileSize(oursBase)),
              static_cast<long long>(FileSize(liteBase)));
  if (out) std::fclose(out);
  for (const auto& f : {oursBase, liteBase, oursWork, liteWork}) std::filesystem::remove(f);
  return 0;
}
