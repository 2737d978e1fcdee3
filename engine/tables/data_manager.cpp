#include "engine/tables/data_manager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include <strings.h>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/common/field_types.h"
#include "engine/common/memory_probe.h"
#include "engine/common/text.h"
#include "engine/crypto/checksums.h"
#include "engine/crypto/cipher.h"

namespace kestro {
namespace {

std::string TwoDecimals(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

void CheckName(const std::string& name, const char* kind, const char* kindLower) {
  if (name.size() > kMaxNameLength)
    throw Exception(std::string(kind) + " name must have <= " + std::to_string(kMaxNameLength) +
                    " chars. Please shorten " + kindLower + " name " + Quoted(name));
  const bool bad = name.find_first_of(".[]") != std::string::npos ||
                   (!name.empty() && (name.front() == ' ' || name.back() == ' ')) ||
                   std::any_of(name.begin(), name.end(), [](char c) { return uint8_t(c) < 32; });
  if (bad)
    throw Exception("Invalid " + std::string(kindLower) + " name " + Quoted(name) + ". " +
                    "Make sure that the name doen't contain a period (.)," +
                    "bracket ([]) leading or trailing space, or non-printable " +
                    "character such as a carriage return");
}

}  // namespace

TVellDataManager::TVellDataManager(std::string tableName, TAbstractPlainFileSystem& store)
    : name_(std::move(tableName)), storePtr_(&store) {}

TTableStoreMode TVellDataManager::DetectFileStoreMode() const {
  if (clients_.empty())
    throw Exception(
        "TVellDataManager.DetectFileStoreMode - there is no datasets, datasetList.count = 0");
  bool temporary = false, memory = false, other = false;
  for (const TVellTableClient* c : clients_) {
    if (temporary && !c->Temporary())
      throw Exception(
          "TVellDataManager.DetectFileStoreMode - more then one dataset was opened in temporary "
          "mode!");
    temporary |= c->Temporary();
    (c->InMemory() ? memory : other) = true;
  }
  if (temporary) return tsmTemporary;
  if (memory && other)
    throw Exception(
        "TVellDataManager.DetectFileStoreMode - Cannot open table in both InMemory and not "
        "InMemory modes.");
  return memory ? tsmMemory : tsmDatabase;
}

int TVellDataManager::ConnectDataset(TVellTableClient* client) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (clients_.size() >= 2) {
    if (client->InMemory() != (storeMode_ == tsmMemory))
      throw Exception(
          "TVellDataManager.ConnectDataset - Cannot open dataset in both InMemory and other "
          "modes.");
    if (client->Temporary() && storeMode_ != tsmTemporary)
      throw Exception(
          "TVellDataManager.ConnectDataset - Cannot open dataset in both Temporary and other "
          "modes.");
  }
  clients_.push_back(client);
  if (clients_.size() == 1 && open_) {
    // Kept open since its last dataset left: reuse it when the newcomer
    // wants the same store, password and writability.
    const TTableStoreMode mode = DetectFileStoreMode();
    if (mode == storeMode_ && (!header_.encrypted || client->TablePassword() == password_) &&
        (client->ReadOnly() || !readOnly_)) {
      if (readOnly_) client->SetReadOnly(true);
      return otOk;
    }
    CloseTable();
  }
  if (clients_.size() == 1) {
    storeMode_ = DetectFileStoreMode();
    if (resolver_) {
      TAbstractPlainFileSystem* store = resolver_(storeMode_);
      if (store == nullptr) {
        clients_.clear();
        return otCannotOpenFiles;
      }
      storePtr_ = store;
    }
    int result;
    try {
      result = OpenTable(client->TablePassword(), client->ReadOnly());
    } catch (...) {
      clients_.clear();
      throw;
    }
    if (result != otOk) {
      clients_.clear();
      return result;
    }
  } else {
    if (header_.encrypted && client->TablePassword() != password_) {
      clients_.pop_back();
      throw Exception("TVellDataManager.ConnectDataset - Inavlid password for table \"" + name_ +
                      "\"");
    }
    if (!client->ReadOnly() && readOnly_ && !storePtr_->ReadOnly()) {
      // Read-only only by the first dataset's choice: reopen for writing.
      CloseTable();
      if (OpenTable(password_, false) != otOk) OpenTable(password_, true);
    }
  }
  if (readOnly_) client->SetReadOnly(true);
  return otOk;
}

bool TVellDataManager::DisconnectDataset(TVellTableClient* client, bool keepOpen) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  if (clients_.empty()) {
    if (keepOpen && open_)
      SaveChanges();
    else
      CloseTable();
    return true;
  }
  storeMode_ = DetectFileStoreMode();
  return false;
}

TVellDataManager::~TVellDataManager() {
  try {
    CloseTable();
  } catch (...) {
  }
}

int32_t TVellDataManager::InternalGetFieldNo(const std::string& name) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (strcasecmp(fields_[i].name.c_str(), name.c_str()) == 0) return int32_t(i);
  throw Exception("Error in TVellDataManager.InternalGetFieldNo - field " + name + " not found!");
}

void TVellDataManager::ComputeFields(const std::vector<TFieldDescriptor>& descriptors) {
  fields_.clear();
  int32_t offset = 0;
  for (const TFieldDescriptor& d : descriptors) {
    TVellFieldInfo f;
    f.name = ReadShortString(d.name);
    f.type = d.type;
    f.size = d.size;
    f.required = d.required != 0;
    f.offset = offset;
    offset += d.size;
    fields_.push_back(std::move(f));
  }
  layout_ = ComputeLayout(int32_t(descriptors.size()), offset);
  blobFields_.clear();
  for (size_t i = 0; i < fields_.size(); ++i)
    if (IsBlobType(fields_[i].type)) blobFields_.push_back(int32_t(i));
}

int32_t TVellDataManager::BlobOrdinal(int32_t field) const {
  for (size_t i = 0; i < blobFields_.size(); ++i)
    if (blobFields_[i] == field) return int32_t(i);
  throw Exception("Error in TVellDataManager.vlReadBLOBValue - field " + std::to_string(field) +
                  " is not a blob field.");
}

// ---- creation ------------------------------------------------------------------------

void TVellDataManager::CreateTable(const std::vector<TVellFieldDef>& fields,
                                   const TVellTableOptions& options,
                                   const std::vector<TVellIndexDef>& indexes, bool autoIndexes) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (const auto& f : fields) CheckName(f.name, "Field", "field");
  for (const auto& ix : indexes) {
    if (ix.name.empty())
      throw Exception("Index name cannot be not blank. Please set non-blank index name.");
    CheckName(ix.name, "Index", "index");
  }
  header_ = TTableHeader{};
  header_.tableVersion = kTableVersion;
  header_.autoIncMarker = kAutoIncHidden;
  header_.blobCompression = options.compression;
  header_.encrypted = options.password.empty() ? 0 : 1;
  descriptors_.clear();
  bool autoIncTaken = false;
  int64_t fieldBytes = 0;
  for (const auto& f : fields) {
    if (f.name.empty()) throw Exception("TVellDataManager.CreateTable - field name is empty.");
    if (f.type == ftAutoInc && !autoIncTaken) {
      autoIncTaken = true;
      WriteShortString(header_.autoIncFieldName, f.name);
      header_.autoIncMarker = kAutoIncShown;
      continue;
    }
    const uint8_t type = f.type == ftAutoInc ? uint8_t(ftInteger) : f.type;
    if (type == ftString && f.size <= 0)
      throw Exception("Error in TVellDataManager.CreateTable - illegal string size !");
    if (type == ftBytes && f.size <= 0)
      throw Exception("Error in TVellDataManager.CreateTable - illegal ftBytes size !");
    if (type == ftWideString && f.size <= 0)
      throw Exception("Error in TVellDataManager.CreateTable - illegal wide string size !");
    const int32_t size = FieldStorageSize(type, f.size);
    if (size < 0) throw Exception("Error in TVellDataManager.CreateTable - Unsupported DB type!");
    TFieldDescriptor d{};
    WriteShortString(d.name, f.name);
    d.type = type;
    d.size = size;
    d.required = f.required ? 1 : 0;
    descriptors_.push_back(d);
    fieldBytes += size;
  }
  if (!autoIncTaken) {
    static std::mt19937 rng(std::random_device{}());
    WriteShortString(header_.autoIncFieldName, "id" + std::to_string(rng() % 100000));
  }
  // Record sizes are 16-bit quantities in the format.
  const TRecordLayout l = ComputeLayout(int32_t(descriptors_.size()),
                                        int32_t(std::min<int64_t>(fieldBytes, INT32_MAX)));
  if (fieldBytes + l.trailerBytes > 65535)
    throw Exception("Error in TVellDataManager.CreateTable - record size " +
                    std::to_string(fieldBytes + l.trailerBytes) + " exceeds 65535 bytes!");
  header_.fieldCount = int32_t(descriptors_.size());
  ComputeFields(descriptors_);

  TAbstractFile* dat = storePtr_->OpenFile(FileName(".dat"), true, false, false);
  dat_ = dat;
  SaveHeaders();
  TruncateRecords();
  storePtr_->CloseFile(dat);
  dat_ = nullptr;
  idx_ = storePtr_->OpenFile(FileName(".idx"), true, false, false);
  indexes_.clear();
  CreateBuiltInIndexes(autoIndexes);
  for (const auto& ix : indexes)
    if (ix.name[0] != '@')
      AddIndex(ix.name, ix.fields, ix.caseInsensitiveFields, ix.descendingFields, ix.options, true);
  SaveIndexesToDisk();
  storePtr_->CloseFile(idx_);
  idx_ = nullptr;
  indexes_.clear();
  if (!HasBlobs()) {
    storePtr_->DeleteFile(FileName(".bdf"));
    storePtr_->DeleteFile(FileName(".bif"));
  } else {
    blobs_.Reset(options.blobBlockSize, int32_t(blobFields_.size()));
    TAbstractFile* bif = storePtr_->OpenFile(FileName(".bif"), true, false, false);
    blobs_.Save(*bif);
    storePtr_->CloseFile(bif);
    storePtr_->CloseFile(storePtr_->OpenFile(FileName(".bdf"), true, false, false));
  }
  password_ = options.password;
}

// ---- open and close ------------------------------------------------------------------

TOpenTableResult TVellDataManager::OpenTable(const std::string& password, bool readOnly) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (open_) return otOk;
  readOnly_ = readOnly || storePtr_->ReadOnly();
  try {
    dat_ = storePtr_->OpenFile(FileName(".dat"), false, readOnly_, false);
  } catch (const Exception&) {
    dat_ = nullptr;
    return otCannotOpenFiles;
  }
  try {
    if (dat_->ReadOnly()) readOnly_ = true;
    TTableHeader h{};
    dat_->Seek(0, 0);
    dat_->ReadBuffer(&h, sizeof h);
    // Older layouts are not converted (nothing writes them): refused alike.
    if (h.tableVersion > kTableVersion + 0.001 || h.tableVersion < kTableVersion - 0.001 ||
        !(h.tableVersion == h.tableVersion))
      throw Exception("Error in TVellDataManager.OpenTable - Invalid db engine version in file " +
                      name_ + ".dat (version = " + TwoDecimals(h.tableVersion) +
                      ", internalCurrentVersion = " + TwoDecimals(kTableVersion) + ") !");
    if (h.fieldCount < 0 || h.recordCount < 0 ||
        int64_t(h.fieldCount) * int64_t(kFieldDescriptorSize) > dat_->Size())
      throw Exception("Error in TVellDataManager.OpenTable - table header of " + name_ +
                      ".dat is corrupted.");
    if (h.autoIncMarker != kAutoIncShown && h.autoIncMarker != kAutoIncHidden)
      h.autoIncMarker = kAutoIncShown;
    header_ = h;
    descriptors_.assign(size_t(h.fieldCount), TFieldDescriptor{});
    if (h.fieldCount > 0)
      dat_->ReadBuffer(descriptors_.data(), int64_t(descriptors_.size() * kFieldDescriptorSize));
    for (const auto& d : descriptors_)
      if (FieldStorageSize(d.type, 1) < 0 || d.size < 0 || d.size > 65535)
        throw Exception("Error in TVellDataManager.OpenTable - field descriptors of " + name_ +
                        ".dat are corrupted.");
    ComputeFields(descriptors_);
    // A file shorter than its records is damage; a longer one is cut.
    const int64_t want = layout_.headerSize + int64_t(h.recordCount) * layout_.recordSize;
    if (dat_->Size() < want)
      throw Exception("Error in TVellDataManager.OpenTable - " + name_ +
                      ".dat is shorter than its header says.");
    if (dat_->Size() > want && !readOnly_) dat_->SetSize(want);
    if (header_.encrypted) {
      if (password.empty()) return CloseFiles(), otWrongPassword;
      cipher_ = std::make_unique<TVellCipher>(password);
      // Spend a quarter of a second, then test record 0's check string.
      std::vector<uint8_t> work(size_t(layout_.fieldBytes), 0);
      const uint64_t start = TickCount();
      do {
        cipher_->Encrypt(work.data(), work.size());
        cipher_->Decrypt(work.data(), work.size());
      } while (TickCount() - start < 256);
      if (header_.recordCount > 0) {
        std::vector<uint8_t> rec(size_t(layout_.recordSize));
        dat_->Seek(layout_.headerSize, 0);
        dat_->ReadBuffer(rec.data(), int64_t(rec.size()));
        try {
          DecodeRecord(rec.data());
        } catch (const Exception&) {
          cipher_.reset();
          CloseFiles();
          return otWrongPassword;
        }
      }
    }
    password_ = password;
    try {
      idx_ = storePtr_->OpenFile(FileName(".idx"), false, readOnly_, false);
    } catch (const Exception&) {
      idx_ = readOnly_ ? nullptr : storePtr_->OpenFile(FileName(".idx"), true, false, false);
    }
    if (HasBlobs()) {
      try {
        bif_ = storePtr_->OpenFile(FileName(".bif"), false, readOnly_, false);
        bdf_ = storePtr_->OpenFile(FileName(".bdf"), false, readOnly_, false);
      } catch (const Exception&) {
        CloseFiles();
        return otCannotOpenFiles;
      }
      if (!blobs_.Load(*bif_, bdf_->Size()) ||
          blobs_.FieldsPerRecord() != int32_t(blobFields_.size()))
        throw Exception("Error in TVellDataManager.OpenTable - blob directory " + name_ +
                        ".bif is corrupted.");
    }
    // The whole table is cached while it fits in a third of free memory.
    cacheAll_ = uint64_t(h.recordCount) * uint64_t(layout_.recordSize) * 3 <= FreePhysicalMemory();
    if (cacheAll_) {
      cache_.resize(size_t(h.recordCount) * size_t(layout_.recordSize));
      dat_->Seek(layout_.headerSize, 0);
      dat_->ReadBuffer(cache_.data(), int64_t(cache_.size()));
      if (header_.encrypted)
        for (int32_t k = 0; k < h.recordCount; ++k)
          DecodeRecord(cache_.data() + size_t(k) * layout_.recordSize);
    }
    open_ = true;
    savedChangeCount_ = header_.changeCount;
    LoadIndexes();
    if (HasBlobs() && blobs_.RecordCount() != header_.recordCount) {
      // Entries missing after a crash are added empty; extra ones dropped.
      while (blobs_.RecordCount() < header_.recordCount) blobs_.AppendRecord();
      while (blobs_.RecordCount() > header_.recordCount)
        blobs_.DeleteRecord(blobs_.RecordCount() - 1);
      blobsDirty_ = true;
      if (!readOnly_) {
        ++header_.changeCount;
        FlushBuffers();
      }
    }
    return otOk;
  } catch (const Exception&) {
    CloseFiles();
    throw;
  }
}

void TVellDataManager::CloseFiles() {
  if (bdf_ != nullptr) storePtr_->CloseFile(bdf_);
  if (bif_ != nullptr) storePtr_->CloseFile(bif_);
  bif_ = bdf_ = nullptr;
  if (idx_ != nullptr) storePtr_->CloseFile(idx_);
  if (dat_ != nullptr) storePtr_->CloseFile(dat_);
  idx_ = dat_ = nullptr;
  cache_.clear();
  cache_.shrink_to_fit();
  open_ = false;
}

void TVellDataManager::CloseTable() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_) return;
  try {
    FlushBuffers();
    if (!readOnly_ && idxChangeCount_ != header_.changeCount) SaveIndexesToDisk();
  } catch (const Exception&) {
    // Reported to the user by the dataset layer; the close goes on.
  }
  CloseFiles();
  indexes_.clear();
}

void TVellDataManager::SaveHeaders() {
  header_.changeCountLow = uint8_t(header_.changeCount & 0xFF);
  dat_->Seek(0, 0);
  dat_->WriteBuffer(&header_, sizeof header_);
  if (!descriptors_.empty())
    dat_->WriteBuffer(descriptors_.data(), int64_t(descriptors_.size() * kFieldDescriptorSize));
}

void TVellDataManager::TruncateRecords() {
  const int64_t want = layout_.headerSize + int64_t(header_.recordCount) * layout_.recordSize;
  if (dat_->Size() != want) dat_->SetSize(want);
}

void TVellDataManager::WriteOutLog() {
  log_.WriteOut(*dat_, layout_.headerSize, layout_.recordSize, bdf_);
}

void TVellDataManager::FlushBuffers() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || readOnly_) return;
  TTableHeader onDisk{};
  dat_->Seek(0, 0);
  if (dat_->Read(&onDisk, sizeof onDisk) == int64_t(sizeof onDisk) &&
      onDisk.changeCount == header_.changeCount && log_.Empty())
    return;  // nothing changed since the last save
  WriteOutLog();
  SaveHeaders();
  TruncateRecords();
  dat_->Flush();
  if (HasBlobs()) {
    if (header_.recordCount == 0) {
      bdf_->SetSize(0);
      blobs_.Reset(blobs_.BlockSize(), int32_t(blobFields_.size()));
      blobsDirty_ = true;
    }
    SaveBlobDirectory(true);
    bdf_->Flush();
    bif_->Flush();
  }
  savedChangeCount_ = header_.changeCount;
}

void TVellDataManager::SaveChanges() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || readOnly_) return;
  if (header_.changeCount == savedChangeCount_ && log_.Empty()) return;  // nothing changed since
  WriteOutLog();
  SaveHeaders();
  TruncateRecords();
  if (HasBlobs()) SaveBlobDirectory(true);
  savedChangeCount_ = header_.changeCount;
}

void TVellDataManager::CheckFlush() {
  if (!autoFlush_ || readOnly_ || !log_.MustWriteOut()) return;
  WriteOutLog();
  SaveHeaders();
  TruncateRecords();
  SaveBlobDirectory(false);
}

void TVellDataManager::SaveBlobDirectory(bool force) {
  constexpr uint64_t kBlobDirectoryMillis = 2000;
  if (!HasBlobs() || readOnly_ || !blobsDirty_) return;
  const uint64_t now = TickCount();
  if (!force && now - blobsSavedTick_ < kBlobDirectoryMillis) return;
  blobs_.Save(*bif_);
  blobsDirty_ = false;
  blobsSavedTick_ = now;
}

// ---- records -----------------------------------------------------------------------

std::vector<uint8_t> TVellDataManager::NewRecord() const {
  std::vector<uint8_t> r(size_t(layout_.recordSize), 0);
  for (int32_t i = 0; i < header_.fieldCount; ++i) SetNull(r.data(), i, true);
  return r;
}

int32_t TVellDataManager::RecordID(const uint8_t* record) const {
  int32_t id;
  std::memcpy(&id, record + layout_.fieldBytes, 4);
  return id;
}

void TVellDataManager::SetRecordID(uint8_t* record, int32_t id) const {
  std::memcpy(record + layout_.fieldBytes, &id, 4);
}

bool TVellDataManager::IsNull(const uint8_t* record, int32_t field) const {
  return (record[layout_.fieldBytes + 4 + field / 8] >> (field % 8)) & 1;
}

TVTblValue TVellDataManager::FieldValue(const uint8_t* record, int32_t field) const {
  if (field == kRecordIdField) return TVTblValue::Int(ftAutoInc, RecordID(record));
  const TVellFieldInfo& f = fields_.at(size_t(field));
  if (IsNull(record, field) || IsBlobType(f.type)) return TVTblValue::Null(f.type);
  const uint8_t* p = record + f.offset;
  switch (f.type) {
    case ftString:
      return TVTblValue::String(
          std::string_view(reinterpret_cast<const char*>(p),
                           strnlen(reinterpret_cast<const char*>(p), size_t(f.size))));
    case ftBoolean: {
      uint16_t b;
      std::memcpy(&b, p, 2);
      return TVTblValue::Boolean(b != 0);
    }
    case ftDate:
    case ftTime:
      return TVTblValue::FromBuffer(f.type, p, 4);
    default:
      return TVTblValue::FromBuffer(f.type, p, size_t(f.size));
  }
}

void TVellDataManager::SetFieldValue(uint8_t* record, int32_t field,
                                     const TVTblValue& value) const {
  if (field == kRecordIdField) {
    TVTblValue v = value;
    ConvertValue(v, ftInteger);
    SetRecordID(record, v.isNull ? 0 : int32_t(v.i));
    return;
  }
  const TVellFieldInfo& f = fields_.at(size_t(field));
  uint8_t* p = record + f.offset;
  if (IsBlobType(f.type))
    throw Exception(
        "Error in TVellDataManager.SetFieldValue - blob fields are written as streams.");
  std::memset(p, 0, size_t(f.size));
  if (value.isNull) {
    SetNull(record, field, true);
    return;
  }
  TVTblValue v = value;
  switch (f.type) {
    case ftString: {
      ConvertValue(v, ftString);
      const std::string_view cut = Utf8Prefix(v.s, size_t(f.size - 1));
      std::memcpy(p, cut.data(), cut.size());
      break;
    }
    case ftWideString: {
      ConvertValue(v, ftWideString);
      const size_t chars = std::min(v.w.size(), size_t(f.size - 2) / 2);
      for (size_t i = 0; i < chars; ++i) {
        p[2 * i] = uint8_t(v.w[i] & 0xFF);
        p[2 * i + 1] = uint8_t(v.w[i] >> 8);
      }
      break;
    }
    case ftBoolean: {
      ConvertValue(v, ftBoolean);
      const uint16_t b = v.i ? 1 : 0;
      std::memcpy(p, &b, 2);
      break;
    }
    case ftBytes: {
      ConvertValue(v, ftString);
      std::memcpy(p, v.s.data(), std::min(v.s.size(), size_t(f.size)));
      break;
    }
    case ftBCD: {
      ConvertValue(v, ftFloat);
      std::memcpy(p, &v.f, 8);
      break;
    }
    default: {
      ConvertValue(v, f.type);
      const std::string bytes = v.ToBuffer();
      std::memcpy(p, bytes.data(), std::min(bytes.size(), size_t(f.size)));
      break;
    }
  }
  SetNull(record, field, false);
}

void TVellDataManager::SetNull(uint8_t* record, int32_t field, bool null) const {
  uint8_t& b = record[layout_.fieldBytes + 4 + field / 8];
  const uint8_t mask = uint8_t(1u << (field % 8));
  b = null ? uint8_t(b | mask) : uint8_t(b & ~mask);
}

void TVellDataManager::EncodeRecord(uint8_t* record) const {
  // The check string is made from the plain field bytes.
  const uint32_t crc = Crc32(record, size_t(layout_.fieldBytes));
  const std::string text = Base64Encode(std::string_view(reinterpret_cast<const char*>(&crc), 4));
  uint8_t* check = record + layout_.fieldBytes + 4 + layout_.nullBytes;
  std::memset(check, 0, kCheckStringSize);
  check[0] = uint8_t(text.size());
  std::memcpy(check + 1, text.data(), text.size());
  cipher_->Encrypt(record, size_t(layout_.fieldBytes));
}

void TVellDataManager::DecodeRecord(uint8_t* record) const {
  if (!cipher_)
    throw Exception("Error in TVellDataManager.ChangeBufferEncryption - decoding error.");
  cipher_->Decrypt(record, size_t(layout_.fieldBytes));
  const uint32_t crc = Crc32(record, size_t(layout_.fieldBytes));
  const std::string text = Base64Encode(std::string_view(reinterpret_cast<const char*>(&crc), 4));
  const uint8_t* check = record + layout_.fieldBytes + 4 + layout_.nullBytes;
  if (check[0] != text.size() || std::memcmp(check + 1, text.data(), text.size()) != 0)
    throw Exception("Error in TVellDataManager.ChangeBufferEncryption - crc error, decoding");
}

void TVellDataManager::GetRecord(int32_t slot, uint8_t* out) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || slot < 0 || slot >= header_.recordCount)
    throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
  const size_t r = size_t(layout_.recordSize);
  if (cacheAll_) {
    std::memcpy(out, cache_.data() + size_t(slot) * r, r);
    return;
  }
  if (const std::vector<uint8_t>* queued = log_.NewestRecord(slot)) {
    std::memcpy(out, queued->data(), r);
  } else {
    dat_->Seek(layout_.headerSize + int64_t(slot) * layout_.recordSize, 0);
    dat_->ReadBuffer(out, int64_t(r));
  }
  if (header_.encrypted) DecodeRecord(out);
}

int32_t TVellDataManager::AppendRecord(const uint8_t* record) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || readOnly_)
    throw Exception("Error in TVellDataManager.AppendRecord - table is read-only.");
  const int32_t slot = header_.recordCount;
  const std::vector<bool> keep = MaintainedIndexes();
  std::vector<uint8_t> scratch;
  std::vector<int32_t> positions(indexes_.size(), -1);
  for (size_t i = 0; i < indexes_.size(); ++i)
    if (keep[i]) positions[i] = InsertPosition(indexes_[i], record, slot, scratch);
  const int32_t id = RecordID(record);
  if (id > header_.lastAutoInc) header_.lastAutoInc = id;
  ++header_.changeCount;
  const size_t r = size_t(layout_.recordSize);
  if (cacheAll_) {
    // Keep caching while the table still fits in a third of free memory.
    if ((slot & 4095) == 0 && (uint64_t(slot) + 1) * r * 3 > FreePhysicalMemory()) {
      cacheAll_ = false;
      WriteOutLog();
      cache_.clear();
      cache_.shrink_to_fit();
    } else {
      cache_.insert(cache_.end(), record, record + r);
    }
  }
  ++header_.recordCount;
  for (size_t i = 0; i < indexes_.size(); ++i)
    if (keep[i]) indexes_[i].order.insert(indexes_[i].order.begin() + positions[i], slot);
  if (HasBlobs()) {
    blobs_.AppendRecord();
    blobsDirty_ = true;
  }
  std::vector<uint8_t> copy(record, record + r);
  if (header_.encrypted) EncodeRecord(copy.data());
  log_.QueueRecord(slot, copy.data(), r);
  CheckFlush();
  return slot;
}

void TVellDataManager::UpdateRecord(const uint8_t* record, int32_t slot) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || readOnly_)
    throw Exception("Error in TVellDataManager.UpdateRecord - table is read-only.");
  if (slot < 0 || slot >= header_.recordCount)
    throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
  const std::vector<bool> keep = MaintainedIndexes();
  std::vector<int32_t> old(indexes_.size(), -1);
  for (size_t i = 0; i < indexes_.size(); ++i)
    if (keep[i]) old[i] = FindPosition(int32_t(i), slot);
  const int32_t id = RecordID(record);
  if (id > header_.lastAutoInc) header_.lastAutoInc = id;
  ++header_.changeCount;
  const size_t r = size_t(layout_.recordSize);
  if (cacheAll_) std::memcpy(cache_.data() + size_t(slot) * r, record, r);
  std::vector<uint8_t> scratch;
  for (size_t i = 0; i < indexes_.size(); ++i) {
    if (!keep[i]) continue;
    auto& order = indexes_[i].order;
    const int32_t from = old[i];
    if (from < 0) {
      order.insert(order.begin() + InsertPosition(indexes_[i], record, slot, scratch), slot);
      continue;
    }
    // Most updates leave the key between its neighbours: nothing moves.
    // Otherwise the run between the old and the new place shifts by one,
    // so an update costs the distance moved, not the table's size.
    const bool afterPrev =
        from == 0 ||
        CompareKeys(indexes_[i], RecordPtr(order[size_t(from) - 1], scratch), record) <= 0;
    const bool beforeNext =
        from + 1 >= int32_t(order.size()) ||
        CompareKeys(indexes_[i], record, RecordPtr(order[size_t(from) + 1], scratch)) <= 0;
    if (afterPrev && beforeNext) continue;
    order.erase(order.begin() + from);
    const int32_t to = InsertPosition(indexes_[i], record, slot, scratch);
    order.insert(order.begin() + to, slot);
  }
  std::vector<uint8_t> copy(record, record + r);
  if (header_.encrypted) EncodeRecord(copy.data());
  log_.QueueRecord(slot, copy.data(), r);
  CheckFlush();
}

void TVellDataManager::DeleteRecord(int32_t slot) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || readOnly_)
    throw Exception("Error in TVellDataManager.vlDeleteRecord - table is read-only.");
  if (slot < 0 || slot >= header_.recordCount)
    throw Exception("TVellDataManager.vlDeleteRecord - invalid record Number, recPos = " +
                    std::to_string(slot));
  const int32_t last = header_.recordCount - 1;
  const std::vector<bool> keep = MaintainedIndexes();
  for (size_t i = 0; i < indexes_.size(); ++i) {
    if (!keep[i]) continue;
    const int32_t at = FindPosition(int32_t(i), slot);
    if (at < 0)
      throw Exception("TVellDataManager.vlDeleteRecord - invalid record Number, recPos = " +
                      std::to_string(slot));
    const int32_t lastAt = slot == last ? -1 : FindPosition(int32_t(i), last);
    if (slot != last && lastAt < 0)
      throw Exception("TVellDataManager.vlDeleteRecord - invalid record Number, last = " +
                      std::to_string(last));
    auto& order = indexes_[i].order;
    order.erase(order.begin() + at);
    if (lastAt >= 0) order[size_t(lastAt > at ? lastAt - 1 : lastAt)] = slot;
  }
  ++header_.changeCount;
  const size_t r = size_t(layout_.recordSize);
  if (slot != last) {
    // The last record moves into the freed slot.
    std::vector<uint8_t> moved(r);
    GetRecord(last, moved.data());
    if (cacheAll_) std::memcpy(cache_.data() + size_t(slot) * r, moved.data(), r);
    if (header_.encrypted) EncodeRecord(moved.data());
    log_.QueueRecord(slot, moved.data(), r);
  }
  if (cacheAll_) cache_.resize(size_t(last) * r);
  if (HasBlobs()) {
    blobs_.DeleteRecord(slot);
    blobsDirty_ = true;
  }
  log_.DropRecordsFrom(last);
  --header_.recordCount;
  CheckFlush();
}

// ---- blobs -------------------------------------------------------------------------

namespace {

std::string CheckText(const uint8_t* data, size_t size) {
  const uint32_t crc = Crc32(data, size);
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(&crc), 4)).substr(0, 12);
}

}  // namespace

void TVellDataManager::WriteBLOBValue(int32_t field, int32_t slot, const uint8_t* data, size_t size,
                                      uint8_t* record) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || readOnly_)
    throw Exception("Error in TVellDataManager.vlWriteBLOBValue - table is read-only.");
  if (slot < 0 || slot >= header_.recordCount)
    throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
  const int32_t ordinal = BlobOrdinal(field);
  // A bitmap behind the 8-byte graphic header is stored without it.
  static constexpr uint8_t kGraphic[4] = {0x01, 0x00, 0x00, 0x01};
  if (size >= 10 && std::memcmp(data, kGraphic, 4) == 0 && data[8] == 'B' && data[9] == 'M') {
    data += 8;
    size -= 8;
  }
  if (size == 0) {
    blobs_.Free(slot, ordinal);
  } else {
    const auto level = TCompressionLevel(header_.blobCompression);
    std::vector<uint8_t> stored;
    try {
      stored = CompressBlob(data, size, level);
    } catch (const Exception&) {
      throw Exception(
          "Error in TVellDataManager.vlWriteBLOBValue - vlCompress compressing error! mode = " +
          std::to_string(int(level)) + ", tSize = " + std::to_string(size) + ", hSize = 0");
    }
    if (header_.encrypted) {
      if (!cipher_)
        throw Exception("Error in TVellDataManager.vlWriteBLOBValue - no password specified.");
      cipher_->Encrypt(stored.data(), stored.size());
    }
    blobs_.Write(slot, ordinal, std::move(stored), int32_t(size), CheckText(data, size), log_);
  }
  if (record != nullptr) SetNull(record, field, size == 0);
  blobsDirty_ = true;
  ++header_.changeCount;
  CheckFlush();
}

void TVellDataManager::DeleteBLOBValue(int32_t field, int32_t slot, uint8_t* record) {
  WriteBLOBValue(field, slot, nullptr, 0, record);
}

std::vector<uint8_t> TVellDataManager::ReadBLOBValue(int32_t field, int32_t slot) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || slot < 0 || slot >= header_.recordCount)
    throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
  const int32_t ordinal = BlobOrdinal(field);
  if (!readOnly_) {
    WriteOutLog();
    SaveBlobDirectory(true);
  }
  const TBLOBHeader& h = blobs_.Header(slot, ordinal);
  if (h.parts.empty()) return {};
  const std::string mode = std::to_string(int(header_.blobCompression));
  std::vector<uint8_t> stored = blobs_.ReadStored(slot, ordinal, *bdf_);
  if (h.storedSize < 0 || h.plainSize < 0 || stored.size() < size_t(h.storedSize))
    throw Exception(
        "Error in TVellDataManager.vlReadBLOBValue - decompressing error, mode=" + mode + ".");
  stored.resize(size_t(h.storedSize));
  if (header_.encrypted) {
    if (!cipher_)
      throw Exception("Error in TVellDataManager.vlReadBLOBValue - no password specified.");
    cipher_->Decrypt(stored.data(), stored.size());
  }
  std::vector<uint8_t> plain;
  if (!DecompressBlob(stored.data(), stored.size(), TCompressionLevel(header_.blobCompression),
                      size_t(h.plainSize), plain))
    throw Exception(
        "Error in TVellDataManager.vlReadBLOBValue - decompressing error, mode=" + mode + ".");
  const std::string fresh = CheckText(plain.data(), plain.size());
  if (h.check.compare(0, fresh.size(), fresh) != 0)
    throw Exception("Error in TVellDataManager.vlReadBLOBValue - crc error");
  return plain;
}

// ---- files ---------------------------------------------------------------------------

void TVellDataManager::SetLastAutoInc(int32_t value) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_ || readOnly_)
    throw Exception("Error in TVellDataManager.SetLastAutoInc - table is read-only.");
  header_.lastAutoInc = value;
  ++header_.changeCount;
}

void TVellDataManager::DeleteTable() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  CloseTable();
  for (const char* ext : {".bdf", ".bif", ".idx", ".dat"}) {
    const std::string file = FileName(ext);
    if (storePtr_->FileExists(file) && !storePtr_->DeleteFile(file))
      throw Exception("Error in TVellDataManager.DeleteTable - " + file +
                      " file cannot be deleted.");
  }
}

void TVellDataManager::RenameTable(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  CloseTable();
  for (const char* ext : {".bdf", ".bif", ".idx", ".dat"}) {
    const std::string from = FileName(ext), to = newName + ext;
    if (!storePtr_->FileExists(from)) continue;
    if (strcasecmp(from.c_str(), to.c_str()) != 0 && storePtr_->FileExists(to) &&
        !storePtr_->DeleteFile(to))
      throw Exception("Error in TVellDataManager.RenameTable - " + from +
                      " file cannot be overwritten");
    if (!storePtr_->RenameFile(from, to))
      throw Exception("Error in TVellDataManager.RenameTable - " + from +
                      " file cannot be renamed.");
  }
  name_ = newName;
}

}  // namespace kestro
