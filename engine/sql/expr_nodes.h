// The nodes of an expression tree. A node owns its children (in operand
// order) and keeps its last value in its own value record, so evaluating a
// condition once per row allocates nothing new.
//
// Evaluate(dataset): column references read `dataset`'s current row by the
// column number they were bound to when a dataset is given (a table dataset
// filtering its own records), else the current row of their bound input.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/common/value.h"
#include "engine/sql/date_formater.h"
#include "engine/sql/row_source.h"

namespace kestro {

struct TVTblSelectListItem;

enum TVTblOperator : uint8_t {
  opNone = 0,
  opEqual = 1, opNotEqual = 2, opGreater = 3, opLess = 4, opGreaterEqual = 5, opLessEqual = 6,
  opNot = 7, opAnd = 8, opOr = 9, opIn = 10, opNotIn = 11, opBetween = 12, opNotBetween = 13,
  opLike = 14, opNotLike = 15, opIsNull = 16, opIsNotNull = 17,
  opSum = 20, opNegate = 21, opMultiply = 22, opDivide = 23,
  opConcat = 25, opUpper = 26, opLower = 27, opTrim = 28, opLTrim = 29, opRTrim = 30,
  opLength = 31, opPosition = 32, opSubstring = 33,
  opSumAgg = 34, opAvg = 35, opMin = 36, opMax = 37, opCount = 38, opCountAll = 39,
  opNow = 40, opCurrentDate = 41, opCurrentTime = 42, opToDate = 43, opToString = 44,
  opCast = 45,
};

// Display name of an operator code, as messages show it; "unknown" if none.
const char* OperatorName(uint8_t op);

class TVTblExprNode;
using TVTblNodePtr = std::unique_ptr<TVTblExprNode>;

class TVTblExprNode {
 public:
  explicit TVTblExprNode(uint8_t op = opNone) : op_(op) {}
  // Frees the subtree without recursion, so no tree can exhaust the stack.
  virtual ~TVTblExprNode();

  uint8_t Op() const { return op_; }
  std::vector<TVTblNodePtr>& Children() { return children_; }
  const std::vector<TVTblNodePtr>& Children() const { return children_; }
  TVTblExprNode* Add(TVTblNodePtr child) {
    children_.push_back(std::move(child));
    return children_.back().get();
  }

  virtual bool CanEvaluateOn(const TVTblRowSource& input) const;
  virtual std::string SQLText() const;
  virtual bool IsJoinCondition(const TVTblRowSource& left, const TVTblRowSource& right) const;
  virtual void ResolveAliases(const std::vector<TVTblSelectListItem>& items);
  virtual void Bind(TVTblRowSource* input);
  virtual const TVTblValue& Evaluate(TVTblRowSource* dataset) = 0;
  virtual void ResetAggregates();
  virtual void Accumulate();
  virtual int DataSize() const;
  virtual uint8_t DataType() const;
  virtual bool IsAggregate() const;
  virtual bool HasNoFields() const;
  virtual void Dump(int level, std::string& out) const;
  virtual TVTblNodePtr Clone() const = 0;
  virtual const char* ClassName() const = 0;

 protected:
  // Copies the operator and deep-copies the children into `copy`.
  TVTblNodePtr CloneInto(std::unique_ptr<TVTblExprNode> copy) const;
  void DumpLine(int level, const std::string& detail, std::string& out) const;

  std::vector<TVTblNodePtr> children_;
  uint8_t op_;
  TVTblValue value_;
};

class TVTblExprNodeConst : public TVTblExprNode {
 public:
  explicit TVTblExprNodeConst(TVTblValue value) { value_ = std::move(value); }
  const TVTblValue& Evaluate(TVTblRowSource*) override { return value_; }
  const TVTblValue& Value() const { return value_; }
  std::string SQLText() const override;
  int DataSize() const override;
  uint8_t DataType() const override { return value_.type; }
  bool HasNoFields() const override { return true; }
  void Dump(int level, std::string& out) const override;
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeConst"; }
};

class TVTblExprNodeField : public TVTblExprNode {
 public:
  TVTblExprNodeField(std::string qualifier, std::string name)
      : qualifier_(std::move(qualifier)), name_(std::move(name)) {}

  const std::string& Qualifier() const { return qualifier_; }
  const std::string& Name() const { return name_; }
  TVTblRowSource* Input() const { return input_; }
  int Column() const { return column_; }
  // "qualifier.name", as messages name a reference.
  std::string FullName() const { return qualifier_ + "." + name_; }

  bool CanEvaluateOn(const TVTblRowSource& input) const override;
  std::string SQLText() const override;
  void ResolveAliases(const std::vector<TVTblSelectListItem>& items) override;
  void Bind(TVTblRowSource* input) override;
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  int DataSize() const override;
  uint8_t DataType() const override;
  bool HasNoFields() const override { return false; }
  void Dump(int level, std::string& out) const override;
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeField"; }

 private:
  std::string qualifier_;
  std::string name_;
  TVTblRowSource* input_ = nullptr;
  int column_ = -1;
};

// Sum of signed terms (20), negation (21), multiplication (22), division (23).
class TVTblExprNodeArithmetic : public TVTblExprNode {
 public:
  using TVTblExprNode::TVTblExprNode;
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  std::string SQLText() const override;
  int DataSize() const override;
  uint8_t DataType() const override;
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeArithmetic"; }
};

// Comparisons (1..6).
class TVTblExprNodeComparison : public TVTblExprNode {
 public:
  using TVTblExprNode::TVTblExprNode;
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  std::string SQLText() const override;
  bool IsJoinCondition(const TVTblRowSource& left, const TVTblRowSource& right) const override;
  uint8_t DataType() const override { return ftBoolean; }
  int DataSize() const override { return 0; }
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeComparison"; }
};

// NOT, AND, OR, IN, BETWEEN, LIKE, IS NULL and their negations (7..17).
class TVTblExprNodeBoolean : public TVTblExprNode {
 public:
  using TVTblExprNode::TVTblExprNode;
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  std::string SQLText() const override;
  uint8_t DataType() const override { return ftBoolean; }
  int DataSize() const override { return 0; }
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeBoolean"; }
};

class TVTblExprNodeCast : public TVTblExprNode {
 public:
  explicit TVTblExprNodeCast(uint8_t target) : TVTblExprNode(opCast), target_(target) {}
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  std::string SQLText() const override;
  int DataSize() const override;
  uint8_t DataType() const override { return target_; }
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeCast"; }

 private:
  uint8_t target_;
};

// LASTAUTOINC(table): the table's last auto-increment value.
class TVTblExprNodeSystem : public TVTblExprNode {
 public:
  TVTblExprNodeSystem(std::string table, bool inMemory, std::string password)
      : table_(std::move(table)), inMemory_(inMemory), password_(std::move(password)) {}
  void Bind(TVTblRowSource* input) override { input_ = input; }
  bool CanEvaluateOn(const TVTblRowSource&) const override { return true; }
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  std::string SQLText() const override;
  uint8_t DataType() const override { return ftInteger; }
  int DataSize() const override { return 0; }
  bool HasNoFields() const override { return true; }
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeSystem"; }

 private:
  std::string table_;
  bool inMemory_;
  std::string password_;
  TVTblRowSource* input_ = nullptr;
};

// SUM, AVG, MIN, MAX, COUNT and COUNT(*) (34..39).
class TVTblExprNodeAggregated : public TVTblExprNode {
 public:
  TVTblExprNodeAggregated(uint8_t op, bool distinct) : TVTblExprNode(op), distinct_(distinct) {}
  bool Distinct() const { return distinct_; }
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  void ResetAggregates() override;
  void Accumulate() override;
  std::string SQLText() const override;
  uint8_t DataType() const override;
  bool IsAggregate() const override { return true; }
  void Dump(int level, std::string& out) const override;
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeAggregated"; }

 private:
  bool distinct_;
  int64_t count_ = 0;
  TVTblValue sum_;  // running SUM/AVG sum, MIN/MAX best value
};

// Concatenation and string functions (25..33).
class TVTblExprNodeStringFunction : public TVTblExprNode {
 public:
  using TVTblExprNode::TVTblExprNode;
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  std::string SQLText() const override;
  int DataSize() const override;
  uint8_t DataType() const override;
  void Dump(int level, std::string& out) const override;
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeStringFunction"; }
};

// Current date/time, TODATE and TOSTRING (40..44).
class TVTblExprNodeDateFunction : public TVTblExprNode {
 public:
  TVTblExprNodeDateFunction(uint8_t op, std::string format = {});
  const TVTblValue& Evaluate(TVTblRowSource* dataset) override;
  std::string SQLText() const override;
  int DataSize() const override;
  uint8_t DataType() const override;
  bool HasNoFields() const override;
  TVTblNodePtr Clone() const override;
  const char* ClassName() const override { return "TVTblExprNodeDateFunction"; }

 private:
  std::string format_;
  std::unique_ptr<TDateFormater> formater_;
};

}  // namespace kestro
