// TDataSet: the generic dataset machinery that the engine's table and query
// datasets complete, and the contract that grids, trees and the organizer
// bind to.
//
//   TDataSet     states, the current record, fields, navigation, editing,
//                bookmarks, events and change notifications
//   TField       one column of the current record (typed access by name)
//   TDataSource  connects a dataset to its data links
//   TDataLink    an observer: a grid model or a handler subscribes here
//
// One record buffer is current at a time; moving reads the next one from the
// derived dataset. In the edit and insert states the current buffer is the
// edit buffer: Post writes it, Cancel reads the row back.
//
// Notifications to data links, in the order they happen:
//   ActiveChanged      the dataset opened or closed
//   DataSetScrolled    the current record moved (distance, when known)
//   DataSetChanged     the rows may all have changed (open, refresh, post,
//                      delete, cancel)
//   RecordChanged      a field of the current record changed (field), or
//                      the whole record (nullptr)
//   EditingChanged     the state went into or out of edit/insert
//   UpdateData         before a post: controls write their pending edits
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/exception.h"
#include "engine/common/value.h"

namespace kestro {

class TDataSet;
class TDataSource;

// The platform's database error ("Field 'X' must have a value", key
// violations, operations refused by the state).
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

enum TDataSetState : uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOpening,
};
enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup };
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };

struct TFieldDef {
  std::string name;
  uint8_t dataType = 0;
  int32_t size = 0;  // characters of a string field; 0 for fixed-size types
  bool required = false;
  int32_t fieldNo = 0;  // 1-based position in the definitions
};

// A record buffer: the row's data area as the dataset lays it out, its
// bookmark (the row's identifier and a flag) and the calculated values.
struct TRecordBuffer {
  std::vector<uint8_t> data;
  int32_t bookmark = 0;
  uint8_t bookmarkFlag = 0;
  std::vector<TVTblValue> calc;
};

// Bookmarks identify a row by its identifier; 0 is no bookmark.
using TBookmark = int32_t;

class TField {
 public:
  TField(std::string name, uint8_t dataType, int32_t size, TFieldKind kind = fkData);

  TDataSet* DataSet() const { return dataset_; }
  const std::string& FieldName() const { return name_; }
  // Field names and display names may be changed by a query's select list.
  void SetFieldName(std::string name) { name_ = std::move(name); }
  const std::string& DisplayName() const { return displayLabel_.empty() ? name_ : displayLabel_; }
  void SetDisplayLabel(std::string label) { displayLabel_ = std::move(label); }
  uint8_t DataType() const { return dataType_; }
  // The declared width: text written through the field is cut to it
  // (bytes, never splitting a UTF-8 character).
  int32_t Size() const { return size_; }
  void SetSize(int32_t size) { size_ = size; }
  TFieldKind Kind() const { return kind_; }
  int32_t FieldNo() const { return fieldNo_; }  // 0 for calculated fields
  int32_t Index() const { return index_; }      // position among the fields
  bool Required() const { return required_; }
  void SetRequired(bool v) { required_ = v; }
  bool Visible() const { return visible_; }
  void SetVisible(bool v) { visible_ = v; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v) { readOnly_ = v; }
  bool IsBlob() const { return dataType_ >= 15 && dataType_ <= 18; }

  // The value in the current record (NULL typed by the field).
  TVTblValue Value() const;
  void SetValue(const TVTblValue& value);
  bool IsNull() const;
  void Clear() { SetValue(TVTblValue::Null(dataType_)); }

  std::string AsString() const;  // "" for NULL
  void SetAsString(std::string_view text);
  int32_t AsInteger() const;  // 0 for NULL
  void SetAsInteger(int32_t value);
  int64_t AsLargeInt() const;
  void SetAsLargeInt(int64_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  // Numeric date-time: days since 30 December 1899, fraction = time.
  double AsDateTime() const;
  void SetAsDateTime(double value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);

  std::function<void(TField&)> OnChange;
  std::function<void(TField&)> OnValidate;

 private:
  friend class TDataSet;
  TDataSet* dataset_ = nullptr;
  std::string name_;
  std::string displayLabel_;
  uint8_t dataType_;
  int32_t size_;
  TFieldKind kind_;
  int32_t fieldNo_ = 0;
  int32_t index_ = -1;
  bool required_ = false;
  bool visible_ = true;
  bool readOnly_ = false;
  bool persistent_ = false;
};

class TDataLink {
 public:
  virtual ~TDataLink();
  TDataSource* DataSource() const { return source_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const;
  bool Active() const;

  virtual void ActiveChanged() {}
  virtual void DataSetScrolled(int distance) { (void)distance; }
  virtual void DataSetChanged() {}
  virtual void RecordChanged(TField* field) { (void)field; }
  virtual void EditingChanged() {}
  virtual void UpdateData() {}

 private:
  TDataSource* source_ = nullptr;
};

class TDataSource {
 public:
  TDataSource() = default;
  explicit TDataSource(TDataSet* dataset) { SetDataSet(dataset); }
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  TDataSet* DataSet() const { return dataset_; }
  void SetDataSet(TDataSet* dataset);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v) { enabled_ = v; }
  const std::vector<TDataLink*>& Links() const { return links_; }

  std::function<void(TDataSource&, TField*)> OnDataChange;
  std::function<void(TDataSource&)> OnStateChange;

 private:
  friend class TDataLink;
  friend class TDataSet;
  TDataSet* dataset_ = nullptr;
  bool enabled_ = true;
  std::vector<TDataLink*> links_;
};

class TDataSet {
 public:
  using Event = std::function<void(TDataSet&)>;

  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  TDataSetState State() const { return state_; }
  bool Active() const { return state_ != dsInactive && state_ != dsOpening; }
  void SetActive(bool active) { active ? Open() : Close(); }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return !hasRecord_; }
  bool Modified() const { return modified_; }
  virtual bool CanModify() const { return true; }

  void Open();
  void Close();
  void First();
  void Last();
  void Next();
  void Prior();
  // Moves up to `distance` rows; returns how far it went.
  int MoveBy(int distance);
  void Append();
  void Insert();
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Posts a modified pending row, drops an unmodified one.
  void CheckBrowseMode();

  int32_t RecordCount() { return Active() ? GetRecordCount() : 0; }
  int32_t RecNo() { return Active() ? GetRecNo() : 0; }
  void SetRecNo(int32_t n) {
    CheckActive();
    SetRecNoImpl(n);
  }

  TBookmark GetBookmark() const { return hasRecord_ ? current_.bookmark : 0; }
  void GotoBookmark(TBookmark bookmark);
  virtual bool BookmarkValid(TBookmark bookmark) {
    (void)bookmark;
    return false;
  }
  virtual int CompareBookmarks(TBookmark a, TBookmark b) { return a == b ? 0 : a < b ? -1 : 1; }

  // Fields: the dataset's own (added before opening) or made from the field
  // definitions on open.
  const std::vector<TFieldDef>& FieldDefs() const { return fieldDefs_; }
  std::vector<TFieldDef>& MutableFieldDefs() { return fieldDefs_; }
  size_t FieldCount() const { return fields_.size(); }
  TField& Fields(size_t i) const { return *fields_.at(i); }
  TField* FindField(std::string_view name) const;
  // Raises "Field 'X' not found" (with the dataset's name in front).
  TField& FieldByName(std::string_view name) const;
  // A persistent field, bound by name on open (a data field needs a column
  // of that name); its Size may be narrower than the column.
  TField& AddField(std::string name, uint8_t dataType, int32_t size = 0, TFieldKind kind = fkData);
  // Puts a field at position `index` among the fields.
  void MoveField(TField& field, size_t index);
  void ClearFields();

  // Fewer notifications during bulk moves; the last enable sends one
  // DataSetChanged.
  void DisableControls() { ++disableCount_; }
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }

  // Row-locating extensions (the engine's datasets answer them).
  enum TLocateOption : uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };
  virtual bool Locate(const std::string& keyFields, const std::vector<TVTblValue>& keyValues,
                      uint8_t options);
  // The result field(s) of the first row matching the key, or NULL; one
  // value per result field.
  virtual std::vector<TVTblValue> Lookup(const std::string& keyFields,
                                         const std::vector<TVTblValue>& keyValues,
                                         const std::string& resultFields);

  Event BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit,
      AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete,
      BeforeScroll, AfterScroll, BeforeRefresh, AfterRefresh, OnNewRecord, OnCalcFields;
  // Asked per row while Filtered is set; false hides the row.
  std::function<bool(TDataSet&)> OnFilterRecord;

  // The buffer the fields read and write (the calculated-fields buffer
  // while those are computed).
  TRecordBuffer& ActiveBuffer() { return calcBuffer_ != nullptr ? *calcBuffer_ : current_; }
  bool HasActiveRecord() const { return hasRecord_; }

 protected:
  // ---- what a concrete dataset answers ----
  virtual void InternalOpen() = 0;  // cursor, field definitions
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual TGetResult GetRecord(TRecordBuffer& buffer, TGetMode mode, bool check) = 0;
  virtual void InternalInitRecord(TRecordBuffer& buffer) = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalPost() = 0;
  virtual void InternalDelete() = 0;
  virtual void InternalInsert() {}
  virtual void InternalEdit() {}
  virtual void InternalCancel() {}
  virtual void InternalRefresh() {}
  virtual void InternalSetToRecord(const TRecordBuffer& buffer) = 0;
  virtual void InternalGotoBookmark(TBookmark bookmark) = 0;
  virtual int32_t GetRecordCount() = 0;
  virtual int32_t GetRecNo() = 0;
  virtual void SetRecNoImpl(int32_t n) = 0;
  // Field values of the active buffer; false when null.
  virtual bool GetFieldValue(const TField& field, TVTblValue& value) = 0;
  virtual void SetFieldValue(TField& field, const TVTblValue& value) = 0;
  // After a new record is initialised, before OnNewRecord.
  virtual void DoOnNewRecord() {}
  // After the field objects of an opening dataset exist.
  virtual void FieldsCreated() {}

  // ---- helpers for concrete datasets ----
  void SetState(TDataSetState state);
  void CheckActive() const;
  void CheckInactive() const;
  void CheckCanModify() const;
  [[noreturn]] void DatabaseError(const std::string& message) const;
  // Fields from the definitions (keeping persistent ones); binds FieldNo.
  void CreateFields();
  // Re-reads the current row (after post, delete, refresh, index changes).
  void Resync();
  // Reads the first row after InternalFirst (or clears the buffer).
  void ReadFirst();
  void DataEvent(void (TDataLink::*event)(), bool toSources = true);
  void NotifyScrolled(int distance);
  void NotifyRecordChanged(TField* field);
  void NotifyFieldChange(TField& field);
  void CalculateFields(TRecordBuffer& buffer);
  bool HasCalcFields() const { return calcCount_ > 0; }
  size_t CalcCount() const { return calcCount_; }
  void MarkModified() { modified_ = true; }
  TRecordBuffer& CurrentBuffer() { return current_; }
  void SetCurrentRecord(TRecordBuffer buffer);
  void ClearCurrentRecord();
  void ChangeFieldDefsNames(size_t index, const std::string& name);
  const std::vector<std::unique_ptr<TField>>& FieldList() const { return fields_; }
  bool InCalcState() const { return calcBuffer_ != nullptr; }
  // A state change without notifications (filter and calculation passes).
  void SetStateQuiet(TDataSetState state) { state_ = state; }
  void SetBofEof(bool bof, bool eof) { bof_ = bof, eof_ = eof; }
  // "Field 'X' must have a value" for a required field left null.
  void CheckRequiredFields();

 private:
  friend class TDataSource;
  friend class TField;
  void BeginInsert(bool append);
  void ForEachLink(const std::function<void(TDataLink&)>& f);
  void Fire(const Event& e) {
    if (e) e(*this);
  }
  void DestroyDefaultFields();

  std::string name_;
  TDataSetState state_ = dsInactive;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  bool hasRecord_ = false;
  TRecordBuffer current_;
  TRecordBuffer saved_;  // the row current before Insert/Append
  bool savedHasRecord_ = false;
  TRecordBuffer* calcBuffer_ = nullptr;
  size_t calcCount_ = 0;
  std::vector<TFieldDef> fieldDefs_;
  std::vector<std::unique_ptr<TField>> fields_;
  std::vector<TDataSource*> sources_;
  int disableCount_ = 0;
};

}  // namespace kestro
