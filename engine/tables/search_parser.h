// TSearchParser: filter and locate conditions over one table, such as
//   Name = 'Ab*' and not (Rating > 3) or [Add date] >= 1
// parsed into items in evaluation order, then evaluated for one record or
// for the whole table into a TBitsArray (one byte per physical record).
// Comparisons other than LIKE are answered through an index whose first
// key field is the compared field, when the table has one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/common/value.h"

namespace kestro {

class TVellDataManager;

class TBitsArray {
 public:
  explicit TBitsArray(size_t count = 0, uint8_t fill = 0) : bits_(count, fill) {}
  size_t Count() const { return bits_.size(); }
  bool Get(size_t i) const { return bits_[i] != 0; }
  void Set(size_t i, bool v) { bits_[i] = v ? 1 : 0; }
  void Fill(uint8_t v) { std::fill(bits_.begin(), bits_.end(), v); }
  void And(const TBitsArray& o);
  void Or(const TBitsArray& o);
  void Not();

 private:
  std::vector<uint8_t> bits_;
};

struct TSearchOptions {
  bool caseInsensitive = false;
  bool noPartialCompare = false;
};

enum TSearchKind : uint8_t { skComparison, skNot, skAnd, skOr, skOpen, skClose };
enum TSearchOperator : uint8_t {
  soEqual, soNotEqual, soLessEqual, soGreaterEqual, soLess, soGreater, soLike, soNotLike, soIsNull, soIsNotNull,
};

struct TSearchOperation {
  TSearchKind kind = skComparison;
  int32_t field = 0;
  std::string fieldName;
  TSearchOperator op = soEqual;
  bool partial = false;
  TVTblValue value;  // converted to the field's type
};

class TSearchParser {
 public:
  // Raises the parser's messages on malformed text.
  void Parse(const std::string& condition, const TVellDataManager& table, TSearchOptions options);
  const std::vector<TSearchOperation>& Items() const { return items_; }  // postfix order
  TBitsArray Evaluate(TVellDataManager& table) const;
  bool Matches(const TVellDataManager& table, const uint8_t* record) const;

 private:
  struct Cursor;
  void ParseCondition(Cursor& c);
  void ParseTerm(Cursor& c);
  void ParseFactor(Cursor& c);
  void ParseComparison(Cursor& c);
  bool Test(const TSearchOperation& op, const TVellDataManager& table, const uint8_t* record) const;
  TBitsArray EvaluateComparison(const TSearchOperation& op, TVellDataManager& table) const;

  const TVellDataManager* table_ = nullptr;
  TSearchOptions options_;
  std::vector<TSearchOperation> items_;
};

}  // namespace kestro
