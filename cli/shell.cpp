#include "cli/shell.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <histedit.h>
#include <termios.h>
#include <unistd.h>

#include "engine/common/field_types.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/container/single_file_system.h"
#include "engine/dataset/database.h"
#include "engine/dataset/vell_table.h"
#include "engine/query/vell_query.h"
#include "engine/sql/lexer.h"
#include "engine/tables/table_format.h"

#include "cli/integrity_check.h"

namespace kestro {
namespace {

constexpr const char* kVersion = "kvbsql 0.1 (engine 5.40)";

std::string Trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return std::string(s.substr(a, b - a));
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseMode(const std::string& name, TOutputMode& mode) {
  const std::string n = Lower(name);
  if (n == "table")
    mode = TOutputMode::Table;
  else if (n == "list")
    mode = TOutputMode::List;
  else if (n == "csv")
    mode = TOutputMode::Csv;
  else if (n == "tsv")
    mode = TOutputMode::Tsv;
  else if (n == "json")
    mode = TOutputMode::Json;
  else
    return false;
  return true;
}

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

// An SQL literal that reads back as the same value.
std::string SqlLiteral(const TVTblValue& v) {
  if (v.isNull) return "NULL";
  auto quoted = [](const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  };
  switch (v.type) {
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
      return std::to_string(v.i);
    case ftLargeInt:
      return quoted(std::to_string(v.i));  // beyond a 32-bit literal
    case ftBoolean:
      return v.i ? "TRUE" : "FALSE";
    case ftFloat:
    case ftCurrency:
    case ftBCD: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.f);
      std::string s = buf;
      if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
      return s;
    }
    case ftString:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo:
      return quoted(v.type == ftWideString ? v.Text() : v.s);
    default:
      return quoted(ValueToText(v));
  }
}

std::string TypeText(uint8_t type, int32_t size) {
  for (const auto& t : kSqlTypeNames)
    if (t.code == type) {
      std::string name = t.sqlName;
      if (type == ftString || type == ftBytes || type == ftWideString)
        name += "(" + std::to_string(size) + ")";
      return name;
    }
  return "STRING(" + std::to_string(size) + ")";
}

std::string Name(const std::string& n) {
  const bool plain = !n.empty() && std::all_of(n.begin(), n.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  }) && !std::isdigit(static_cast<unsigned char>(n[0]));
  return plain ? n : "[" + n + "]";
}

// The last command of a script starts with this keyword (upper-cased).
std::string LastKeyword(const std::string& sql) {
  const TVellLexer::TSplit split = TVellLexer::Split(sql);
  size_t start = 0;
  for (size_t end : split.semicolons)
    if (!Trim(sql.substr(end + 1)).empty()) start = end + 1;
  std::string word;
  for (size_t i = start; i < sql.size(); ++i) {
    const char c = sql[i];
    if (std::isalpha(static_cast<unsigned char>(c)))
      word += char(std::toupper(static_cast<unsigned char>(c)));
    else if (!word.empty())
      break;
  }
  return word;
}

std::string ReadPassword(const char* prompt) {
  std::fprintf(stderr, "%s", prompt);
  std::fflush(stderr);
  termios old{};
  const bool tty = ::tcgetattr(STDIN_FILENO, &old) == 0;
  if (tty) {
    termios quiet = old;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (tty) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::fprintf(stderr, "\n");
  }
  return line;
}

}  // namespace

TKvbShell::TKvbShell(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

TKvbShell::~TKvbShell() {
  if (db_) {
    try {
      db_->Close();
    } catch (...) {
    }
  }
}

void TKvbShell::Error(const std::string& message) {
  std::fprintf(err_, "%s\n", message.c_str());
  std::fflush(err_);
}

void TKvbShell::PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "Usage: kvbsql [options] FILE [SQL ...]\n"
               "Runs SQL against a Kestro database file (.kvb); a missing file is created empty.\n"
               "Each SQL argument runs as one script; without any, statements are read from\n"
               "standard input, or from a prompt on a terminal.\n\n"
               "Options:\n"
               "  --password TEXT       password of an encrypted file (asked for when needed)\n"
               "  --new-password TEXT   encrypt a file that is being created\n"
               "  --read-only           open the file read-only\n"
               "  --mode MODE           table, list, csv, tsv or json output\n"
               "  --header, --no-header show or hide column names\n"
               "  --null TEXT           how NULL prints (empty by default)\n"
               "  --file-mode MODE      compact, normal or large pages for a new file\n"
               "  --check               check the file's integrity and exit\n"
               "  --version, --help\n");
}

void TKvbShell::PrintHelp() {
  std::fprintf(out_,
               ".check              check the integrity of the database file\n"
               ".dump ?TABLE?       SQL text that recreates the database (or one table)\n"
               ".headers on|off     show or hide column names\n"
               ".help               this text\n"
               ".indexes TABLE      the indexes of a table\n"
               ".mode MODE          table, list, csv, tsv or json\n"
               ".nullvalue TEXT     how NULL prints\n"
               ".quit               leave\n"
               ".read FILE          run the statements of a file\n"
               ".schema ?TABLE?     CREATE statements of the tables\n"
               ".tables             the tables of the database\n"
               ".timer on|off       time each statement\n");
}

bool TKvbShell::ParseOptions(int argc, char** argv, int& status) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.size() > 2 && a[0] == '-' && a[1] != '-') a = "-" + a;  // -header works as --header
    auto value = [&](std::string& to) {
      if (i + 1 >= argc) {
        Error("kvbsql: " + a + " needs a value");
        status = 2;
        return false;
      }
      to = argv[++i];
      return true;
    };
    if (a == "--help") {
      PrintUsage(out_);
      status = 0;
      return false;
    } else if (a == "--version") {
      std::fprintf(out_, "%s\n", kVersion);
      status = 0;
      return false;
    } else if (a == "--password") {
      if (!value(password_)) return false;
      passwordGiven_ = true;
    } else if (a == "--new-password") {
      if (!value(newPassword_)) return false;
    } else if (a == "--read-only" || a == "--readonly") {
      readOnly_ = true;
    } else if (a == "--mode") {
      std::string m;
      if (!value(m)) return false;
      if (!ParseMode(m, mode_)) {
        Error("kvbsql: unknown mode '" + m + "' (table, list, csv, tsv or json)");
        status = 2;
        return false;
      }
      modeGiven_ = true;
    } else if (a == "--header" || a == "--headers") {
      header_ = 1;
    } else if (a == "--no-header" || a == "--noheader") {
      header_ = 0;
    } else if (a == "--null" || a == "--nullvalue") {
      if (!value(null_)) return false;
    } else if (a == "--file-mode") {
      std::string m;
      if (!value(m)) return false;
      m = Lower(m);
      fileMode_ = m == "compact" ? 0 : m == "normal" ? 1 : m == "large" ? 2 : -1;
      if (fileMode_ < 0) {
        Error("kvbsql: unknown file mode '" + m + "' (compact, normal or large)");
        status = 2;
        return false;
      }
    } else if (a == "--check") {
      check_ = true;
    } else if (a == "--bail") {
      // Reading from a file or standard input always stops at the first failure.
    } else if (a.size() > 1 && a[0] == '-') {
      Error("kvbsql: unknown option " + a);
      PrintUsage(err_);
      status = 2;
      return false;
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.empty()) {
    PrintUsage(err_);
    status = 2;
    return false;
  }
  file_ = positional[0];
  scripts_.assign(positional.begin() + 1, positional.end());
  return true;
}

bool TKvbShell::OpenDatabase() {
  const bool exists = std::filesystem::exists(file_);
  if (exists && std::filesystem::is_directory(file_)) {
    Error("kvbsql: " + file_ + " is a directory");
    return false;
  }
  if (exists && !passwordGiven_ && TVSingleFileSystem::IsFileEncrypted(file_)) {
    if (::isatty(STDIN_FILENO)) {
      password_ = ReadPassword("Password: ");
    } else {
      Error("kvbsql: " + file_ + " is encrypted: give --password");
      return false;
    }
  }
  db_ = std::make_unique<TVellDatabase>("kvbsql");
  db_->SetDatabaseName("kvbsql");
  db_->SetHandleShared(true);
  db_->SetDatabaseFileMode(TDatabaseFileMode(fileMode_));
  db_->SetPassword(exists ? password_ : newPassword_);
  db_->SetReadOnly(readOnly_);
  try {
    db_->SetDatabaseFileName(file_);
    db_->SetConnected(true);
  } catch (const std::exception& e) {
    Error(std::string("kvbsql: cannot open ") + file_ + ": " + e.what());
    return false;
  }
  return true;
}

std::string TKvbShell::Cell(TDataSet& ds, size_t i) {
  TField& f = ds.Fields(i);
  if (f.IsNull()) return null_;
  if (f.DataType() == ftBlob || f.DataType() == ftGraphic)
    return "(blob, " + std::to_string(f.Value().s.size()) + " bytes)";
  return f.AsString();
}

void TKvbShell::PrintResult(TDataSet& ds) {
  std::vector<size_t> fields;
  for (size_t i = 0; i < ds.FieldCount(); ++i)
    if (ds.Fields(i).Visible()) fields.push_back(i);
  const bool header = header_ >= 0 ? header_ == 1 : mode_ == TOutputMode::Table;
  std::vector<std::string> names;
  for (size_t i : fields) names.push_back(ds.Fields(i).FieldName());
  if (mode_ == TOutputMode::Table) {
    std::vector<std::vector<std::string>> rows;
    std::vector<size_t> width(fields.size(), 0);
    for (size_t k = 0; k < fields.size(); ++k) width[k] = header ? Utf8Length(names[k]) : 0;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      std::vector<std::string> row;
      for (size_t k = 0; k < fields.size(); ++k) {
        row.push_back(Cell(ds, fields[k]));
        width[k] = std::max(width[k], Utf8Length(row.back()));
      }
      rows.push_back(std::move(row));
    }
    std::string rule = "+";
    for (size_t w : width) rule += std::string(w + 2, '-') + "+";
    auto line = [&](const std::vector<std::string>& cells) {
      std::string s = "|";
      for (size_t k = 0; k < cells.size(); ++k)
        s += " " + cells[k] + std::string(width[k] - Utf8Length(cells[k]), ' ') + " |";
      std::fprintf(out_, "%s\n", s.c_str());
    };
    std::fprintf(out_, "%s\n", rule.c_str());
    if (header) {
      line(names);
      std::fprintf(out_, "%s\n", rule.c_str());
    }
    for (const auto& r : rows) line(r);
    if (!rows.empty()) std::fprintf(out_, "%s\n", rule.c_str());
    return;
  }
  if (mode_ == TOutputMode::Json) {
    std::fprintf(out_, "[");
    bool first = true;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      std::string obj = "{";
      for (size_t k = 0; k < fields.size(); ++k) {
        TField& f = ds.Fields(fields[k]);
        obj += (k ? "," : "") + JsonString(names[k]) + ":";
        const TVTblValue v = f.Value();
        if (v.isNull)
          obj += "null";
        else if (IsIntegerType(v.type))
          obj += std::to_string(v.i);
        else if (v.type == ftBoolean)
          obj += v.i ? "true" : "false";
        else if ((v.type == ftFloat || v.type == ftCurrency) && std::isfinite(v.f)) {
          char buf[40];
          std::snprintf(buf, sizeof buf, "%.17g", v.f);
          obj += buf;
        } else {
          obj += JsonString(Cell(ds, fields[k]));
        }
      }
      std::fprintf(out_, "%s%s", first ? "\n" : ",\n", (obj + "}").c_str());
      first = false;
    }
    std::fprintf(out_, "%s]\n", first ? "" : "\n");
    return;
  }
  const char* sep = mode_ == TOutputMode::Csv ? "," : mode_ == TOutputMode::Tsv ? "\t" : "|";
  auto emit = [&](const std::vector<std::string>& cells) {
    std::string s;
    for (size_t k = 0; k < cells.size(); ++k)
      s += (k ? sep : "") + (mode_ == TOutputMode::Csv ? CsvField(cells[k]) : cells[k]);
    std::fprintf(out_, "%s\n", s.c_str());
  };
  if (header) emit(names);
  for (ds.First(); !ds.Eof(); ds.Next()) {
    std::vector<std::string> row;
    for (size_t i : fields) row.push_back(Cell(ds, i));
    emit(row);
  }
}

bool TKvbShell::RunScript(const std::string& sql) {
  if (Trim(sql).empty()) return true;
  const auto start = std::chrono::steady_clock::now();
  TVellQuery q;
  q.SetDatabaseName("kvbsql");
  q.SetParamCheck(false);
  bool ok = true;
  try {
    q.SetSQLText(sql);
    const std::string keyword = LastKeyword(sql);
    if (keyword == "SELECT" || keyword.empty()) {
      q.Open();
      PrintResult(q);
      q.Close();
    } else {
      q.ExecSQL();
      if (keyword == "UPDATE" || keyword == "DELETE")
        std::fprintf(out_, "%d row%s affected\n", q.RowsAffected(),
                     q.RowsAffected() == 1 ? "" : "s");
    }
  } catch (const std::exception& e) {
    Error(e.what());
    ok = false;
  }
  if (timer_) {
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(out_, "Run Time: %.6f s\n", s);
  }
  std::fflush(out_);
  return ok;
}

bool TKvbShell::Tables(std::vector<std::string>& names) {
  TAbstractPlainFileSystem* store =
      db_->Handle() != nullptr ? db_->Handle()->GetFileStore(0) : nullptr;
  if (store == nullptr) return false;
  names = store->ListTables(".dat");
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
  return true;
}

std::string TKvbShell::Schema(const std::string& table, bool withLastAutoInc) {
  TVellTable t;
  t.SetDatabaseName("kvbsql");
  t.SetTableName(table);
  t.SetReadOnly(true);
  t.Open();
  std::string text = "CREATE TABLE " + Name(table) + " (";
  bool first = true;
  for (const TFieldDef& d : t.FieldDefs()) {
    text +=
        std::string(first ? "\n  " : ",\n  ") + Name(d.name) + " " + TypeText(d.dataType, d.size);
    if (d.required) text += " NOT NULL";
    first = false;
  }
  std::vector<TVellIndexDef> others;
  for (const TVellIndexDef& ix : t.IndexDefs()) {
    if (ix.name.empty() || ix.name[0] == '@' || ix.name[0] == '$') continue;
    if ((ix.options & ixPrimary) != 0) {
      std::string fields, cur;
      for (char c : ix.fields + ";") {
        if (c == ';' || c == ',') {
          if (!Trim(cur).empty()) fields += (fields.empty() ? "" : ", ") + Name(Trim(cur));
          cur.clear();
        } else {
          cur += c;
        }
      }
      text += ",\n  PRIMARY KEY (" + fields + ")";
    } else {
      others.push_back(ix);
    }
  }
  const int32_t last = t.TableHandle()->Header().lastAutoInc;
  const bool visibleAutoInc =
      std::any_of(t.FieldDefs().begin(), t.FieldDefs().end(),
                  [](const TFieldDef& d) { return d.dataType == ftAutoInc; });
  if (withLastAutoInc && visibleAutoInc && last > 0)
    text += ",\n  LASTAUTOINC " + std::to_string(last);
  text += "\n);\n";
  for (const TVellIndexDef& ix : others) {
    text += std::string("CREATE ") + ((ix.options & ixUnique) ? "UNIQUE " : "") + "INDEX " +
            Name(ix.name) + " ON " + Name(table) + " (";
    std::string cur, cols;
    auto inList = [](const std::string& list, const std::string& name) {
      std::string item;
      for (char c : list + ";") {
        if (c == ';' || c == ',') {
          if (SameTextAscii(Trim(item), name)) return true;
          item.clear();
        } else {
          item += c;
        }
      }
      return false;
    };
    for (char c : ix.fields + ";") {
      if (c == ';' || c == ',') {
        const std::string f = Trim(cur);
        if (!f.empty()) {
          cols += (cols.empty() ? "" : ", ") + Name(f);
          if (inList(ix.descendingFields, f)) cols += " DESC";
          if (inList(ix.caseInsensitiveFields, f)) cols += " NOCASE";
        }
        cur.clear();
      } else {
        cur += c;
      }
    }
    text += cols + ");\n";
  }
  t.Close();
  return text;
}

bool TKvbShell::Dump(const std::string& only) {
  std::vector<std::string> names;
  if (!Tables(names)) return false;
  for (const std::string& table : names) {
    if (!only.empty() && !SameTextAscii(table, only)) continue;
    std::fprintf(out_, "%s", Schema(table, true).c_str());
    TVellTable t;
    t.SetDatabaseName("kvbsql");
    t.SetTableName(table);
    t.SetReadOnly(true);
    t.Open();
    std::string columns;
    std::vector<size_t> fields;
    for (size_t i = 0; i < t.FieldCount(); ++i) {
      const uint8_t type = t.Fields(i).DataType();
      if (type == ftBlob || type == ftGraphic) continue;  // binary values have no SQL literal
      columns += (columns.empty() ? "" : ", ") + Name(t.Fields(i).FieldName());
      fields.push_back(i);
    }
    for (t.First(); !t.Eof(); t.Next()) {
      std::string values;
      for (size_t i : fields)
        values += (values.empty() ? "" : ", ") + SqlLiteral(t.Fields(i).Value());
      std::fprintf(out_, "INSERT INTO %s (%s) VALUES (%s);\n", Name(table).c_str(), columns.c_str(),
                   values.c_str());
    }
    t.Close();
  }
  return true;
}

bool TKvbShell::RunDotCommand(const std::string& line) {
  std::istringstream in(line);
  std::string cmd, arg;
  in >> cmd;
  std::getline(in, arg);
  arg = Trim(arg);
  try {
    if (cmd == ".quit" || cmd == ".exit") {
      quit_ = true;
    } else if (cmd == ".help") {
      PrintHelp();
    } else if (cmd == ".tables") {
      std::vector<std::string> names;
      if (!Tables(names)) return false;
      for (const std::string& n : names) std::fprintf(out_, "%s\n", n.c_str());
    } else if (cmd == ".schema") {
      std::vector<std::string> names;
      if (!Tables(names)) return false;
      bool found = false;
      for (const std::string& n : names)
        if (arg.empty() || SameTextAscii(n, arg)) {
          std::fprintf(out_, "%s", Schema(n, false).c_str());
          found = true;
        }
      if (!found && !arg.empty()) {
        Error("Error: no such table: " + arg);
        return false;
      }
    } else if (cmd == ".indexes" || cmd == ".indices") {
      if (arg.empty()) {
        Error("Usage: .indexes TABLE");
        return false;
      }
      TVellTable t;
      t.SetDatabaseName("kvbsql");
      t.SetTableName(arg);
      t.SetReadOnly(true);
      t.Open();
      for (const TVellIndexDef& ix : t.IndexDefs())
        std::fprintf(out_, "%s (%s)%s\n", ix.name.c_str(), ix.fields.c_str(),
                     (ix.options & ixPrimary)  ? " primary"
                     : (ix.options & ixUnique) ? " unique"
                                               : "");
      t.Close();
    } else if (cmd == ".mode") {
      if (!ParseMode(arg, mode_)) {
        Error("Error: mode should be one of: table list csv tsv json");
        return false;
      }
    } else if (cmd == ".headers" || cmd == ".header") {
      header_ = Lower(arg) == "on" ? 1 : 0;
    } else if (cmd == ".nullvalue") {
      null_ = arg;
    } else if (cmd == ".timer") {
      timer_ = Lower(arg) == "on";
    } else if (cmd == ".read") {
      std::ifstream file(arg);
      if (!file) {
        Error("Error: cannot open \"" + arg + "\"");
        return false;
      }
      return RunStream(file, true);
    } else if (cmd == ".dump") {
      return Dump(arg);
    } else if (cmd == ".check") {
      db_->Close();
      const int problems = CheckDatabaseFile(file_, password_, out_);
      db_->SetConnected(true);
      return problems == 0;
    } else {
      Error("Error: unknown command: " + cmd + " (.help lists them)");
      return false;
    }
  } catch (const std::exception& e) {
    Error(e.what());
    return false;
  }
  std::fflush(out_);
  return true;
}

bool TKvbShell::RunStream(std::istream& in, bool bail) {
  std::string buffer, line;
  bool ok = true;
  while (!quit_ && std::getline(in, line)) {
    if (Trim(buffer).empty() && !Trim(line).empty() && Trim(line)[0] == '.') {
      buffer.clear();
      if (!RunDotCommand(Trim(line))) {
        ok = false;
        if (bail) return false;
      }
      continue;
    }
    buffer += line + "\n";
    const TVellLexer::TSplit split = TVellLexer::Split(buffer);
    if (split.semicolons.empty()) continue;
    size_t start = 0;
    for (size_t end : split.semicolons) {
      const std::string statement = buffer.substr(start, end - start);
      start = end + 1;
      if (!RunScript(statement)) {
        ok = false;
        if (bail) return false;
      }
    }
    buffer.erase(0, start);
  }
  if (!quit_ && !Trim(buffer).empty() && !RunScript(buffer)) ok = false;
  return ok;
}

bool TKvbShell::RunInteractive() {
  std::fprintf(out_, "%s. Enter \".help\" for instructions; end statements with \";\".\n",
               kVersion);
  const std::string historyFile = [] {
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) + "/.kvbsql_history" : std::string();
  }();
  EditLine* el = el_init("kvbsql", stdin, stdout, stderr);
  History* hist = history_init();
  HistEvent ev;
  history(hist, &ev, H_SETSIZE, 1000);
  if (!historyFile.empty()) history(hist, &ev, H_LOAD, historyFile.c_str());
  el_set(el, EL_HIST, history, hist);
  el_set(el, EL_EDITOR, "emacs");
  static bool continuation = false;
  el_set(
      el, EL_PROMPT, +[](EditLine*) -> char* {
        static char main[] = "kvbsql> ", more[] = "   ...> ";
        return continuation ? more : main;
      });
  std::string buffer;
  bool ok = true;
  while (!quit_) {
    int count = 0;
    const char* got = el_gets(el, &count);
    if (got == nullptr || count <= 0) break;
    std::string line(got);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!Trim(line).empty()) history(hist, &ev, H_ENTER, line.c_str());
    if (Trim(buffer).empty() && !Trim(line).empty() && Trim(line)[0] == '.') {
      ok = RunDotCommand(Trim(line)) && ok;
      continue;
    }
    buffer += line + "\n";
    const TVellLexer::TSplit split = TVellLexer::Split(buffer);
    size_t start = 0;
    for (size_t end : split.semicolons) {
      ok = RunScript(buffer.substr(start, end - start)) && ok;  // a prompt goes on after a failure
      start = end + 1;
    }
    buffer.erase(0, start);
    continuation = !Trim(buffer).empty();
  }
  if (!historyFile.empty()) history(hist, &ev, H_SAVE, historyFile.c_str());
  history_end(hist);
  el_end(el);
  return ok;
}

int TKvbShell::Main(int argc, char** argv) {
  TVellLocale::SetCurrent(TVellLocale::FromSystem());
  int status = 0;
  if (!ParseOptions(argc, argv, status)) return status;
  if (check_) {
    if (!std::filesystem::exists(file_)) {
      Error("kvbsql: " + file_ + " does not exist");
      return 2;
    }
    return CheckDatabaseFile(file_, password_, out_) == 0 ? 0 : 1;
  }
  if (!modeGiven_ && !::isatty(STDOUT_FILENO)) mode_ = TOutputMode::List;
  if (!modeGiven_ && ::isatty(STDOUT_FILENO)) mode_ = TOutputMode::Table;
  if (!OpenDatabase()) return 2;
  bool ok = true;
  if (!scripts_.empty()) {
    for (const std::string& s : scripts_) {
      if (!Trim(s).empty() && Trim(s)[0] == '.') {
        ok = RunDotCommand(Trim(s)) && ok;
      } else {
        ok = RunScript(s) && ok;
      }
      if (!ok) break;
    }
  } else if (!::isatty(STDIN_FILENO)) {
    ok = RunStream(std::cin, true);
  } else {
    ok = RunInteractive();
  }
  return ok ? 0 : 1;
}

}  // namespace kestro
