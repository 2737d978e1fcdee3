#include "engine/sql/row_source.h"

#include "engine/common/text.h"

namespace kestro {

int TVTblMemoryRowSource::AddColumn(Column column) {
  if (column.displayName.empty()) column.displayName = column.name;
  columns_.push_back(std::move(column));
  return static_cast<int>(columns_.size()) - 1;
}

void TVTblMemoryRowSource::AddRow(std::vector<TVTblValue> row) {
  row.resize(columns_.size());
  rows_.push_back(std::move(row));
}

int TVTblMemoryRowSource::FindColumns(std::string_view name, std::string_view qualifier,
                                      std::vector<int>& positions) const {
  positions.clear();
  for (size_t i = 0; i < columns_.size(); ++i) {
    const Column& c = columns_[i];
    if (!qualifier.empty() && !SameTextAscii(qualifier, c.qualifier)) continue;
    if (name == "*" || SameTextAscii(name, c.name) || SameTextAscii(name, c.displayName))
      positions.push_back(static_cast<int>(i));
  }
  return static_cast<int>(positions.size());
}

std::string TVTblMemoryRowSource::ColumnName(int position) const {
  return columns_.at(position).name;
}

uint8_t TVTblMemoryRowSource::ColumnType(int position) const {
  return columns_.at(position).type;
}

int TVTblMemoryRowSource::ColumnSize(int position) const { return columns_.at(position).size; }

void TVTblMemoryRowSource::ReadValue(int position, TVTblValue& value) {
  if (current_ >= rows_.size()) {
    value = TVTblValue::Null(columns_.at(position).type);
    return;
  }
  value = rows_[current_].at(position);
  if (value.isNull) value.type = columns_.at(position).type;
}

}  // namespace kestro
