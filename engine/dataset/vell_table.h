// TVellTable: a dataset over one stored table by name, with index
// selection, master/detail links and table maintenance.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/vell_dataset.h"

namespace kestro {

class TVellTable;

// Follows the master data source of a detail table.
class TVellMasterDataLink : public TDataLink {
 public:
  explicit TVellMasterDataLink(TVellTable* detail) : detail_(detail) {}
  void ActiveChanged() override;
  void DataSetChanged() override;
  void DataSetScrolled(int distance) override;
  void RecordChanged(TField* field) override;

 private:
  TVellTable* detail_;
};

class TVellTable : public TVellDataset {
 public:
  TVellTable();
  ~TVellTable() override;

  void SetTableName(const std::string& name);
  using TVellDataset::TableName;

  // ---- indexes ----
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);
  const std::string& IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(const std::string& fields);
  // Index definitions used by CreateTable (while closed) or those of the
  // open table.
  std::vector<TVellIndexDef> IndexDefs() const;
  void SetIndexDefs(std::vector<TVellIndexDef> defs) { indexDefs_ = std::move(defs); }
  // Whether field `fieldNo` is a key of the current index.
  bool IsIndexField(const TField& field);

  // ---- master/detail ----
  TDataSource* MasterSource() const { return masterLink_.DataSource(); }
  // "TVellDataSet.SetDataSource - Invalid DataSource" for a link back to
  // this table.
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return masterFields_; }
  void SetMasterFields(const std::string& fields);

  // ---- table maintenance ----
  bool Exists();
  // From FieldDefs and IndexDefs; an existing table of that name is
  // replaced.
  void CreateTable() { InternalCreateTable(); }
  void DeleteTable() { InternalDeleteTable(); }
  void RenameTable(const std::string& newName) { InternalRenameTable(newName); }
  void InternalCreateTable();
  void InternalDeleteTable();
  void InternalRenameTable(const std::string& newName);
  void InternalSaveTable();
  // Creates the table from `source`'s fields and `indexes` and copies its
  // rows; what was skipped or failed goes to `log`. False when the table
  // could not be created or filled.
  bool InternalImportTable(TDataSet& source, const std::vector<TVellIndexDef>& indexes,
                           std::string& log);
  // Rebuilds the table with new fields and indexes, carrying the rows over
  // by field name (`renames` maps old names to new ones); values that do
  // not convert become NULL. The old table is kept as "<name>_backup"
  // until the new one is filled.
  void InternalRestructureTable(
      const std::vector<TFieldDef>& fields, const std::vector<TVellIndexDef>& indexes,
      const std::vector<std::pair<std::string, std::string>>& renames = {});
  void InternalAddIndex(const std::string& name, const std::string& fields,
                        const std::string& descendingFields,
                        const std::string& caseInsensitiveFields, uint8_t options);
  void InternalDeleteIndex(const std::string& name);
  std::string CreateTemporaryIndex(const std::string& fields,
                                   const std::string& descendingFields = {});

  // For the master link.
  void MasterChanged();

 protected:
  std::string MasterCondition() override;
  void DoOnNewRecord() override;

 private:
  // The table's store for maintenance; the binding is held by `bit`.
  TAbstractPlainFileSystem* BindForMaintenance(int bit);
  void CheckNotBusy(const char* operation);
  bool MasterLinkActive(std::vector<int32_t>* detailFields = nullptr);

  std::vector<TVellIndexDef> indexDefs_;
  std::string masterFields_;
  TVellMasterDataLink masterLink_;
};

}  // namespace kestro
