// The relational operators a SELECT is run with.
//
//   TVellAOTable      a scan of one stored table, through a table dataset that
//                     evaluates the pushed-down conditions as its row filter
//   TVellAOJoin       joins two inputs on key columns (or crosses them)
//   TVellAOTableExpr  adds computed columns over one input
//   TVellAOGroupBy    groups its input and computes aggregates
//   TVellAOUnion      UNION, INTERSECT and EXCEPT
//
// Every operator but the table scan produces its rows into memory when it
// opens; the root's rows then go to a temporary result table (the query's
// result), unless the root is a table scan: then the stored table itself,
// filtered, is the result.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/expression.h"
#include "engine/sql/row_source.h"

namespace kestro {

class TVellTable;
class TVellDataset;
class TVellSQLContext;

// One output column of an operator.
struct TVTblFieldLink {
  std::string name;         // unique within the operator
  std::string displayName;  // the alias, or the name as written
  std::string table;        // the stored table it comes from, if any
  std::string alias;        // that table's alias in the query
  uint8_t type = 0;
  int size = 0;
  bool hidden = false;
  bool computed = false;
  bool aggregate = false;
  std::shared_ptr<TVTblExpression> expression;
};

class TVellAO : public TVTblRowSource {
 public:
  ~TVellAO() override;

  virtual bool IsTableScan() const { return false; }
  // Prepares the rows (children first).
  virtual void Open() = 0;
  // The operator's rows; true while on a row.
  virtual bool First();
  virtual bool Next();
  virtual int64_t RowCount() const { return int64_t(rows_.size()); }

  std::vector<TVTblFieldLink>& Columns() { return columns_; }
  const std::vector<TVTblFieldLink>& Columns() const { return columns_; }
  TVellAO* Left() const { return left_.get(); }
  TVellAO* Right() const { return right_.get(); }

  // Conditions pushed down onto this operator (AND-ed).
  void AddFilter(std::unique_ptr<TVTblExpression> condition);
  bool HasFilter() const { return !filters_.empty(); }
  // All filters as one condition (nullptr when none); the operator keeps its own.
  std::unique_ptr<TVTblExpression> FilterCondition() const;
  void SetLimit(int32_t start, int32_t count) { topStart_ = start, topCount_ = count; }
  int32_t TopStart() const { return topStart_; }
  int32_t TopCount() const { return topCount_; }
  // Selects the output columns (and adds the computed ones).
  virtual void SetSelectList(const std::vector<TVTblSelectListItem>& items, bool star,
                             bool distinct);
  void SetIndexWish(const std::string& fields, const std::string& descending) {
    indexFields_ = fields, indexDescending_ = descending;
  }
  const std::string& IndexFields() const { return indexFields_; }
  const std::string& IndexDescending() const { return indexDescending_; }
  const std::string& DistinctFields() const { return distinct_; }
  void SetDistinctFields(const std::string& fields) { distinct_ = fields; }
  // The selected columns in select-list order.
  virtual std::vector<int> VisibleColumns() const;

  // TVTblRowSource over the current row.
  int FindColumns(std::string_view name, std::string_view qualifier,
                  std::vector<int>& positions) const override;
  std::string ColumnName(int position) const override;
  uint8_t ColumnType(int position) const override;
  int ColumnSize(int position) const override;
  void ReadValue(int position, TVTblValue& value) override;
  bool LastAutoInc(std::string_view table, bool inMemory, std::string_view password,
                   int32_t& value) override;

  // The values of every column of the current row.
  std::vector<TVTblValue> CurrentRow();
  const std::string& Name() const { return name_; }

 protected:
  // Applies the pushed filters to the produced rows.
  void FilterRows();
  // Moves produced rows into the selected column order.
  void PlaceRows();
  // Evaluates the computed select-list columns of every row.
  void ComputeColumns();
  // Input column position -> position after the select list (empty: same).
  std::vector<int> columnMap_;
  std::string name_;
  std::vector<TVTblFieldLink> columns_;
  std::vector<std::vector<TVTblValue>> rows_;
  size_t current_ = 0;
  std::vector<std::unique_ptr<TVTblExpression>> filters_;
  int32_t topStart_ = -1, topCount_ = -1;
  std::string indexFields_, indexDescending_;
  std::string distinct_;
  std::unique_ptr<TVellAO> left_, right_;
  TVTblRowSource* autoIncSource_ = nullptr;
};

class TVellAOTable : public TVellAO {
 public:
  // Opens the stored table at once (code 4 when it cannot).
  TVellAOTable(TVellSQLContext& query, const std::string& database, const std::string& table,
               const std::string& alias, const std::string& password, bool inMemory);
  ~TVellAOTable() override;
  bool IsTableScan() const override { return true; }
  void Open() override;
  bool First() override;
  bool Next() override;
  int64_t RowCount() const override;
  void SetSelectList(const std::vector<TVTblSelectListItem>& items, bool star,
                     bool distinct) override;
  int FindColumns(std::string_view name, std::string_view qualifier,
                  std::vector<int>& positions) const override;
  void ReadValue(int position, TVTblValue& value) override;

  TVellTable& Dataset() const { return *table_; }
  const std::string& TableName() const { return tableName_; }
  const std::string& Alias() const { return alias_; }
  // Rows whose key columns equal `key`, through an index of the table, in
  // that index's order; the rows must pass the filter.
  void Seek(const std::vector<int>& columns, const std::vector<TVTblValue>& key,
            std::vector<int32_t>& slots);
  // Makes `slot` the row that ReadValue reads (-1: the cursor's row again).
  void ReadSlot(int32_t slot);
  // The index name for the index wish (created when none matches).
  std::string WishedIndex();
  // Field renames and hidden fields after the select list.
  const std::vector<std::pair<std::string, std::string>>& Renames() const { return renames_; }
  const std::vector<std::string>& HiddenFields() const { return hidden_; }
  bool PlainSelect() const { return plainSelect_; }
  std::vector<int> VisibleColumns() const override;

 private:
  std::unique_ptr<TVellTable> table_;
  std::string tableName_, alias_;
  std::vector<std::pair<std::string, std::string>> renames_;
  std::vector<std::string> hidden_;
  bool plainSelect_ = true;
  std::vector<int> selected_;  // select-list order; empty: all, in table order
  bool onSlot_ = false;
  bool opened_ = false;
};

class TVellAOJoin : public TVellAO {
 public:
  // Key columns are positions in the left and the right input.
  TVellAOJoin(std::unique_ptr<TVellAO> left, std::unique_ptr<TVellAO> right, int joinType,
              std::vector<int> leftKeys, std::vector<int> rightKeys);
  void Open() override;
  int JoinType() const { return joinType_; }

 private:
  void MakeUniqueNames();
  int joinType_;
  std::vector<int> leftKeys_, rightKeys_;
};

class TVellAOTableExpr : public TVellAO {
 public:
  explicit TVellAOTableExpr(std::unique_ptr<TVellAO> child);
  void Open() override;
};

class TVellAOGroupBy : public TVellAO {
 public:
  // `groupColumns` are positions in the input.
  TVellAOGroupBy(std::unique_ptr<TVellAO> child, std::vector<int> groupColumns, bool noGroupList);
  void Open() override;
  void SetSelectList(const std::vector<TVTblSelectListItem>& items, bool star,
                     bool distinct) override;
  void SetHaving(std::unique_ptr<TVTblExpression> having) { having_ = std::move(having); }

 private:
  bool OpenByIndex();
  std::vector<int> groupColumns_;
  bool noGroupList_;
  std::unique_ptr<TVTblExpression> having_;
  std::vector<std::shared_ptr<TVTblExpression>> aggregates_;  // computed items
  std::vector<int> itemSource_;  // per output column: input column, or -1 computed
};

class TVellAOUnion : public TVellAO {
 public:
  // type 0 UNION, 1 INTERSECT, 2 EXCEPT
  TVellAOUnion(std::unique_ptr<TVellAO> left, std::unique_ptr<TVellAO> right, int type, bool all,
               bool corresponding, std::vector<std::string> correspondingBy);
  void Open() override;

 private:
  int type_;
  bool all_, corresponding_;
  std::vector<std::string> by_;
};

}  // namespace kestro
