#include "engine/query/operators.h"

#include <algorithm>
#include <random>

#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/vell_table.h"
#include "engine/query/statements.h"

namespace kestro {
namespace {

uint32_t RandomBelow(uint32_t bound) {
  static std::mt19937 engine{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, bound - 1)(engine);
}

// Orders two key vectors: NULL first; 0 when equal.
int CompareKeyValues(const std::vector<TVTblValue>& a, const std::vector<TVTblValue>& b,
                     bool nullsEqual = false) {
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k].isNull || b[k].isNull) {
      if (a[k].isNull && b[k].isNull) {
        if (nullsEqual) continue;
        return -1;
      }
      return a[k].isNull ? -1 : 1;
    }
    const TVTblCompareResult r = CompareValues(a[k], b[k]);
    if (r == TVTblCompareResult::Less) return -1;
    if (r == TVTblCompareResult::Greater) return 1;
  }
  return 0;
}

bool AnyNull(const std::vector<TVTblValue>& key) {
  return std::any_of(key.begin(), key.end(), [](const TVTblValue& v) { return v.isNull; });
}

std::vector<TVTblValue> KeyOf(const std::vector<TVTblValue>& row, const std::vector<int>& columns) {
  std::vector<TVTblValue> key;
  key.reserve(columns.size());
  for (int c : columns) key.push_back(row[size_t(c)]);
  return key;
}

}  // namespace

// ---- base ------------------------------------------------------------------------------------

TVellAO::~TVellAO() = default;

bool TVellAO::First() {
  current_ = 0;
  return current_ < rows_.size();
}

bool TVellAO::Next() {
  if (current_ < rows_.size()) ++current_;
  return current_ < rows_.size();
}

void TVellAO::AddFilter(std::unique_ptr<TVTblExpression> condition) {
  condition->Bind(this);
  filters_.push_back(std::move(condition));
}

std::unique_ptr<TVTblExpression> TVellAO::FilterCondition() const {
  if (filters_.empty()) return nullptr;
  TVTblNodePtr root;
  if (filters_.size() == 1) {
    root = filters_[0]->Root()->Clone();
  } else {
    root = std::make_unique<TVTblExprNodeBoolean>(opAnd);
    for (const auto& f : filters_) root->Add(f->Root()->Clone());
  }
  return std::make_unique<TVTblExpression>(std::move(root));
}

int TVellAO::FindColumns(std::string_view name, std::string_view qualifier,
                         std::vector<int>& positions) const {
  int found = 0;
  for (size_t i = 0; i < columns_.size(); ++i) {
    const TVTblFieldLink& c = columns_[i];
    if (!qualifier.empty() && !SameTextAscii(qualifier, c.table) &&
        !(c.alias.size() && SameTextAscii(qualifier, c.alias)))
      continue;
    if (name == "*" || SameTextAscii(c.name, name) || SameTextAscii(c.displayName, name)) {
      positions.push_back(int(i));
      ++found;
    }
  }
  return found;
}

std::string TVellAO::ColumnName(int position) const {
  if (position < 0 || size_t(position) >= columns_.size())
    throw VTblException(11, {}, {name_, position});
  return columns_[size_t(position)].name;
}

uint8_t TVellAO::ColumnType(int position) const {
  if (position < 0 || size_t(position) >= columns_.size())
    throw VTblException(45, {}, {name_, position});
  return columns_[size_t(position)].type;
}

int TVellAO::ColumnSize(int position) const {
  if (position < 0 || size_t(position) >= columns_.size())
    throw VTblException(42, {}, {name_, position});
  return columns_[size_t(position)].size;
}

void TVellAO::ReadValue(int position, TVTblValue& value) {
  if (position < 0 || size_t(position) >= columns_.size())
    throw VTblException(41, {}, {name_, position});
  if (current_ >= rows_.size() || size_t(position) >= rows_[current_].size()) {
    value = TVTblValue::Null(columns_[size_t(position)].type);
    return;
  }
  value = rows_[current_][size_t(position)];
}

bool TVellAO::LastAutoInc(std::string_view table, bool inMemory, std::string_view password,
                          int32_t& value) {
  if (left_) return left_->LastAutoInc(table, inMemory, password, value);
  return autoIncSource_ != nullptr && autoIncSource_->LastAutoInc(table, inMemory, password, value);
}

std::vector<TVTblValue> TVellAO::CurrentRow() {
  std::vector<TVTblValue> row(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) ReadValue(int(i), row[i]);
  return row;
}

std::vector<int> TVellAO::VisibleColumns() const {
  std::vector<int> out;
  for (size_t i = 0; i < columns_.size(); ++i)
    if (!columns_[i].hidden) out.push_back(int(i));
  return out;
}

void TVellAO::SetSelectList(const std::vector<TVTblSelectListItem>& items, bool star,
                            bool distinct) {
  if (star) {
    for (auto& c : columns_) c.hidden = false;
  } else {
    for (auto& c : columns_) c.hidden = true;
    // Selected columns come in select-list order: computed columns are
    // appended, so the list order is kept by an explicit permutation.
    std::vector<int> order;
    for (const TVTblSelectListItem& item : items) {
      if (item.isExpression) {
        TVTblFieldLink link;
        link.name = !item.alias.empty() ? item.alias : "Expr" + std::to_string(RandomBelow(100000));
        link.displayName = link.name;
        link.computed = true;
        link.expression = item.expression;
        item.expression->Bind(this);
        link.type = item.expression->DataType();
        link.size = item.expression->DataSize();
        link.aggregate = item.expression->IsAggregate();
        columns_.push_back(std::move(link));
        order.push_back(int(columns_.size() - 1));
        continue;
      }
      std::vector<int> found;
      const std::string name = item.allColumns ? "*" : item.columnName;
      if (FindColumns(name, item.qualifier, found) == 0) throw VTblException(33, {}, {name});
      if (!item.allColumns) found.resize(1);
      for (int p : found) {
        if (!item.allColumns)
          columns_[size_t(p)].displayName = item.alias.empty() ? item.columnName : item.alias;
        order.push_back(p);
      }
    }
    // Rebuild the column list in selected order, hidden columns after.
    std::vector<TVTblFieldLink> reordered;
    std::vector<int> map(columns_.size(), -1);
    for (int p : order) {
      if (map[size_t(p)] >= 0) continue;
      map[size_t(p)] = int(reordered.size());
      reordered.push_back(columns_[size_t(p)]);
      reordered.back().hidden = false;
      if (!reordered.back().computed && reordered.back().displayName != reordered.back().name &&
          !reordered.back().displayName.empty())
        reordered.back().name = reordered.back().displayName;
    }
    for (size_t i = 0; i < columns_.size(); ++i)
      if (map[i] < 0) {
        map[i] = int(reordered.size());
        reordered.push_back(columns_[i]);
      }
    columnMap_ = map;
    columns_ = std::move(reordered);
    // Expressions were bound to the old positions: bind them again.
    for (auto& c : columns_)
      if (c.computed) c.expression->Bind(this);
    for (auto& f : filters_) f->Bind(this);
  }
  if (distinct) {
    std::string names;
    for (int p : VisibleColumns()) names += (names.empty() ? "" : ";") + columns_[size_t(p)].name;
    distinct_ = names;
  }
}

void TVellAO::FilterRows() {
  if (filters_.empty()) return;
  std::vector<std::vector<TVTblValue>> kept;
  for (current_ = 0; current_ < rows_.size(); ++current_) {
    bool ok = true;
    for (auto& f : filters_) {
      const TVTblValue& r = f->Evaluate(this);
      if (!r.isNull && r.type != ftBoolean) throw VTblException(47, {}, {int(r.type)});
      if (r.isNull || r.i == 0) {
        ok = false;
        break;
      }
    }
    if (ok) kept.push_back(std::move(rows_[current_]));
  }
  rows_ = std::move(kept);
  current_ = 0;
}

void TVellAO::PlaceRows() {
  // Rows are produced in the input's column order; the select list may have
  // reordered the columns and added computed ones.
  for (auto& row : rows_) {
    if (!columnMap_.empty()) {
      std::vector<TVTblValue> placed(columns_.size());
      for (size_t i = 0; i < row.size() && i < columnMap_.size(); ++i)
        placed[size_t(columnMap_[i])] = std::move(row[i]);
      row = std::move(placed);
    } else {
      row.resize(columns_.size());
    }
  }
}

void TVellAO::ComputeColumns() {
  std::vector<size_t> computed;
  for (size_t i = 0; i < columns_.size(); ++i)
    if (columns_[i].computed && !columns_[i].aggregate) computed.push_back(i);
  for (current_ = 0; current_ < rows_.size(); ++current_)
    for (size_t i : computed) rows_[current_][i] = columns_[i].expression->Evaluate(this);
  current_ = 0;
}

// ---- table scan ------------------------------------------------------------------------------

TVellAOTable::TVellAOTable(TVellSQLContext& query, const std::string& database,
                           const std::string& table, const std::string& alias,
                           const std::string& password, bool inMemory)
    : tableName_(table), alias_(alias) {
  name_ = table;
  table_ = MakeStatementTable(query, table, inMemory, password, database);
  table_->SetTableAlias(alias);
  try {
    table_->Open();
  } catch (const std::exception&) {
    throw VTblException(
        4, {},
        {table, table_->DatabaseName(), table_->DatabaseFileName(), int(table_->InMemory())});
  }
  autoIncSource_ = table_.get();
  for (const TFieldDef& d : table_->FieldDefs()) {
    TVTblFieldLink link;
    link.name = link.displayName = d.name;
    link.table = table;
    link.alias = alias;
    link.type = d.dataType;
    link.size = d.dataType == ftString ? d.size : table_->ColumnSize(int(columns_.size()));
    link.hidden = true;
    columns_.push_back(std::move(link));
  }
}

TVellAOTable::~TVellAOTable() = default;

int TVellAOTable::FindColumns(std::string_view name, std::string_view qualifier,
                              std::vector<int>& positions) const {
  if (!qualifier.empty() && !SameTextAscii(qualifier, tableName_) &&
      (alias_.empty() || !SameTextAscii(qualifier, alias_)))
    return 0;
  return TVellAO::FindColumns(name, {}, positions);
}

void TVellAOTable::SetSelectList(const std::vector<TVTblSelectListItem>& items, bool star,
                                 bool distinct) {
  for (const TVTblSelectListItem& item : items)
    if (!item.isExpression && !item.qualifier.empty() &&
        !SameTextAscii(item.qualifier, tableName_) && !SameTextAscii(item.qualifier, alias_))
      throw VTblException(14, {}, {tableName_, alias_, item.qualifier});
  // The scan keeps the table's own column order (its dataset shows the
  // table); selected columns are unhidden and take their aliases.
  for (auto& c : columns_) c.hidden = !star;
  plainSelect_ = true;
  selected_.clear();
  for (const TVTblSelectListItem& item : items) {
    if (item.isExpression) {
      plainSelect_ = false;
      continue;
    }
    std::vector<int> found;
    const std::string name = item.allColumns ? "*" : item.columnName;
    if (FindColumns(name, item.qualifier, found) == 0) throw VTblException(33, {}, {name});
    if (!item.allColumns) found.resize(1);
    for (int p : found) {
      columns_[size_t(p)].hidden = false;
      if (std::find(selected_.begin(), selected_.end(), p) == selected_.end()) selected_.push_back(p);
      if (!item.allColumns && !item.alias.empty()) {
        renames_.emplace_back(columns_[size_t(p)].name, item.alias);
        columns_[size_t(p)].displayName = item.alias;
      }
    }
  }
  hidden_.clear();
  for (const auto& c : columns_)
    if (c.hidden) hidden_.push_back(c.name);
  if (distinct) {
    std::string names;
    for (int p : VisibleColumns()) names += (names.empty() ? "" : ";") + columns_[size_t(p)].name;
    distinct_ = names;
  }
}

std::vector<int> TVellAOTable::VisibleColumns() const {
  return selected_.empty() ? TVellAO::VisibleColumns() : selected_;
}

void TVellAOTable::Open() {
  if (opened_) return;
  opened_ = true;
  if (HasFilter()) table_->SetConstraint(FilterCondition());
  if (!indexFields_.empty()) table_->SetIndexName(WishedIndex());
  table_->First();
}

std::string TVellAOTable::WishedIndex() { return table_->IndexFor(indexFields_, indexDescending_); }

bool TVellAOTable::First() {
  onSlot_ = false;
  table_->ReadSlotRecord(-1);
  table_->First();
  return !table_->Eof();
}

bool TVellAOTable::Next() {
  table_->Next();
  return !table_->Eof();
}

int64_t TVellAOTable::RowCount() const { return table_->RecordCount(); }

void TVellAOTable::ReadValue(int position, TVTblValue& value) {
  if (position < 0 || size_t(position) >= columns_.size())
    throw VTblException(41, {}, {name_, position});
  table_->ReadValue(position, value);
}

void TVellAOTable::Seek(const std::vector<int>& columns, const std::vector<TVTblValue>& key,
                        std::vector<int32_t>& slots) {
  table_->KeySeek(columns, key, slots);
}

void TVellAOTable::ReadSlot(int32_t slot) {
  onSlot_ = slot >= 0;
  table_->ReadSlotRecord(slot);
}

// ---- join ------------------------------------------------------------------------------------

TVellAOJoin::TVellAOJoin(std::unique_ptr<TVellAO> left, std::unique_ptr<TVellAO> right,
                         int joinType, std::vector<int> leftKeys, std::vector<int> rightKeys)
    : joinType_(joinType), leftKeys_(std::move(leftKeys)), rightKeys_(std::move(rightKeys)) {
  left_ = std::move(left);
  right_ = std::move(right);
  name_ = left_->Name() + "_" + right_->Name();
  if (joinType_ != 0) {
    if (leftKeys_.size() != rightKeys_.size())
      throw VTblException(6, {}, {int(leftKeys_.size()), int(rightKeys_.size())});
    if (leftKeys_.empty()) throw VTblException(22, {}, {0});
  }
  for (const auto& c : left_->Columns()) columns_.push_back(c);
  for (const auto& c : right_->Columns()) columns_.push_back(c);
  for (auto& c : columns_) c.hidden = false;
  MakeUniqueNames();
}

void TVellAOJoin::MakeUniqueNames() {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].name.empty()) columns_[i].name = "EXPR" + std::to_string(RandomBelow(100000));
    auto taken = [&](const std::string& n) {
      for (size_t k = 0; k < i; ++k)
        if (SameTextAscii(columns_[k].name, n)) return true;
      return false;
    };
    if (!taken(columns_[i].name)) continue;
    std::string candidate = columns_[i].name + "_";
    for (int attempt = 1; taken(candidate + std::to_string(attempt)) || attempt == 1; ++attempt) {
      candidate += std::to_string(attempt);
      if (!taken(candidate)) break;
    }
    columns_[i].name = candidate;
  }
}

void TVellAOJoin::Open() {
  left_->Open();
  right_->Open();
  const size_t leftWidth = left_->Columns().size(), rightWidth = right_->Columns().size();
  std::vector<std::vector<TVTblValue>> lrows;
  for (bool ok = left_->First(); ok; ok = left_->Next()) lrows.push_back(left_->CurrentRow());
  rows_.clear();
  auto emit = [&](const std::vector<TVTblValue>* l, const std::vector<TVTblValue>* r) {
    std::vector<TVTblValue> row;
    row.reserve(leftWidth + rightWidth);
    for (size_t i = 0; i < leftWidth; ++i)
      row.push_back(l ? (*l)[i] : TVTblValue::Null(left_->Columns()[i].type));
    for (size_t i = 0; i < rightWidth; ++i)
      row.push_back(r ? (*r)[i] : TVTblValue::Null(right_->Columns()[i].type));
    rows_.push_back(std::move(row));
  };
  if (joinType_ == 0) {
    std::vector<std::vector<TVTblValue>> rrows;
    for (bool ok = right_->First(); ok; ok = right_->Next()) rrows.push_back(right_->CurrentRow());
    for (const auto& l : lrows)
      for (const auto& r : rrows) emit(&l, &r);
  } else {
    // Both sides in ascending key order, as a merge join reads them.
    std::vector<std::vector<TVTblValue>> lkeys;
    std::vector<size_t> lorder(lrows.size());
    for (size_t i = 0; i < lrows.size(); ++i)
      lorder[i] = i, lkeys.push_back(KeyOf(lrows[i], leftKeys_));
    std::stable_sort(lorder.begin(), lorder.end(),
                     [&](size_t a, size_t b) { return CompareKeyValues(lkeys[a], lkeys[b]) < 0; });
    auto* scan = dynamic_cast<TVellAOTable*>(right_.get());
    if (scan != nullptr && (joinType_ == 1 || joinType_ == 3)) {
      // Seek each left key in the right table's index: the right side is
      // read no further than its matches.
      std::vector<int32_t> slots;
      for (size_t li : lorder) {
        bool matched = false;
        if (!AnyNull(lkeys[li])) {
          scan->Seek(rightKeys_, lkeys[li], slots);
          for (int32_t slot : slots) {
            scan->ReadSlot(slot);
            const std::vector<TVTblValue> r = scan->CurrentRow();
            emit(&lrows[li], &r);
            matched = true;
          }
          scan->ReadSlot(-1);
        }
        if (!matched && joinType_ == 3) emit(&lrows[li], nullptr);
      }
    } else {
      std::vector<std::vector<TVTblValue>> rrows, rkeys;
      for (bool ok = right_->First(); ok; ok = right_->Next())
        rrows.push_back(right_->CurrentRow());
      std::vector<size_t> rorder(rrows.size());
      for (size_t i = 0; i < rrows.size(); ++i)
        rorder[i] = i, rkeys.push_back(KeyOf(rrows[i], rightKeys_));
      std::stable_sort(rorder.begin(), rorder.end(), [&](size_t a, size_t b) {
        return CompareKeyValues(rkeys[a], rkeys[b]) < 0;
      });
      const bool leftOuter = joinType_ == 3 || joinType_ == 5,
                 rightOuter = joinType_ == 4 || joinType_ == 5;
      size_t i = 0, j = 0;
      while (i < lorder.size() && j < rorder.size()) {
        const auto& lk = lkeys[lorder[i]];
        const auto& rk = rkeys[rorder[j]];
        if (AnyNull(lk)) {
          if (leftOuter) emit(&lrows[lorder[i]], nullptr);
          ++i;
          continue;
        }
        if (AnyNull(rk)) {
          if (rightOuter) emit(nullptr, &rrows[rorder[j]]);
          ++j;
          continue;
        }
        const int c = CompareKeyValues(lk, rk);
        if (c < 0) {
          if (leftOuter) emit(&lrows[lorder[i]], nullptr);
          ++i;
        } else if (c > 0) {
          if (rightOuter) emit(nullptr, &rrows[rorder[j]]);
          ++j;
        } else {
          size_t i2 = i, j2 = j;
          while (i2 < lorder.size() && CompareKeyValues(lkeys[lorder[i2]], lk) == 0) ++i2;
          while (j2 < rorder.size() && !AnyNull(rkeys[rorder[j2]]) &&
                 CompareKeyValues(rkeys[rorder[j2]], rk) == 0)
            ++j2;
          for (size_t a = i; a < i2; ++a)
            for (size_t b = j; b < j2; ++b) emit(&lrows[lorder[a]], &rrows[rorder[b]]);
          i = i2, j = j2;
        }
      }
      for (; leftOuter && i < lorder.size(); ++i) emit(&lrows[lorder[i]], nullptr);
      for (; rightOuter && j < rorder.size(); ++j) emit(nullptr, &rrows[rorder[j]]);
    }
  }
  PlaceRows();
  FilterRows();
  ComputeColumns();
}

// ---- projection ------------------------------------------------------------------------------

TVellAOTableExpr::TVellAOTableExpr(std::unique_ptr<TVellAO> child) {
  left_ = std::move(child);
  name_ = left_->Name();
  columns_ = left_->Columns();
}

void TVellAOTableExpr::Open() {
  left_->Open();
  rows_.clear();
  for (bool ok = left_->First(); ok; ok = left_->Next()) rows_.push_back(left_->CurrentRow());
  PlaceRows();
  FilterRows();
  ComputeColumns();
}

// ---- grouping --------------------------------------------------------------------------------

TVellAOGroupBy::TVellAOGroupBy(std::unique_ptr<TVellAO> child, std::vector<int> groupColumns,
                               bool noGroupList)
    : groupColumns_(std::move(groupColumns)), noGroupList_(noGroupList) {
  left_ = std::move(child);
  name_ = left_->Name();
  columns_ = left_->Columns();
  for (auto& c : columns_) c.hidden = true;
}

void TVellAOGroupBy::SetSelectList(const std::vector<TVTblSelectListItem>& items, bool star,
                                   bool distinct) {
  if (!star)
    for (const TVTblSelectListItem& item : items) {
      if (item.isExpression || item.allColumns) continue;
      std::vector<int> found;
      if (FindColumns(item.columnName, item.qualifier, found) == 0)
        throw VTblException(48, {}, {name_, item.columnName});
      if (std::find(groupColumns_.begin(), groupColumns_.end(), found[0]) == groupColumns_.end())
        throw VTblException(49, {},
                            {name_, item.columnName, found[0], columns_[size_t(found[0])].name});
    }
  TVellAO::SetSelectList(items, star, distinct);
  // The grouping reads its input's columns at their input positions.
  std::vector<int> inverse(columnMap_.size());
  for (size_t i = 0; i < columnMap_.size(); ++i) inverse[size_t(columnMap_[i])] = int(i);
  for (int& g : groupColumns_)
    if (!columnMap_.empty()) g = columnMap_[size_t(g)];
  (void)inverse;
}

bool TVellAOGroupBy::OpenByIndex() {
  // Count(*), Max and Min over a whole table need no pass over its rows.
  auto* scan = dynamic_cast<TVellAOTable*>(left_.get());
  if (!noGroupList_ || having_ || scan == nullptr || scan->HasFilter()) return false;
  std::vector<TVTblValue> row(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (!columns_[i].computed) continue;
    auto* agg = dynamic_cast<TVTblExprNodeAggregated*>(columns_[i].expression->Root());
    if (agg == nullptr || agg->Distinct()) return false;
    if (agg->Op() == opCountAll) {
      row[i] = TVTblValue::Integer(int32_t(scan->RowCount()));
      continue;
    }
    if (agg->Op() != opMax && agg->Op() != opMin) return false;
    auto* field = dynamic_cast<TVTblExprNodeField*>(agg->Children()[0].get());
    if (field == nullptr) return false;
    std::vector<int> found;
    if (scan->FindColumns(field->Name(), field->Qualifier(), found) != 1) return false;
    row[i] = scan->Dataset().IndexExtreme(found[0], agg->Op() == opMax);
  }
  rows_.assign(1, std::move(row));
  current_ = 0;
  return true;
}

void TVellAOGroupBy::Open() {
  left_->Open();
  if (OpenByIndex()) return;
  std::vector<std::vector<TVTblValue>> input;
  for (bool ok = left_->First(); ok; ok = left_->Next()) input.push_back(left_->CurrentRow());
  // Place input values as this operator's columns.
  for (auto& row : input) {
    if (!columnMap_.empty()) {
      std::vector<TVTblValue> placed(columns_.size());
      for (size_t i = 0; i < row.size() && i < columnMap_.size(); ++i)
        placed[size_t(columnMap_[i])] = std::move(row[i]);
      row = std::move(placed);
    } else {
      row.resize(columns_.size());
    }
  }
  std::vector<std::shared_ptr<TVTblExpression>> computed;
  std::vector<size_t> computedAt;
  for (size_t i = 0; i < columns_.size(); ++i)
    if (columns_[i].computed) computed.push_back(columns_[i].expression), computedAt.push_back(i);
  if (having_) having_->Bind(this);
  std::stable_sort(input.begin(), input.end(), [&](const auto& a, const auto& b) {
    return CompareKeyValues(KeyOf(a, groupColumns_), KeyOf(b, groupColumns_), true) < 0;
  });
  rows_.clear();
  // Aggregates read the row being accumulated through this operator.
  std::vector<std::vector<TVTblValue>> output;
  size_t start = 0;
  auto closeGroup = [&](size_t from, size_t to) {
    for (auto& e : computed) e->ResetAggregates();
    if (having_) having_->ResetAggregates();
    rows_ = {};
    for (size_t r = from; r < to; ++r) {
      rows_.assign(1, input[r]);
      current_ = 0;
      for (auto& e : computed) e->Accumulate();
      if (having_) having_->Accumulate();
    }
    std::vector<TVTblValue> out =
        from < to ? input[from] : std::vector<TVTblValue>(columns_.size(), TVTblValue());
    rows_.assign(1, out);
    current_ = 0;
    for (size_t k = 0; k < computed.size(); ++k) out[computedAt[k]] = computed[k]->Evaluate(this);
    if (having_) {
      rows_.assign(1, out);
      const TVTblValue& h = having_->Evaluate(this);
      if (h.isNull || h.i == 0) return;
    }
    output.push_back(std::move(out));
  };
  if (noGroupList_) {
    closeGroup(0, input.size());
  } else {
    for (size_t r = 1; r <= input.size(); ++r) {
      if (r < input.size() && CompareKeyValues(KeyOf(input[r], groupColumns_),
                                               KeyOf(input[start], groupColumns_), true) == 0)
        continue;
      closeGroup(start, r);
      start = r;
    }
  }
  rows_ = std::move(output);
  current_ = 0;
}

// ---- set operations --------------------------------------------------------------------------

TVellAOUnion::TVellAOUnion(std::unique_ptr<TVellAO> left, std::unique_ptr<TVellAO> right, int type,
                           bool all, bool corresponding, std::vector<std::string> correspondingBy)
    : type_(type), all_(all), corresponding_(corresponding), by_(std::move(correspondingBy)) {
  left_ = std::move(left);
  right_ = std::move(right);
  name_ = left_->Name();
  if (type_ < 0 || type_ > 2) throw VTblException(40, {}, {type_});
}

void TVellAOUnion::Open() {
  left_->Open();
  right_->Open();
  const std::vector<int> lv = left_->VisibleColumns(), rv = right_->VisibleColumns();
  std::vector<std::pair<int, int>> pairs;
  if (!by_.empty()) {
    for (const std::string& n : by_) {
      int a = -1, b = -1;
      for (int p : lv)
        if (SameTextAscii(left_->Columns()[size_t(p)].name, n)) a = p;
      for (int p : rv)
        if (SameTextAscii(right_->Columns()[size_t(p)].name, n)) b = p;
      if (a >= 0 && b >= 0) pairs.emplace_back(a, b);
    }
  } else if (corresponding_) {
    for (int p : lv)
      for (int q : rv)
        if (SameTextAscii(left_->Columns()[size_t(p)].name, right_->Columns()[size_t(q)].name)) {
          pairs.emplace_back(p, q);
          break;
        }
  } else {
    for (size_t i = 0; i < lv.size() && i < rv.size(); ++i) pairs.emplace_back(lv[i], rv[i]);
  }
  if (pairs.empty()) throw VTblException(corresponding_ ? 37 : 36, {}, {0});
  columns_.clear();
  for (const auto& [a, b] : pairs) {
    TVTblFieldLink c = left_->Columns()[size_t(a)];
    c.hidden = false;
    c.computed = false;
    c.expression.reset();
    columns_.push_back(std::move(c));
  }
  auto take = [&](TVellAO& side, bool isLeft) {
    std::vector<std::vector<TVTblValue>> out;
    for (bool ok = side.First(); ok; ok = side.Next()) {
      std::vector<TVTblValue> row;
      for (const auto& [a, b] : pairs) {
        TVTblValue v;
        side.ReadValue(isLeft ? a : b, v);
        row.push_back(std::move(v));
      }
      out.push_back(std::move(row));
    }
    return out;
  };
  std::vector<std::vector<TVTblValue>> lrows = take(*left_, true), rrows = take(*right_, false);
  rows_.clear();
  if (type_ == 0) {
    rows_ = std::move(lrows);
    for (auto& r : rrows) rows_.push_back(std::move(r));
    if (!all_) {
      std::string names;
      for (const auto& c : columns_) names += (names.empty() ? "" : ";") + c.name;
      distinct_ = names;
    }
  } else {
    auto less = [](const auto& a, const auto& b) { return CompareKeyValues(a, b, true) < 0; };
    std::sort(rrows.begin(), rrows.end(), less);
    for (auto& l : lrows) {
      const bool found = std::binary_search(rrows.begin(), rrows.end(), l, less);
      if (found == (type_ == 1)) rows_.push_back(std::move(l));
    }
  }
  current_ = 0;
}

}  // namespace kestro
