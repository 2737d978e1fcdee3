#include "engine/dataset/dataset_base.h"

#include <algorithm>
#include <cmath>

#include "engine/common/locale.h"
#include "engine/common/text.h"

namespace kestro {

// ---- TField ---------------------------------------------------------------------------------

TField::TField(std::string name, uint8_t dataType, int32_t size, TFieldKind kind)
    : name_(std::move(name)), dataType_(dataType), size_(size), kind_(kind) {}

TVTblValue TField::Value() const {
  if (dataset_ == nullptr || (!dataset_->hasRecord_ && !dataset_->InCalcState()))
    return TVTblValue::Null(dataType_);
  TRecordBuffer& buffer = dataset_->ActiveBuffer();
  if (kind_ != fkData) {
    const size_t k = size_t(fieldNo_);
    return k < buffer.calc.size() && !buffer.calc[k].isNull ? buffer.calc[k]
                                                            : TVTblValue::Null(dataType_);
  }
  TVTblValue v;
  if (!dataset_->GetFieldValue(*this, v)) return TVTblValue::Null(dataType_);
  return v;
}

void TField::SetValue(const TVTblValue& value) {
  if (dataset_ == nullptr) throw EDatabaseError("Field '" + name_ + "' has no dataset");
  if (kind_ != fkData) {
    if (!dataset_->InCalcState() && dataset_->state_ != dsEdit && dataset_->state_ != dsInsert)
      dataset_->DatabaseError("Dataset not in edit or insert mode");
    TRecordBuffer& buffer = dataset_->ActiveBuffer();
    if (buffer.calc.size() < dataset_->calcCount_) buffer.calc.resize(dataset_->calcCount_);
    TVTblValue v = value;
    if (!v.isNull && v.type != dataType_) ConvertValue(v, dataType_);
    buffer.calc[size_t(fieldNo_)] = v;
    if (!dataset_->InCalcState()) dataset_->NotifyFieldChange(*this);
    return;
  }
  if (OnValidate) OnValidate(*this);
  dataset_->SetFieldValue(*this, value);
  dataset_->NotifyFieldChange(*this);
}

bool TField::IsNull() const { return Value().isNull; }

std::string TField::AsString() const {
  const TVTblValue v = Value();
  if (v.isNull) return {};
  if (v.type == ftString || v.type == ftWideString) return v.Text();
  if (v.type >= ftBlob && v.type <= ftFmtMemo) return v.s;
  return ValueToText(v);
}

void TField::SetAsString(std::string_view text) {
  if (dataType_ == ftString && size_ > 0) text = Utf8Prefix(text, size_t(size_));
  SetValue(TVTblValue::String(text));
}

namespace {
TVTblValue Converted(TVTblValue v, uint8_t type) {
  if (!v.isNull && v.type != type) ConvertValue(v, type);
  return v;
}
}  // namespace

int32_t TField::AsInteger() const {
  const TVTblValue v = Value();
  if (v.isNull) return 0;
  if (v.type == ftFloat || v.type == ftCurrency) return int32_t(std::llround(v.f));
  return int32_t(Converted(v, ftInteger).i);
}

void TField::SetAsInteger(int32_t value) { SetValue(TVTblValue::Integer(value)); }

int64_t TField::AsLargeInt() const {
  const TVTblValue v = Value();
  if (v.isNull) return 0;
  if (v.type == ftFloat || v.type == ftCurrency) return std::llround(v.f);
  return Converted(v, ftLargeInt).i;
}

void TField::SetAsLargeInt(int64_t value) { SetValue(TVTblValue::Int(ftLargeInt, value)); }

double TField::AsFloat() const {
  const TVTblValue v = Value();
  if (v.isNull) return 0;
  if (v.type == ftDate || v.type == ftTime || v.type == ftDateTime) return v.AsDateTimeNumber();
  return Converted(v, ftFloat).f;
}

void TField::SetAsFloat(double value) { SetValue(TVTblValue::Float(value)); }

double TField::AsDateTime() const {
  const TVTblValue v = Value();
  if (v.isNull) return 0;
  if (v.type == ftDate || v.type == ftTime || v.type == ftDateTime) return v.AsDateTimeNumber();
  return Converted(v, ftDateTime).AsDateTimeNumber();
}

void TField::SetAsDateTime(double value) {
  const uint8_t type = dataType_ == ftDate || dataType_ == ftTime ? dataType_ : uint8_t(ftDateTime);
  SetValue(ValueFromDateTimeNumber(value, type));
}

bool TField::AsBoolean() const {
  const TVTblValue v = Value();
  if (v.isNull) return false;
  return Converted(v, ftBoolean).i != 0;
}

void TField::SetAsBoolean(bool value) { SetValue(TVTblValue::Boolean(value)); }

// ---- data links and sources ------------------------------------------------------------------

TDataLink::~TDataLink() { SetDataSource(nullptr); }

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == source_) return;
  if (source_ != nullptr) {
    auto& links = source_->links_;
    links.erase(std::remove(links.begin(), links.end(), this), links.end());
  }
  source_ = source;
  if (source_ != nullptr) source_->links_.push_back(this);
  ActiveChanged();
}

TDataSet* TDataLink::DataSet() const { return source_ != nullptr ? source_->DataSet() : nullptr; }

bool TDataLink::Active() const {
  TDataSet* ds = DataSet();
  return ds != nullptr && ds->Active();
}

TDataSource::~TDataSource() {
  SetDataSet(nullptr);
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->SetDataSource(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset_ != nullptr) {
    auto& s = dataset_->sources_;
    s.erase(std::remove(s.begin(), s.end(), this), s.end());
  }
  dataset_ = dataset;
  if (dataset_ != nullptr) dataset_->sources_.push_back(this);
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->ActiveChanged();
}

// ---- TDataSet ---------------------------------------------------------------------------------

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  for (TDataSource* s : std::vector<TDataSource*>(sources_)) s->SetDataSet(nullptr);
}

void TDataSet::DatabaseError(const std::string& message) const {
  throw EDatabaseError(name_.empty() ? message : name_ + ": " + message);
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) DatabaseError("Cannot modify a read-only dataset");
}

void TDataSet::ForEachLink(const std::function<void(TDataLink&)>& f) {
  for (TDataSource* s : std::vector<TDataSource*>(sources_)) {
    if (!s->enabled_) continue;
    for (TDataLink* link : std::vector<TDataLink*>(s->links_)) f(*link);
  }
}

void TDataSet::DataEvent(void (TDataLink::*event)(), bool toSources) {
  if (disableCount_ > 0 && event != &TDataLink::ActiveChanged) return;
  ForEachLink([&](TDataLink& link) { (link.*event)(); });
  if (!toSources) return;
  for (TDataSource* s : std::vector<TDataSource*>(sources_)) {
    if (event == &TDataLink::ActiveChanged || event == &TDataLink::EditingChanged) {
      if (s->OnStateChange) s->OnStateChange(*s);
    } else if (s->OnDataChange && event != &TDataLink::UpdateData) {
      s->OnDataChange(*s, nullptr);
    }
  }
}

void TDataSet::NotifyScrolled(int distance) {
  if (disableCount_ > 0) return;
  ForEachLink([&](TDataLink& link) { link.DataSetScrolled(distance); });
  for (TDataSource* s : std::vector<TDataSource*>(sources_))
    if (s->OnDataChange) s->OnDataChange(*s, nullptr);
}

void TDataSet::NotifyRecordChanged(TField* field) {
  if (disableCount_ > 0) return;
  ForEachLink([&](TDataLink& link) { link.RecordChanged(field); });
  for (TDataSource* s : std::vector<TDataSource*>(sources_))
    if (s->OnDataChange) s->OnDataChange(*s, field);
}

void TDataSet::NotifyFieldChange(TField& field) {
  if (state_ == dsCalcFields || state_ == dsFilter || state_ == dsNewValue) return;
  if (state_ == dsEdit || state_ == dsInsert) modified_ = true;
  if (field.OnChange) field.OnChange(field);
  NotifyRecordChanged(&field);
}

void TDataSet::EnableControls() {
  if (disableCount_ > 0 && --disableCount_ == 0 && Active()) DataEvent(&TDataLink::DataSetChanged);
}

void TDataSet::SetState(TDataSetState state) {
  if (state == state_) return;
  const bool editing = state_ == dsEdit || state_ == dsInsert;
  state_ = state;
  modified_ = false;
  if (editing != (state == dsEdit || state == dsInsert)) DataEvent(&TDataLink::EditingChanged);
}

TField* TDataSet::FindField(std::string_view name) const {
  for (const auto& f : fields_)
    if (SameTextAscii(f->name_, name) || TVellLocale::Current().CompareText(f->name_, name) == 0)
      return f.get();
  return nullptr;
}

TField& TDataSet::FieldByName(std::string_view name) const {
  TField* f = FindField(name);
  if (f == nullptr) DatabaseError("Field '" + std::string(name) + "' not found");
  return *f;
}

TField& TDataSet::AddField(std::string name, uint8_t dataType, int32_t size, TFieldKind kind) {
  CheckInactive();
  auto f = std::make_unique<TField>(std::move(name), dataType, size, kind);
  f->dataset_ = this;
  f->persistent_ = true;
  f->index_ = int32_t(fields_.size());
  if (kind != fkData) f->fieldNo_ = int32_t(calcCount_++);
  fields_.push_back(std::move(f));
  return *fields_.back();
}

void TDataSet::MoveField(TField& field, size_t index) {
  const auto it = std::find_if(fields_.begin(), fields_.end(),
                               [&](const auto& f) { return f.get() == &field; });
  if (it == fields_.end()) return;
  std::unique_ptr<TField> moved = std::move(*it);
  fields_.erase(it);
  index = std::min(index, fields_.size());
  fields_.insert(fields_.begin() + long(index), std::move(moved));
  for (size_t i = 0; i < fields_.size(); ++i) fields_[i]->index_ = int32_t(i);
}

void TDataSet::ClearFields() {
  CheckInactive();
  fields_.clear();
  calcCount_ = 0;
}

void TDataSet::CreateFields() {
  const bool ownData = std::any_of(fields_.begin(), fields_.end(), [](const auto& f) {
    return f->persistent_ && f->kind_ == fkData;
  });
  if (!ownData) {
    std::vector<std::unique_ptr<TField>> made;
    for (const TFieldDef& def : fieldDefs_) {
      auto f = std::make_unique<TField>(def.name, def.dataType, def.size);
      f->dataset_ = this;
      f->required_ = def.required;
      f->fieldNo_ = def.fieldNo;
      made.push_back(std::move(f));
    }
    // Calculated fields follow the data fields.
    for (auto& f : fields_) made.push_back(std::move(f));
    fields_ = std::move(made);
  } else {
    for (auto& f : fields_) {
      if (f->kind_ != fkData) continue;
      const auto def = std::find_if(fieldDefs_.begin(), fieldDefs_.end(), [&](const TFieldDef& d) {
        return TVellLocale::Current().CompareText(d.name, f->name_) == 0;
      });
      if (def == fieldDefs_.end()) DatabaseError("Field '" + f->name_ + "' not found");
      f->fieldNo_ = def->fieldNo;
      f->dataType_ = def->dataType;
      if (f->size_ <= 0 || f->size_ > def->size) f->size_ = def->size;
      f->required_ = f->required_ || def->required;
    }
  }
  for (size_t i = 0; i < fields_.size(); ++i) fields_[i]->index_ = int32_t(i);
}

void TDataSet::DestroyDefaultFields() {
  fields_.erase(
      std::remove_if(fields_.begin(), fields_.end(), [](const auto& f) { return !f->persistent_; }),
      fields_.end());
  for (size_t i = 0; i < fields_.size(); ++i) fields_[i]->index_ = int32_t(i);
}

void TDataSet::ChangeFieldDefsNames(size_t index, const std::string& name) {
  if (index < fieldDefs_.size()) fieldDefs_[index].name = name;
}

void TDataSet::SetCurrentRecord(TRecordBuffer buffer) {
  current_ = std::move(buffer);
  hasRecord_ = true;
}

void TDataSet::ClearCurrentRecord() {
  current_ = TRecordBuffer();
  hasRecord_ = false;
}

void TDataSet::CalculateFields(TRecordBuffer& buffer) {
  if (calcCount_ == 0) return;
  buffer.calc.assign(calcCount_, TVTblValue());
  if (!OnCalcFields) return;
  const TDataSetState keep = state_;
  const bool keepModified = modified_;
  TRecordBuffer* keepBuffer = calcBuffer_;
  state_ = dsCalcFields;
  calcBuffer_ = &buffer;
  try {
    OnCalcFields(*this);
  } catch (...) {
    state_ = keep, calcBuffer_ = keepBuffer, modified_ = keepModified;
    throw;
  }
  state_ = keep, calcBuffer_ = keepBuffer, modified_ = keepModified;
}

void TDataSet::Open() {
  if (Active()) return;
  Fire(BeforeOpen);
  state_ = dsOpening;
  try {
    InternalOpen();
    CreateFields();
    FieldsCreated();
    state_ = dsBrowse;
    InternalFirst();
    ReadFirst();
  } catch (...) {
    state_ = dsInactive;
    try {
      if (IsCursorOpen()) InternalClose();
    } catch (...) {
      // The first error is the one to report.
    }
    DestroyDefaultFields();
    ClearCurrentRecord();
    throw;
  }
  DataEvent(&TDataLink::ActiveChanged);
  Fire(AfterOpen);
}

void TDataSet::Close() {
  if (state_ == dsInactive) return;
  // A pending row is discarded, never posted.
  if (state_ == dsEdit || state_ == dsInsert || state_ == dsSetKey) {
    InternalCancel();
    state_ = dsBrowse;
    modified_ = false;
  }
  Fire(BeforeClose);
  state_ = dsInactive;
  modified_ = false;
  ClearCurrentRecord();
  bof_ = eof_ = true;
  try {
    InternalClose();
  } catch (...) {
    DestroyDefaultFields();
    DataEvent(&TDataLink::ActiveChanged);
    throw;
  }
  DestroyDefaultFields();
  DataEvent(&TDataLink::ActiveChanged);
  Fire(AfterClose);
}

void TDataSet::ReadFirst() {
  ClearCurrentRecord();
  TRecordBuffer buffer;
  if (GetRecord(buffer, gmNext, false) == grOK) {
    SetCurrentRecord(std::move(buffer));
    bof_ = true;
    eof_ = false;
  } else {
    bof_ = eof_ = true;
  }
}

void TDataSet::First() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  InternalFirst();
  ReadFirst();
  DataEvent(&TDataLink::DataSetChanged);
  Fire(AfterScroll);
}

void TDataSet::Last() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  ClearCurrentRecord();
  InternalLast();
  TRecordBuffer buffer;
  if (GetRecord(buffer, gmPrior, false) == grOK) {
    SetCurrentRecord(std::move(buffer));
    eof_ = true;
    bof_ = false;
  } else {
    bof_ = eof_ = true;
  }
  DataEvent(&TDataLink::DataSetChanged);
  Fire(AfterScroll);
}

void TDataSet::Next() {
  CheckActive();
  CheckBrowseMode();
  if (eof_) return;
  Fire(BeforeScroll);
  TRecordBuffer buffer;
  if (GetRecord(buffer, gmNext, false) == grOK) {
    SetCurrentRecord(std::move(buffer));
    bof_ = false;
    NotifyScrolled(1);
  } else {
    eof_ = true;
  }
  Fire(AfterScroll);
}

void TDataSet::Prior() {
  CheckActive();
  CheckBrowseMode();
  if (bof_) return;
  Fire(BeforeScroll);
  TRecordBuffer buffer;
  if (GetRecord(buffer, gmPrior, false) == grOK) {
    SetCurrentRecord(std::move(buffer));
    eof_ = false;
    NotifyScrolled(-1);
  } else {
    bof_ = true;
  }
  Fire(AfterScroll);
}

int TDataSet::MoveBy(int distance) {
  CheckActive();
  int moved = 0;
  while (distance > 0 && !eof_) {
    Next();
    if (!eof_) ++moved;
    --distance;
  }
  while (distance < 0 && !bof_) {
    Prior();
    if (!bof_) --moved;
    ++distance;
  }
  return moved;
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  if (state_ == dsEdit || state_ == dsInsert) {
    DataEvent(&TDataLink::UpdateData, false);
    if (modified_)
      Post();
    else
      Cancel();
  } else if (state_ == dsSetKey) {
    Post();
  }
}

void TDataSet::BeginInsert(bool append) {
  CheckActive();
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert);
  Fire(BeforeScroll);
  saved_ = current_;
  savedHasRecord_ = hasRecord_;
  if (append) eof_ = true;
  InternalInsert();
  TRecordBuffer buffer;
  InternalInitRecord(buffer);
  buffer.calc.assign(calcCount_, TVTblValue());
  SetCurrentRecord(std::move(buffer));
  SetState(dsInsert);
  try {
    DoOnNewRecord();
    Fire(OnNewRecord);
  } catch (...) {
    SetState(dsBrowse);
    current_ = saved_;
    hasRecord_ = savedHasRecord_;
    throw;
  }
  modified_ = false;
  DataEvent(&TDataLink::DataSetChanged);
  Fire(AfterInsert);
  Fire(AfterScroll);
}

void TDataSet::Append() { BeginInsert(true); }
void TDataSet::Insert() { BeginInsert(false); }

void TDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) return;
  CheckActive();
  if (!hasRecord_) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeEdit);
  InternalEdit();
  SetState(dsEdit);
  NotifyRecordChanged(nullptr);
  Fire(AfterEdit);
}

void TDataSet::CheckRequiredFields() {
  for (const auto& f : fields_)
    if (f->required_ && f->kind_ == fkData && !f->readOnly_ && f->IsNull())
      DatabaseError("Field '" + f->DisplayName() + "' must have a value");
}

void TDataSet::Post() {
  CheckActive();
  if (state_ == dsSetKey) {
    SetState(dsBrowse);
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert) return;
  DataEvent(&TDataLink::UpdateData, false);
  Fire(BeforePost);
  InternalPost();  // a failure leaves the edit or insert state as it was
  SetState(dsBrowse);
  Resync();
  Fire(AfterPost);
}

void TDataSet::Cancel() {
  CheckActive();
  if (state_ == dsSetKey) {
    SetState(dsBrowse);
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert) return;
  Fire(BeforeCancel);
  const bool inserting = state_ == dsInsert;
  InternalCancel();
  SetState(dsBrowse);
  if (inserting) {
    current_ = saved_;
    hasRecord_ = savedHasRecord_;
  }
  if (hasRecord_)
    Resync();
  else
    DataEvent(&TDataLink::DataSetChanged);
  Fire(AfterCancel);
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (!hasRecord_) DatabaseError("Cannot perform this operation on an empty dataset");
  DataEvent(&TDataLink::UpdateData, false);
  Fire(BeforeDelete);
  Fire(BeforeScroll);
  InternalDelete();
  SetState(dsBrowse);
  Resync();
  Fire(AfterDelete);
  Fire(AfterScroll);
}

void TDataSet::Refresh() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeRefresh);
  InternalRefresh();
  Resync();
  Fire(AfterRefresh);
}

void TDataSet::GotoBookmark(TBookmark bookmark) {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeScroll);
  // The row is read where the bookmark put the cursor, not re-derived from
  // the row that was current; a bookmark that is not visible raises and
  // leaves the current row.
  TRecordBuffer keep = current_;
  const bool had = hasRecord_;
  try {
    InternalGotoBookmark(bookmark);
    ClearCurrentRecord();
    TRecordBuffer buffer;
    GetRecord(buffer, gmCurrent, true);
    SetCurrentRecord(std::move(buffer));
  } catch (...) {
    current_ = std::move(keep);
    hasRecord_ = had;
    if (hasRecord_) InternalSetToRecord(current_);
    throw;
  }
  bof_ = eof_ = false;
  DataEvent(&TDataLink::DataSetChanged);
  Fire(AfterScroll);
}

void TDataSet::Resync() {
  if (!hasRecord_) {
    InternalFirst();
    ReadFirst();
    DataEvent(&TDataLink::DataSetChanged);
    return;
  }
  TRecordBuffer buffer;
  TGetResult r = GetRecord(buffer, gmCurrent, false);
  if (r != grOK) r = GetRecord(buffer, gmNext, false);
  if (r != grOK) r = GetRecord(buffer, gmPrior, false);
  if (r == grOK) {
    SetCurrentRecord(std::move(buffer));
    bof_ = eof_ = false;
  } else {
    ClearCurrentRecord();
    bof_ = eof_ = true;
  }
  DataEvent(&TDataLink::DataSetChanged);
}

bool TDataSet::Locate(const std::string&, const std::vector<TVTblValue>&, uint8_t) {
  DatabaseError("Capability not supported");
}

std::vector<TVTblValue> TDataSet::Lookup(const std::string&, const std::vector<TVTblValue>&,
                                         const std::string&) {
  DatabaseError("Capability not supported");
}

}  // namespace kestro
