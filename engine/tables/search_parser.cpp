#include "engine/tables/search_parser.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "engine/common/exception.h"
#include "engine/common/field_types.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/tables/data_manager.h"

namespace kestro {

void TBitsArray::And(const TBitsArray& o) {
  for (size_t i = 0; i < bits_.size() && i < o.bits_.size(); ++i) bits_[i] &= o.bits_[i];
}

void TBitsArray::Or(const TBitsArray& o) {
  for (size_t i = 0; i < bits_.size() && i < o.bits_.size(); ++i) bits_[i] |= o.bits_[i];
}

void TBitsArray::Not() {
  for (auto& b : bits_) b = b ? 0 : 1;
}

struct TSearchParser::Cursor {
  const std::string& text;
  size_t pos = 0;

  void Skip() {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n')) ++pos;
  }
  std::string Rest() const { return "\"" + text.substr(std::min(pos, text.size())) + "\""; }
  bool AtEnd() {
    Skip();
    return pos >= text.size();
  }
  // Keywords are recognised by their letters alone; a blank in `word`
  // stands for any run of blanks.
  bool Keyword(const char* word) {
    Skip();
    size_t p = pos;
    for (const char* w = word; *w; ++w) {
      if (*w == ' ') {
        if (p >= text.size() || text[p] != ' ') return false;
        while (p < text.size() && text[p] == ' ') ++p;
        continue;
      }
      if (p >= text.size() || AsciiLower(text[p]) != *w) return false;
      ++p;
    }
    pos = p;
    return true;
  }
};

void TSearchParser::Parse(const std::string& condition, const TVellDataManager& table,
                          TSearchOptions options) {
  table_ = &table;
  options_ = options;
  items_.clear();
  Cursor c{condition};
  if (c.AtEnd()) throw Exception("TSearchParser.Parse - Expression is blank.");
  ParseCondition(c);
  if (!c.AtEnd()) throw Exception("End of line expected, but " + c.Rest() + " found");
}

void TSearchParser::ParseCondition(Cursor& c) {
  ParseTerm(c);
  while (c.Keyword("or")) {
    ParseTerm(c);
    items_.push_back({skOr, 0, "", soEqual, false, {}});
  }
}

void TSearchParser::ParseTerm(Cursor& c) {
  ParseFactor(c);
  while (c.Keyword("and")) {
    ParseFactor(c);
    items_.push_back({skAnd, 0, "", soEqual, false, {}});
  }
}

void TSearchParser::ParseFactor(Cursor& c) {
  if (c.AtEnd()) throw Exception("Unexpected meet of " + c.Rest() + "  found");
  if (c.Keyword("not ") || c.Keyword("not(")) {
    if (c.text[c.pos - 1] == '(') --c.pos;
    ParseFactor(c);
    items_.push_back({skNot, 0, "", soEqual, false, {}});
    return;
  }
  if (c.text[c.pos] == '(') {
    ++c.pos;
    ParseCondition(c);  // a group of one comparison is that comparison
    c.Skip();
    if (c.pos >= c.text.size() || c.text[c.pos] != ')')
      throw Exception("Closing bracket \")\" expected, but " + c.Rest() + " found");
    ++c.pos;
    return;
  }
  ParseComparison(c);
}

void TSearchParser::ParseComparison(Cursor& c) {
  c.Skip();
  TSearchOperation op;
  if (c.text[c.pos] == '[') {
    const size_t end = c.text.find(']', c.pos);
    if (end == std::string::npos)
      throw Exception("Closing square bracket \"]\" expected, but not found in " + c.Rest());
    std::string name = c.text.substr(c.pos + 1, end - c.pos - 1);
    const size_t b = name.find_first_not_of(' '), e = name.find_last_not_of(' ');
    name = b == std::string::npos ? std::string() : name.substr(b, e - b + 1);
    if (name.empty()) throw Exception("Invalid field name \"" + c.text.substr(c.pos, end - c.pos + 1) + "\"");
    op.fieldName = name;
    c.pos = end + 1;
  } else {
    const size_t start = c.pos;
    while (c.pos < c.text.size() && (std::isalnum(static_cast<unsigned char>(c.text[c.pos])) || c.text[c.pos] == '_'))
      ++c.pos;
    if (c.pos == start) throw Exception("Unexpected meet of " + c.Rest() + "  found");
    op.fieldName = c.text.substr(start, c.pos - start);
  }
  if (strcasecmp(op.fieldName.c_str(), table_->AutoIncFieldName().c_str()) == 0) {
    op.field = kRecordIdField;
  } else {
    op.field = -2;
    for (size_t i = 0; i < table_->Fields().size(); ++i)
      if (strcasecmp(table_->Fields()[i].name.c_str(), op.fieldName.c_str()) == 0) op.field = int32_t(i);
    if (op.field == -2) throw Exception("Invalid field name \"" + op.fieldName + "\"");
  }
  static constexpr std::pair<const char*, TSearchOperator> kOperators[] = {
      {"=", soEqual}, {"<>", soNotEqual}, {"<=", soLessEqual}, {">=", soGreaterEqual}, {"<", soLess},
      {">", soGreater}, {"like", soLike}, {"not like", soNotLike}, {"is null", soIsNull},
      {"is not null", soIsNotNull}};
  bool found = false;
  for (auto [text, code] : kOperators) {
    if (c.Keyword(text)) {
      op.op = code;
      found = true;
      break;
    }
  }
  if (!found) throw Exception("Operator expected, but " + c.Rest() + "  found");
  const uint8_t type = op.field == kRecordIdField ? uint8_t(ftAutoInc) : table_->Fields()[size_t(op.field)].type;
  if (op.op != soIsNull && op.op != soIsNotNull) {
    c.Skip();
    TVTblValue v;
    const char q = c.pos < c.text.size() ? c.text[c.pos] : '\0';
    if (q == '\'' || q == '"') {
      std::string s;
      size_t p = c.pos + 1;
      for (;;) {
        if (p >= c.text.size())
          throw Exception("Unterminated string " + s + c.text.substr(c.pos));
        if (c.text[p] == q) {
          if (p + 1 < c.text.size() && c.text[p + 1] == q) {
            s += q;
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        s += c.text[p++];
      }
      c.pos = p;
      if (IsStringType(type) && !options_.noPartialCompare) {
        if (!s.empty() && s.back() == '*') {
          s.pop_back();
          op.partial = true;
        } else if (s.empty() && (op.op == soEqual || op.op == soNotEqual)) {
          op.op = op.op == soEqual ? soIsNull : soIsNotNull;
        }
      }
      v = TVTblValue::String(s);
    } else if (c.Keyword("true") || c.Keyword("false")) {
      v = TVTblValue::Boolean(AsciiLower(c.text[c.pos - 1]) == 'e' && AsciiLower(c.text[c.pos - 2]) == 'u');
    } else {
      const char sep = TVellLocale::Current().DecimalSeparator();
      const size_t start = c.pos;
      while (c.pos < c.text.size() &&
             (std::isdigit(static_cast<unsigned char>(c.text[c.pos])) || c.text[c.pos] == sep ||
              c.text[c.pos] == '+' || c.text[c.pos] == '-'))
        ++c.pos;
      if (c.pos == start) throw Exception("Number expected, but " + c.Rest() + "  found");
      v = TVTblValue::String(c.text.substr(start, c.pos - start));
      if (!IsStringType(type)) ConvertValue(v, v.s.find(sep) != std::string::npos ? uint8_t(ftFloat) : uint8_t(ftLargeInt));
    }
    if (op.op != soLike && op.op != soNotLike && IsValueType(type) && v.type != type) ConvertValue(v, type);
    op.value = std::move(v);
  }
  items_.push_back(std::move(op));
}

bool TSearchParser::Test(const TSearchOperation& op, const TVellDataManager& table, const uint8_t* record) const {
  const TVTblValue v = table.FieldValue(record, op.field);
  switch (op.op) {
    case soIsNull: return v.isNull;
    case soIsNotNull: return !v.isNull;
    case soLike:
    case soNotLike: {
      std::string text = v.isNull ? std::string() : ValueToText(v);
      std::string pattern = ValueToText(op.value);
      if (options_.caseInsensitive) {
        text = TVellLocale::Current().Upper(text);
        pattern = TVellLocale::Current().Upper(pattern);
      }
      return LikeMatchUtf8(text, pattern) == (op.op == soLike);
    }
    default: break;
  }
  if (v.isNull) return false;
  using R = TVTblCompareResult;
  const R r = CompareValues(v, op.value, {options_.caseInsensitive && IsStringType(v.type), op.partial});
  switch (op.op) {
    case soEqual: return r == R::Equal;
    case soNotEqual: return r != R::Equal;
    case soLess: return r == R::Less;
    case soLessEqual: return r != R::Greater;
    case soGreater: return r == R::Greater;
    default: return r != R::Less;  // soGreaterEqual
  }
}

TBitsArray TSearchParser::EvaluateComparison(const TSearchOperation& op, TVellDataManager& table) const {
  const int32_t n = table.RecordCount();
  TBitsArray bits(static_cast<size_t>(n));
  std::vector<uint8_t> rec(size_t(table.Layout().recordSize));
  // An index whose first key is the field, with the matching case rule.
  int32_t use = -1;
  const bool text = op.field != kRecordIdField && IsStringType(table.Fields()[size_t(op.field)].type);
  if (op.op != soLike && op.op != soNotLike) {
    for (int32_t i = 0; i < int32_t(table.Indexes().size()) && use < 0; ++i) {
      const TIndexHeader& ix = table.Indexes()[size_t(i)];
      if (ix.fields[0] == op.field && (!text || ix.caseInsensitive[0] == options_.caseInsensitive)) use = i;
    }
  }
  if (use < 0) {
    for (int32_t slot = 0; slot < n; ++slot) {
      table.GetRecord(slot, rec.data());
      bits.Set(size_t(slot), Test(op, table, rec.data()));
    }
    return bits;
  }
  const std::vector<int32_t>& order = table.Ensure(use);
  const bool asc = table.Indexes()[size_t(use)].ascending[0];
  // Key against the value in index order: nulls first (last when descending).
  auto cmp = [&](int32_t slot) {
    table.GetRecord(slot, rec.data());
    const TVTblValue v = table.FieldValue(rec.data(), op.field);
    int c;
    if (v.isNull) {
      c = -1;
    } else {
      const auto r = CompareValues(v, op.value, {options_.caseInsensitive && text, op.partial});
      c = r == TVTblCompareResult::Equal ? 0 : r == TVTblCompareResult::Less ? -1 : 1;
    }
    return asc ? c : -c;
  };
  size_t lo = 0, hi = order.size();
  if (op.op != soIsNull && op.op != soIsNotNull && op.op != soNotEqual) {
    size_t a = 0, b = order.size();
    while (a < b) {
      const size_t m = (a + b) / 2;
      (cmp(order[m]) < 0 ? a = m + 1 : b = m);
    }
    size_t c2 = a, d = order.size();
    while (c2 < d) {
      const size_t m = (c2 + d) / 2;
      (cmp(order[m]) <= 0 ? c2 = m + 1 : d = m);
    }
    const size_t eqLo = a, eqHi = c2, all = order.size();
    switch (op.op) {
      case soEqual: lo = eqLo, hi = eqHi; break;
      case soLess: asc ? (lo = 0, hi = eqLo) : (lo = eqHi, hi = all); break;
      case soLessEqual: asc ? (lo = 0, hi = eqHi) : (lo = eqLo, hi = all); break;
      case soGreater: asc ? (lo = eqHi, hi = all) : (lo = 0, hi = eqLo); break;
      default: asc ? (lo = eqLo, hi = all) : (lo = 0, hi = eqHi); break;
    }
  }
  for (size_t p = lo; p < hi; ++p) {
    table.GetRecord(order[p], rec.data());
    bits.Set(size_t(order[p]), Test(op, table, rec.data()));
  }
  return bits;
}

TBitsArray TSearchParser::Evaluate(TVellDataManager& table) const {
  if (items_.empty()) throw Exception("TSearchParser.Parse - Expression is blank.");
  std::vector<TBitsArray> stack;
  stack.reserve(5);
  for (const TSearchOperation& op : items_) {
    switch (op.kind) {
      case skComparison: stack.push_back(EvaluateComparison(op, table)); break;
      case skNot: stack.back().Not(); break;
      case skAnd:
      case skOr: {
        TBitsArray right = std::move(stack.back());
        stack.pop_back();
        op.kind == skAnd ? stack.back().And(right) : stack.back().Or(right);
        break;
      }
      default: break;
    }
  }
  return std::move(stack.back());
}

bool TSearchParser::Matches(const TVellDataManager& table, const uint8_t* record) const {
  if (items_.empty()) throw Exception("TSearchParser.Parse - Expression is blank.");
  std::vector<bool> stack;
  for (const TSearchOperation& op : items_) {
    switch (op.kind) {
      case skComparison: stack.push_back(Test(op, table, record)); break;
      case skNot: stack.back() = !stack.back(); break;
      case skAnd:
      case skOr: {
        const bool right = stack.back();
        stack.pop_back();
        stack.back() = op.kind == skAnd ? (stack.back() && right) : (stack.back() || right);
        break;
      }
      default: break;
    }
  }
  return stack.back();
}

}  // namespace kestro
