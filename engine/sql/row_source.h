// TVTblRowSource: what an expression's column references bind to. Table
// scans, relational operators and table datasets implement it; each offers
// named columns and the values of its current row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/value.h"

namespace kestro {

class TVTblRowSource {
 public:
  virtual ~TVTblRowSource() = default;

  // Collects the positions of the columns that match `name` (column name or
  // display name) and `qualifier` (table name or alias; empty: any), all
  // compared ignoring case. `*` matches every column. Returns the count.
  virtual int FindColumns(std::string_view name, std::string_view qualifier,
                          std::vector<int>& positions) const = 0;
  virtual std::string ColumnName(int position) const = 0;
  virtual uint8_t ColumnType(int position) const = 0;
  virtual int ColumnSize(int position) const = 0;
  // The value of a column in the current row.
  virtual void ReadValue(int position, TVTblValue& value) = 0;

  // LASTAUTOINC(table): the table's last auto-increment value, read in the
  // session and database of this source. False when the source has none.
  virtual bool LastAutoInc(std::string_view table, bool inMemory, std::string_view password,
                           int32_t& value) {
    (void)table, (void)inMemory, (void)password, (void)value;
    return false;
  }
};

// A row source over rows held in memory: for tests, fuzzing and constant
// inputs.
class TVTblMemoryRowSource : public TVTblRowSource {
 public:
  struct Column {
    std::string name;
    std::string displayName;
    std::string qualifier;
    uint8_t type = ftString;
    int size = 0;
  };

  int AddColumn(Column column);
  void AddRow(std::vector<TVTblValue> row);
  void SetRow(size_t index) { current_ = index; }
  size_t RowCount() const { return rows_.size(); }

  int FindColumns(std::string_view name, std::string_view qualifier,
                  std::vector<int>& positions) const override;
  std::string ColumnName(int position) const override;
  uint8_t ColumnType(int position) const override;
  int ColumnSize(int position) const override;
  void ReadValue(int position, TVTblValue& value) override;

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<TVTblValue>> rows_;
  size_t current_ = 0;
};

}  // namespace kestro
