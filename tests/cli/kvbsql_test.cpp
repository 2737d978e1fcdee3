// kvbsql driven as a new user would: as a process, with arguments and
// standard input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/temp_dir.h"

#ifndef KVBSQL_PATH
#error "KVBSQL_PATH names the kvbsql binary"
#endif

namespace kestro::test {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Result {
  int status = -1;
  std::string out, err;
};

class KvbsqlTest : public ::testing::Test {
 protected:
  // Runs kvbsql with `args` (shell-quoted by the caller) and `input` on
  // standard input, in a fixed locale.
  Result Run(const std::string& args, const std::string& input = {}) {
    const std::string in = dir_.Path("stdin.txt"), err = dir_.Path("stderr.txt");
    WriteText(in, input);
    const std::string cmd = "LC_ALL=C.UTF-8 " + std::string(KVBSQL_PATH) + " " + args + " < " + in + " 2> " + err;
    Result r;
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int raw = ::pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = ReadText(err);
    return r;
  }
  std::string Db() { return dir_.Path("test.kvb"); }

  TempDir dir_;
};

TEST_F(KvbsqlTest, ANewUserCreatesInsertsAndSelects) {
  Result r = Run(Db() + " \"Create Table T (Id autoinc, Name string(20), N integer, Primary Key (Id))\"");
  EXPECT_EQ(r.status, 0) << r.err;
  r = Run(Db(), "Insert Into T (Name, N) Values ('first', 1);\nInsert Into T (Name, N) Values ('a,\"b', 2);\n");
  EXPECT_EQ(r.status, 0) << r.err;
  r = Run(Db() + " \"Select * From T\"");
  EXPECT_EQ(r.out, "first|1|1\na,\"b|2|2\n");  // the table's own field order
  r = Run("--mode csv --header " + Db() + " \"Select Name, N From T\"");
  EXPECT_EQ(r.out, "Name,N\nfirst,1\n\"a,\"\"b\",2\n");
  r = Run("--mode table " + Db() + " \"Select Id, Name From T Where N=1\"");
  EXPECT_EQ(r.out, "+----+-------+\n| Id | Name  |\n+----+-------+\n| 1  | first |\n+----+-------+\n");
  r = Run("--mode json --null nil " + Db() + " \"Select Id, Name From T Where N=1\"");
  EXPECT_EQ(r.out, "[\n{\"Id\":1,\"Name\":\"first\"}\n]\n");
  r = Run("--null '<null>' " + Db() + " \"Update T Set Name=NULL Where N=2\" \"Select Name From T Where N=2\"");
  EXPECT_EQ(r.out, "1 row affected\n<null>\n");
}

TEST_F(KvbsqlTest, ErrorsGiveTheEnginesMessageAndStatus) {
  Run(Db() + " \"Create Table T (N integer)\"");
  Result r = Run(Db() + " \"Selec * From T\"");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "SQL token expected, but 'Selec' found at line 1, column 1 - Native error: 01059\n");
  // From standard input the first failure stops the script.
  r = Run(Db(), "Insert Into T (N) Values (1);\nSelect * From Nope;\nInsert Into T (N) Values (2);\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Native error: 00004"), std::string::npos);
  EXPECT_EQ(Run(Db() + " \"Select Count(*) From T\"").out, "1\n");
  EXPECT_EQ(Run("--nope " + Db()).status, 2);
  EXPECT_EQ(Run("").status, 2);
  EXPECT_EQ(Run(dir_.Path("") + " \"Select 1\"").status, 2);  // a directory
  EXPECT_EQ(Run("--version").status, 0);
}

TEST_F(KvbsqlTest, StandardInputRunsStatementsAsTheyComplete) {
  const std::string script =
      "Create Table T (N integer,\n  S string(10));\n"
      "Insert Into T (N, S) Values (1, 'a;b'); -- a comment; with a semicolon\n"
      "Insert Into T (N, S) /* ; */ Values (2, 'c');\n"
      ".mode csv\n"
      "Select S From T\n"
      "  Where N = 1;\n"
      "Select Count(*) From T";
  const Result r = Run(Db(), script);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "a;b\n2\n");
}

TEST_F(KvbsqlTest, SchemaDumpAndCheck) {
  Run(Db() + " \"Create Table T (Id autoinc, S string(20) not null, F float, M memo, Primary Key (Id))\"" +
      " \"Create Index iS ON T (S DESC NOCASE)\"" + " \"Insert Into T (S, F, M) Values ('it''s', 0.5, 'two\nlines')\"");
  Result r = Run(Db() + " .schema");
  EXPECT_EQ(r.out,
            "CREATE TABLE T (\n  S STRING(20) NOT NULL,\n  F FLOAT,\n  M MEMO,\n  Id AUTOINC,\n  PRIMARY KEY (Id)\n);\n"
            "CREATE INDEX iS ON T (S DESC NOCASE);\n");
  EXPECT_EQ(Run(Db() + " .tables").out, "T\n");
  // Dump, load into a new file, dump again: the same text.
  const Result first = Run(Db() + " .dump");
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string copy = dir_.Path("copy.kvb");
  const Result load = Run(copy, first.out);
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_EQ(Run(copy + " .dump").out, first.out);

  r = Run("--check " + Db());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ok\n");
  // Damage one data page of the table: the check names it.
  std::string bytes = ReadText(Db());
  bool damaged = false;
  for (size_t at = bytes.size() / 2; at + 64 < bytes.size() && !damaged; at += 512) {
    std::string broken = bytes;
    broken[at] ^= 0x5A;
    WriteText(copy, broken);
    r = Run("--check " + copy);
    damaged = r.status == 1 && r.out.find("fails its check") != std::string::npos;
  }
  EXPECT_TRUE(damaged) << r.out;
}

}  // namespace
}  // namespace kestro::test
