// TVellDataManager: one table, kept in up to four files of a file store:
// T.dat (header, field descriptors, records), T.idx (indexes), and for
// tables with blob fields T.bif and T.bdf. It holds the header, the
// fields, a record cache and the write log; records are addressed by
// their physical slot 0 .. RecordCount - 1.
//
// Every operation takes the table's re-entrant lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/filestores/file_stores.h"
#include "engine/tables/blob_store.h"
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
  int32_t size = 0;    // bytes in the record
  bool required = false;
  int32_t offset = 0;  // within the record
};

struct TVellTableOptions {
  TCompressionLevel compression = clNone;
  int32_t blobBlockSize = 512;
  std::string password;  // a non-empty password encrypts the table
};

// OpenTable results.
enum TOpenTableResult : int { otOk = 0, otCannotOpenFiles = 255, otError = 252, otWrongPassword = 253 };

class TVellDataManager {
 public:
  TVellDataManager(std::string tableName, TAbstractPlainFileSystem& store);
  ~TVellDataManager();
  TVellDataManager(const TVellDataManager&) = delete;
  TVellDataManager& operator=(const TVellDataManager&) = delete;

  // Creates the table's files (replacing existing ones) and closes them.
  void CreateTable(const std::vector<TVellFieldDef>& fields, const TVellTableOptions& options);
  TOpenTableResult OpenTable(const std::string& password, bool readOnly);
  void CloseTable();
  void FlushBuffers();
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
  // Appends `record` at slot RecordCount; returns that slot.
  int32_t AppendRecord(const uint8_t* record);
  void UpdateRecord(const uint8_t* record, int32_t slot);
  // Deletes slot k: the last record moves into it.
  void DeleteRecord(int32_t slot);
  int32_t NextRecordID() const { return header_.lastAutoInc + 1; }

  // Blob values (fields of types 15 to 18). Writing updates the field's
  // null bit in `record` when one is given (set for an empty value).
  std::vector<uint8_t> ReadBLOBValue(int32_t field, int32_t slot);
  void WriteBLOBValue(int32_t field, int32_t slot, const uint8_t* data, size_t size,
                      uint8_t* record = nullptr);
  void DeleteBLOBValue(int32_t field, int32_t slot, uint8_t* record = nullptr);
  const TVellBlobStore& Blobs() const { return blobs_; }

  // Record field access.
  int32_t RecordID(const uint8_t* record) const;
  void SetRecordID(uint8_t* record, int32_t id) const;
  bool IsNull(const uint8_t* record, int32_t field) const;
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
  void EncodeRecord(uint8_t* record) const;
  void DecodeRecord(uint8_t* record) const;
  bool CacheAll() const { return cacheAll_; }
  void CloseFiles();

  std::string name_;
  TAbstractPlainFileSystem& store_;
  TAbstractFile* dat_ = nullptr;
  TAbstractFile* idx_ = nullptr;
  TAbstractFile* bif_ = nullptr;
  TAbstractFile* bdf_ = nullptr;
  std::vector<int32_t> blobFields_;  // field numbers of the blob fields
  TVellBlobStore blobs_;
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
