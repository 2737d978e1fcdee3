#include "engine/dataset/vell_table.h"

#include <algorithm>
#include <random>

#include <unistd.h>

#include "engine/common/clock.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/database.h"
#include "engine/dataset/table_list.h"

namespace kestro {
namespace {

template <typename F>
struct Finally {
  F f;
  ~Finally() { f(); }
};
template <typename F>
Finally(F) -> Finally<F>;

bool IsNumericType(uint8_t t) {
  switch (t) {
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
    case ftLargeInt:
      return true;
    default:
      return false;
  }
}

std::vector<std::string> SplitSemicolons(const std::string& list) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : list + ";") {
    if (c == ';') {
      size_t a = cur.find_first_not_of(' '), b = cur.find_last_not_of(' ');
      if (a != std::string::npos) out.push_back(cur.substr(a, b - a + 1));
      cur.clear();
    } else {
      cur += c;
    }
  }
  return out;
}

// A uniform random number below `bound`.
uint32_t RandomBelow(uint32_t bound) {
  static std::mt19937 engine{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, bound - 1)(engine);
}

}  // namespace

// ---- master link -----------------------------------------------------------------------------

void TVellMasterDataLink::ActiveChanged() { detail_->MasterChanged(); }
void TVellMasterDataLink::DataSetChanged() { detail_->MasterChanged(); }
void TVellMasterDataLink::DataSetScrolled(int) { detail_->MasterChanged(); }

void TVellMasterDataLink::RecordChanged(TField* field) {
  TDataSet* master = DataSet();
  if (master == nullptr || master->State() == dsSetKey) return;
  if (field != nullptr) {
    bool isMasterField = false;
    for (const std::string& name : SplitSemicolons(detail_->MasterFields()))
      isMasterField = isMasterField || SameTextAscii(name, field->FieldName());
    if (!isMasterField) return;
  }
  detail_->MasterChanged();
}

// ---- TVellTable ------------------------------------------------------------------------------

TVellTable::TVellTable() : masterLink_(this) {}

TVellTable::~TVellTable() {
  try {
    Close();
  } catch (...) {
    // Destruction must not throw.
  }
  masterLink_.SetDataSource(nullptr);
}

void TVellTable::SetTableName(const std::string& name) {
  CheckInactive();
  tableName_ = name;
}

void TVellTable::SetIndexName(const std::string& name) {
  indexName_ = name;
  indexFieldNames_.clear();
  if (!tableOpen_) return;
  CheckBrowseMode();
  if (name.empty()) {
    CancelRange();
  } else {
    if (table_->Indexes().empty())
      throw Exception("Error in TVellDataSet.OpenIndex - empty index header list.");
    if (table_->FindIndex(name) < 0)
      throw Exception("Error in TVellDataSet.OpenIndex - index \"" + name + "\" not found!");
  }
  ResolveIndexProperties("OpenIndex");
  ResyncCentred();
}

void TVellTable::SetIndexFieldNames(const std::string& fields) {
  indexFieldNames_ = fields;
  indexName_.clear();
  if (!tableOpen_) return;
  CheckBrowseMode();
  ResolveIndexProperties("SetIndexFieldNames");
  ResyncCentred();
}

std::vector<TVellIndexDef> TVellTable::IndexDefs() const {
  if (!tableOpen_) return indexDefs_;
  std::vector<TVellIndexDef> defs;
  auto nameOf = [&](int32_t f) {
    return f == kRecordIdField ? table_->AutoIncFieldName() : table_->Fields()[size_t(f)].name;
  };
  for (const TIndexHeader& ix : table_->Indexes()) {
    if (ix.Temporary()) continue;
    TVellIndexDef d;
    d.name = ix.name;
    d.options = ix.options;
    for (size_t k = 0; k < ix.fields.size(); ++k) {
      const std::string n = nameOf(ix.fields[k]);
      d.fields += (k ? ";" : "") + n;
      if (ix.caseInsensitive[k])
        d.caseInsensitiveFields += (d.caseInsensitiveFields.empty() ? "" : ";") + n;
      if (!ix.ascending[k]) d.descendingFields += (d.descendingFields.empty() ? "" : ";") + n;
    }
    defs.push_back(std::move(d));
  }
  return defs;
}

bool TVellTable::IsIndexField(const TField& field) {
  if (!tableOpen_) throw Exception("Error in TVellDataSet.GetIndexField - no table was opened.");
  const int32_t f = StoredFieldOf(field.FieldNo());
  const auto& fields = table_->Indexes().at(size_t(CurrentIndex())).fields;
  return std::find(fields.begin(), fields.end(), f) != fields.end();
}

// ---- master/detail ---------------------------------------------------------------------------

void TVellTable::SetMasterSource(TDataSource* source) {
  for (TDataSource* s = source; s != nullptr;) {
    TDataSet* ds = s->DataSet();
    if (ds == this) throw Exception("TVellDataSet.SetDataSource - Invalid DataSource");
    auto* table = dynamic_cast<TVellTable*>(ds);
    s = table != nullptr ? table->MasterSource() : nullptr;
  }
  masterLink_.SetDataSource(source);
}

void TVellTable::SetMasterFields(const std::string& fields) {
  masterFields_ = fields;
  MasterChanged();
}

bool TVellTable::MasterLinkActive(std::vector<int32_t>* detailFields) {
  TDataSet* master = masterLink_.DataSet();
  if (master == nullptr || !master->Active() || !tableOpen_) return false;
  const std::vector<std::string> names = SplitSemicolons(masterFields_);
  if (names.empty()) return false;
  const TIndexHeader& ix = table_->Indexes().at(size_t(CurrentIndex()));
  if (ix.fields.size() < names.size()) return false;
  for (size_t i = 0; i < names.size(); ++i) {
    TField* mf = master->FindField(names[i]);
    if (mf == nullptr) return false;
    const int32_t f = ix.fields[i];
    const uint8_t type =
        f == kRecordIdField ? uint8_t(ftAutoInc) : table_->Fields()[size_t(f)].type;
    if (IsNumericType(type) != IsNumericType(mf->DataType())) return false;
  }
  if (detailFields != nullptr)
    detailFields->assign(ix.fields.begin(), ix.fields.begin() + long(names.size()));
  return true;
}

std::string TVellTable::MasterCondition() {
  std::vector<int32_t> fields;
  if (!MasterLinkActive(&fields)) return {};
  TDataSet* master = masterLink_.DataSet();
  const std::vector<std::string> names = SplitSemicolons(masterFields_);
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string name = fields[i] == kRecordIdField ? table_->AutoIncFieldName()
                                                         : table_->Fields()[size_t(fields[i])].name;
    const TVTblValue v = master->FieldByName(names[i]).Value();
    const std::string shown = v.isNull               ? std::string()
                              : IsStringType(v.type) ? v.Text()
                                                     : ValueToText(v);
    if (v.isNull || shown.empty()) {
      text += i == 0 ? "([" + name + "] IS NULL )" : " and ([" + name + "] IS NULL)";
      continue;
    }
    std::string value = shown;
    if (IsStringType(v.type)) {
      std::string quoted = "'";
      for (char c : shown) quoted += c == '\'' ? std::string("''") : std::string(1, c);
      value = quoted + "'";
    }
    text += (i == 0 ? "([" : " and ([") + name + "] = " + value + ")";
  }
  return text;
}

void TVellTable::MasterChanged() {
  if (!Active() || State() == dsOpening) return;
  CheckBrowseMode();
  InvalidateView();
  First();
}

void TVellTable::DoOnNewRecord() {
  std::vector<int32_t> fields;
  if (!MasterLinkActive(&fields)) return;
  TDataSet* master = masterLink_.DataSet();
  const std::vector<std::string> names = SplitSemicolons(masterFields_);
  for (size_t i = 0; i < fields.size(); ++i) {
    const TVTblValue v = master->FieldByName(names[i]).Value();
    if (fields[i] == kRecordIdField) continue;
    for (size_t k = 0; k < FieldCount(); ++k)
      if (StoredFieldOf(Fields(k).FieldNo()) == fields[i]) Fields(k).SetValue(v);
  }
}

// ---- maintenance -----------------------------------------------------------------------------

TAbstractPlainFileSystem* TVellTable::BindForMaintenance(int bit) {
  SetUsageBit(bit, true);
  if (handle_ == nullptr) throw Exception("TVellDataset.OpenTable - error.");
  TAbstractPlainFileSystem* store = StoreFor(inMemory_         ? tsmMemory
                                             : temporaryFiles_ ? tsmTemporary
                                                               : tsmDatabase);
  if (store == nullptr) throw Exception("TVellDataset.OpenTable - error.");
  return store;
}

void TVellTable::CheckNotBusy(const char* operation) {
  TVellDataManager* t = FindTableHandle(tableName_, handle_);
  if (t == nullptr) return;
  for (TVellTableClient* c : t->Clients())
    if (c != this)
      throw Exception(std::string("TVellDataSet.") + operation + " - Table is busy, table " +
                      tableName_);
  // An idle open handle would write over what the operation changes.
  if (t->Clients().empty()) CloseIdleTables(handle_, tableName_);
}

void TVellTable::InternalCreateTable() {
  if (Active())
    throw Exception(
        "TVellDataSet.InternalCreateTable - Cannot perform this operation on an open DataSet.");
  if (blobBlockSize_ < 1)
    throw Exception("TVellDataSet.InternalCreateTable - BLOBBlockSize must be at least 1.");
  if (inMemory_ && databaseName_.empty() && databaseFileName_.empty()) databaseName_ = "MEMORY";
  std::lock_guard<std::recursive_mutex> lock(EngineLock());
  TAbstractPlainFileSystem* store = BindForMaintenance(ubTableMaintenance);
  Finally release{[&] { SetUsageBit(ubTableMaintenance, false); }};
  CheckNotBusy("InternalCreateTable");
  // Persistent data fields complete the definitions.
  std::vector<TFieldDef> defs = FieldDefs();
  for (size_t i = 0; i < FieldCount(); ++i) {
    const TField& f = Fields(i);
    if (f.Kind() != fkData) continue;
    const bool known = std::any_of(defs.begin(), defs.end(), [&](const TFieldDef& d) {
      return SameTextAscii(d.name, f.FieldName());
    });
    if (!known)
      defs.push_back(
          {f.FieldName(), f.DataType(), f.Size(), f.Required(), int32_t(defs.size() + 1)});
  }
  std::vector<TVellFieldDef> fields;
  for (const TFieldDef& d : defs) fields.push_back({d.name, d.dataType, d.size, d.required});
  TVellTableOptions options;
  options.compression = blobCompression_;
  options.blobBlockSize = blobBlockSize_;
  options.password = password_;
  TVellDataManager table(tableName_, *store);
  if (store->FileExists(tableName_ + ".dat")) table.DeleteTable();
  table.CreateTable(fields, options, indexDefs_, autoIndexes_);
}

void TVellTable::InternalDeleteTable() {
  if (Active())
    throw Exception(
        "TVellDataSet.InternalDeleteTable - Cannot perform this operation on an open DataSet.");
  std::lock_guard<std::recursive_mutex> lock(EngineLock());
  TAbstractPlainFileSystem* store = BindForMaintenance(ubTableDeletion);
  Finally release{[&] { SetUsageBit(ubTableDeletion, false); }};
  CheckNotBusy("InternalDeleteTable");
  TVellDataManager table(tableName_, *store);
  table.DeleteTable();
}

void TVellTable::InternalRenameTable(const std::string& newName) {
  if (Active())
    throw Exception(
        "TVellDataSet.InternalRenameTable - Cannot perform this operation on an open DataSet.");
  std::lock_guard<std::recursive_mutex> lock(EngineLock());
  TAbstractPlainFileSystem* store = BindForMaintenance(ubTableMaintenance);
  Finally release{[&] { SetUsageBit(ubTableMaintenance, false); }};
  CheckNotBusy("InternalRenameTable");
  TVellDataManager table(tableName_, *store);
  table.RenameTable(newName);
  tableName_ = newName;
}

void TVellTable::InternalSaveTable() {
  if (!tableOpen_) throw Exception("TVellDataset.InternalSaveTable - table is not opened.");
  if (!inMemory_ || table_->StoreMode() != tsmMemory)
    throw Exception("TVellDataset.InternalSaveTable - table is not in in-memory mode.");
  table_->FlushBuffers();
  for (const char* ext : {".dat", ".idx", ".bif", ".bdf"})
    if (TAbstractPlainFileSystem* mem = StoreFor(tsmMemory);
        mem != nullptr && mem->FileExists(tableName_ + ext))
      handle_->SaveMemoryCopy(tableName_ + ext);
}

bool TVellTable::InternalImportTable(TDataSet& source, const std::vector<TVellIndexDef>& indexes,
                                     std::string& log) {
  if (Active())
    throw Exception(
        "TVellDataSet.InternalImportTable - Cannot perform this operation on an open DataSet.");
  std::vector<TFieldDef> defs;
  for (const TFieldDef& d : source.FieldDefs()) {
    if (FieldStorageSize(d.dataType, d.size) < 0 && d.dataType != ftAutoInc) {
      log += "Field \"" + d.name + "\" skipped: unsupported type.\r\n";
      continue;
    }
    defs.push_back({d.name, d.dataType, d.size, d.required, int32_t(defs.size() + 1)});
  }
  {
    std::lock_guard<std::recursive_mutex> lock(EngineLock());
    BindForMaintenance(ubTableMaintenance);
    Finally release{[&] { SetUsageBit(ubTableMaintenance, false); }};
    CheckNotBusy("InternalImportTable");
  }
  MutableFieldDefs() = defs;
  indexDefs_.clear();
  for (const TVellIndexDef& ix : indexes) {
    bool ok = true;
    for (const std::string& f : SplitSemicolons(ix.fields))
      ok = ok && std::any_of(defs.begin(), defs.end(),
                             [&](const TFieldDef& d) { return SameTextAscii(d.name, f); });
    if (ok)
      indexDefs_.push_back(ix);
    else
      log += "Index \"" + ix.name + "\" skipped.\r\n";
  }
  try {
    InternalCreateTable();
    Open();
  } catch (const std::exception& e) {
    log += std::string("Table cannot be created: ") + e.what() + "\r\n";
    return false;
  }
  bool ok = true;
  const bool wasActive = source.Active();
  try {
    if (!wasActive) source.Open();
    for (source.First(); !source.Eof(); source.Next()) {
      try {
        BeginAppend();
        for (size_t i = 0; i < defs.size(); ++i) {
          const TField* f = source.FindField(defs[i].name);
          if (f != nullptr) SetAppendValue(defs[i].fieldNo, f->Value());
        }
        EndAppend();
      } catch (const std::exception& e) {
        log += std::string("Row not imported: ") + e.what() + "\r\n";
        ok = false;
      }
    }
    if (!wasActive) source.Close();
  } catch (const std::exception& e) {
    log += std::string("Import failed: ") + e.what() + "\r\n";
    ok = false;
  }
  Close();
  return ok;
}

void TVellTable::InternalRestructureTable(
    const std::vector<TFieldDef>& newFields, const std::vector<TVellIndexDef>& indexes,
    const std::vector<std::pair<std::string, std::string>>& renames) {
  if (Active())
    throw Exception(
        "TVellDataSet.InternalRestructureTable - Cannot perform this operation on an open "
        "DataSet.");
  std::lock_guard<std::recursive_mutex> lock(EngineLock());
  TAbstractPlainFileSystem* store = BindForMaintenance(ubTableMaintenance);
  Finally release{[&] { SetUsageBit(ubTableMaintenance, false); }};
  CheckNotBusy("InternalRestructureTable");
  const std::string backup = tableName_ + "_backup";
  TVellDataManager old(tableName_, *store);
  if (old.OpenTable(password_, true) != otOk)
    throw Exception("TVellDataset.OpenTable - table \"" + tableName_ + "\" does not exist.");
  TVellTableOptions options;
  options.compression = TCompressionLevel(old.Header().blobCompression);
  options.blobBlockSize = old.Blobs().BlockSize() > 0 ? old.Blobs().BlockSize() : 512;
  options.password = password_;
  old.CloseTable();
  old.RenameTable(backup);
  TVellDataManager fresh(tableName_, *store);
  try {
    std::vector<TVellFieldDef> fields;
    for (const TFieldDef& d : newFields) fields.push_back({d.name, d.dataType, d.size, d.required});
    fresh.CreateTable(fields, options, indexes, false);
    if (old.OpenTable(password_, true) != otOk || fresh.OpenTable(password_, false) != otOk)
      throw Exception("TVellDataSet.InternalRestructureTable - table cannot be opened.");
    // Each new field takes the old field of its (old) name.
    std::vector<int32_t> from(fresh.Fields().size(), INT32_MIN);
    for (size_t i = 0; i < fresh.Fields().size(); ++i) {
      std::string want = fresh.Fields()[i].name;
      for (const auto& [o, n] : renames)
        if (SameTextAscii(n, want)) want = o;
      for (size_t k = 0; k < old.Fields().size(); ++k)
        if (SameTextAscii(old.Fields()[k].name, want)) from[i] = int32_t(k);
      if (from[i] == INT32_MIN && SameTextAscii(want, old.AutoIncFieldName()))
        from[i] = kRecordIdField;
    }
    std::vector<uint8_t> rec(size_t(old.Layout().recordSize));
    for (int32_t slot = 0; slot < old.RecordCount(); ++slot) {
      old.GetRecord(slot, rec.data());
      std::vector<uint8_t> out = fresh.NewRecord();
      fresh.SetRecordID(out.data(), old.RecordID(rec.data()));
      std::vector<std::pair<int32_t, std::vector<uint8_t>>> blobs;
      for (size_t i = 0; i < from.size(); ++i) {
        const int32_t f = from[i];
        if (f == INT32_MIN) continue;
        const uint8_t toType = fresh.Fields()[i].type;
        if (f != kRecordIdField && IsBlobType(old.Fields()[size_t(f)].type)) {
          std::vector<uint8_t> data = old.ReadBLOBValue(f, slot);
          if (IsBlobType(toType))
            blobs.emplace_back(int32_t(i), std::move(data));
          else if (!data.empty())
            try {
              fresh.SetFieldValue(out.data(), int32_t(i),
                                  TVTblValue::String(std::string(data.begin(), data.end())));
            } catch (const std::exception&) {
            }
          continue;
        }
        const TVTblValue v = old.FieldValue(rec.data(), f);
        if (IsBlobType(toType)) {
          if (!v.isNull) {
            const std::string text = IsStringType(v.type) ? v.Text() : ValueToText(v);
            blobs.emplace_back(int32_t(i), std::vector<uint8_t>(text.begin(), text.end()));
          }
          continue;
        }
        try {
          fresh.SetFieldValue(out.data(), int32_t(i), v);
        } catch (const std::exception&) {
          fresh.SetNull(out.data(), int32_t(i), true);  // a value that does not convert
        }
      }
      for (const auto& [f, data] : blobs) fresh.SetNull(out.data(), f, data.empty());
      const int32_t at = fresh.AppendRecord(out.data());
      for (const auto& [f, data] : blobs)
        if (!data.empty()) fresh.WriteBLOBValue(f, at, data.data(), data.size());
    }
    fresh.CloseTable();
    old.DeleteTable();
  } catch (...) {
    try {
      fresh.DeleteTable();
      old.CloseTable();
      old.RenameTable(tableName_);
    } catch (...) {
      // The backup stays for the user to recover.
    }
    throw;
  }
}

void TVellTable::InternalAddIndex(const std::string& name, const std::string& fields,
                                  const std::string& descendingFields,
                                  const std::string& caseInsensitiveFields, uint8_t options) {
  const bool wasOpen = Active();
  if (!wasOpen) Open();
  Finally restore{[&] {
    if (!wasOpen) Close();
  }};
  CheckNotBusy("InternalAddIndex");
  table_->AddIndex(name, fields, caseInsensitiveFields, descendingFields, options);
  InvalidateView();
  ResyncCentred();
}

void TVellTable::InternalDeleteIndex(const std::string& name) {
  const bool wasOpen = Active();
  if (!wasOpen) Open();
  Finally restore{[&] {
    if (!wasOpen) Close();
  }};
  CheckNotBusy("InternalDeleteTable");
  table_->DeleteIndex(name);
  ResolveIndexProperties("OpenIndex");
  ResyncCentred();
}

std::string TVellTable::CreateTemporaryIndex(const std::string& fields,
                                             const std::string& descendingFields) {
  CheckTable("CreateTemporaryIndex");
  return table_->CreateTemporaryIndex(fields, descendingFields, "");
}

bool TVellTable::Exists() {
  if (Active()) return true;
  // A database file that is not there has no tables; connecting would
  // create it.
  std::string file = databaseFileName_;
  if (file.empty() && !databaseName_.empty())
    if (TVellSession* s = TVellSessionList::Instance().FindSession(sessionName_))
      if (TVellDatabase* db = s->FindDatabase(databaseName_, "");
          db != nullptr && db->Directory().empty())
        file = db->DatabaseFileName();
  if (!file.empty() && !inMemory_ && ::access(file.c_str(), F_OK) != 0) return false;
  if (file.empty() && databaseName_.empty() && !inMemory_) return false;
  std::lock_guard<std::recursive_mutex> lock(EngineLock());
  TAbstractPlainFileSystem* store = BindForMaintenance(ubTableMaintenance);
  Finally release{[&] { SetUsageBit(ubTableMaintenance, false); }};
  return store->FileExists(tableName_ + ".dat");
}

// ---- temporary result tables -----------------------------------------------------------------

void TVellDataset::MakeTemporaryTable(const std::vector<TVellFieldDef>& fields) {
  Close();
  inMemory_ = true;
  autoIndexes_ = false;
  temporary_ = true;
  databaseFileName_.clear();
  databaseName_ = "MEMORY";
  const uint32_t n = (uint32_t(RandomBelow(2147483647)) + uint32_t(TickCount())) % 100000u;
  tableName_ = "@TABLE" + std::to_string(n);
  std::lock_guard<std::recursive_mutex> lock(EngineLock());
  SetUsageBit(ubTableMaintenance, true);
  Finally release{[&] { SetUsageBit(ubTableMaintenance, false); }};
  TAbstractPlainFileSystem* store = StoreFor(tsmMemory);
  if (store == nullptr) throw Exception("TVellDataset.OpenTable - error.");
  TVellDataManager table(tableName_, *store);
  table.CreateTable(fields, TVellTableOptions{}, {}, false);
}

// ---- LASTAUTOINC -----------------------------------------------------------------------------

bool TVellDataset::LastAutoInc(std::string_view table, bool inMemory, std::string_view password,
                               int32_t& value) {
  TVellTable t;
  t.SetSessionName(sessionName_);
  if (!databaseFileName_.empty())
    t.SetDatabaseFileName(databaseFileName_);
  else
    t.SetDatabaseName(databaseName_);
  t.SetTableName(std::string(table));
  t.SetInMemory(inMemory);
  t.SetPassword(std::string(password));
  t.Open();
  value = t.TableHandle()->Header().lastAutoInc;
  t.Close();
  return true;
}

}  // namespace kestro
