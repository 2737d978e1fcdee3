// Table storage at growing sizes: appending N records of the organizer's Res
// layout (15 fields, a memo on every tenth record, an index on IdRes)
// through TVellDataManager inside a database file, then reading them all
// back after a reopen. Each size runs in its own process so that its peak
// memory can be read.
//
//   bench_tables [directory] [sizes...]   (default: /tmp 10000 100000 1000000)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/common/field_types.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"

namespace {

using namespace kestro;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void PutString(TVellDataManager& t, std::vector<uint8_t>& r, int field, const std::string& s) {
  std::strncpy(reinterpret_cast<char*>(r.data() + t.Fields()[size_t(field)].offset), s.c_str(),
               size_t(t.Fields()[size_t(field)].size - 1));
  t.SetNull(r.data(), field, false);
}

void PutInt(TVellDataManager& t, std::vector<uint8_t>& r, int field, int32_t v) {
  std::memcpy(r.data() + t.Fields()[size_t(field)].offset, &v, 4);
  t.SetNull(r.data(), field, false);
}

// Runs in the child: prints one line of figures.
int Run(const std::string& dir, int32_t n) {
  const std::string db = dir + "/bench-tables-" + std::to_string(n) + ".kvb";
  TPFSManager& pfs = TPFSManager::Instance();
  if (!pfs.CreateDatabase(db, "", dfmNormal, false)) return 1;
  bool ro = false;
  TAbstractPlainFileSystem* store = pfs.GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
  double append = 0, read = 0;
  int64_t datSize = 0;
  {
    TVellDataManager t("Res", *store);
    t.CreateTable({{"IdRes", ftInteger, 0, false}, {"NmRes", ftString, 70, false},
                   {"PathRes", ftString, 200, false}, {"KeyRes", ftString, 100, false},
                   {"TCPAdr", ftString, 15, false}, {"CommRes", ftMemo, 0, false},
                   {"ImgRes", ftGraphic, 0, false}, {"NumCat", ftInteger, 0, false},
                   {"Rating", ftInteger, 0, false}, {"Status", ftInteger, 0, false},
                   {"TypeRes", ftInteger, 0, false}, {"AddDt", ftDateTime, 0, false},
                   {"VizitDt", ftDateTime, 0, false}, {"IdCat", ftInteger, 0, false},
                   {"Mark", ftInteger, 0, false}},
                  {}, {{"IdRes", "IdRes", "", "", ixPrimary | ixUnique}});
    if (t.OpenTable("", false) != otOk) return 2;
    const std::string memo(100, 'm');
    const auto start = Clock::now();
    for (int32_t i = 1; i <= n; ++i) {
      std::vector<uint8_t> r = t.NewRecord();
      t.SetRecordID(r.data(), t.NextRecordID());
      PutInt(t, r, 0, i);
      PutString(t, r, 1, "Resource number " + std::to_string(i));
      PutString(t, r, 2, "https://example.org/section/" + std::to_string(i % 977) + "/page" + std::to_string(i));
      PutInt(t, r, 7, 1);
      PutInt(t, r, 8, i % 6);
      const int32_t slot = t.AppendRecord(r.data());
      if (i % 10 == 0) {
        t.WriteBLOBValue(5, slot, reinterpret_cast<const uint8_t*>(memo.data()), memo.size(), r.data());
        t.UpdateRecord(r.data(), slot);
      }
    }
    t.FlushBuffers();
    append = Seconds(start);
  }
  {
    TVellDataManager t("Res", *store);
    if (t.OpenTable("", false) != otOk) return 3;
    std::vector<uint8_t> r(size_t(t.Layout().recordSize));
    int64_t sum = 0;
    const auto start = Clock::now();
    for (int32_t slot = 0; slot < t.RecordCount(); ++slot) {
      t.GetRecord(slot, r.data());
      sum += r[0];
    }
    read = Seconds(start);
    datSize = t.Layout().headerSize + int64_t(t.RecordCount()) * t.Layout().recordSize;
    if (sum < 0) return 4;
  }
  pfs.Clear();
  std::filesystem::remove(db);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peakMiB = double(usage.ru_maxrss) / 1024;
  std::printf("%9d %14.3f %14.3f %12.1f %12.1f %10.2f\n", n, append / n * 1e6, read / n * 1e6,
              double(datSize) / (1 << 20), peakMiB, peakMiB / (double(datSize) / (1 << 20)));
  std::fflush(stdout);  // the child leaves with _exit
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::vector<int32_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 100000, 1000000};
  std::printf("%9s %14s %14s %12s %12s %10s\n", "records", "append us/rec", "read us/rec",
              "T.dat MiB", "peak MiB", "peak/T.dat");
  std::fflush(stdout);
  for (int32_t n : sizes) {
    const pid_t pid = fork();
    if (pid == 0) _exit(Run(dir, n));
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("%9d failed (%d)\n", n, WEXITSTATUS(status));
  }
  return 0;
}
