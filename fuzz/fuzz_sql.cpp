#include "fuzz/fuzz_sql.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "engine/common/exception.h"
#include "engine/dataset/database.h"
#include "engine/dataset/vell_table.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/query/vell_query.h"

using namespace kestro;

namespace {

const char* const kSchema[] = {
    "Create Table T (Id autoinc, S string(20), I integer, SI smallint, W word, B boolean, F float, "
    "C currency, "
    "D date, Tm time, DT datetime, L largeint, M memo, G graphic, By bytes(8), Ws widestring(10), "
    "Primary Key (Id))",
    "Create Index iS ON T (S NOCASE, I DESC)",
    "Insert Into T (S,I,SI,W,B,F,C,D,Tm,DT,L,M) Values "
    "('abc',1,2,3,true,1.5,2.25,'01.02.2025','10:11:12',"
    "'03.04.2024 05:06:07',123456789,'memo text')",
    "Insert Into T (S,I) Values ('Xyz',-5)",
    "Insert Into T (S) Values (NULL)",
    "Create Table U (K integer, V string(10))",
    "Create UNIQUE Index iK ON U (K)",
    "Insert Into U (K,V) Values (1,'one')",
    "Insert Into U (K,V) Values (-5,'minus')",
};

std::string DatabaseFile() {
  static const std::string file = [] {
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("kestro-fuzz-sql-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(dir);
    return dir + "/fuzz.kvb";
  }();
  return file;
}

void Run(const std::string& text, bool open) {
  TVellQuery q;
  q.SetDatabaseFileName(DatabaseFile());
  q.SetSQLText(text);
  try {
    if (open) {
      q.Open();
      for (q.First(); !q.Eof(); q.Next())
        for (size_t i = 0; i < q.FieldCount(); ++i) (void)q.Fields(i).AsString();
      q.Close();
    } else {
      q.ExecSQL();
    }
  } catch (const Exception& e) {
    if (std::getenv("KESTRO_FUZZ_VERBOSE") != nullptr)
      std::fprintf(stderr, "%s\n  -> %s\n", text.c_str(), e.what());
  }
}

// Every table of the file opens and reads.
void Check() {
  bool readOnly = false;
  auto* store = TPFSManager::Instance().GetPFSHandle(DatabaseFile(), "", dfmNormal, false, readOnly,
                                                     fsmContainer);
  if (store == nullptr) std::abort();
  for (const std::string& name : store->ListTables(".dat")) {
    TVellTable t;
    t.SetDatabaseFileName(DatabaseFile());
    t.SetTableName(name);
    try {
      t.Open();
    } catch (const Exception& e) {
      // Encrypted tables made by the input need their password.
      if (std::string(e.what()).find("invalid password") != std::string::npos) continue;
      std::fprintf(stderr, "table %s does not open: %s\n", name.c_str(), e.what());
      std::abort();
    }
    for (t.First(); !t.Eof(); t.Next())
      for (size_t i = 0; i < t.FieldCount(); ++i) (void)t.Fields(i).AsString();
    t.Close();
  }
}

void Reset() {
  for (TVellDatabase* db :
       std::vector<TVellDatabase*>(TVellSessionList::Instance().DefaultSession().Databases()))
    db->Close();
  TPFSManager::Instance().Clear();
  std::filesystem::remove(DatabaseFile());
  for (const char* s : kSchema) Run(s, false);
}

}  // namespace

int FuzzSql(const uint8_t* data, size_t size) {
  static bool ready = (Reset(), true);
  (void)ready;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Run(text, true);
  Run(text, false);
  Check();
  // Keep the file small: start again after inputs that grew it.
  if (std::filesystem::file_size(DatabaseFile()) > (4u << 20)) Reset();
  return 0;
}
