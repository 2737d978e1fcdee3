// TVellQuery: runs SQL text against a database and, for a SELECT, shows the
// result like a table dataset: the stored table itself (filtered by the
// WHERE) for a single-table selection, else a temporary result table that
// goes away when the query closes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/vell_dataset.h"
#include "engine/query/statements.h"
#include "engine/sql/params.h"

namespace kestro {

class TVellQuery;

// Follows the parameter source of a query.
class TVellQueryDataLink : public TDataLink {
 public:
  explicit TVellQueryDataLink(TVellQuery* query) : query_(query) {}
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void DataSetScrolled(int distance) override;

 private:
  TVellQuery* query_;
};

class TVellQuery : public TVellDataset, public TVellSQLContext {
 public:
  TVellQuery();
  ~TVellQuery() override;

  // The statement text as lines (joined with line breaks). A different text
  // closes the query and, with ParamCheck, takes the parameters again.
  const std::vector<std::string>& SQL() const { return sql_; }
  void SetSQL(std::vector<std::string> lines);
  void SetSQLText(const std::string& text);
  void ClearSQL() { SetSQL({}); }
  void AddSQL(const std::string& line);
  std::string SQLText() const;

  TVellParams& Params() { return params_; }
  void SetParams(const TVellParams& params);
  bool ParamCheck() const { return paramCheck_; }
  void SetParamCheck(bool v) { paramCheck_ = v; }
  bool RequestLive() const { return requestLive_; }
  void SetRequestLive(bool v) { requestLive_ = v; }
  // The parameter source; code 1056 for a link back to this query.
  TDataSource* DataSource() const { return paramLink_.DataSource(); }
  void SetDataSource(TDataSource* source);
  // The names of the databases the query binds to while showing its result
  // are its own again once it closes.
  using TVellDataset::SetDatabaseFileName;
  using TVellDataset::SetDatabaseName;
  using TVellDataset::SetInMemory;

  // Runs every statement; the results of SELECTs are dropped.
  void ExecSQL();
  int32_t RowsAffected() const { return rowsAffected_; }

  // TVellSQLContext
  std::string ContextSessionName() const override { return sessionName_; }
  std::string ContextDatabaseName() const override { return ownDatabaseName_; }
  std::string ContextDatabaseFileName() const override { return ownDatabaseFileName_; }
  bool ContextInMemory() const override { return ownInMemory_; }
  bool ContextRequestLive() const override { return requestLive_; }
  void SetRowsAffected(int32_t rows) override { rowsAffected_ = rows; }

  // For the parameter link.
  void ParamSourceChanged();

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  void FieldsCreated() override;

 private:
  void RememberOwnBinding();
  void RestoreOwnBinding();
  void BindMasterParams();
  void TakeParamsFromText();

  std::vector<std::string> sql_;
  TVellParams params_;
  std::vector<std::string> masterBound_;  // parameters the source fills
  bool paramCheck_ = true;
  bool requestLive_ = false;
  int32_t rowsAffected_ = 0;
  std::unique_ptr<TSQLScriptProcessor> script_;
  std::vector<std::pair<std::string, std::string>> renames_;
  std::vector<std::string> hidden_;
  std::vector<std::string> order_;  // field names in select-list order
  std::string ownDatabaseName_, ownDatabaseFileName_;
  bool ownInMemory_ = false;
  bool ownReadOnly_ = false;
  bool bound_ = false;  // showing a result: the binding is the result's
  std::string ownIndexName_;
  TVellQueryDataLink paramLink_;
};

}  // namespace kestro
