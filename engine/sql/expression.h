// TVTblExpression: parses conditions and value expressions into node trees
// (a backtracking recursive-descent parser over the lexer's tokens), binds
// their column references to a row source and evaluates them row by row.
//
// The parser saves the token position before each alternative and restores
// it when the alternative fails. Value expressions are memoized by position,
// so nested alternatives never re-parse the same text more than once.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/expr_nodes.h"
#include "engine/sql/parser.h"

namespace kestro {

class TVTblExpression : public TVellParser {
 public:
  explicit TVTblExpression(TVellLexer* lexer) : TVellParser(lexer) {}
  // Around an existing node (no lexer): pieces of a condition handed on.
  explicit TVTblExpression(TVTblNodePtr root) : TVellParser(nullptr), root_(std::move(root)) {}

  // Expressions are parsed through ParseCondition / ParseValue.
  void Parse() override;

  // From the current token; the current token afterwards is the first one
  // not used. 1039 when no token is left.
  void ParseCondition();
  void ParseValue();

  bool IsEmpty() const { return root_ == nullptr; }
  bool IsField() const;
  // 1062 when the root is not a column reference.
  void FieldNameOf(std::string& qualifier, std::string& name) const;

  void Bind(TVTblRowSource* input);
  bool CanEvaluateOn(const TVTblRowSource& input) const;
  // 1070 without a root. The result stays valid until the next evaluation.
  const TVTblValue& Evaluate(TVTblRowSource* dataset = nullptr);
  void Evaluate(TVTblRowSource* dataset, TVTblValue& value);
  uint8_t DataType() const;
  int DataSize() const;
  bool IsAggregate() const;
  bool HasNoFields() const;
  void ResetAggregates();
  void Accumulate();
  void ResolveAliases(const std::vector<TVTblSelectListItem>& items);
  std::string SQLText() const;
  std::string Dump() const;

  TVTblExprNode* Root() const { return root_.get(); }
  TVTblNodePtr TakeRoot() { return std::move(root_); }
  void SetRoot(TVTblNodePtr root) { root_ = std::move(root); }

 private:
  // Grammar rules. Each returns nullptr when its alternative fails (the
  // caller restores the position) or raises the rule's coded error.
  TVTblNodePtr Condition();
  TVTblNodePtr OrOperand();
  TVTblNodePtr NotOperand();
  TVTblNodePtr Test();
  TVTblNodePtr PrimaryCondition();
  TVTblNodePtr Predicate();
  TVTblNodePtr Operand();
  TVTblNodePtr Value();
  TVTblNodePtr ValueUncached();
  TVTblNodePtr NumericExpression();
  TVTblNodePtr Term();
  TVTblNodePtr Factor();
  TVTblNodePtr NumericPrimary();
  TVTblNodePtr Primary();
  TVTblNodePtr StringExpression();
  TVTblNodePtr StringPrimary();
  TVTblNodePtr DateFunction();
  TVTblNodePtr ColumnReference();
  TVTblNodePtr Aggregate();
  TVTblNodePtr Cast();
  TVTblNodePtr StringFunction();
  TVTblNodePtr Substring();
  TVTblNodePtr Position();
  TVTblNodePtr Length();
  TVTblNodePtr ToStringFunction();
  TVTblNodePtr ToDateFunction();
  TVTblNodePtr LastAutoInc();

  // Token helpers.
  bool AtEnd() const { return token_.kind == tktNone; }
  bool IsWord(uint8_t code) const { return TVellLexer::IsReservedWord(token_, code); }
  bool IsSymbol(const char* text) const;
  int Save() const { return lexer_->TokenPosition(); }
  void Restore(int position);
  // Raises `code` with the current token (or the end of the command).
  [[noreturn]] void Fail(int code) const;
  [[noreturn]] void FailExpected(int code, const char* expected) const;
  [[noreturn]] void FailFunction(int code, const char* function) const;
  void LastPosition(int32_t& line, int32_t& column) const;

  TVTblNodePtr root_;
  struct Memo {
    int end;
    TVTblNodePtr node;  // nullptr: the rule failed here
  };
  std::map<int, Memo> valueMemo_;
  int depth_ = 0;
};

// One item of a SELECT list.
struct TVTblSelectListItem {
  std::string qualifier;   // table name or alias written before the column
  bool allColumns = false;  // t.*
  std::string columnName;
  bool isExpression = false;
  std::shared_ptr<TVTblExpression> expression;
  std::string alias;
};

}  // namespace kestro
