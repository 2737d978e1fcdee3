#include "engine/query/vell_query.h"

#include <algorithm>
#include <cctype>

#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/vell_table.h"
#include "engine/query/operators.h"

namespace kestro {

// ---- parameter link --------------------------------------------------------------------------

void TVellQueryDataLink::ActiveChanged() {
  if (Active()) query_->ParamSourceChanged();
}

void TVellQueryDataLink::RecordChanged(TField* field) {
  if (field == nullptr) query_->ParamSourceChanged();
}

void TVellQueryDataLink::DataSetScrolled(int) { query_->ParamSourceChanged(); }

// ---- TVellQuery ------------------------------------------------------------------------------

TVellQuery::TVellQuery() : paramLink_(this) {}

TVellQuery::~TVellQuery() {
  try {
    Close();
  } catch (...) {
    // Destruction must not throw.
  }
  paramLink_.SetDataSource(nullptr);
}

std::string TVellQuery::SQLText() const {
  std::string text;
  for (size_t i = 0; i < sql_.size(); ++i) text += (i ? "\r\n" : "") + sql_[i];
  return text;
}

void TVellQuery::SetSQL(std::vector<std::string> lines) {
  if (lines == sql_) return;
  Close();
  sql_ = std::move(lines);
  if (paramCheck_) TakeParamsFromText();
}

void TVellQuery::SetSQLText(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += text[i];
    }
  }
  if (!cur.empty() || lines.empty()) lines.push_back(cur);
  SetSQL(std::move(lines));
}

void TVellQuery::AddSQL(const std::string& line) {
  std::vector<std::string> lines = sql_;
  lines.push_back(line);
  SetSQL(std::move(lines));
}

void TVellQuery::TakeParamsFromText() {
  // Each colon followed by a name, outside quotes; values of surviving
  // names are kept.
  TVellParams fresh;
  const std::string text = SQLText();
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    if (c != ':' || i + 1 >= text.size()) continue;
    size_t j = i + 1;
    while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_'))
      ++j;
    if (j == i + 1) continue;
    const std::string name = text.substr(i + 1, j - i - 1);
    if (fresh.Find(name) == nullptr) {
      const TVellParam* old = params_.Find(name);
      if (old != nullptr)
        fresh.Add(name, old->dataType, old->value);
      else
        fresh.Add(name, 0);
    }
    i = j - 1;
  }
  params_ = fresh;
  masterBound_.clear();
}

void TVellQuery::SetParams(const TVellParams& params) {
  for (size_t i = 0; i < params.Count(); ++i)
    if (TVellParam* p = params_.Find(params[i].name)) *p = params[i];
}

void TVellQuery::SetDataSource(TDataSource* source) {
  for (TDataSource* s = source; s != nullptr;) {
    TDataSet* ds = s->DataSet();
    if (ds == this) throw VTblException(1056, Name());
    auto* q = dynamic_cast<TVellQuery*>(ds);
    s = q != nullptr ? q->DataSource() : nullptr;
  }
  paramLink_.SetDataSource(source);
}

void TVellQuery::BindMasterParams() {
  TDataSet* master = paramLink_.DataSet();
  if (master == nullptr || !master->Active()) return;
  for (size_t i = 0; i < params_.Count(); ++i) {
    TVellParam& p = params_[i];
    const bool fromMaster =
        std::find(masterBound_.begin(), masterBound_.end(), p.name) != masterBound_.end();
    if (!p.value.isNull && !fromMaster) continue;  // set by the caller
    if (TField* f = master->FindField(p.name)) {
      p.value = f->Value();
      p.dataType = f->DataType();
      if (!fromMaster) masterBound_.push_back(p.name);
    }
  }
}

void TVellQuery::ParamSourceChanged() {
  TDataSet* master = paramLink_.DataSet();
  if (!Active() || master == nullptr || master->State() == dsSetKey) return;
  DisableControls();
  try {
    Close();
    Open();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TVellQuery::RememberOwnBinding() {
  if (bound_) return;
  ownDatabaseName_ = databaseName_;
  ownDatabaseFileName_ = databaseFileName_;
  ownInMemory_ = inMemory_;
  ownReadOnly_ = readOnly_;
  ownIndexName_ = indexName_;
}

void TVellQuery::RestoreOwnBinding() {
  if (!bound_) return;
  bound_ = false;
  databaseName_ = ownDatabaseName_;
  databaseFileName_ = ownDatabaseFileName_;
  inMemory_ = ownInMemory_;
  readOnly_ = ownReadOnly_;
  indexName_ = ownIndexName_;
  tableName_.clear();
  temporary_ = false;
  SetTableAlias({});
  SetConstraint(nullptr);
  SetRowLimit(-1, -1);
  SetDistinctFields({});
  renames_.clear();
  hidden_.clear();
  order_.clear();
}

void TVellQuery::InternalOpen() {
  RememberOwnBinding();
  BindMasterParams();
  try {
    script_ = std::make_unique<TSQLScriptProcessor>(SQLText(), &params_);
    ++updateDepth_;
    struct Depth {
      int32_t& d;
      ~Depth() { --d; }
    } depth{updateDepth_};
    script_->Execute(*this);
    TVellSQLUnion* last = script_->LastQuery();
    if (last == nullptr || last->ResultOperator() == nullptr) throw VTblException(1088, Name());
    TVellAO* root = last->ResultOperator();
    bound_ = true;
    if (last->Live()) {
      auto& scan = static_cast<TVellAOTable&>(*root);
      TVellTable& t = scan.Dataset();
      databaseName_ = t.DatabaseName();
      databaseFileName_ = t.DatabaseFileName();
      inMemory_ = t.InMemory();
      tableName_ = scan.TableName();
      password_ = t.Password();
      SetTableAlias(scan.Alias());
      readOnly_ = !requestLive_;
      indexName_ = scan.IndexFields().empty() ? std::string() : t.IndexName();
      indexFieldNames_.clear();
      SetDistinctFields(scan.DistinctFields());
      SetRowLimit(root->TopCount(), root->TopStart());
      if (scan.HasFilter()) SetConstraint(scan.FilterCondition());
      renames_ = scan.Renames();
      hidden_ = scan.PlainSelect() ? scan.HiddenFields() : std::vector<std::string>();
      order_.clear();
      for (int p : scan.VisibleColumns()) order_.push_back(scan.Columns()[size_t(p)].name);
    } else {
      TVellDataset* result = last->ResultTable();
      databaseName_ = result->DatabaseName();
      databaseFileName_.clear();
      inMemory_ = true;
      tableName_ = result->TableName();
      temporary_ = true;
      readOnly_ = true;
      indexName_ = last->ResultIndex();
      indexFieldNames_.clear();
      SetDistinctFields(root->DistinctFields());
      SetRowLimit(root->TopCount(), root->TopStart());
    }
  } catch (...) {
    script_.reset();
    RestoreOwnBinding();
    throw;
  }
  try {
    TVellDataset::InternalOpen();
    if (Constraint() != nullptr) const_cast<TVTblExpression*>(Constraint())->Bind(this);
    for (const auto& [from, to] : renames_) RenameField(from, to);
    InvalidateView();
  } catch (...) {
    script_.reset();
    RestoreOwnBinding();
    throw;
  }
}

void TVellQuery::FieldsCreated() {
  for (const auto& [from, to] : renames_)
    if (TField* f = FindField(from)) f->SetFieldName(to);
  for (const std::string& name : hidden_)
    if (TField* f = FindField(name)) f->SetVisible(false);
  // The selected fields come first, in the order the SELECT names them.
  size_t at = 0;
  for (const std::string& name : order_) {
    std::string shown = name;
    for (const auto& [from, to] : renames_)
      if (SameTextAscii(from, name)) shown = to;
    if (TField* f = FindField(shown)) MoveField(*f, at++);
  }
}

void TVellQuery::InternalClose() {
  const bool temporary = temporary_;
  const std::string table = tableName_;
  std::exception_ptr failure;
  try {
    TVellDataset::InternalClose();
  } catch (...) {
    failure = std::current_exception();
  }
  script_.reset();
  if (temporary && !table.empty()) {
    // The materialised result goes with the query.
    try {
      TVellTable t;
      t.SetSessionName(sessionName_);
      t.SetDatabaseName("MEMORY");
      t.SetInMemory(true);
      t.SetTableName(table);
      t.DeleteTable();
    } catch (...) {
      // The temporary store forgets its files with the process anyway.
    }
  }
  RestoreOwnBinding();
  if (failure) std::rethrow_exception(failure);
}

void TVellQuery::ExecSQL() {
  CheckInactive();
  RememberOwnBinding();
  BindMasterParams();
  TSQLScriptProcessor script(SQLText(), &params_);
  script.Execute(*this);
}

}  // namespace kestro
