#include "engine/sql/expr_nodes.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/sql/expression.h"

namespace kestro {

const char* OperatorName(uint8_t op) {
  switch (op) {
    case opEqual: return "=";
    case opNotEqual: return "<>";
    case opGreater: return ">";
    case opLess: return "<";
    case opGreaterEqual: return ">=";
    case opLessEqual: return "<=";
    case opNot: return "NOT";
    case opAnd: return "AND";
    case opOr: return "OR";
    case opLike: return "LIKE";
    case opNotLike: return "NOT LIKE";
    case opIsNull: return "IS NULL";
    case opIsNotNull: return "IS NOT NULL";
    case opSum: return "+";
    case opNegate: return "-";
    case opMultiply: return "*";
    case opDivide: return "/";
    case opConcat: return "||";
    case opUpper: return "UPPER";
    case opLower: return "LOWER";
    case opTrim: return "TRIM";
    case opLTrim: return "LTRIM";
    case opRTrim: return "RTRIM";
    case opSumAgg: return "SUM";
    case opAvg: return "AVG";
    case opMin: return "MIN";
    case opMax: return "MAX";
    case opCount: return "COUNT";
    case opCountAll: return "COUNT(*)";
    default: return "unknown";
  }
}

namespace {

const TVellLocale& Loc() { return TVellLocale::Current(); }

bool IsNumericType(uint8_t t) { return IsIntegerType(t) || t == ftFloat || t == ftCurrency; }

// Boolean value of an operand for NOT/AND/OR; `null` when it is NULL.
bool AsBoolean(const TVTblValue& v, bool& null) {
  null = v.isNull;
  if (null) return false;
  if (v.type == ftBoolean) return v.i != 0;
  TVTblValue copy = v;
  ConvertValue(copy, ftBoolean);
  if (copy.type != ftBoolean) throw VTblException(2113);
  return copy.i != 0;
}

void SetBoolean(TVTblValue& out, bool value) {
  out.type = ftBoolean;
  out.isNull = false;
  out.i = value ? 1 : 0;
}

void SetNull(TVTblValue& out, uint8_t type) {
  out.type = type;
  out.isNull = true;
  out.i = 0;
  out.f = 0;
  out.s.clear();
  out.w.clear();
}

void Assign(TVTblValue& out, const TVTblValue& v) {
  if (&out != &v) out = v;
}

// Adds `b` to `a` (both already of type `t`), as the sum node does.
void AddSameType(TVTblValue& a, const TVTblValue& b, uint8_t t) {
  switch (t) {
    case ftString: a.s += b.s; break;
    case ftWideString: a.w += b.w; break;
    case ftSmallInt:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeInt:
      a = TVTblValue::Int(t, static_cast<int64_t>(static_cast<uint64_t>(a.i) +
                                                  static_cast<uint64_t>(b.i)));
      break;
    case ftFloat:
    case ftCurrency: a.f += b.f; break;
    case ftDate:
    case ftTime:
    case ftDateTime:
      a = ValueFromDateTimeNumber(a.AsDateTimeNumber() + b.AsDateTimeNumber(), t);
      break;
    case ftBoolean: throw VTblException(2091, {}, {"+"});
    default: throw VTblException(2091, {}, {"+"});
  }
}

// a := a + b with the sum node's rules.
void AddValues(TVTblValue& a, const TVTblValue& b) {
  if (a.isNull || b.isNull) {
    SetNull(a, CommonType(a.type, b.type));
    return;
  }
  const uint8_t t = CommonType(a.type, b.type);
  if (t == 0) throw VTblException(2092, {}, {ValueTypeName(b.type), "unknown"});
  if (t == ftBoolean) throw VTblException(2091, {}, {"+"});
  ConvertValue(a, t);
  if (b.type == t) {
    AddSameType(a, b, t);
  } else {
    TVTblValue bc = b;
    ConvertValue(bc, t);
    AddSameType(a, bc, t);
  }
}

// Result width of a string-typed sum, concatenation or cast.
int StringSizeOf(const TVTblExprNode& operand) {
  switch (operand.DataType()) {
    case ftString:
    case ftWideString:
    case ftBytes: return operand.DataSize();
    case ftSmallInt: return 6;
    case ftInteger:
    case ftAutoInc: return 11;
    case ftWord:
    case ftBoolean: return 5;
    case ftFloat:
    case ftDate:
    case ftTime:
    case ftDateTime: return 26;
    case ftCurrency: return 21;
    case ftLargeInt: return 20;
    default: return 0;
  }
}

int SummedStringSize(const TVTblExprNode& node, uint8_t type) {
  if (type != ftString && type != ftWideString && type != ftBytes) return 0;
  int n = 0;
  for (const auto& c : node.Children()) n += StringSizeOf(*c);
  return type == ftWideString ? 2 * n : n;
}

bool Like(const TVTblValue& text, const TVTblValue& pattern) {
  const std::string t = text.isNull ? std::string() : text.Text();
  const std::string p = pattern.isNull ? std::string() : pattern.Text();
  return LikeMatchUtf8(t, p);
}

bool IsTrimmed(unsigned char c) { return c <= ' '; }

std::string Trim(std::string_view s, bool left, bool right) {
  size_t b = 0, e = s.size();
  if (left)
    while (b < e && IsTrimmed(static_cast<unsigned char>(s[b]))) ++b;
  if (right)
    while (e > b && IsTrimmed(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

std::string QuoteSql(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string Joined(const std::vector<TVTblNodePtr>& nodes, const char* sep) {
  std::string out;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (i) out += sep;
    out += nodes[i]->SQLText();
  }
  return out;
}

}  // namespace

// ---- base -------------------------------------------------------------------

TVTblExprNode::~TVTblExprNode() {
  std::vector<TVTblNodePtr> pending = std::move(children_);
  while (!pending.empty()) {
    TVTblNodePtr node = std::move(pending.back());
    pending.pop_back();
    if (!node) continue;
    for (auto& c : node->children_) pending.push_back(std::move(c));
    node->children_.clear();
  }
}

bool TVTblExprNode::CanEvaluateOn(const TVTblRowSource& input) const {
  return std::all_of(children_.begin(), children_.end(),
                     [&](const TVTblNodePtr& c) { return c->CanEvaluateOn(input); });
}

std::string TVTblExprNode::SQLText() const { return Joined(children_, " "); }

bool TVTblExprNode::IsJoinCondition(const TVTblRowSource&, const TVTblRowSource&) const {
  return false;
}

void TVTblExprNode::ResolveAliases(const std::vector<TVTblSelectListItem>& items) {
  for (auto& c : children_) c->ResolveAliases(items);
}

void TVTblExprNode::Bind(TVTblRowSource* input) {
  for (auto& c : children_) c->Bind(input);
}

void TVTblExprNode::ResetAggregates() {
  for (auto& c : children_) c->ResetAggregates();
}

void TVTblExprNode::Accumulate() {
  for (auto& c : children_) c->Accumulate();
}

int TVTblExprNode::DataSize() const {
  const uint8_t t = DataType();
  if ((t == ftString || t == ftWideString) && !children_.empty()) return children_[0]->DataSize();
  return 0;
}

uint8_t TVTblExprNode::DataType() const {
  if (children_.empty()) return 0;
  uint8_t t = children_[0]->DataType();
  for (size_t i = 1; i < children_.size(); ++i) t = CommonType(t, children_[i]->DataType());
  return t;
}

bool TVTblExprNode::IsAggregate() const {
  return std::any_of(children_.begin(), children_.end(),
                     [](const TVTblNodePtr& c) { return c->IsAggregate(); });
}

bool TVTblExprNode::HasNoFields() const {
  return std::all_of(children_.begin(), children_.end(),
                     [](const TVTblNodePtr& c) { return c->HasNoFields(); });
}

void TVTblExprNode::DumpLine(int level, const std::string& detail, std::string& out) const {
  out += std::string(2 * level, ' ') + "(" + OperatorName(op_) + ") " + ClassName();
  if (!detail.empty()) out += " " + detail;
  out += "\n";
}

void TVTblExprNode::Dump(int level, std::string& out) const {
  DumpLine(level, "", out);
  for (const auto& c : children_) c->Dump(level + 1, out);
}

TVTblNodePtr TVTblExprNode::CloneInto(std::unique_ptr<TVTblExprNode> copy) const {
  copy->op_ = op_;
  for (const auto& c : children_) copy->children_.push_back(c->Clone());
  return copy;
}

// ---- constants and fields -------------------------------------------------

std::string TVTblExprNodeConst::SQLText() const {
  if (value_.isNull) return "NULL";
  if (value_.type == ftString || value_.type == ftWideString) return QuoteSql(value_.Text());
  if (value_.type == ftBoolean) return value_.i ? "TRUE" : "FALSE";
  if (value_.type == ftFloat) return FloatToStrInvariant(value_.f);
  return ValueToText(value_);
}

int TVTblExprNodeConst::DataSize() const {
  if (value_.type == ftString) return static_cast<int>(value_.s.size());
  if (value_.type == ftWideString) return static_cast<int>(value_.w.size());
  return 0;
}

void TVTblExprNodeConst::Dump(int level, std::string& out) const {
  DumpLine(level, SQLText() + " " + ValueTypeName(value_.type) + " <const>", out);
}

TVTblNodePtr TVTblExprNodeConst::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeConst>(value_));
}

bool TVTblExprNodeField::CanEvaluateOn(const TVTblRowSource& input) const {
  std::vector<int> positions;
  return input.FindColumns(name_, qualifier_, positions) == 1;
}

std::string TVTblExprNodeField::SQLText() const {
  return qualifier_.empty() ? name_ : qualifier_ + "." + name_;
}

void TVTblExprNodeField::ResolveAliases(const std::vector<TVTblSelectListItem>& items) {
  if (!qualifier_.empty()) return;  // a qualified name names a real column
  for (const auto& item : items) {
    if (item.isExpression || item.allColumns || item.alias.empty()) continue;
    if (SameTextAscii(item.alias, name_)) {
      name_ = item.columnName;
      qualifier_ = item.qualifier;
      return;
    }
  }
}

void TVTblExprNodeField::Bind(TVTblRowSource* input) {
  std::vector<int> positions;
  if (input == nullptr || input->FindColumns(name_, qualifier_, positions) != 1)
    throw VTblException(2108, {}, {FullName()});
  input_ = input;
  column_ = positions[0];
}

const TVTblValue& TVTblExprNodeField::Evaluate(TVTblRowSource* dataset) {
  TVTblRowSource* source = dataset != nullptr ? dataset : input_;
  if (source == nullptr || column_ < 0) throw VTblException(2108, {}, {FullName()});
  source->ReadValue(column_, value_);
  return value_;
}

int TVTblExprNodeField::DataSize() const {
  return input_ != nullptr && column_ >= 0 ? input_->ColumnSize(column_) : 0;
}

uint8_t TVTblExprNodeField::DataType() const {
  return input_ != nullptr && column_ >= 0 ? input_->ColumnType(column_) : 0;
}

void TVTblExprNodeField::Dump(int level, std::string& out) const {
  out += std::string(2 * level, ' ') + "[" + SQLText() + "] " + ClassName() + "\n";
}

TVTblNodePtr TVTblExprNodeField::Clone() const {
  auto copy = std::make_unique<TVTblExprNodeField>(qualifier_, name_);
  copy->input_ = input_;
  copy->column_ = column_;
  return CloneInto(std::move(copy));
}

// ---- arithmetic -------------------------------------------------------------

const TVTblValue& TVTblExprNodeArithmetic::Evaluate(TVTblRowSource* ds) {
  switch (op_) {
    case opSum: {
      Assign(value_, children_[0]->Evaluate(ds));
      for (size_t i = 1; i < children_.size(); ++i) AddValues(value_, children_[i]->Evaluate(ds));
      return value_;
    }
    case opNegate: {
      Assign(value_, children_[0]->Evaluate(ds));
      if (value_.isNull) return value_;
      switch (value_.type) {
        case ftSmallInt:
        case ftWord:
        case ftInteger:
        case ftAutoInc:
        case ftLargeInt:
          value_ = TVTblValue::Int(value_.type,
                                   static_cast<int64_t>(0 - static_cast<uint64_t>(value_.i)));
          break;
        case ftFloat:
        case ftCurrency: value_.f = -value_.f; break;
        default: throw VTblException(2089, {}, {"-"});
      }
      return value_;
    }
    case opMultiply: {
      const TVTblValue& a = children_[0]->Evaluate(ds);
      Assign(value_, a);
      const TVTblValue& b = children_[1]->Evaluate(ds);
      const uint8_t t = CommonType(value_.type, b.type);
      if (value_.isNull || b.isNull) {
        SetNull(value_, t);
        return value_;
      }
      if (t == 0) throw VTblException(2092, {}, {ValueTypeName(b.type), "unknown"});
      TVTblValue bc = b;
      ConvertValue(value_, t);
      ConvertValue(bc, t);
      if (IsIntegerType(t)) {
        value_ = TVTblValue::Int(t, static_cast<int64_t>(static_cast<uint64_t>(value_.i) *
                                                         static_cast<uint64_t>(bc.i)));
      } else if (t == ftFloat || t == ftCurrency) {
        value_.f *= bc.f;
      } else {
        throw VTblException(2091, {}, {"*"});
      }
      return value_;
    }
    case opDivide: {
      Assign(value_, children_[0]->Evaluate(ds));
      const TVTblValue& b = children_[1]->Evaluate(ds);
      if (value_.isNull || b.isNull) {
        SetNull(value_, ftFloat);
        return value_;
      }
      TVTblValue bc = b;
      ConvertValue(value_, ftFloat);
      ConvertValue(bc, ftFloat);
      if (bc.f == 0) throw EZeroDivide();
      value_.f /= bc.f;
      return value_;
    }
    default: throw VTblException(1053, {}, {int(op_)});
  }
}

std::string TVTblExprNodeArithmetic::SQLText() const {
  switch (op_) {
    case opNegate: return "-" + children_[0]->SQLText();
    case opMultiply: return "(" + Joined(children_, " * ") + ")";
    case opDivide: return "(" + Joined(children_, " / ") + ")";
    default: {
      std::string out = "(";
      for (size_t i = 0; i < children_.size(); ++i) {
        const auto& c = children_[i];
        if (c->Op() == opNegate && i > 0)
          out += " - " + c->Children()[0]->SQLText();
        else
          out += (i ? " + " : "") + c->SQLText();
      }
      return out + ")";
    }
  }
}

int TVTblExprNodeArithmetic::DataSize() const {
  return op_ == opSum ? SummedStringSize(*this, DataType()) : 0;
}

uint8_t TVTblExprNodeArithmetic::DataType() const {
  return op_ == opDivide ? uint8_t{ftFloat} : TVTblExprNode::DataType();
}

TVTblNodePtr TVTblExprNodeArithmetic::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeArithmetic>(op_));
}

// ---- comparison -------------------------------------------------------------

const TVTblValue& TVTblExprNodeComparison::Evaluate(TVTblRowSource* ds) {
  // Each node keeps its own value, so both references stay valid.
  const TVTblValue& left = children_[0]->Evaluate(ds);
  const TVTblValue& right = children_[1]->Evaluate(ds);
  const TVTblCompareResult r = CompareValues(left, right);
  using R = TVTblCompareResult;
  if (r == R::LeftNull || r == R::RightNull || r == R::BothNull) {
    SetNull(value_, ftBoolean);
    return value_;
  }
  bool result = false;
  switch (op_) {
    case opEqual: result = r == R::Equal; break;
    case opNotEqual: result = r != R::Equal; break;
    case opGreater: result = r == R::Greater; break;
    case opLess: result = r == R::Less; break;
    case opGreaterEqual: result = r != R::Less; break;
    case opLessEqual: result = r != R::Greater; break;
    default: throw VTblException(1053, {}, {int(op_)});
  }
  SetBoolean(value_, result);
  return value_;
}

std::string TVTblExprNodeComparison::SQLText() const {
  return children_[0]->SQLText() + " " + OperatorName(op_) + " " + children_[1]->SQLText();
}

bool TVTblExprNodeComparison::IsJoinCondition(const TVTblRowSource& left,
                                              const TVTblRowSource& right) const {
  if (op_ != opEqual) return false;
  const auto* a = dynamic_cast<const TVTblExprNodeField*>(children_[0].get());
  const auto* b = dynamic_cast<const TVTblExprNodeField*>(children_[1].get());
  if (a == nullptr || b == nullptr) return false;
  const bool aL = a->CanEvaluateOn(left), aR = a->CanEvaluateOn(right);
  const bool bL = b->CanEvaluateOn(left), bR = b->CanEvaluateOn(right);
  if (aL && aR) throw VTblException(1054, {}, {a->FullName()});
  if (bL && bR) throw VTblException(1055, {}, {b->FullName()});
  return (aL && bR) || (aR && bL);
}

TVTblNodePtr TVTblExprNodeComparison::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeComparison>(op_));
}

// ---- Boolean operators ----------------------------------------------------------

const TVTblValue& TVTblExprNodeBoolean::Evaluate(TVTblRowSource* ds) {
  bool null = false;
  switch (op_) {
    case opNot: {
      const bool v = AsBoolean(children_[0]->Evaluate(ds), null);
      if (null)
        SetNull(value_, ftBoolean);
      else
        SetBoolean(value_, !v);
      return value_;
    }
    case opAnd: {
      SetBoolean(value_, true);
      for (auto& c : children_) {
        const bool v = AsBoolean(c->Evaluate(ds), null);
        if (null) {
          SetNull(value_, ftBoolean);
          break;
        }
        if (!v) {
          SetBoolean(value_, false);
          break;
        }
      }
      return value_;
    }
    case opOr: {
      SetBoolean(value_, false);
      for (auto& c : children_) {
        const bool v = AsBoolean(c->Evaluate(ds), null);
        if (null) {
          SetNull(value_, ftBoolean);
        } else if (v) {
          SetBoolean(value_, true);
          break;
        }
      }
      return value_;
    }
    case opIn:
    case opNotIn: {
      const TVTblValue& tested = children_[0]->Evaluate(ds);
      if (tested.isNull) {
        SetNull(value_, ftBoolean);
        return value_;
      }
      SetBoolean(value_, false);
      for (size_t i = 1; i < children_.size(); ++i) {
        const TVTblValue& item = children_[i]->Evaluate(ds);
        if (item.isNull) {
          SetNull(value_, ftBoolean);
          continue;
        }
        if (CompareValues(tested, item) == TVTblCompareResult::Equal) {
          SetBoolean(value_, true);
          break;
        }
      }
      if (op_ == opNotIn && !value_.isNull) value_.i = !value_.i;
      return value_;
    }
    case opBetween:
    case opNotBetween: {
      const TVTblValue& tested = children_[0]->Evaluate(ds);
      if (tested.isNull) {
        SetNull(value_, ftBoolean);
        return value_;
      }
      bool result = true, boundNull = false;
      const TVTblValue& low = children_[1]->Evaluate(ds);
      if (low.isNull)
        boundNull = true;
      else if (CompareValues(tested, low) == TVTblCompareResult::Less)
        result = false;
      const TVTblValue& high = children_[2]->Evaluate(ds);
      if (high.isNull)
        boundNull = true;
      else if (CompareValues(tested, high) == TVTblCompareResult::Greater)
        result = false;
      if (result && boundNull)
        SetNull(value_, ftBoolean);
      else
        SetBoolean(value_, op_ == opNotBetween ? !result : result);
      return value_;
    }
    case opLike:
    case opNotLike: {
      const TVTblValue& text = children_[0]->Evaluate(ds);
      const TVTblValue& pattern = children_[1]->Evaluate(ds);
      const uint8_t t = CommonType(text.type, pattern.type);
      if (t != ftString && t != ftWideString) throw VTblException(2114, {}, {"LIKE"});
      bool match;
      if (text.type == t && pattern.type == t) {
        match = Like(text, pattern);
      } else {
        TVTblValue tc = text, pc = pattern;
        ConvertValue(tc, t);
        ConvertValue(pc, t);
        match = Like(tc, pc);
      }
      SetBoolean(value_, op_ == opNotLike ? !match : match);
      return value_;
    }
    case opIsNull:
    case opIsNotNull: {
      const bool isNull = children_[0]->Evaluate(ds).isNull;
      SetBoolean(value_, op_ == opIsNull ? isNull : !isNull);
      return value_;
    }
    default: throw VTblException(1053, {}, {int(op_)});
  }
}

std::string TVTblExprNodeBoolean::SQLText() const {
  const auto& c = children_;
  switch (op_) {
    case opNot: return "NOT (" + c[0]->SQLText() + ")";
    case opAnd: return "(" + Joined(c, " AND ") + ")";
    case opOr: return "(" + Joined(c, " OR ") + ")";
    case opIn:
    case opNotIn: {
      std::string out = c[0]->SQLText() + (op_ == opIn ? " IN (" : " NOT IN (");
      for (size_t i = 1; i < c.size(); ++i) out += (i > 1 ? ", " : "") + c[i]->SQLText();
      return out + ")";
    }
    case opBetween:
    case opNotBetween:
      return c[0]->SQLText() + (op_ == opBetween ? " BETWEEN " : " NOT BETWEEN ") +
             c[1]->SQLText() + " AND " + c[2]->SQLText();
    case opIsNull:
    case opIsNotNull: return c[0]->SQLText() + " " + OperatorName(op_);
    default: return c[0]->SQLText() + " " + OperatorName(op_) + " " + c[1]->SQLText();
  }
}

TVTblNodePtr TVTblExprNodeBoolean::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeBoolean>(op_));
}

// ---- CAST and LASTAUTOINC -------------------------------------------------------

const TVTblValue& TVTblExprNodeCast::Evaluate(TVTblRowSource* ds) {
  Assign(value_, children_[0]->Evaluate(ds));
  ConvertValue(value_, target_);
  return value_;
}

std::string TVTblExprNodeCast::SQLText() const {
  const char* name = "";
  for (const auto& t : kSqlTypeNames)
    if (t.code == target_) name = t.sqlName;
  return "CAST(" + children_[0]->SQLText() + " AS " + name + ")";
}

int TVTblExprNodeCast::DataSize() const { return SummedStringSize(*this, target_); }

TVTblNodePtr TVTblExprNodeCast::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeCast>(target_));
}

const TVTblValue& TVTblExprNodeSystem::Evaluate(TVTblRowSource* ds) {
  TVTblRowSource* source = ds != nullptr ? ds : input_;
  int32_t last = 0;
  if (source == nullptr || !source->LastAutoInc(table_, inMemory_, password_, last))
    throw VTblException(1070);
  value_ = TVTblValue::Integer(last);
  return value_;
}

std::string TVTblExprNodeSystem::SQLText() const {
  std::string out = "LASTAUTOINC(";
  if (inMemory_) out += "MEMORY ";
  out += table_;
  if (!password_.empty()) out += " PASSWORD " + QuoteSql(password_);
  return out + ")";
}

TVTblNodePtr TVTblExprNodeSystem::Clone() const {
  auto copy = std::make_unique<TVTblExprNodeSystem>(table_, inMemory_, password_);
  copy->input_ = input_;
  return CloneInto(std::move(copy));
}

// ---- aggregates -------------------------------------------------------------

void TVTblExprNodeAggregated::ResetAggregates() {
  count_ = 0;
  sum_ = TVTblValue::Null(DataType());
}

void TVTblExprNodeAggregated::Accumulate() {
  if (op_ == opCountAll) {
    ++count_;
    return;
  }
  const TVTblValue& v = children_[0]->Evaluate(nullptr);
  if (v.isNull) return;
  switch (op_) {
    case opCount: ++count_; return;
    case opSumAgg:
    case opAvg: {
      if (!IsNumericType(v.type)) throw VTblException(2109, {}, {op_ == opSumAgg ? "sum" : "avg"});
      // Summed in the result's own type (64-bit for the integer types).
      TVTblValue x = v;
      ConvertValue(x, op_ == opAvg ? uint8_t{ftFloat} : DataType());
      if (count_++ == 0)
        sum_ = std::move(x);
      else
        AddValues(sum_, x);
      return;
    }
    case opMin:
    case opMax: {
      if (count_++ == 0) {
        sum_ = v;
        return;
      }
      const TVTblCompareResult r = CompareValues(v, sum_);
      if ((op_ == opMin && r == TVTblCompareResult::Less) ||
          (op_ == opMax && r == TVTblCompareResult::Greater))
        sum_ = v;
      return;
    }
    default: return;
  }
}

const TVTblValue& TVTblExprNodeAggregated::Evaluate(TVTblRowSource*) {
  switch (op_) {
    case opCount:
    case opCountAll: value_ = TVTblValue::Integer(static_cast<int32_t>(count_)); break;
    case opAvg:
      if (count_ == 0)
        SetNull(value_, ftFloat);
      else
        value_ = TVTblValue::Float(sum_.f / double(count_));
      break;
    default:
      value_ = sum_;
      if (count_ == 0) SetNull(value_, DataType());
      break;
  }
  return value_;
}

std::string TVTblExprNodeAggregated::SQLText() const {
  if (op_ == opCountAll) return "COUNT(*)";
  return std::string(OperatorName(op_)) + "(" + (distinct_ ? "DISTINCT " : "") +
         children_[0]->SQLText() + ")";
}

uint8_t TVTblExprNodeAggregated::DataType() const {
  switch (op_) {
    case opCount:
    case opCountAll: return ftInteger;
    case opAvg: return ftFloat;
    case opSumAgg: {
      const uint8_t t = children_[0]->DataType();
      return t == ftFloat || t == ftCurrency ? t : uint8_t{ftLargeInt};
    }
    default: return children_[0]->DataType();
  }
}

void TVTblExprNodeAggregated::Dump(int level, std::string& out) const {
  DumpLine(level, "<group function>", out);
  for (const auto& c : children_) c->Dump(level + 1, out);
}

TVTblNodePtr TVTblExprNodeAggregated::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeAggregated>(op_, distinct_));
}

// ---- string functions -------------------------------------------------------------

namespace {

// The operand converted to String for UPPER..RTRIM; NULL gives "".
std::string StringOperand(const TVTblValue& v, int failCode, const char* fn) {
  if (v.isNull) return {};
  if (v.type == ftString) return v.s;
  try {
    TVTblValue c = v;
    ConvertValue(c, ftString);
    return c.s;
  } catch (const Exception&) {
    throw VTblException(failCode, {}, {fn});
  }
}

int32_t IntegerArgument(const TVTblValue& v) {
  if (v.type != ftInteger && v.type != ftAutoInc) throw VTblException(2107);
  return static_cast<int32_t>(v.i);
}

}  // namespace

const TVTblValue& TVTblExprNodeStringFunction::Evaluate(TVTblRowSource* ds) {
  switch (op_) {
    case opConcat: {
      Assign(value_, children_[0]->Evaluate(ds));
      for (size_t i = 1; i < children_.size(); ++i) AddValues(value_, children_[i]->Evaluate(ds));
      return value_;
    }
    case opUpper:
    case opLower:
    case opTrim:
    case opLTrim:
    case opRTrim: {
      static constexpr int kFail[] = {2098, 2099, 2100, 2101, 2102};
      const std::string s = StringOperand(children_[0]->Evaluate(ds), kFail[op_ - opUpper],
                                          OperatorName(op_));
      std::string r = op_ == opUpper   ? Loc().Upper(s)
                      : op_ == opLower ? Loc().Lower(s)
                                       : Trim(s, op_ != opRTrim, op_ != opLTrim);
      value_ = TVTblValue::String(r);
      return value_;
    }
    case opLength: {
      const TVTblValue& v = children_[0]->Evaluate(ds);
      if (!IsStringType(v.type)) throw VTblException(2121, {}, {"LENGTH"});
      const size_t n = v.isNull ? 0 : v.type == ftWideString ? v.w.size() : Utf8Length(v.s);
      value_ = TVTblValue::Integer(static_cast<int32_t>(n));
      return value_;
    }
    case opPosition: {
      const TVTblValue sub = children_[0]->Evaluate(ds);
      const TVTblValue& str = children_[1]->Evaluate(ds);
      if (!IsStringType(str.type)) throw VTblException(2124, {}, {"POS"});
      if (!IsStringType(sub.type))
        throw VTblException(str.type == ftString ? 2122 : 2123, {}, {"POS"});
      size_t pos = 0;
      if (str.type == ftWideString || sub.type == ftWideString) {
        const std::u16string hay = Utf8ToUtf16(str.Text()), needle = Utf8ToUtf16(sub.Text());
        const size_t at = hay.find(needle);
        pos = at == std::u16string::npos ? 0 : at + 1;
      } else {
        const size_t at = str.s.find(sub.s);
        pos = at == std::string::npos ? 0 : Utf8Length(std::string_view(str.s).substr(0, at)) + 1;
      }
      value_ = TVTblValue::Integer(static_cast<int32_t>(pos));
      return value_;
    }
    case opSubstring: {
      const TVTblValue str = children_[0]->Evaluate(ds);
      const TVTblValue start = children_[1]->Evaluate(ds);
      const int32_t from = IntegerArgument(start);
      std::optional<int32_t> length;
      if (children_.size() > 2) length = IntegerArgument(children_[2]->Evaluate(ds));
      if (!IsStringType(str.type)) throw VTblException(2125, {}, {"SUBSTRING"});
      if (str.isNull || start.isNull || (children_.size() > 2 && children_[2]->Evaluate(ds).isNull)) {
        SetNull(value_, str.type);
        return value_;
      }
      const int64_t first = std::max<int64_t>(from, 1) - 1;
      if (str.type == ftWideString) {
        const int64_t n = std::max<int64_t>(0, length.value_or(int32_t(str.w.size())));
        value_ = TVTblValue::Wide(first < int64_t(str.w.size())
                                      ? std::u16string(str.w.substr(first, n))
                                      : std::u16string());
      } else {
        const int64_t chars = static_cast<int64_t>(Utf8Length(str.s));
        const int64_t n = std::max<int64_t>(0, length.value_or(static_cast<int32_t>(chars)));
        const size_t b = Utf8Offset(str.s, static_cast<size_t>(std::min(first, chars)));
        const size_t e = Utf8Offset(str.s, static_cast<size_t>(std::min(first + n, chars)));
        value_ = TVTblValue::String(std::string_view(str.s).substr(b, e - b));
      }
      return value_;
    }
    default: throw VTblException(1053, {}, {int(op_)});
  }
}

std::string TVTblExprNodeStringFunction::SQLText() const {
  switch (op_) {
    case opConcat: return "(" + Joined(children_, " || ") + ")";
    case opLength: return "LENGTH(" + children_[0]->SQLText() + ")";
    case opPosition:
      return "POSITION(" + children_[0]->SQLText() + " IN " + children_[1]->SQLText() + ")";
    case opSubstring: {
      std::string out = "SUBSTRING(" + children_[0]->SQLText() + " FROM " + children_[1]->SQLText();
      if (children_.size() > 2) out += " FOR " + children_[2]->SQLText();
      return out + ")";
    }
    default: return std::string(OperatorName(op_)) + "(" + children_[0]->SQLText() + ")";
  }
}

int TVTblExprNodeStringFunction::DataSize() const {
  switch (op_) {
    case opConcat: return SummedStringSize(*this, DataType());
    case opLength:
    case opPosition: return 0;
    default: return children_[0]->DataSize();
  }
}

uint8_t TVTblExprNodeStringFunction::DataType() const {
  switch (op_) {
    case opConcat: return TVTblExprNode::DataType();
    case opLength:
    case opPosition: return ftInteger;
    case opSubstring: return children_[0]->DataType();
    default: return ftString;
  }
}

void TVTblExprNodeStringFunction::Dump(int level, std::string& out) const {
  DumpLine(level, "<string function>", out);
  for (const auto& c : children_) c->Dump(level + 1, out);
}

TVTblNodePtr TVTblExprNodeStringFunction::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeStringFunction>(op_));
}

// ---- date functions -------------------------------------------------------------

TVTblExprNodeDateFunction::TVTblExprNodeDateFunction(uint8_t op, std::string format)
    : TVTblExprNode(op), format_(std::move(format)) {
  if (op == opToDate || op == opToString) formater_ = std::make_unique<TDateFormater>(format_);
}

const TVTblValue& TVTblExprNodeDateFunction::Evaluate(TVTblRowSource* ds) {
  switch (op_) {
    case opNow: value_ = TVTblValue::DateTime(LocalNow()); break;
    case opCurrentDate: value_ = TVTblValue::Date(LocalNow().date); break;
    case opCurrentTime: value_ = TVTblValue::Time(LocalNow().time); break;
    case opToDate: {
      TVTblValue v = children_[0]->Evaluate(ds);
      if (v.isNull) {
        SetNull(value_, ftDateTime);
        break;
      }
      ConvertValue(v, ftString);
      value_ = ValueFromDateTimeNumber(formater_->ParseDate(v.s), ftDateTime);
      break;
    }
    case opToString: {
      const TVTblValue& v = children_[0]->Evaluate(ds);
      if (v.isNull) {
        SetNull(value_, ftString);
        break;
      }
      if (!IsDateTimeType(v.type)) throw VTblException(2140);
      value_ = TVTblValue::String(formater_->FormatDate(v.AsTimeStamp()));
      break;
    }
    default: throw VTblException(1053, {}, {int(op_)});
  }
  return value_;
}

std::string TVTblExprNodeDateFunction::SQLText() const {
  switch (op_) {
    case opNow: return "SYSDATE";
    case opCurrentDate: return "CURRENT_DATE";
    case opCurrentTime: return "CURRENT_TIME";
    case opToDate: return "TODATE(" + children_[0]->SQLText() + ", " + QuoteSql(format_) + ")";
    default: return "TOSTRING(" + children_[0]->SQLText() + ", " + QuoteSql(format_) + ")";
  }
}

int TVTblExprNodeDateFunction::DataSize() const {
  return op_ == opToString ? formater_->MaxLength() : 0;
}

uint8_t TVTblExprNodeDateFunction::DataType() const {
  switch (op_) {
    case opCurrentDate: return ftDate;
    case opCurrentTime: return ftTime;
    case opToString: return ftString;
    default: return ftDateTime;
  }
}

bool TVTblExprNodeDateFunction::HasNoFields() const {
  return children_.empty() || TVTblExprNode::HasNoFields();
}

TVTblNodePtr TVTblExprNodeDateFunction::Clone() const {
  return CloneInto(std::make_unique<TVTblExprNodeDateFunction>(op_, format_));
}

}  // namespace kestro
