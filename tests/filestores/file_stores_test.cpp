#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "engine/common/exception.h"
#include "engine/filestores/pfs_manager.h"
#include "tests/support/error_of.h"
#include "tests/support/temp_dir.h"

namespace kestro::test {
namespace {

std::string ReadText(TAbstractFile& f) {
  std::string s(size_t(f.Size()), '\0');
  f.Seek(0, 0);
  f.ReadBuffer(s.data(), int64_t(s.size()));
  return s;
}

class FileStores : public ::testing::Test {
 protected:
  void TearDown() override { TPFSManager::Instance().Clear(); }
  TPFSManager& pfs_ = TPFSManager::Instance();
  TempDir dir_;
};

TEST_F(FileStores, MemoryStoreKeepsFilesWhileItLives) {
  bool ro = false;
  TAbstractPlainFileSystem* mem = pfs_.GetPFSHandle("MEMORY", "", dfmNormal, true, ro, fsmMemory);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(pfs_.GetPFSHandle("memory", "", dfmNormal, true, ro, fsmMemory), mem);
  EXPECT_EQ(ErrorOf([&] { mem->OpenFile("List.dat", false, false, false); }),
            "TMemoryFile.Open - File cannot be open, only creation is available.");
  TAbstractFile* f = mem->OpenFile("List.dat", true, false, false);
  f->WriteBuffer("abc", 3);
  mem->CloseFile(f);
  TAbstractFile* again = mem->OpenFile("LIST.DAT", false, false, false);
  EXPECT_EQ(again, f);
  EXPECT_EQ(ReadText(*again), "abc");
  EXPECT_EQ(mem->OpenFile("List.dat", true, false, false), f);  // created again: emptied
  EXPECT_EQ(f->Size(), 0);
  mem->OpenFile("List.idx", true, false, false);
  mem->OpenFile("Cat.dat", true, false, false);
  EXPECT_EQ(mem->ListTables(".DAT"), (std::vector<std::string>{"Cat", "List"}));
  EXPECT_TRUE(mem->RenameFile("Cat.dat", "Dog.dat"));
  EXPECT_TRUE(mem->FileExists("dog.dat"));
  EXPECT_TRUE(mem->DeleteFile("Dog.dat"));
  EXPECT_FALSE(mem->FileExists("Dog.dat"));
}

TEST_F(FileStores, DirectoryStoreWorksOnDiskFiles) {
  bool ro = false;
  TAbstractPlainFileSystem* d = pfs_.GetPFSHandle(dir_.Dir().string(), "", dfmNormal, false, ro, fsmDirectory);
  ASSERT_NE(d, nullptr);
  TAbstractFile* f = d->OpenFile("T.dat", true, false, false);
  f->WriteBuffer("disk", 4);
  f->Seek(2, 0);
  f->Write("", 0);  // truncates at the position
  EXPECT_EQ(f->Size(), 2);
  EXPECT_EQ(ErrorOf([&] { d->OpenFile("T.dat", false, false, false); }),
            "TDiskPlainFileSystem.OpenFile - File \"" + dir_.Path("T.dat") + "\" is already open.");
  d->CloseFile(f);
  EXPECT_TRUE(d->FileExists("T.dat"));
  EXPECT_EQ(d->ListTables(".dat"), std::vector<std::string>{"T"});
  EXPECT_EQ(ErrorOf([&] { d->OpenFile("none.dat", false, false, false); }),
            "Cannot open file \"" + dir_.Path("none.dat") + "\"");
  // A read-only file on disk opens read-only.
  ::chmod(dir_.Path("T.dat").c_str(), 0444);
  if (::geteuid() != 0) {
    TAbstractFile* r = d->OpenFile("T.dat", false, false, false);
    EXPECT_TRUE(r->ReadOnly());
    d->CloseFile(r);
  }
  EXPECT_TRUE(d->RenameFile("T.dat", "U.dat"));
  EXPECT_TRUE(d->DeleteFile("U.dat"));
}

TEST_F(FileStores, TemporaryStoreFilesLeaveNothingOnDisk) {
  bool ro = false;
  TAbstractPlainFileSystem* t = pfs_.GetPFSHandle(dir_.Dir().string(), "", dfmNormal, false, ro, fsmTemporary);
  TAbstractFile* f = t->OpenFile("@TABLE1.dat", true, false, false);
  f->WriteBuffer("tmp", 3);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Dir()));  // unlinked at creation
  t->CloseFile(f);
  EXPECT_EQ(t->OpenFile("@TABLE1.dat", false, false, false), f);
  EXPECT_EQ(ReadText(*f), "tmp");
  EXPECT_EQ(t->ListTables(".dat"), std::vector<std::string>{"@TABLE1"});
  EXPECT_TRUE(t->DeleteFile("@TABLE1.dat"));
  EXPECT_FALSE(t->FileExists("@TABLE1.dat"));
}

TEST_F(FileStores, ContainerStoreCreatesOpensAndReleases) {
  const std::string db = dir_.Path("Kestro.kvb");
  bool ro = false;
  EXPECT_EQ(pfs_.GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer), nullptr);  // no file
  ASSERT_TRUE(pfs_.CreateDatabase(db, "", dfmNormal, false));
  EXPECT_EQ(std::filesystem::file_size(db), 536u);
  TAbstractPlainFileSystem* s = pfs_.GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(ro);
  EXPECT_EQ(pfs_.GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer), s);
  TAbstractFile* f = s->OpenFile("Res.dat", true, false, false);
  f->WriteBuffer("rows", 4);
  EXPECT_EQ(ErrorOf([&] { s->OpenFile("res.dat", false, false, false); }),
            "TVSFSPlainFileSystem.OpenFile - File \"res.dat\" is already open.");
  f->SetReadOnly(true);  // reopens at the same position
  EXPECT_EQ(f->Position(), 4);
  EXPECT_EQ(f->Write("x", 1), 0);
  s->CloseFile(f);
  s->OpenFile("Res.idx", true, false, false);
  s->OpenFile("Cat.dat", true, false, false);
  EXPECT_EQ(s->ListTables(".dat"), (std::vector<std::string>{"Cat", "Res"}));
  pfs_.Release(db);

  // Read-only on disk: the store opens read-only without error.
  ::chmod(db.c_str(), 0444);
  ro = false;
  TAbstractPlainFileSystem* r = pfs_.GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(ro);
  EXPECT_TRUE(r->ReadOnly());
  EXPECT_EQ(ReadText(*r->OpenFile("Res.dat", false, false, false)), "rows");
  EXPECT_EQ(ErrorOf([&] { pfs_.GetPFSHandle(db, "", dfmNormal, false, ro, TFileStoreMode(9)); }),
            "TPFSManager.GetPFSHandle - Unsuuported file store mode.");
}

TEST_F(FileStores, AFileInUseOpensReadOnlyInAnotherProcess) {
  const std::string db = dir_.Path("shared.kvb");
  ASSERT_TRUE(pfs_.CreateDatabase(db, "", dfmNormal, false));
  bool ro = false;
  TAbstractPlainFileSystem* s = pfs_.GetPFSHandle(db, "", dfmNormal, false, ro, fsmContainer);
  ASSERT_FALSE(ro);
  TAbstractFile* f = s->OpenFile("T.dat", true, false, false);
  f->WriteBuffer("mine", 4);
  f->Flush();
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 0;
    try {
      TPFSManager::Instance().Clear();  // the child's copy of the registry
      bool childRo = false;
      TAbstractPlainFileSystem* c =
          TPFSManager::Instance().GetPFSHandle(db, "", dfmNormal, false, childRo, fsmContainer);
      if (c == nullptr) code = 1;
      else if (!childRo) code = 2;
      else if (ReadText(*c->OpenFile("T.dat", false, false, false)) != "mine") code = 3;
    } catch (...) {
      code = 4;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kestro::test
