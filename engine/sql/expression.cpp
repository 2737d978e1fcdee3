#include "engine/sql/expression.h"

#include <cstring>

#include "engine/common/exception.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

// Limits that keep hostile input from exhausting the stack: nested rules
// (parentheses, function arguments) and the depth of the finished tree.
constexpr int kMaxNesting = 128;
constexpr int kMaxTreeDepth = 2000;

bool IsOperatorSymbol(const std::string& t) {
  static constexpr const char* kSymbols[] = {"+", "-", "/", "=", "<", ">", "<=",
                                             ">=", "<>", "||", "|"};
  for (const char* s : kSymbols)
    if (t == s) return true;
  return false;
}

TVTblNodePtr Unary(uint8_t op, TVTblNodePtr child) {
  TVTblNodePtr node = op == opNegate ? TVTblNodePtr(new TVTblExprNodeArithmetic(op))
                                     : TVTblNodePtr(new TVTblExprNodeBoolean(op));
  node->Add(std::move(child));
  return node;
}

TVTblNodePtr Binary(TVTblNodePtr node, TVTblNodePtr a, TVTblNodePtr b) {
  node->Add(std::move(a));
  node->Add(std::move(b));
  return node;
}

int TreeDepth(const TVTblExprNode* root) {
  std::vector<std::pair<const TVTblExprNode*, int>> stack{{root, 1}};
  int deepest = 0;
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    deepest = std::max(deepest, depth);
    if (deepest > kMaxTreeDepth) break;
    for (const auto& c : node->Children()) stack.push_back({c.get(), depth + 1});
  }
  return deepest;
}

struct NestingGuard {
  explicit NestingGuard(int& depth) : d(depth) {
    if (++d > kMaxNesting)
      throw Exception("Error in TVTblExpression.Parse - expression nested too deeply.");
  }
  ~NestingGuard() { --d; }
  int& d;
};

}  // namespace

// ---- entry points -------------------------------------------------------------

void TVTblExpression::Parse() { throw Exception("This Method is not supported"); }

void TVTblExpression::ParseCondition() {
  CurrentToken();
  if (AtEnd()) {
    int32_t line, col;
    LastPosition(line, col);
    throw VTblException(1039, {}, {line});
  }
  valueMemo_.clear();
  depth_ = 0;
  TVTblNodePtr root = Condition();
  valueMemo_.clear();
  if (root->Op() == opAnd) {
    // WHERE a AND (b AND c) becomes one AND over a, b and c.
    std::vector<TVTblNodePtr> flat;
    for (auto& c : root->Children()) {
      if (c->Op() == opAnd) {
        for (auto& g : c->Children()) flat.push_back(std::move(g));
      } else {
        flat.push_back(std::move(c));
      }
    }
    root->Children() = std::move(flat);
  }
  if (TreeDepth(root.get()) > kMaxTreeDepth)
    throw Exception("Error in TVTblExpression.Parse - expression nested too deeply.");
  root_ = std::move(root);
}

void TVTblExpression::ParseValue() {
  CurrentToken();
  if (AtEnd()) {
    int32_t line, col;
    LastPosition(line, col);
    throw VTblException(1039, {}, {line});
  }
  valueMemo_.clear();
  depth_ = 0;
  const int start = Save();
  TVTblNodePtr root = Value();
  valueMemo_.clear();
  if (root == nullptr) {
    Restore(start);
    root_.reset();
    return;
  }
  if (TreeDepth(root.get()) > kMaxTreeDepth)
    throw Exception("Error in TVTblExpression.Parse - expression nested too deeply.");
  root_ = std::move(root);
}

bool TVTblExpression::IsField() const {
  return dynamic_cast<const TVTblExprNodeField*>(root_.get()) != nullptr;
}

void TVTblExpression::FieldNameOf(std::string& qualifier, std::string& name) const {
  const auto* f = dynamic_cast<const TVTblExprNodeField*>(root_.get());
  if (f == nullptr) throw VTblException(1062);
  qualifier = f->Qualifier();
  name = f->Name();
}

void TVTblExpression::Bind(TVTblRowSource* input) {
  if (root_) root_->Bind(input);
}

bool TVTblExpression::CanEvaluateOn(const TVTblRowSource& input) const {
  return root_ == nullptr || root_->CanEvaluateOn(input);
}

const TVTblValue& TVTblExpression::Evaluate(TVTblRowSource* dataset) {
  if (!root_) throw VTblException(1070);
  return root_->Evaluate(dataset);
}

void TVTblExpression::Evaluate(TVTblRowSource* dataset, TVTblValue& value) {
  value = Evaluate(dataset);
}

uint8_t TVTblExpression::DataType() const { return root_ ? root_->DataType() : 0; }
int TVTblExpression::DataSize() const { return root_ ? root_->DataSize() : 0; }
bool TVTblExpression::IsAggregate() const { return root_ && root_->IsAggregate(); }
bool TVTblExpression::HasNoFields() const { return !root_ || root_->HasNoFields(); }

void TVTblExpression::ResetAggregates() {
  if (root_) root_->ResetAggregates();
}

void TVTblExpression::Accumulate() {
  if (root_) root_->Accumulate();
}

void TVTblExpression::ResolveAliases(const std::vector<TVTblSelectListItem>& items) {
  if (root_) root_->ResolveAliases(items);
}

std::string TVTblExpression::SQLText() const { return root_ ? root_->SQLText() : std::string(); }

std::string TVTblExpression::Dump() const {
  std::string out;
  if (root_) root_->Dump(0, out);
  return out;
}

// ---- token helpers --------------------------------------------------------------

bool TVTblExpression::IsSymbol(const char* text) const {
  return token_.kind == tktString && token_.text == text;
}

void TVTblExpression::Restore(int position) { token_ = lexer_->SetTokenPosition(position); }

void TVTblExpression::LastPosition(int32_t& line, int32_t& column) const {
  line = column = 0;
  const int i = lexer_->CurrentCommandIndex();
  if (i >= 0 && i < lexer_->CommandCount() && !lexer_->Command(i).tokens.empty()) {
    line = lexer_->Command(i).tokens.back().line;
    column = lexer_->Command(i).tokens.back().column;
  }
}

void TVTblExpression::Fail(int code) const {
  if (!AtEnd()) RaiseAtToken(code);
  int32_t line, col;
  LastPosition(line, col);
  throw VTblException(code, {}, {"", line, col});
}

void TVTblExpression::FailExpected(int code, const char* expected) const {
  int32_t line = token_.line, col = token_.column;
  if (AtEnd()) LastPosition(line, col);
  throw VTblException(code, {}, {expected, token_.text, line, col});
}

void TVTblExpression::FailFunction(int code, const char* function) const {
  int32_t line = token_.line, col = token_.column;
  if (AtEnd()) LastPosition(line, col);
  throw VTblException(code, {}, {function, line, col});
}

// ---- conditions -------------------------------------------------------------------

TVTblNodePtr TVTblExpression::Condition() {
  NestingGuard guard(depth_);
  TVTblNodePtr left = OrOperand();
  if (!IsWord(rwOR)) return left;
  // One n-ary OR node: evaluation is the same as a left-to-right chain of
  // two-operand nodes, and long OR lists cannot nest the tree deeply.
  auto node = std::make_unique<TVTblExprNodeBoolean>(opOr);
  node->Add(std::move(left));
  while (IsWord(rwOR)) {
    Advance();
    if (AtEnd()) Fail(1037);
    node->Add(OrOperand());
  }
  return node;
}

TVTblNodePtr TVTblExpression::OrOperand() {
  TVTblNodePtr first = NotOperand();
  if (!IsWord(rwAND)) return first;
  auto node = std::make_unique<TVTblExprNodeBoolean>(opAnd);
  node->Add(std::move(first));
  while (IsWord(rwAND)) {
    Advance();
    if (AtEnd()) Fail(1038);
    node->Add(NotOperand());
  }
  return node;
}

TVTblNodePtr TVTblExpression::NotOperand() {
  if (AtEnd()) Fail(1040);
  if (IsWord(rwNOT)) {
    Advance();
    if (AtEnd()) Fail(1040);
    return Unary(opNot, Test());
  }
  return Test();
}

TVTblNodePtr TVTblExpression::Test() {
  const int start = Save();
  TVTblNodePtr p = PrimaryCondition();
  if (!p) {
    Restore(start);
    Fail(1041);
  }
  if (!IsWord(rwIS)) return p;
  const TToken isToken = token_;
  Advance();
  if (AtEnd()) throw VTblException(1042, {}, {isToken.text, isToken.line, isToken.column});
  bool negated = false;
  if (IsWord(rwNOT)) {
    const TToken notToken = token_;
    negated = true;
    Advance();
    if (AtEnd()) throw VTblException(1043, {}, {notToken.text, notToken.line, notToken.column});
  }
  TVTblNodePtr result;
  if (IsWord(rwTRUE))
    result = negated ? Unary(opNot, std::move(p)) : std::move(p);
  else if (IsWord(rwFALSE))
    result = negated ? std::move(p) : Unary(opNot, std::move(p));
  else if (IsWord(rwUNKNOWN))
    result = Unary(negated ? opIsNotNull : opIsNull, std::move(p));
  else
    FailExpected(1044, "TRUE, FALSE or UNKNOWN");
  Advance();
  return result;
}

TVTblNodePtr TVTblExpression::PrimaryCondition() {
  if (token_.kind != tktLeftParenthesis) return Predicate();
  // A parenthesis here always opens a nested condition.
  Advance();
  TVTblNodePtr c = Condition();
  if (token_.kind != tktRightParenthesis) return nullptr;
  Advance();
  return c;
}

TVTblNodePtr TVTblExpression::Predicate() {
  const int start = Save();
  if (IsWord(rwTRUE) || IsWord(rwFALSE)) {
    auto c = std::make_unique<TVTblExprNodeConst>(TVTblValue::Boolean(IsWord(rwTRUE)));
    Advance();
    return c;
  }
  TVTblNodePtr left = Operand();
  if (!left) {
    Restore(start);
    return nullptr;
  }
  // Every alternative begins with the same operand; the token after it
  // chooses the one that can succeed.
  auto fail = [&]() -> TVTblNodePtr {
    Restore(start);
    return nullptr;
  };
  static constexpr std::pair<const char*, uint8_t> kComparisons[] = {
      {"=", opEqual}, {"<>", opNotEqual}, {"<", opLess},
      {">", opGreater}, {"<=", opLessEqual}, {">=", opGreaterEqual}};
  for (auto [symbol, op] : kComparisons) {
    if (!IsSymbol(symbol)) continue;
    Advance();
    TVTblNodePtr right = Operand();
    if (!right) return fail();
    return Binary(std::make_unique<TVTblExprNodeComparison>(op), std::move(left),
                  std::move(right));
  }
  if (IsWord(rwIS)) {
    Advance();
    bool negated = false;
    if (IsWord(rwNOT)) {
      negated = true;
      Advance();
    }
    if (!IsWord(rwNULL)) return fail();
    Advance();
    return Unary(negated ? opIsNotNull : opIsNull, std::move(left));
  }
  bool negated = false;
  if (IsWord(rwNOT)) {
    negated = true;
    Advance();
  }
  if (IsWord(rwLIKE)) {
    Advance();
    TVTblNodePtr right = Operand();
    if (!right) return fail();
    return Binary(std::make_unique<TVTblExprNodeBoolean>(negated ? opNotLike : opLike),
                  std::move(left), std::move(right));
  }
  if (IsWord(rwBETWEEN)) {
    Advance();
    TVTblNodePtr low = Operand();
    if (!low || !IsWord(rwAND)) return fail();
    Advance();
    TVTblNodePtr high = Operand();
    if (!high) return fail();
    auto node = std::make_unique<TVTblExprNodeBoolean>(negated ? opNotBetween : opBetween);
    node->Add(std::move(left));
    node->Add(std::move(low));
    node->Add(std::move(high));
    return node;
  }
  if (IsWord(rwIN)) {
    Advance();
    if (token_.kind != tktLeftParenthesis) return fail();
    Advance();
    auto node = std::make_unique<TVTblExprNodeBoolean>(negated ? opNotIn : opIn);
    node->Add(std::move(left));
    for (;;) {
      TVTblNodePtr v = Value();
      if (!v) return fail();
      node->Add(std::move(v));
      if (token_.kind == tktComma) {
        Advance();
        continue;
      }
      if (token_.kind != tktRightParenthesis) return fail();
      Advance();
      return node;
    }
  }
  return fail();
}

// ---- values -------------------------------------------------------------------------

TVTblNodePtr TVTblExpression::Operand() {
  if (IsWord(rwNULL)) {
    Advance();
    return std::make_unique<TVTblExprNodeConst>(TVTblValue::Null());
  }
  return Value();
}

TVTblNodePtr TVTblExpression::Value() {
  const int start = Save();
  if (auto it = valueMemo_.find(start); it != valueMemo_.end()) {
    Restore(it->second.end);
    return it->second.node ? it->second.node->Clone() : nullptr;
  }
  NestingGuard guard(depth_);
  TVTblNodePtr node = ValueUncached();
  if (!node) Restore(start);
  valueMemo_[start] = Memo{Save(), node ? node->Clone() : nullptr};
  return node;
}

TVTblNodePtr TVTblExpression::ValueUncached() {
  const int start = Save();
  if (TVTblNodePtr n = NumericExpression()) return n;
  Restore(start);
  if (TVTblNodePtr n = StringExpression()) return n;
  Restore(start);
  if (TVTblNodePtr n = DateFunction()) return n;
  Restore(start);
  if (IsWord(rwTRUE) || IsWord(rwFALSE)) {
    auto c = std::make_unique<TVTblExprNodeConst>(TVTblValue::Boolean(IsWord(rwTRUE)));
    Advance();
    return c;
  }
  if (IsWord(rwNULL)) {
    Advance();
    return std::make_unique<TVTblExprNodeConst>(TVTblValue::Null());
  }
  return nullptr;
}

TVTblNodePtr TVTblExpression::NumericExpression() {
  TVTblNodePtr first = Term();
  if (!first) return nullptr;
  std::vector<TVTblNodePtr> terms;
  terms.push_back(std::move(first));
  while (IsSymbol("+") || IsSymbol("-")) {
    const bool minus = IsSymbol("-");
    Advance();
    TVTblNodePtr t = Term();
    if (!t) return nullptr;
    terms.push_back(minus ? Unary(opNegate, std::move(t)) : std::move(t));
  }
  if (IsSymbol("||")) return nullptr;  // concatenation: the string alternative
  if (terms.size() == 1) return std::move(terms[0]);
  auto sum = std::make_unique<TVTblExprNodeArithmetic>(opSum);
  for (auto& t : terms) sum->Add(std::move(t));
  return sum;
}

TVTblNodePtr TVTblExpression::Term() {
  TVTblNodePtr left = Factor();
  if (!left) return nullptr;
  while (IsSymbol("*") || IsSymbol("/")) {
    const uint8_t op = IsSymbol("*") ? opMultiply : opDivide;
    Advance();
    TVTblNodePtr right = Factor();
    if (!right) return nullptr;
    left = Binary(std::make_unique<TVTblExprNodeArithmetic>(op), std::move(left), std::move(right));
  }
  return left;
}

TVTblNodePtr TVTblExpression::Factor() {
  bool minus = false;
  if (IsSymbol("+") || IsSymbol("-")) {
    minus = IsSymbol("-");
    Advance();
  }
  TVTblNodePtr p = NumericPrimary();
  if (!p) return nullptr;
  return minus ? Unary(opNegate, std::move(p)) : std::move(p);
}

TVTblNodePtr TVTblExpression::NumericPrimary() {
  // Literals that are not numbers go to the string alternative.
  if (token_.kind == tktQuotedString || IsWord(rwTRUE) || IsWord(rwFALSE)) return nullptr;
  const int start = Save();
  if (TVTblNodePtr p = Primary()) return p;
  Restore(start);
  if (IsWord(rwPOSITION) || IsWord(rwPOS)) return Position();
  if (IsWord(rwLENGTH)) return Length();
  if (IsWord(rwLASTAUTOINC)) return LastAutoInc();
  return nullptr;
}

TVTblNodePtr TVTblExpression::Primary() {
  switch (token_.kind) {
    case tktInt: {
      int64_t v;
      if (!TryStrToInt64(token_.text, v) || v < INT32_MIN || v > INT32_MAX)
        throw EConvertError("'" + token_.text + "' is not a valid integer value");
      Advance();
      return std::make_unique<TVTblExprNodeConst>(TVTblValue::Integer(static_cast<int32_t>(v)));
    }
    case tktFloat: {
      double v;
      if (!TryStrToFloatInvariant(token_.text, v))
        throw EConvertError("'" + token_.text + "' is not a valid floating point value");
      Advance();
      return std::make_unique<TVTblExprNodeConst>(TVTblValue::Float(v));
    }
    case tktQuotedString: {
      TVTblValue v = token_.wide.empty() ? TVTblValue::String(token_.text)
                                         : TVTblValue::Wide(token_.wide);
      Advance();
      return std::make_unique<TVTblExprNodeConst>(std::move(v));
    }
    case tktLeftParenthesis: {
      const int start = Save();
      Advance();
      TVTblNodePtr v = Value();
      if (!v) {
        Restore(start);
        return nullptr;
      }
      if (token_.kind != tktRightParenthesis) Fail(2111);
      Advance();
      return v;
    }
    default: break;
  }
  if (TVTblNodePtr c = ColumnReference()) return c;
  if (TVTblNodePtr a = Aggregate()) return a;
  if (IsWord(rwCAST)) return Cast();
  return nullptr;
}

TVTblNodePtr TVTblExpression::StringExpression() {
  TVTblNodePtr first = StringPrimary();
  if (!first) return nullptr;
  if (!IsSymbol("||") && !IsSymbol("+")) return first;
  auto node = std::make_unique<TVTblExprNodeStringFunction>(opConcat);
  node->Add(std::move(first));
  while (IsSymbol("||") || IsSymbol("+")) {
    Advance();
    TVTblNodePtr next = StringPrimary();
    if (!next) return nullptr;
    node->Add(std::move(next));
  }
  return node;
}

TVTblNodePtr TVTblExpression::StringPrimary() {
  const int start = Save();
  if (TVTblNodePtr p = Primary()) return p;
  Restore(start);
  if (IsWord(rwUPPER) || IsWord(rwLOWER) || IsWord(rwTRIM) || IsWord(rwLTRIM) || IsWord(rwRTRIM))
    return StringFunction();
  if (IsWord(rwSUBSTRING)) return Substring();
  if (IsWord(rwTOSTRING)) return ToStringFunction();
  return nullptr;
}

TVTblNodePtr TVTblExpression::DateFunction() {
  uint8_t op = opNone;
  if (IsWord(rwSYSDATE) || IsWord(rwNOW) || IsWord(rwCURRENT_TIMESTAMP))
    op = opNow;
  else if (IsWord(rwCURRENT_DATE))
    op = opCurrentDate;
  else if (IsWord(rwCURRENT_TIME))
    op = opCurrentTime;
  else if (IsWord(rwTODATE))
    return ToDateFunction();
  else
    return nullptr;
  Advance();
  return std::make_unique<TVTblExprNodeDateFunction>(op);
}

TVTblNodePtr TVTblExpression::ColumnReference() {
  auto isName = [this] {
    return (token_.kind == tktString && !IsOperatorSymbol(token_.text)) ||
           token_.kind == tktBracketedString || token_.kind == tktReservedWord;
  };
  if (!isName()) return nullptr;
  const int start = Save();
  TToken first = token_;
  Advance();
  std::string qualifier;
  TToken name = first;
  if (token_.kind == tktDot) {
    Advance();
    if (!isName()) {
      Restore(start);
      return nullptr;
    }
    qualifier = first.text;
    name = token_;
    Advance();
  }
  // Reserved words name columns only in brackets; a name before '(' is a
  // function.
  if (name.kind == tktReservedWord || token_.kind == tktLeftParenthesis) {
    Restore(start);
    return nullptr;
  }
  return std::make_unique<TVTblExprNodeField>(std::move(qualifier), name.text);
}

// ---- functions ----------------------------------------------------------------------

TVTblNodePtr TVTblExpression::Aggregate() {
  if (token_.kind != tktReservedWord) return nullptr;
  static constexpr std::pair<const char*, uint8_t> kNames[] = {
      {"COUNT", opCount}, {"AVG", opAvg}, {"MAX", opMax}, {"MIN", opMin}, {"SUM", opSumAgg}};
  uint8_t op = opNone;
  const char* name = nullptr;
  for (auto [n, o] : kNames)
    if (SameTextAscii(token_.text, n)) op = o, name = n;
  if (op == opNone) return nullptr;
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2104);
  Advance();
  if (op == opCount && IsSymbol("*")) {
    Advance();
    if (token_.kind != tktRightParenthesis) Fail(2103);
    Advance();
    return std::make_unique<TVTblExprNodeAggregated>(opCountAll, false);
  }
  bool distinct = false;
  if (IsWord(rwDISTINCT)) {
    distinct = true;
    Advance();
  }
  TVTblNodePtr arg = Value();
  if (!arg) FailFunction(2105, name);
  if (token_.kind != tktRightParenthesis) Fail(2106);
  Advance();
  auto node = std::make_unique<TVTblExprNodeAggregated>(op, distinct);
  node->Add(std::move(arg));
  return node;
}

TVTblNodePtr TVTblExpression::Cast() {
  Advance();
  if (token_.kind != tktLeftParenthesis) FailExpected(1024, "(");
  Advance();
  TVTblNodePtr arg = Operand();
  if (!arg) Fail(1090);
  if (token_.kind == tktComma || IsWord(rwAS))
    Advance();
  else
    FailExpected(1024, "AS");
  const std::string typeName = token_.text;
  const uint8_t type = AtEnd() ? 0 : FieldTypeOfSqlName(typeName);
  if (!IsValueType(type) || type == ftAutoInc) throw VTblException(2115, {}, {typeName});
  Advance();
  if (token_.kind != tktRightParenthesis) Fail(2116);
  Advance();
  auto node = std::make_unique<TVTblExprNodeCast>(type);
  node->Add(std::move(arg));
  return node;
}

TVTblNodePtr TVTblExpression::StringFunction() {
  uint8_t op = IsWord(rwUPPER) ? opUpper
               : IsWord(rwLOWER) ? opLower
               : IsWord(rwTRIM)  ? opTrim
               : IsWord(rwLTRIM) ? opLTrim
                                 : opRTrim;
  const char* name = OperatorName(op);
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2094);
  Advance();
  TVTblNodePtr arg = StringExpression();
  if (!arg) {
    int32_t line = token_.line, col = token_.column;
    if (AtEnd()) LastPosition(line, col);
    throw VTblException(2096, {}, {name, token_.text, line, col});
  }
  if (token_.kind != tktRightParenthesis) Fail(2095);
  Advance();
  auto node = std::make_unique<TVTblExprNodeStringFunction>(op);
  node->Add(std::move(arg));
  return node;
}

TVTblNodePtr TVTblExpression::Substring() {
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2126);
  Advance();
  auto node = std::make_unique<TVTblExprNodeStringFunction>(opSubstring);
  TVTblNodePtr str = StringExpression();
  if (!str) FailFunction(2127, "SUBSTRING");
  node->Add(std::move(str));
  if (token_.kind == tktComma || IsWord(rwFROM))
    Advance();
  else
    FailExpected(2128, ",' or 'from");
  TVTblNodePtr start = NumericExpression();
  if (!start) FailFunction(2129, "SUBSTRING");
  node->Add(std::move(start));
  if (token_.kind == tktComma || IsWord(rwFOR)) {
    Advance();
    TVTblNodePtr length = NumericExpression();
    if (!length) FailFunction(2129, "SUBSTRING");
    node->Add(std::move(length));
    if (token_.kind != tktRightParenthesis) Fail(2131);
  } else if (token_.kind != tktRightParenthesis) {
    FailExpected(2130, ")' or ',' or 'FOR");
  }
  Advance();
  return node;
}

TVTblNodePtr TVTblExpression::Position() {
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2132);
  Advance();
  auto node = std::make_unique<TVTblExprNodeStringFunction>(opPosition);
  TVTblNodePtr sub = StringExpression();
  if (!sub) FailFunction(2134, "POS");
  node->Add(std::move(sub));
  if (token_.kind == tktComma || IsWord(rwIN))
    Advance();
  else
    FailExpected(2135, ",' or 'IN");
  TVTblNodePtr str = StringExpression();
  if (!str) FailFunction(2136, "POS");
  node->Add(std::move(str));
  if (token_.kind != tktRightParenthesis) Fail(2133);
  Advance();
  return node;
}

TVTblNodePtr TVTblExpression::Length() {
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2137);
  Advance();
  TVTblNodePtr arg = StringExpression();
  if (!arg) FailFunction(2138, "LENGTH");
  if (token_.kind != tktRightParenthesis) Fail(2139);
  Advance();
  auto node = std::make_unique<TVTblExprNodeStringFunction>(opLength);
  node->Add(std::move(arg));
  return node;
}

TVTblNodePtr TVTblExpression::ToStringFunction() {
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2147);
  Advance();
  TVTblNodePtr arg = Value();
  if (!arg) FailFunction(2148, "TOSTRING");
  if (token_.kind == tktComma || IsWord(rwFROM))
    Advance();
  else
    FailExpected(2149, ",");
  if (token_.kind != tktQuotedString) Fail(2144);
  const std::string format = token_.text;
  Advance();
  if (token_.kind != tktRightParenthesis) Fail(2131);
  Advance();
  auto node = std::make_unique<TVTblExprNodeDateFunction>(opToString, format);
  node->Add(std::move(arg));
  return node;
}

TVTblNodePtr TVTblExpression::ToDateFunction() {
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2142);
  Advance();
  TVTblNodePtr arg = StringExpression();
  if (!arg) FailFunction(2141, "ToDate");
  if (token_.kind == tktComma)
    Advance();
  else
    FailExpected(2143, ",");
  if (token_.kind != tktQuotedString) Fail(2144);
  const std::string format = token_.text;
  Advance();
  if (token_.kind != tktRightParenthesis) Fail(2145);
  Advance();
  auto node = std::make_unique<TVTblExprNodeDateFunction>(opToDate, format);
  node->Add(std::move(arg));
  return node;
}

TVTblNodePtr TVTblExpression::LastAutoInc() {
  Advance();
  if (token_.kind != tktLeftParenthesis) Fail(2155);
  Advance();
  bool inMemory = false;
  if (IsWord(rwMEMORY)) {
    inMemory = true;
    Advance();
  }
  const bool isTable = (token_.kind == tktString && !IsOperatorSymbol(token_.text)) ||
                       token_.kind == tktQuotedString || token_.kind == tktBracketedString;
  if (!isTable) Fail(2152);
  const std::string table = token_.text;
  Advance();
  std::string password;
  if (IsWord(rwPASSWORD)) {
    Advance();
    if (token_.kind != tktQuotedString) Fail(2153);
    password = token_.text;
    Advance();
  }
  if (token_.kind != tktRightParenthesis) Fail(2154);
  Advance();
  return std::make_unique<TVTblExprNodeSystem>(table, inMemory, password);
}

}  // namespace kestro
