// TVellDataManager: one table, kept in up to four files of a file store:
// T.dat (header, field descriptors, records), T.idx (indexes), and for
// tables with blob fields T.bif and T.bdf. It holds the header, the
// fields, a record cache and the write log; records are addressed by
// their physical slot 0 .. RecordCount - 1.
//
// Every operation takes the table's re-entrant lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/common/value.h"
#include "engine/filestores/file_stores.h"
#include "engine/tables/blob_store.h"
#include "engine/tables/index_header.h"
#include "engine/tables/table_format.h"
#include "engine/tables/write_log.h"

namespace kestro {

class TVellCipher;

struct TVellFieldDef {
  std::string name;
  uint8_t type = 0;
  int32_t size = 0;
  bool required = false;
};

struct TVellFieldInfo {
  std::string name;
  uint8_t type = 0;
  int32_t size = 0;  // bytes in the record
  bool required = false;
  int32_t offset = 0;  // within the record
};

struct TVellIndexDef {
  std::string name;
  std::string fields;  // separated by ";"
  std::string caseInsensitiveFields;
  std::string descendingFields;
  uint8_t options = 0;  // TIndexOption bits
};

struct TVellTableOptions {
  TCompressionLevel compression = clNone;
  int32_t blobBlockSize = 512;
  std::string password;  // a non-empty password encrypts the table
};

// A dataset as the table handle sees it.
class TVellTableClient {
 public:
  virtual ~TVellTableClient() = default;
  virtual bool InMemory() const = 0;
  virtual bool Temporary() const = 0;
  virtual std::string TablePassword() const = 0;
  virtual bool ReadOnly() const = 0;
  virtual void SetReadOnly(bool readOnly) = 0;
};

// Store modes of a table: the database's own store, memory, temporary.
enum TTableStoreMode : int { tsmDatabase = 0, tsmMemory = 3, tsmTemporary = 4 };

// OpenTable results.
enum TOpenTableResult : int {
  otOk = 0,
  otCannotOpenFiles = 255,
  otError = 252,
  otWrongPassword = 253
};

class TVellDataManager {
 public:
  TVellDataManager(std::string tableName, TAbstractPlainFileSystem& store);
  // The store of each store mode comes from `resolver` when datasets connect.
  void SetStoreResolver(std::function<TAbstractPlainFileSystem*(TTableStoreMode)> resolver) {
    resolver_ = std::move(resolver);
  }

  // Datasets sharing the table. The first one opens it (the OpenTable
  // result); later ones must match its store mode and password.
  int ConnectDataset(TVellTableClient* client);
  // True when the last dataset left; the table is closed then, unless
  // `keepOpen` (its changes are flushed and it stays open for the next).
  bool DisconnectDataset(TVellTableClient* client, bool keepOpen = false);
  TTableStoreMode DetectFileStoreMode() const;
  TTableStoreMode StoreMode() const { return storeMode_; }
  const std::vector<TVellTableClient*>& Clients() const { return clients_; }
  ~TVellDataManager();
  TVellDataManager(const TVellDataManager&) = delete;
  TVellDataManager& operator=(const TVellDataManager&) = delete;

  // Creates the table's files (replacing existing ones) and closes them.
  void CreateTable(const std::vector<TVellFieldDef>& fields, const TVellTableOptions& options,
                   const std::vector<TVellIndexDef>& indexes = {}, bool autoIndexes = false);
  TOpenTableResult OpenTable(const std::string& password, bool readOnly);
  void CloseTable();
  void FlushBuffers();
  // Writes every change to the files without waiting for the disk (the
  // operating system has them; FlushBuffers and CloseTable make them
  // durable).
  void SaveChanges();
  bool IsOpen() const { return open_; }
  bool ReadOnly() const { return readOnly_; }

  void DeleteTable();
  void RenameTable(const std::string& newName);
  const std::string& TableName() const { return name_; }

  const TTableHeader& Header() const { return header_; }
  const std::vector<TVellFieldInfo>& Fields() const { return fields_; }
  const TRecordLayout& Layout() const { return layout_; }
  int32_t RecordCount() const { return header_.recordCount; }
  std::string AutoIncFieldName() const { return ReadShortString(header_.autoIncFieldName); }
  // "Error in TVellDataManager.InternalGetFieldNo - field X not found!"
  int32_t InternalGetFieldNo(const std::string& name) const;

  // A new record: zeroed, every null bit set, RecordID 0.
  std::vector<uint8_t> NewRecord() const;
  void GetRecord(int32_t slot, uint8_t* out);
  // Record `slot` without a copy while every record is cached (in `scratch`
  // otherwise); valid until the next change of the table.
  const uint8_t* RecordPtr(int32_t slot, std::vector<uint8_t>& scratch);
  // Appends `record` at slot RecordCount; returns that slot.
  int32_t AppendRecord(const uint8_t* record);
  void UpdateRecord(const uint8_t* record, int32_t slot);
  // Deletes slot k: the last record moves into it.
  void DeleteRecord(int32_t slot);
  int32_t NextRecordID() const { return header_.lastAutoInc + 1; }
  // Sets the last issued record ID (new records continue after it).
  void SetLastAutoInc(int32_t value);

  // Blob values (fields of types 15 to 18). Writing updates the field's
  // null bit in `record` when one is given (set for an empty value).
  std::vector<uint8_t> ReadBLOBValue(int32_t field, int32_t slot);
  void WriteBLOBValue(int32_t field, int32_t slot, const uint8_t* data, size_t size,
                      uint8_t* record = nullptr);
  void DeleteBLOBValue(int32_t field, int32_t slot, uint8_t* record = nullptr);
  const TVellBlobStore& Blobs() const { return blobs_; }

  // Indexes. Field lists are separated by ";"; the AutoInc name means the
  // record ID.
  const std::vector<TIndexHeader>& Indexes() const { return indexes_; }
  int32_t FindIndex(const std::string& name) const;  // -1 when none
  void AddIndex(const std::string& name, const std::string& fields,
                const std::string& caseInsensitiveFields, const std::string& descendingFields,
                uint8_t options, bool deferSave = false);
  std::string CreateTemporaryIndex(const std::string& fields, const std::string& descendingFields,
                                   const std::string& caseInsensitiveFields);
  int32_t DeleteIndex(const std::string& name, bool deferSave = false);
  // The order of index `i`, rebuilt first when stale.
  const std::vector<int32_t>& Ensure(int32_t index);
  // Position of `slot` in index `i` (binary search by key), or -1.
  int32_t FindPosition(int32_t index, int32_t slot);
  // <0, 0, >0 as record `a` sorts before, with or after `b` in index `i`.
  int CompareKeys(const TIndexHeader& index, const uint8_t* a, const uint8_t* b) const;
  void SaveIndexesToDisk();
  // The index the current dataset walks; kept current in bursts of changes.
  void SetCurrentIndex(int32_t index) { currentIndex_ = index; }
  void SetIndexProgress(TIndexProgress* progress) { progress_ = progress; }
  // Creates the built-in record-ID index and, when asked, the automatic
  // indexes (used by CreateTable and when T.idx has no valid definitions).
  void CreateBuiltInIndexes(bool automatic);

  // Record field access.
  int32_t RecordID(const uint8_t* record) const;
  void SetRecordID(uint8_t* record, int32_t id) const;
  bool IsNull(const uint8_t* record, int32_t field) const;
  // The value of a stored field as a value record (NULL typed by the
  // field); the record ID for kRecordIdField. Blob fields read as NULL.
  TVTblValue FieldValue(const uint8_t* record, int32_t field) const;
  // Stores `value` in a stored field of `record`, converted to the field's
  // type (raising the conversion codes); NULL sets the null bit. Text is
  // cut to the field's width without splitting a UTF-8 character.
  void SetFieldValue(uint8_t* record, int32_t field, const TVTblValue& value) const;
  void SetNull(uint8_t* record, int32_t field, bool null) const;

  std::recursive_mutex& Lock() { return lock_; }

 private:
  std::string FileName(const char* extension) const { return name_ + extension; }
  void ComputeFields(const std::vector<TFieldDescriptor>& descriptors);
  void SaveHeaders();
  void TruncateRecords();
  void CheckFlush();
  void WriteOutLog();
  int32_t BlobOrdinal(int32_t field) const;
  bool HasBlobs() const { return !blobFields_.empty(); }
  void BuildIndex(TIndexHeader& index);
  void RebuildAll(bool withProgress);
  void LoadIndexes();
  // Before a change: which indexes follow it; the others go stale.
  std::vector<bool> MaintainedIndexes();
  std::vector<int32_t> ParseFieldList(const std::string& list) const;
  int32_t InsertPosition(const TIndexHeader& index, const uint8_t* record, int32_t slot,
                         std::vector<uint8_t>& scratch);
  void EncodeRecord(uint8_t* record) const;
  void DecodeRecord(uint8_t* record) const;
  bool CacheAll() const { return cacheAll_; }
  void CloseFiles();

  std::string name_;
  TAbstractPlainFileSystem* storePtr_;
  std::function<TAbstractPlainFileSystem*(TTableStoreMode)> resolver_;
  std::vector<TVellTableClient*> clients_;
  TTableStoreMode storeMode_ = tsmDatabase;
  TAbstractFile* dat_ = nullptr;
  TAbstractFile* idx_ = nullptr;
  TAbstractFile* bif_ = nullptr;
  TAbstractFile* bdf_ = nullptr;
  std::vector<int32_t> blobFields_;  // field numbers of the blob fields
  TVellBlobStore blobs_;
  std::vector<TIndexHeader> indexes_;
  int32_t currentIndex_ = 0;
  int32_t idxChangeCount_ = -1;    // LastChangeCount of T.idx as loaded or saved
  int32_t savedChangeCount_ = -1;  // ChangeCount when the files last took every change
  TIndexProgress* progress_ = nullptr;
  uint64_t lastChangeTick_ = 0;
  int32_t burst_ = 0;
  // The blob directory is saved whole; automatic write-outs save it at most
  // every kBlobDirectoryMillis, flushes and closes always.
  bool blobsDirty_ = false;
  uint64_t blobsSavedTick_ = 0;
  void SaveBlobDirectory(bool force);
  TTableHeader header_{};
  std::vector<TFieldDescriptor> descriptors_;
  std::vector<TVellFieldInfo> fields_;
  TRecordLayout layout_;
  std::string password_;
  std::unique_ptr<TVellCipher> cipher_;
  bool open_ = false;
  bool readOnly_ = false;
  bool autoFlush_ = true;
  // The record cache: every record while the table fits in a third of the
  // free memory (plain bytes, slot order).
  bool cacheAll_ = false;
  std::vector<uint8_t> cache_;
  TvlBufferLogArray log_;
  std::recursive_mutex lock_;
};

}  // namespace kestro
