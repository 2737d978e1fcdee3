// SQL statements: TSQLScriptProcessor cuts a text into commands, parses
// every command into a statement object (so all syntax errors come before
// anything runs), then runs them in order. No transactions: what a
// statement changed stays changed when a later one fails.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/sql/expression.h"
#include "engine/sql/lexer.h"
#include "engine/sql/params.h"
#include "engine/sql/parser.h"
#include "engine/tables/data_manager.h"

namespace kestro {

class TVellAO;
class TVellDataset;
class TVellTable;

// What statements need of the query that runs them.
class TVellSQLContext {
 public:
  virtual ~TVellSQLContext() = default;
  virtual std::string ContextSessionName() const = 0;
  virtual std::string ContextDatabaseName() const = 0;
  virtual std::string ContextDatabaseFileName() const = 0;
  virtual bool ContextInMemory() const = 0;
  virtual bool ContextRequestLive() const = 0;
  virtual void SetRowsAffected(int32_t rows) = 0;
};

struct TVTblTableReference {
  int kind = 0;  // 0 a table, 1 a join
  std::string database;
  std::string tableName;
  std::string alias;
  std::string password;
  bool inMemory = false;
  std::unique_ptr<TVTblTableReference> left, right;
  int joinType = 1;  // 0 cross, 1 inner, 3 left, 4 right, 5 full
  bool natural = false;
  std::vector<std::string> usingColumns;
  std::unique_ptr<TVTblExpression> on;
};

struct TVTblSortSpecification {
  std::string qualifier;
  std::string column;
  bool descending = false;
};

struct TVTblColumnName {
  std::string qualifier;
  std::string name;
};

class TVellSQLCommand : public TVellParser {
 public:
  explicit TVellSQLCommand(TVellLexer* lexer) : TVellParser(lexer) {}
  virtual void Execute(TVellSQLContext& query, bool requestCursor) {
    (void)query, (void)requestCursor;
  }
  // The root operator of a cursor statement, else nullptr.
  virtual TVellAO* ResultOperator() const { return nullptr; }
  bool InMemory() const { return inMemory_; }

 protected:
  // Reads a name token (bare word, quoted, bracketed or reserved word)
  // after an optional MEMORY; raises `code` for another token.
  std::string ReadTableName(int code, int afterMemoryCode);
  bool inMemory_ = false;
};

class TVellSQLSelect;

// A query expression node: a SELECT, or a set operation of two nodes.
struct TVTblQueryExprNode {
  int kind = 0;  // 0 SELECT, 1 UNION, 2 EXCEPT/MINUS, 3 INTERSECT
  std::unique_ptr<TVTblQueryExprNode> left, right;
  bool all = false;
  bool corresponding = false;
  std::vector<std::string> correspondingBy;
  std::unique_ptr<TVellSQLSelect> select;
};

class TVellSQLSelect : public TVellSQLCommand {
 public:
  // `fromOnly`: the command has no SELECT and select list (a rewritten
  // DELETE); parsing starts at FROM with the list `*`.
  TVellSQLSelect(TVellLexer* lexer, bool fromOnly = false);
  void Parse() override;
  std::unique_ptr<TVellAO> BuildOperator(TVellSQLContext& query);

  bool distinct = false;
  int32_t topCount = -1;
  int32_t topStart = -1;
  bool star = false;
  std::vector<TVTblSelectListItem> items;
  std::string intoTable, intoDatabase;
  bool intoMemory = false;
  std::vector<std::unique_ptr<TVTblTableReference>> from;
  std::unique_ptr<TVTblExpression> where;
  std::vector<TVTblColumnName> groupBy;
  std::unique_ptr<TVTblExpression> having;
  std::vector<TVTblSortSpecification> orderBy;

 private:
  void ParseSelectList();
  std::unique_ptr<TVTblTableReference> ParseTableReference();
  std::unique_ptr<TVTblTableReference> ParseSimpleReference();
  std::unique_ptr<TVTblExpression> ParseExpression(bool condition);
  bool fromOnly_;
};

class TVellSQLCursorCommand : public TVellSQLCommand {
 public:
  using TVellSQLCommand::TVellSQLCommand;
  ~TVellSQLCursorCommand() override;
  TVellAO* ResultOperator() const override { return root_.get(); }

 protected:
  std::unique_ptr<TVellAO> root_;
};

class TVellSQLUnion : public TVellSQLCursorCommand {
 public:
  explicit TVellSQLUnion(TVellLexer* lexer);
  ~TVellSQLUnion() override;
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;
  std::unique_ptr<TVellAO> BuildOperator(TVellSQLContext& query);
  TVTblQueryExprNode* Root() const { return tree_.get(); }
  // After Execute: the result is the root table scan's stored table (live),
  // or this temporary table, ordered by ResultIndex.
  bool Live() const { return live_; }
  TVellDataset* ResultTable() const { return result_.get(); }
  const std::string& ResultIndex() const { return resultIndex_; }

 private:
  void CopyInto(TVellSQLContext& query, const TVellSQLSelect& select);
  bool live_ = false;
  std::unique_ptr<TVellDataset> result_;
  std::string resultIndex_;
  std::unique_ptr<TVTblQueryExprNode> ParseQueryExpression();
  std::unique_ptr<TVTblQueryExprNode> ParseQueryTerm();
  std::unique_ptr<TVTblQueryExprNode> ParseQueryPrimary();
  void ParseCorresponding(TVTblQueryExprNode& node);
  std::unique_ptr<TVellAO> Build(TVTblQueryExprNode& node, TVellSQLContext& query);
  std::unique_ptr<TVTblQueryExprNode> tree_;
};

class TVellSQLInsert : public TVellSQLCommand {
 public:
  explicit TVellSQLInsert(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;

 private:
  std::string table_, password_;
  std::vector<std::string> columns_;
  std::vector<std::unique_ptr<TVTblExpression>> values_;
  std::unique_ptr<TVellSQLUnion> select_;
};

class TVellSQLUpdate : public TVellSQLCommand {
 public:
  explicit TVellSQLUpdate(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;

 private:
  std::string table_, password_;
  std::vector<std::string> columns_;
  std::vector<std::unique_ptr<TVTblExpression>> values_;
  std::unique_ptr<TVTblExpression> where_;
};

class TVellSQLDelete : public TVellSQLCommand {
 public:
  explicit TVellSQLDelete(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;

 private:
  std::unique_ptr<TVellSQLSelect> select_;
};

class TVellDDLTableManipulation : public TVellSQLCommand {
 public:
  using TVellSQLCommand::TVellSQLCommand;

 protected:
  // One table element (PASSWORD, BLOBCOMPRESSIONLEVEL, ..., a column);
  // false at the end of the list.
  void ParseElements(bool alter);
  void ParseColumn(bool alter);
  void ParsePrimaryKey();
  void ExpectCommaOrClose(int code);
  void ApplyLastAutoInc(class TVellTable& table);

  std::string table_, password_;
  int32_t blobBlockSize_ = 0;
  int compression_ = 0;  // 0 not given, else level + 1
  int64_t lastAutoInc_ = -1;
  int autoIndexes_ = -1;  // -1 not given
  struct Column {
    std::string name;
    uint8_t type = 0;  // 0: no type written (ALTER)
    int32_t size = 0;
    int nullable = -1;  // -1 not written, 0 NOT NULL, 1 NULL
  };
  std::vector<Column> columns_;
  std::vector<std::string> primaryKey_;
  bool newPasswordGiven_ = false;
  std::string newPassword_;
};

class TVellDDLCreateTable : public TVellDDLTableManipulation {
 public:
  explicit TVellDDLCreateTable(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;
};

class TVellDDLDropTable : public TVellDDLTableManipulation {
 public:
  explicit TVellDDLDropTable(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;
};

class TVellDDLAlterTable : public TVellDDLTableManipulation {
 public:
  explicit TVellDDLAlterTable(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;

 private:
  int mode_ = 0;  // 0 ADD, 1 DROP, 2 MODIFY
};

class TVellDDLCreateIndex : public TVellSQLCommand {
 public:
  explicit TVellDDLCreateIndex(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;

 private:
  bool unique_ = false;
  std::string index_, table_, password_;
  struct Field {
    std::string name;
    bool descending = false, caseInsensitive = false;
  };
  std::vector<Field> fields_;
};

class TVellDDLDropIndex : public TVellSQLCommand {
 public:
  explicit TVellDDLDropIndex(TVellLexer* lexer);
  void Parse() override;
  void Execute(TVellSQLContext& query, bool requestCursor) override;

 private:
  std::string table_, index_, password_;
};

class TSQLScriptProcessor {
 public:
  // Parses every command; raises the first syntax error.
  TSQLScriptProcessor(const std::string& text, const TVellParams* params);
  ~TSQLScriptProcessor();
  // Runs the statements in order; all but the last are freed after running.
  void Execute(TVellSQLContext& query);
  // The last statement's root operator; code 1068 when it has none.
  TVellAO* ResultOperator() const;
  bool HasResult() const;
  // The last statement when it is a query.
  TVellSQLUnion* LastQuery() const;
  size_t StatementCount() const { return statements_.size(); }

 private:
  std::unique_ptr<TVellLexer> lexer_;
  std::vector<std::unique_ptr<TVellSQLCommand>> statements_;
};

// A table dataset set up like a statement's: the query's session and
// database (or `memory` for an in-memory table), name and password.
std::unique_ptr<TVellTable> MakeStatementTable(TVellSQLContext& query, const std::string& table,
                                               bool inMemory, const std::string& password,
                                               const std::string& database = {});

}  // namespace kestro
