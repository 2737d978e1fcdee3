#include "engine/dataset/database.h"

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/common/exception.h"
#include "engine/common/vtbl_exception.h"
#include "engine/filestores/pfs_manager.h"

#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

// A dataset stand-in: the handle only needs these.
struct FakeDataset : TVellDatasetLink {
  TVellDatabase* db = nullptr;
  bool active = true, readOnly = false, inMemory = false;
  int closed = 0;
  void CloseDataset() override {
    active = false;
    ++closed;
  }
  bool DatasetActive() const override { return active; }
  bool ReadOnly() const override { return readOnly; }
  void SetReadOnly(bool v) override { readOnly = v; }
  bool InMemory() const override { return inMemory; }
  TVellDatabase* Database() const override { return db; }
};

class Databases : public ::testing::Test {
 protected:
  void TearDown() override { TPFSManager::Instance().Clear(); }
  TempDir dir_;
};

TEST_F(Databases, TheDefaultSessionComesFirst) {
  TVellSessionList& list = TVellSessionList::Instance();
  EXPECT_EQ(list.DefaultSession().SessionName(), "Default");
  EXPECT_EQ(list.FindSession(""), &list.DefaultSession());
  EXPECT_EQ(list.FindSession("default"), &list.DefaultSession());
  EXPECT_EQ(list.FindSession("nope"), nullptr);
  EXPECT_EQ(ErrorOf([&] { list.GetSession("nope"); }),
            "Invalid session name 'nope' - Native error: 01072");
}

TEST_F(Databases, ConnectingToAMissingFileCreatesIt) {
  const std::string file = dir_.Path("Kestro.kvb");
  TVellDatabase db("EDb");
  db.SetDatabaseName("Res");
  db.SetDatabaseFileName(file);
  db.SetConnected(true);
  EXPECT_TRUE(db.Connected());
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(file), 536u);
  EXPECT_FALSE(db.ReadOnly());
  ASSERT_NE(db.Handle(), nullptr);
  EXPECT_EQ(db.Handle()->StoreMode(), smContainer);
  EXPECT_NE(db.Handle()->GetFileStore(), nullptr);
  db.SetConnected(false);
  EXPECT_FALSE(db.Connected());
  // Closed: the file can be replaced on disk.
  std::filesystem::remove(file);
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(Databases, ObjectsOnOneFileShareAHandle) {
  TVellDatabase res("EDb"), res2("EDb2"), other("EDb3");
  res.SetDatabaseName("Res");
  res.SetDatabaseFileName(dir_.Path("a.kvb"));
  res2.SetDatabaseName("Res2");
  res2.SetDatabaseFileName(dir_.Path("a.kvb"));
  other.SetDatabaseName("Other");
  other.SetDatabaseFileName(dir_.Path("b.kvb"));
  res.Open();
  res2.Open();
  other.Open();
  EXPECT_EQ(res.Handle(), res2.Handle());
  EXPECT_NE(res.Handle(), other.Handle());
  EXPECT_EQ(res.Handle()->Databases().size(), 2u);
  res.Close();
  EXPECT_NE(res2.Handle(), nullptr);
  res2.Close();
  other.Close();
}

TEST_F(Databases, MemoryKeepsItsTablesAfterDisconnection) {
  {
    TVellDatabase mem("EMem");
    mem.SetDatabaseName("MEMORY");
    mem.Open();
    EXPECT_EQ(mem.Handle()->StoreMode(), smMemory);
    TAbstractPlainFileSystem* store = mem.Handle()->GetFileStore();
    ASSERT_NE(store, nullptr);
    store->OpenFile("List.dat", true, false, false)->WriteBuffer("rows", 4);
  }
  TVellDatabase again("EMem2");
  again.SetDatabaseName("memory");
  again.Open();
  EXPECT_TRUE(again.Handle()->GetFileStore()->FileExists("List.dat"));
}

TEST_F(Databases, ReadOnlyFilesConnectReadOnly) {
  const std::string file = dir_.Path("ro.kvb");
  {
    TVellDatabase db("EDb");
    db.SetDatabaseName("Res");
    db.SetDatabaseFileName(file);
    db.Open();
  }
  ::chmod(file.c_str(), 0444);
  TVellDatabase db("EDb");
  db.SetDatabaseName("Res");
  db.SetDatabaseFileName(file);
  db.Open();
  EXPECT_TRUE(db.ReadOnly());
  EXPECT_TRUE(db.Handle()->ReadOnly());
  FakeDataset ds;
  ds.db = &db;
  db.Handle()->AddDataset(&ds);
  EXPECT_TRUE(ds.readOnly);  // every dataset on it becomes read-only
  db.Handle()->RemoveDataset(&ds);
  EXPECT_EQ(ds.closed, 1);
}

TEST_F(Databases, CodesAndMessages) {
  TVellDatabase db("EDb");
  EXPECT_EQ(ErrorOf([&] { db.Open(); }), "EDb: Database name missing - Native error: 01081");
  db.SetDatabaseName("Res");
  db.SetDatabaseFileName(dir_.Path("c.kvb"));
  db.Open();
  EXPECT_EQ(ErrorOf([&] { db.SetDatabaseName("X"); }),
            "EDb: Cannot perform this operation on an open database - Native error: 01080");
  EXPECT_EQ(ErrorOf([&] { db.SetInMemory(true); }),
            "EDb: Cannot perform this operation on an open database - Native error: 01080");
  TVellDatabase dup("EDbDup");
  dup.SetDatabaseFileName(dir_.Path("c.kvb"));
  EXPECT_EQ(ErrorOf([&] { dup.SetDatabaseName("Res"); }),
            "EDbDup: Duplicate database name 'Res' - Native error: 01082");
  TVellDatabase mem("EDbMem");
  mem.SetDatabaseName("ResMem");
  mem.SetDatabaseFileName(dir_.Path("c.kvb"));
  mem.SetInMemory(true);
  EXPECT_EQ(ErrorOf([&] { mem.Open(); }),
            "TVellDatabaseManager.ConnectDatabase - database is already open with other in-memory "
            "mode value.");
  EXPECT_FALSE(mem.Connected());

  TVellDatabase missing("EDbMissing");
  missing.SetDatabaseName("M");
  missing.SetDatabaseFileName(dir_.Path("no/such/dir/x.kvb"));
  EXPECT_EQ(ErrorOf([&] { missing.Open(); }),
            "TVellDatabaseManager.CreateDatabase - Cannot create database file \"" +
                dir_.Path("no/such/dir/x.kvb") + "\" as the directory \"" +
                dir_.Path("no/such/dir") + "\" does not exist");
  EXPECT_FALSE(missing.Connected());
  TVellDatabase folder("EDbDir");
  folder.SetDatabaseName(dir_.Path("absent"));
  EXPECT_EQ(ErrorOf([&] { folder.Open(); }),
            "TVellDatabase.Open - Directory \"" + dir_.Path("absent") + "\" doesn't exist.");
  TVellDatabase blank("EDbBlank");
  EXPECT_EQ(ErrorOf([&] { blank.CreateDatabase(""); }), "DatabaseFileName property is blank.");
  EXPECT_EQ(ErrorOf([&] { db.CreateDatabase(dir_.Path("d.kvb")); }),
            "CreateDatabase error. Database is connected.");

  // A wrong password on an encrypted file.
  ASSERT_TRUE(TPFSManager::Instance().CreateDatabase(dir_.Path("enc.kvb"), "pw", dfmNormal, false));
  TVellDatabase enc("EDbEnc");
  enc.SetDatabaseName("Enc");
  enc.SetDatabaseFileName(dir_.Path("enc.kvb"));
  enc.SetPassword("wrong");
  EXPECT_EQ(ErrorOf([&] { enc.Open(); }),
            "TVellDatabase.Open - Invalid password or corrupted database file.");
  EXPECT_FALSE(enc.Connected());
  enc.SetPassword("pw");
  enc.Open();
  EXPECT_TRUE(enc.Encrypted());
}

TEST_F(Databases, SessionsTheirNamesAndTemporaryDatabases) {
  int owner = 0;
  TVellSession s("Session1", &owner);
  s.SetSessionName("Mine");
  TVellSessionList::Instance().DefaultSession().SetActive(true);
  EXPECT_EQ(ErrorOf([&] { TVellSessionList::Instance().DefaultSession().SetSessionName("Mine"); }),
            "Session: Cannot perform this operation on an active session - Native error: 01073");
  TVellSession clash("Session2");
  EXPECT_EQ(ErrorOf([&] { clash.SetSessionName("mine"); }),
            "Session2: Duplicate session name 'mine' - Native error: 01075");
  EXPECT_EQ(ErrorOf([&] { clash.SetActive(true); }),
            "Session2: Session name missing - Native error: 01076");
  s.SetSessionName("");
  s.SetAutoSessionName(true);
  EXPECT_EQ(s.SessionName(), "Session1_1");
  EXPECT_EQ(
      ErrorOf([&] { s.SetSessionName("x"); }),
      "Session1: Cannot modify SessionName while AutoSessionName is enabled - Native error: 01074");
  EXPECT_EQ(ErrorOf([&] { TVellSession beside("Session3", &owner); }),
            "Cannot add a session to the form or data-module while session 'Session1' has "
            "AutoSessionName "
            "enabled - Native error: 01079");
  s.SetAutoSessionName(false);

  // A dataset naming no database object gets a temporary one.
  TVellSession& def = TVellSessionList::Instance().DefaultSession();
  def.SetKeepConnections(false);
  TVellDatabase* temp = def.OpenDatabase("", dir_.Path("t.kvb"), nullptr);
  EXPECT_TRUE(temp->Temporary());
  EXPECT_TRUE(temp->Connected());
  EXPECT_EQ(temp->RefCount(), 1);
  def.CloseDatabase(temp);  // gone: KeepConnections is off
  EXPECT_EQ(def.FindDatabase("", dir_.Path("t.kvb")), nullptr);
  def.SetKeepConnections(true);
}

}  // namespace
}  // namespace kestro::test

namespace kestro::test {
namespace {

TEST_F(Databases, MemoryCopiesOfStoreFiles) {
  TVellDatabase db("EDb");
  db.SetDatabaseName("Res");
  db.SetDatabaseFileName(dir_.Path("copies.kvb"));
  db.Open();
  TVellDatabaseManager* h = db.Handle();
  TAbstractFile* disk = h->OpenFile("List.dat", true, false);
  disk->WriteBuffer("on disk", 7);
  h->GetFileStore()->CloseFile(disk);
  // Opened in memory: a copy of the file of the database's own store.
  TAbstractFile* mem = h->OpenFile("List.dat", false, false, smMemory);
  std::string text(7, '\0');
  mem->ReadBuffer(text.data(), 7);
  EXPECT_EQ(text, "on disk");
  mem->Seek(0, 0);
  mem->WriteBuffer("changed", 7);
  h->SaveMemoryCopy("List.dat");
  TAbstractFile* back = h->OpenFile("List.dat", false, true);
  std::string saved(7, '\0');
  back->ReadBuffer(saved.data(), 7);
  EXPECT_EQ(saved, "changed");
  h->GetFileStore()->CloseFile(back);
}

}  // namespace
}  // namespace kestro::test
