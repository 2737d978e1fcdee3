#include <gtest/gtest.h>

#include <functional>

#include "engine/common/exception.h"
#include "engine/common/field_types.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

struct Client : TVellTableClient {
  bool memory = false, temporary = false, readOnly = false;
  std::string password;
  bool InMemory() const override { return memory; }
  bool Temporary() const override { return temporary; }
  std::string TablePassword() const override { return password; }
  bool ReadOnly() const override { return readOnly; }
  void SetReadOnly(bool v) override { readOnly = v; }
};

TEST(TableClients, DatasetsShareOneTableInOneMode) {
  TempDir dir;
  bool ro = false;
  TAbstractPlainFileSystem* disk =
      TPFSManager::Instance().GetPFSHandle(dir.Dir().string(), "", dfmNormal, false, ro, fsmDirectory);
  TAbstractPlainFileSystem* memory = TPFSManager::Instance().GetPFSHandle("MEMORY", "", dfmNormal, true, ro, fsmMemory);
  {
    TVellDataManager create("T", *disk);
    TVellTableOptions options;
    options.password = "pw";
    create.CreateTable({{"Id", ftAutoInc, 0, false}, {"Name", ftString, 10, false}}, options);
  }
  TVellDataManager t("T", *disk);
  t.SetStoreResolver([&](TTableStoreMode m) { return m == tsmMemory ? memory : disk; });
  Client first, second, inMemory, wrong;
  first.password = second.password = "pw";
  first.readOnly = true;
  EXPECT_EQ(t.ConnectDataset(&first), otOk);
  EXPECT_TRUE(t.ReadOnly());
  EXPECT_EQ(t.ConnectDataset(&second), otOk);  // writable: the table becomes writable
  EXPECT_FALSE(t.ReadOnly());
  inMemory.memory = true;
  inMemory.password = "pw";
  EXPECT_EQ(ErrorOf([&] { t.ConnectDataset(&inMemory); }),
            "TVellDataManager.ConnectDataset - Cannot open dataset in both InMemory and other modes.");
  wrong.password = "nope";
  EXPECT_EQ(ErrorOf([&] { t.ConnectDataset(&wrong); }),
            "TVellDataManager.ConnectDataset - Inavlid password for table \"T\"");
  EXPECT_EQ(t.Clients().size(), 2u);
  EXPECT_FALSE(t.DisconnectDataset(&first));
  EXPECT_TRUE(t.DisconnectDataset(&second));
  EXPECT_FALSE(t.IsOpen());
  EXPECT_EQ(ErrorOf([&] { t.DetectFileStoreMode(); }),
            "TVellDataManager.DetectFileStoreMode - there is no datasets, datasetList.count = 0");
  // A memory dataset alone uses the memory store, where the table is missing.
  EXPECT_EQ(t.ConnectDataset(&inMemory), otCannotOpenFiles);
  EXPECT_TRUE(t.Clients().empty());
  TPFSManager::Instance().Clear();
}

}  // namespace
}  // namespace kestro::test
