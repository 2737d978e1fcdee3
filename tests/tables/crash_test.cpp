// A writer killed with SIGKILL at random moments never leaves a table that
// fails to open: the reopened table holds only records that were written,
// and its indexes are rebuilt when their file is stale.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "engine/common/field_types.h"
#include "engine/common/memory_probe.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

constexpr int kRuns = 50;

std::unique_ptr<TVellDataManager> OpenRes(TAbstractPlainFileSystem& store) {
  auto t = std::make_unique<TVellDataManager>("Res", store);
  if (t->OpenTable("", false) != otOk) return nullptr;
  return t;
}

// Appends and updates forever: Name "n<id>", Rating id * 7 or id * 7 + 1.
[[noreturn]] void Writer(const std::string& db) {
  // A small memory figure makes the log write itself out often.
  SetFreeMemoryForTesting([] { return uint64_t(2) << 20; });
  TPFSManager::Instance().Clear();
  bool ro = false;
  TAbstractPlainFileSystem* store =
      TPFSManager::Instance().GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
  if (store == nullptr) _exit(3);
  auto t = OpenRes(*store);
  if (!t) _exit(4);
  std::mt19937 rng(static_cast<uint32_t>(getpid()));
  for (;;) {
    auto r = t->NewRecord();
    const int32_t id = t->NextRecordID();
    t->SetRecordID(r.data(), id);
    const std::string name = "n" + std::to_string(id);
    std::strncpy(reinterpret_cast<char*>(r.data() + t->Fields()[0].offset), name.c_str(), 20);
    t->SetNull(r.data(), 0, false);
    const int32_t rating = id * 7;
    std::memcpy(r.data() + t->Fields()[1].offset, &rating, 4);
    t->SetNull(r.data(), 1, false);
    t->AppendRecord(r.data());
    if (rng() % 3 == 0) {
      const int32_t slot = int32_t(rng() % uint32_t(t->RecordCount()));
      t->GetRecord(slot, r.data());
      const int32_t updated = t->RecordID(r.data()) * 7 + 1;
      std::memcpy(r.data() + t->Fields()[1].offset, &updated, 4);
      t->UpdateRecord(r.data(), slot);
    }
  }
}

TEST(TableCrash, KilledWritersLeaveTablesThatOpen) {
  TempDir dir;
  const std::string db = dir.Path("crash.kvb");
  ASSERT_TRUE(TPFSManager::Instance().CreateDatabase(db, "", dfmNormal, false));
  {
    bool ro = false;
    TAbstractPlainFileSystem* store =
        TPFSManager::Instance().GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
    ASSERT_NE(store, nullptr);
    TVellDataManager t("Res", *store);
    t.CreateTable({{"IdRes", ftAutoInc, 0, false}, {"NmRes", ftString, 20, false},
                   {"Rating", ftInteger, 0, false}},
                  {}, {}, true);
  }
  TPFSManager::Instance().Clear();
  std::mt19937 rng(2026);
  int grew = 0;
  int32_t previous = 0;
  for (int run = 0; run < kRuns; ++run) {
    const pid_t pid = fork();
    if (pid == 0) Writer(db);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 250));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << WEXITSTATUS(status);

    bool ro = false;
    TAbstractPlainFileSystem* store =
        TPFSManager::Instance().GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
    ASSERT_NE(store, nullptr) << "run " << run;
    auto t = OpenRes(*store);
    ASSERT_NE(t, nullptr) << "run " << run;
    std::vector<uint8_t> r(size_t(t->Layout().recordSize));
    for (int32_t slot = 0; slot < t->RecordCount(); ++slot) {
      t->GetRecord(slot, r.data());
      const int32_t id = t->RecordID(r.data());
      int32_t rating;
      std::memcpy(&rating, r.data() + t->Fields()[1].offset, 4);
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(r.data() + t->Fields()[0].offset)),
                "n" + std::to_string(id));
      ASSERT_TRUE(rating == id * 7 || rating == id * 7 + 1) << id << " " << rating;
    }
    for (int32_t i = 0; i < int32_t(t->Indexes().size()); ++i)
      ASSERT_EQ(t->Ensure(i).size(), size_t(t->RecordCount()));
    grew += t->RecordCount() > previous;
    previous = t->RecordCount();
    t.reset();
    TPFSManager::Instance().Clear();
  }
  EXPECT_GT(grew, kRuns / 4);  // writes reached the file in many runs
}

}  // namespace
}  // namespace kestro::test
