// TVellDataset: the engine's dataset over one table handle (shared by every
// dataset and statement that opens the table). It never copies rows: it
// shows the table's rows through its visible list, the physical record
// numbers in the order of its current index.
//
// The visible list comes in two forms. A plain view (no filter, master link,
// constraint, row limit or distinct fields; a range is allowed) is a window
// over the index order the table keeps up to date, so moves, posts and
// position lookups cost O(log n) whatever the table's size. Any other view
// is materialised, and rebuilt when the table's change count moves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/dataset_base.h"
#include "engine/dataset/session.h"
#include "engine/sql/row_source.h"
#include "engine/tables/data_manager.h"
#include "engine/tables/search_parser.h"

namespace kestro {

class TVellDatabase;
class TVellDatabaseManager;
class TVTblExpression;
class TVellBlobStream;

// Usage bits: each holds the dataset's database binding for one reason.
enum TUsageBit : int { ubCursor = 0, ubExecSQL = 2, ubTableMaintenance = 3, ubTableDeletion = 12 };

// A find-first/last/next/prior request on the filter text.
enum TFindMode : uint8_t { fmFirst, fmLast, fmNext, fmPrior };

class TVellDataset : public TDataSet,
                     public TVellDatasetLink,
                     public TVellTableClient,
                     public TVTblRowSource {
 public:
  TVellDataset();
  ~TVellDataset() override;

  // ---- binding ----
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& DatabaseFileName() const { return databaseFileName_; }
  void SetDatabaseFileName(const std::string& name);
  void SetOwner(const void* owner) { owner_ = owner; }
  uint16_t UsageBits() const { return usageBits_; }
  // Holds or releases the database binding for one reason.
  virtual void SetUsageBit(int bit, bool on);
  TVellDatabase* Database() const override { return database_; }
  TVellDatabaseManager* DatabaseHandle() const { return handle_; }
  TVellDataManager* TableHandle() const { return table_; }

  // ---- properties ----
  bool ReadOnly() const override { return readOnly_; }
  void SetReadOnly(bool readOnly) override;
  bool CanModify() const override { return !readOnly_; }
  bool InMemory() const override { return inMemory_; }
  void SetInMemory(bool inMemory);
  // Whether the table lives in temporary disk files (the table storage's
  // temporary mode); query results are temporary but live in memory.
  bool Temporary() const override { return temporaryFiles_; }
  void SetTemporaryFiles(bool v) { temporaryFiles_ = v; }
  // A temporary result table: deleted by the query that shows it.
  bool IsTemporaryTable() const { return temporary_; }
  std::string TablePassword() const override { return password_; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& password) { password_ = password; }
  bool Encrypted() const;
  void SetEncrypted(bool v) { encrypted_ = v; }
  bool CacheEnabled() const { return !noCache_; }
  void SetCacheEnabled(bool v) { noCache_ = !v; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool v);
  TCompressionLevel BLOBCompression() const;
  void SetBLOBCompression(TCompressionLevel level);
  int32_t BLOBBlockSize() const;
  void SetBLOBBlockSize(int32_t size);
  bool AutoIndexes() const;
  void SetAutoIndexes(bool v);
  static std::string CurrentVersion() { return "5.40 "; }
  void SetIndexProgress(TIndexProgress* progress) { progress_ = progress; }

  // ---- filters ----
  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& text);
  TSearchOptions FilterOptions() const { return filterOptions_; }
  void SetFilterOptions(TSearchOptions options);
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool on);
  bool BDELikeFilter() const { return bdeLikeFilter_; }
  void SetBDELikeFilter(bool v) { bdeLikeFilter_ = v; }
  bool FindFirst() { return FindRecord(fmFirst); }
  bool FindLast() { return FindRecord(fmLast); }
  bool FindNext() { return FindRecord(fmNext); }
  bool FindPrior() { return FindRecord(fmPrior); }

  // ---- locating ----
  bool Locate(const std::string& keyFields, const std::vector<TVTblValue>& keyValues,
              uint8_t options) override;
  std::vector<TVTblValue> Lookup(const std::string& keyFields,
                                 const std::vector<TVTblValue>& keyValues,
                                 const std::string& resultFields) override;
  bool BookmarkValid(TBookmark bookmark) override;
  int CompareBookmarks(TBookmark a, TBookmark b) override;

  // ---- ranges over the current index (its leading fields) ----
  void SetRange(const std::vector<TVTblValue>& start, const std::vector<TVTblValue>& end,
                bool startInclusive = true, bool endInclusive = true);
  void CancelRange();

  // ---- blobs ----
  // The caller owns the stream; destroying it closes the blob.
  std::unique_ptr<TVellBlobStream> CreateBlobStream(TField& field, TBlobStreamMode mode);

  // ---- query execution ----
  void IncUpdateDepth() { ++updateDepth_; }
  void DecUpdateDepth();
  int32_t UpdateDepth() const { return updateDepth_; }
  // The WHERE of a live single-table query: rows where it is not true hide.
  void SetConstraint(std::unique_ptr<TVTblExpression> condition);
  void SetRowLimit(int32_t limit, int32_t firstRow);
  void SetDistinctFields(const std::string& fields);
  // Appending rows by field values, outside the edit states.
  void BeginAppend();
  void SetAppendValue(int32_t fieldNo, const TVTblValue& value);
  void EndAppend();
  // Renames a field, or hides it, after a select list.
  void RenameField(const std::string& from, const std::string& to);
  void HideField(const std::string& name);
  // Closes, then makes the dataset an empty in-memory temporary table
  // "@TABLE<n>" with these fields.
  void MakeTemporaryTable(const std::vector<TVellFieldDef>& fields);
  void SetTemporary(bool v) { temporary_ = v; }
  const std::string& TableName() const { return tableName_; }

  // ---- for query execution ----
  // Column references may name the table by this alias too.
  void SetTableAlias(const std::string& alias) { alias_ = alias; }
  const std::string& TableAlias() const { return alias_; }
  // The visible rows whose fields (definition positions) equal `key`,
  // through an index led by those fields (a temporary one when none), in
  // that index's order.
  void KeySeek(const std::vector<int>& positions, const std::vector<TVTblValue>& key,
               std::vector<int32_t>& slots);
  // Makes ReadValue read record `slot` (-1: the current record again).
  void ReadSlotRecord(int32_t slot);
  // An index (by name) over exactly these ";"-separated fields and
  // descending fields, case-sensitive; created as a temporary index when
  // the table has none.
  std::string IndexFor(const std::string& fields, const std::string& descending);
  bool RecordIdExists(int32_t id);
  // Deletes the row with this identifier (and its blobs) without moving
  // the cursor; false when there is none. For statements that collected
  // their rows first.
  bool DeleteById(int32_t id);
  // The identifiers of the visible rows, in order.
  std::vector<int32_t> VisibleIds();
  // The smallest or largest non-null value of a field over all rows,
  // through an index on it (made when none): NULL for no such value.
  TVTblValue IndexExtreme(int position, bool largest);
  // While set, the identifier field may be written (the engine fills a row).
  void SetEngineFill(bool on) { fillingRow_ = on; }
  const TVTblExpression* Constraint() const { return constraint_.get(); }
  int32_t RowLimit() const { return rowLimit_; }
  int32_t FirstRow() const { return firstRow_; }
  const std::string& DistinctFields() const { return distinctFields_; }

  // ---- visible rows ----
  int32_t VisibleCount();
  int32_t CurrentPosition() const { return currentPosition_; }
  int32_t CurrentIndex() const { return currentIndex_; }

  // ---- TVellDatasetLink ----
  void CloseDataset() override;
  bool DatasetActive() const override { return Active() || State() == dsOpening; }

  // ---- TVTblRowSource: the fields of the current (or evaluated) row ----
  int FindColumns(std::string_view name, std::string_view qualifier,
                  std::vector<int>& positions) const override;
  std::string ColumnName(int position) const override;
  uint8_t ColumnType(int position) const override;
  int ColumnSize(int position) const override;
  void ReadValue(int position, TVTblValue& value) override;
  bool LastAutoInc(std::string_view table, bool inMemory, std::string_view password,
                   int32_t& value) override;

 protected:
  friend class TVellBlobStream;

  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return tableOpen_; }
  TGetResult GetRecord(TRecordBuffer& buffer, TGetMode mode, bool check) override;
  void InternalInitRecord(TRecordBuffer& buffer) override;
  void InternalFirst() override { currentPosition_ = -1; }
  void InternalLast() override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalCancel() override;
  void InternalRefresh() override;
  void InternalSetToRecord(const TRecordBuffer& buffer) override {
    InternalGotoBookmark(buffer.bookmark);
  }
  void InternalGotoBookmark(TBookmark bookmark) override;
  int32_t GetRecordCount() override;
  int32_t GetRecNo() override;
  void SetRecNoImpl(int32_t n) override;
  bool GetFieldValue(const TField& field, TVTblValue& value) override;
  void SetFieldValue(TField& field, const TVTblValue& value) override;

  // Opens the table handle (part of InternalOpen); raises the open texts.
  void OpenTable();
  void CloseTable();
  // Makes the index current by number and rebuilds the visible list.
  void SelectIndex(int32_t index);
  void ResolveIndexProperties(const std::string& where);
  void InvalidateView() { viewDirty_ = true; }
  void RebuildNow();
  // Re-reads the current row after a view change, keeping it when visible.
  void ResyncCentred();
  // The master condition (table datasets); empty when none.
  virtual std::string MasterCondition() { return {}; }
  int32_t StoredFieldOf(int32_t fieldNo) const;  // kRecordIdField for the identifier
  TAbstractPlainFileSystem* StoreFor(TTableStoreMode mode);
  // The binding without a cursor: for table maintenance.
  TAbstractPlainFileSystem* MaintenanceStore();
  void DropBlobCache();
  void InitFieldDefs();
  // "Error in TVellDataSet.<operation> - no table was opened."
  void CheckTable(const char* operation) const;

  std::string sessionName_;
  std::string databaseName_;
  std::string databaseFileName_;
  std::string tableName_;
  const void* owner_ = nullptr;
  std::string indexName_;
  std::string indexFieldNames_;
  std::string password_;
  bool readOnly_ = false;
  bool inMemory_ = false;
  bool temporary_ = false;
  bool temporaryFiles_ = false;
  bool encrypted_ = false;
  bool noCache_ = false;
  bool exclusive_ = false;
  bool autoIndexes_ = false;
  TCompressionLevel blobCompression_ = clNone;
  int32_t blobBlockSize_ = 512;
  TIndexProgress* progress_ = nullptr;

  uint16_t usageBits_ = 0;
  TVellDatabase* database_ = nullptr;
  TVellDatabaseManager* handle_ = nullptr;
  TVellDataManager* table_ = nullptr;
  bool tableOpen_ = false;
  int32_t updateDepth_ = 0;

 private:
  struct BlobEntry {
    std::string data;
    bool used = false;      // holds the current row's content
    bool modified = false;  // written since it was read
  };

  bool PlainView() const;
  void EnsureView();
  void Rebuild();
  void ResolveCurrentIndex();
  int32_t SlotAt(int32_t position) const;
  int32_t PositionOfSlot(int32_t slot);
  // The slot of a record ID (-1 when none) and its position in the
  // identifier index.
  int32_t SlotOfId(int32_t id, int32_t* indexPosition);
  int32_t VisibleCountRaw() const;
  int32_t PositionOfId(int32_t id);
  void SetTablePositionByPhysRecNo(int32_t slot);
  void FillBuffer(TRecordBuffer& buffer, int32_t slot);
  bool AcceptedByFilterEvent(TRecordBuffer& buffer);
  bool ConstraintHolds(const uint8_t* record);
  bool VisibleSlot(int32_t slot, const uint8_t* record);
  std::pair<int32_t, int32_t> RangeBounds(const std::vector<int32_t>& order);
  std::vector<uint8_t> KeyRecord(const TIndexHeader& index,
                                 const std::vector<TVTblValue>& values) const;
  void CheckKeyViolations(const uint8_t* record, bool inserting, const char* operation);
  void WriteBlobs(int32_t slot, uint8_t* record);
  int32_t FindSlotOfCurrent();
  bool FindRecord(TFindMode mode);
  bool LocateSlot(const std::string& keyFields, const std::vector<TVTblValue>& keyValues,
                  uint8_t options, int32_t& slot);
  BlobEntry& BlobCacheEntry(const TField& field);
  void LoadBlob(const TField& field, BlobEntry& entry);
  void CloseBlob(const TField& field, bool modified);

  // The visible list.
  bool viewDirty_ = true;
  bool plain_ = true;
  const std::vector<int32_t>* order_ = nullptr;  // plain: the index order
  int32_t lo_ = 0, hi_ = 0;                      // plain: the window
  std::vector<int32_t> list_;                    // materialised
  std::vector<int32_t> posOfSlot_;               // materialised: slot -> position, built on demand
  bool posOfSlotValid_ = false;
  int32_t viewChangeCount_ = -1;
  int32_t currentPosition_ = -1;
  int32_t currentIndex_ = 0;
  std::string currentIndexName_;
  int32_t idIndex_ = 0;
  // The last position derived from a record ID, for the table change count.
  int32_t resolvedId_ = 0;
  int32_t resolvedChange_ = -1;
  bool noResync_ = false;

  std::string filter_;
  TSearchOptions filterOptions_;
  bool filtered_ = false;
  bool bdeLikeFilter_ = false;
  TSearchParser filterParser_;
  std::string parsedFilter_;
  bool filterParsed_ = false;
  TSearchParser masterParser_;
  TSearchParser findParser_;
  std::vector<int32_t> found_;
  int32_t foundAt_ = -1;

  std::unique_ptr<TVTblExpression> constraint_;
  int32_t rowLimit_ = -1;
  int32_t firstRow_ = -1;
  std::string distinctFields_;

  struct Range {
    bool set = false;
    std::vector<TVTblValue> start, end;
    bool startInclusive = true, endInclusive = true;
  } range_;

  std::vector<BlobEntry> blobCache_;
  std::unique_ptr<TRecordBuffer> pendingAppend_;
  bool fillingRow_ = false;
  const uint8_t* evalRecord_ = nullptr;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> slotRecord_;
  std::string alias_;
  // Candidate rows of the constraint found through an index (false: none).
  bool ConstraintCandidates(std::vector<int32_t>& slots);
};

}  // namespace kestro
