// kvbsql: a command-line shell for .kvb database files.
//
//   kvbsql [options] FILE [SQL ...]
//
// Each SQL argument runs whole as one script. Otherwise statements come from
// standard input (cut at the semicolons the engine's lexer finds, each run
// as soon as it is complete) or from an interactive prompt.
#pragma once

#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace kestro {

class TDataSet;
class TVellDatabase;

enum class TOutputMode { Table, List, Csv, Tsv, Json };

class TKvbShell {
 public:
  TKvbShell(std::FILE* out, std::FILE* err);
  ~TKvbShell();
  // The whole program: 0 when everything ran, 1 when a statement failed,
  // 2 for usage errors or a file that cannot be opened.
  int Main(int argc, char** argv);

 private:
  bool ParseOptions(int argc, char** argv, int& status);
  bool OpenDatabase();
  // Runs one script (one or more statements); false when it failed.
  bool RunScript(const std::string& sql);
  // A dot-command line; false when it failed. Sets quit_ for .quit.
  bool RunDotCommand(const std::string& line);
  // Feeds statements from a stream; stops at the first failure when `bail`.
  bool RunStream(std::istream& in, bool bail);
  bool RunInteractive();
  void PrintResult(TDataSet& ds);
  std::string Cell(TDataSet& ds, size_t field);
  void PrintHelp();
  void PrintUsage(std::FILE* to);
  bool Tables(std::vector<std::string>& names);
  std::string Schema(const std::string& table, bool withLastAutoInc);
  bool Dump(const std::string& table);
  void Error(const std::string& message);

  std::FILE* out_;
  std::FILE* err_;
  std::string file_;
  std::vector<std::string> scripts_;
  std::string password_, newPassword_;
  bool passwordGiven_ = false;
  bool readOnly_ = false;
  TOutputMode mode_ = TOutputMode::List;
  bool modeGiven_ = false;
  int header_ = -1;  // -1: the mode's default
  std::string null_;
  int fileMode_ = 1;  // TDatabaseFileMode
  bool timer_ = false;
  bool quit_ = false;
  bool check_ = false;
  std::unique_ptr<TVellDatabase> db_;
};

}  // namespace kestro
