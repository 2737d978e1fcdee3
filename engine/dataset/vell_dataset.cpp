#include "engine/dataset/vell_dataset.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/blob_stream.h"
#include "engine/dataset/database.h"
#include "engine/dataset/table_list.h"
#include "engine/sql/expression.h"

namespace kestro {
namespace {

// Runs `f` at scope exit.
template <typename F>
struct Finally {
  F f;
  ~Finally() { f(); }
};
template <typename F>
Finally(F) -> Finally<F>;

std::string Trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return std::string(s.substr(a, b - a));
}

// Field lists separated by "," or ";" (runs count once); a list without
// names is one name.
std::vector<std::string> SplitFieldList(const std::string& list) {
  std::vector<std::string> names;
  std::string cur;
  for (char c : list) {
    if (c == ',' || c == ';') {
      if (!Trim(cur).empty()) names.push_back(Trim(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!Trim(cur).empty()) names.push_back(Trim(cur));
  if (names.empty()) names.push_back(Trim(list));
  return names;
}

bool IsNullDate(const TVTblValue& v) {
  if (v.isNull) return true;
  if (v.type == ftDate) return v.i == 0;
  if (v.type == ftDateTime) return std::floor(v.f / 86400000.0) == 0;
  return false;
}

}  // namespace

TVellDataset::TVellDataset() = default;

TVellDataset::~TVellDataset() {
  try {
    Close();
    while (usageBits_ != 0) SetUsageBit(__builtin_ctz(usageBits_), false);
  } catch (...) {
    // Destruction must not throw.
  }
}

// ---- binding ---------------------------------------------------------------------------------

void TVellDataset::SetSessionName(const std::string& name) {
  CheckInactive();
  sessionName_ = name;
}

void TVellDataset::SetDatabaseName(const std::string& name) {
  Close();
  databaseName_ = name;
  if (!name.empty()) databaseFileName_.clear();
}

void TVellDataset::SetDatabaseFileName(const std::string& name) {
  Close();
  databaseFileName_ = name;
  if (!name.empty()) databaseName_.clear();
}

void TVellDataset::SetUsageBit(int bit, bool on) {
  const uint16_t mask = uint16_t(1u << bit);
  if (on == ((usageBits_ & mask) != 0)) return;
  if (on) {
    if (usageBits_ == 0) {
      TVellSession& session = TVellSessionList::Instance().GetSession(sessionName_);
      TVellDatabase* db = session.OpenDatabase(databaseName_, databaseFileName_, owner_);
      db->BindDataset(this);
      database_ = db;
      handle_ = db->Handle();
    }
    usageBits_ |= mask;
    return;
  }
  usageBits_ &= uint16_t(~mask);
  if (usageBits_ == 0 && database_ != nullptr) {
    TVellDatabase* db = database_;
    database_ = nullptr;
    handle_ = nullptr;
    db->UnbindDataset(this);
  }
}

void TVellDataset::CloseDataset() {
  if (Active() || State() == dsOpening) {
    Close();
  } else if (database_ != nullptr) {
    usageBits_ = 0;
    database_ = nullptr;
    handle_ = nullptr;
  }
}

// ---- properties ------------------------------------------------------------------------------

void TVellDataset::SetReadOnly(bool readOnly) {
  // The database handle marks datasets read-only while they open.
  if (State() == dsOpening || !Active()) {
    readOnly_ = readOnly;
    return;
  }
  Close();
  readOnly_ = readOnly;
}

void TVellDataset::SetInMemory(bool inMemory) {
  if (inMemory == inMemory_) return;
  if (!Active()) {
    inMemory_ = inMemory;
    return;
  }
  if (inMemory_ && !inMemory) {
    // Keep what was changed in memory: save it, then drop the copy.
    const bool ro = readOnly_;
    if (!ro) {
      table_->FlushBuffers();
      for (const char* ext : {".dat", ".idx", ".bif", ".bdf"})
        handle_->SaveMemoryCopy(tableName_ + ext);
    }
    TVellDatabaseManager* h = handle_;
    SetUsageBit(ubTableMaintenance, true);
    Finally release{[&] { SetUsageBit(ubTableMaintenance, false); }};
    h = handle_;
    Close();
    if (TAbstractPlainFileSystem* mem = h->GetFileStore(smMemory);
        mem != nullptr && mem != h->GetFileStore(0))
      for (const char* ext : {".dat", ".idx", ".bif", ".bdf"}) mem->DeleteFile(tableName_ + ext);
    inMemory_ = false;
    Open();
    return;
  }
  Close();
  inMemory_ = inMemory;
  Open();
}

bool TVellDataset::Encrypted() const {
  return tableOpen_ ? table_->Header().encrypted != 0 : encrypted_;
}

void TVellDataset::SetExclusive(bool v) {
  CheckInactive();
  exclusive_ = v;
}

TCompressionLevel TVellDataset::BLOBCompression() const {
  return tableOpen_ ? TCompressionLevel(table_->Header().blobCompression) : blobCompression_;
}

void TVellDataset::SetBLOBCompression(TCompressionLevel level) {
  CheckInactive();
  blobCompression_ = level;
}

int32_t TVellDataset::BLOBBlockSize() const {
  return tableOpen_ && table_->Blobs().BlockSize() > 0 ? table_->Blobs().BlockSize()
                                                       : blobBlockSize_;
}

void TVellDataset::SetBLOBBlockSize(int32_t size) {
  CheckInactive();
  blobBlockSize_ = size;
}

bool TVellDataset::AutoIndexes() const {
  if (!tableOpen_) return autoIndexes_;
  int automatic = 0;
  for (const TIndexHeader& ix : table_->Indexes())
    if (!ix.name.empty() && ix.name[0] == '@') ++automatic;
  return automatic > 1;
}

void TVellDataset::SetAutoIndexes(bool v) { autoIndexes_ = v; }

void TVellDataset::CheckTable(const char* operation) const {
  if (!tableOpen_)
    throw Exception(std::string("Error in TVellDataSet.") + operation + " - no table was opened.");
}

// ---- opening ---------------------------------------------------------------------------------

void TVellDataset::InternalOpen() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  ++updateDepth_;
  Finally depth{[&] { --updateDepth_; }};
  OpenTable();
  try {
    blobCache_.assign(table_->Fields().size(), BlobEntry());
    InitFieldDefs();
    ResolveIndexProperties("InternalOpen");
  } catch (...) {
    CloseTable();
    throw;
  }
  viewDirty_ = true;
}

TAbstractPlainFileSystem* TVellDataset::StoreFor(TTableStoreMode mode) {
  return handle_->GetFileStore(mode == tsmDatabase ? 0 : int(mode));
}

void TVellDataset::OpenTable() {
  const bool held = (usageBits_ & (1u << ubCursor)) != 0;
  if (!held) SetUsageBit(ubCursor, true);
  bool registered = false;
  try {
    if (handle_ == nullptr) throw Exception("TVellDataset.OpenTable - error.");
    handle_->AddDataset(this);
    registered = true;
    std::lock_guard<std::recursive_mutex> guard(TableListLock());
    TVellDataManager* table = AcquireTableHandle(tableName_, handle_);
    table->SetIndexProgress(progress_);
    // An in-memory table of a stored database starts as a copy of its files.
    if (inMemory_ && table->Clients().empty() && handle_->StoreMode() != smMemory) {
      if (table->IsOpen() && table->StoreMode() != tsmMemory) table->CloseTable();  // idle on disk
      TAbstractPlainFileSystem* mem = handle_->GetFileStore(smMemory);
      TAbstractPlainFileSystem* own = handle_->GetFileStore(0);
      if (mem != nullptr && own != nullptr && mem != own)
        for (const char* ext : {".dat", ".idx", ".bif", ".bdf"})
          if (!mem->FileExists(tableName_ + ext) && own->FileExists(tableName_ + ext))
            mem->CloseFile(handle_->OpenFile(tableName_ + ext, false, true, smMemory));
    }
    int result;
    try {
      result = table->ConnectDataset(this);
    } catch (...) {
      ReleaseTableHandle(table);
      throw;
    }
    if (result != otOk) {
      ReleaseTableHandle(table);
      const std::string quoted = "\"" + tableName_ + "\"";
      if (result == otWrongPassword) throw Exception("TVellDataset.OpenTable - invalid password.");
      if (result == otCannotOpenFiles) {
        TAbstractPlainFileSystem* store = StoreFor(inMemory_         ? tsmMemory
                                                   : temporaryFiles_ ? tsmTemporary
                                                                     : tsmDatabase);
        if (store == nullptr || !store->FileExists(tableName_ + ".dat"))
          throw Exception("TVellDataset.OpenTable - table " + quoted + " does not exist.");
        throw Exception("TVellDataset.OpenTable - table " + quoted +
                        " does not exist or some files of table are missed or locked.");
      }
      throw Exception("TVellDataset.OpenTable - error.");
    }
    table_ = table;
    tableOpen_ = true;
  } catch (...) {
    if (registered && handle_ != nullptr) {
      // Unregister without letting the handle close this dataset again.
      TVellDatabaseManager* h = handle_;
      h->RemoveDataset(this);
    }
    if (!held) SetUsageBit(ubCursor, false);
    throw;
  }
}

void TVellDataset::InitFieldDefs() {
  auto& defs = MutableFieldDefs();
  defs.clear();
  const auto& fields = table_->Fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    const TVellFieldInfo& f = fields[i];
    int32_t size = 0;
    if (f.type == ftString)
      size = f.size - 1;
    else if (f.type == ftWideString)
      size = f.size - 2;
    else if (f.type == ftBytes)
      size = f.size;
    defs.push_back({f.name, f.type, size, f.required, int32_t(i + 1)});
  }
  if (table_->Header().autoIncMarker == 240)
    defs.push_back({table_->AutoIncFieldName(), ftAutoInc, 0, false, int32_t(fields.size() + 1)});
}

void TVellDataset::ResolveIndexProperties(const std::string& where) {
  const auto& indexes = table_->Indexes();
  if (!indexName_.empty()) {
    const int32_t i = table_->FindIndex(indexName_);
    if (i < 0)
      throw Exception("TVellDataSet." + where + " - Invalid index name '" + indexName_ + "'");
    currentIndex_ = i;
  } else if (!indexFieldNames_.empty()) {
    const std::vector<std::string> wanted = SplitFieldList(indexFieldNames_);
    int32_t found = -1;
    for (size_t i = 0; i < indexes.size() && found < 0; ++i) {
      const TIndexHeader& ix = indexes[i];
      if (ix.fields.size() < wanted.size()) continue;
      bool match = true;
      for (size_t k = 0; k < wanted.size() && match; ++k) {
        const int32_t f = ix.fields[k];
        const std::string name =
            f == kRecordIdField ? table_->AutoIncFieldName() : table_->Fields()[size_t(f)].name;
        match = SameTextAscii(name, wanted[k]) &&
                !(f != kRecordIdField && IsStringType(table_->Fields()[size_t(f)].type) &&
                  ix.caseInsensitive[k]);
      }
      if (match) found = int32_t(i);
    }
    if (found < 0) {
      if (where == "InternalOpen")
        throw Exception("TVellDataSet.InternalOpen - Invalid index field names '" +
                        indexFieldNames_ + "'");
      throw Exception("Index for fields \"" + indexFieldNames_ + "\" does not exist.");
    }
    currentIndex_ = found;
  } else {
    currentIndex_ = 0;
  }
  idIndex_ = 0;
  for (size_t i = 0; i < indexes.size(); ++i)
    if (indexes[i].fields.size() == 1 && indexes[i].fields[0] == kRecordIdField) {
      idIndex_ = int32_t(i);
      break;
    }
  currentIndexName_ = indexes.empty() ? std::string() : indexes[size_t(currentIndex_)].name;
  table_->SetCurrentIndex(currentIndex_);
  viewDirty_ = true;
}

void TVellDataset::InternalClose() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  DropBlobCache();
  pendingAppend_.reset();
  CloseTable();
}

void TVellDataset::CloseTable() {
  TVellDataManager* table = table_;
  tableOpen_ = false;
  table_ = nullptr;
  order_ = nullptr;
  list_.clear();
  posOfSlot_.clear();
  posOfSlotValid_ = false;
  blobCache_.clear();
  currentPosition_ = -1;
  viewDirty_ = true;
  filterParsed_ = false;
  std::exception_ptr failure;
  if (table != nullptr) {
    std::lock_guard<std::recursive_mutex> guard(TableListLock());
    try {
      table->DisconnectDataset(this, true);
    } catch (...) {
      failure = std::current_exception();
    }
    ReleaseTableHandle(table);
  }
  if (handle_ != nullptr) handle_->RemoveDataset(this);
  SetUsageBit(ubCursor, false);
  if (failure) std::rethrow_exception(failure);
}

// ---- the visible list ------------------------------------------------------------------------

bool TVellDataset::PlainView() const {
  const bool filterOn = filtered_ && !Trim(filter_).empty();
  return !filterOn && !constraint_ && rowLimit_ < 0 && firstRow_ < 0 && distinctFields_.empty() &&
         updateDepth_ == 0 && const_cast<TVellDataset*>(this)->MasterCondition().empty();
}

void TVellDataset::ResolveCurrentIndex() {
  const auto& indexes = table_->Indexes();
  if (size_t(currentIndex_) < indexes.size() &&
      indexes[size_t(currentIndex_)].name == currentIndexName_)
    return;
  // Indexes were added or deleted meanwhile: follow ours by name.
  const int32_t i = table_->FindIndex(currentIndexName_);
  currentIndex_ = i < 0 ? 0 : i;
  currentIndexName_ = indexes.empty() ? std::string() : indexes[size_t(currentIndex_)].name;
  for (size_t k = 0; k < indexes.size(); ++k)
    if (indexes[k].fields.size() == 1 && indexes[k].fields[0] == kRecordIdField)
      idIndex_ = int32_t(k);
  viewDirty_ = true;
}

void TVellDataset::EnsureView() {
  if (!tableOpen_) return;
  if (updateDepth_ > 0 && !list_.empty() && !plain_) return;  // frozen while a statement runs
  ResolveCurrentIndex();
  table_->SetCurrentIndex(currentIndex_);
  const bool changed = table_->Header().changeCount != viewChangeCount_;
  if (!viewDirty_ && plain_) {
    order_ = &table_->Ensure(currentIndex_);
    if (changed) {
      if (range_.set) {
        std::tie(lo_, hi_) = RangeBounds(*order_);
      } else {
        lo_ = 0;
        hi_ = int32_t(order_->size());
      }
      viewChangeCount_ = table_->Header().changeCount;
    }
    return;
  }
  if (viewDirty_ || changed) Rebuild();
}

void TVellDataset::RebuildNow() {
  viewDirty_ = true;
  EnsureView();
}

void TVellDataset::Rebuild() {
  // A temporary index for the distinct fields may move the index list, so
  // it is made before any order is taken.
  int32_t distinctIndex = -1;
  if (!distinctFields_.empty() && !PlainView()) {
    std::string fields;
    for (const std::string& f : SplitFieldList(distinctFields_))
      fields += (fields.empty() ? "" : ";") + f;
    int32_t& ix = distinctIndex;
    const std::vector<int32_t> wanted = [&] {
      std::vector<int32_t> nums;
      for (const std::string& f : SplitFieldList(distinctFields_))
        nums.push_back(SameTextAscii(f, table_->AutoIncFieldName())
                           ? kRecordIdField
                           : table_->InternalGetFieldNo(f));
      return nums;
    }();
    for (size_t i = 0; i < table_->Indexes().size() && ix < 0; ++i)
      if (table_->Indexes()[i].fields == wanted) ix = int32_t(i);
    if (ix < 0) {
      try {
        ix = table_->FindIndex(table_->CreateTemporaryIndex(fields, "", ""));
      } catch (const std::exception&) {
        throw VTblException(32, Name(), {tableName_, fields});
      }
    }
  }
  plain_ = PlainView();
  posOfSlotValid_ = false;
  const std::vector<int32_t>& order = table_->Ensure(currentIndex_);
  order_ = &order;
  int32_t lo = 0, hi = int32_t(order.size());
  if (range_.set) std::tie(lo, hi) = RangeBounds(order);
  if (plain_) {
    lo_ = lo, hi_ = hi;
    list_.clear();
  } else if (std::vector<int32_t> candidates;
             !range_.set && distinctIndex < 0 && !(filtered_ && !Trim(filter_).empty()) &&
             MasterCondition().empty() && ConstraintCandidates(candidates)) {
    // An equality of the constraint answered by an index: only its rows are
    // tested, and they are put in the current index's order by search.
    std::vector<std::pair<int32_t, int32_t>> kept;
    std::vector<uint8_t> scratch;
    for (int32_t slot : candidates)
      if (ConstraintHolds(table_->RecordPtr(slot, scratch)))
        kept.emplace_back(table_->FindPosition(currentIndex_, slot), slot);
    std::sort(kept.begin(), kept.end());
    list_.clear();
    int32_t count = 0;
    for (const auto& [position, slot] : kept) {
      ++count;
      if (firstRow_ >= 0 && count < firstRow_) continue;
      if (rowLimit_ >= 0 && int32_t(list_.size()) >= rowLimit_) break;
      list_.push_back(slot);
    }
  } else {
    const size_t n = size_t(table_->RecordCount());
    std::vector<uint8_t> keep(n, 1);
    const std::string master = MasterCondition();
    if (!master.empty()) {
      masterParser_.Parse(master, *table_, {});
      const TBitsArray bits = masterParser_.Evaluate(*table_);
      for (size_t i = 0; i < n; ++i) keep[i] = bits.Get(i);
    }
    if (filtered_ && !Trim(filter_).empty()) {
      if (!filterParsed_ || parsedFilter_ != filter_) {
        filterParser_.Parse(filter_, *table_, filterOptions_);
        parsedFilter_ = filter_;
        filterParsed_ = true;
      }
      const TBitsArray bits = filterParser_.Evaluate(*table_);
      for (size_t i = 0; i < n; ++i) keep[i] = keep[i] && bits.Get(i);
    }
    // 2 marks candidates inside the range.
    std::vector<uint8_t> scratch;
    for (int32_t p = lo; p < hi; ++p) {
      const int32_t slot = order[size_t(p)];
      if (!keep[size_t(slot)]) continue;
      if (constraint_ && !ConstraintHolds(table_->RecordPtr(slot, scratch))) {
        keep[size_t(slot)] = 0;
        continue;
      }
      keep[size_t(slot)] = 2;
    }
    if (distinctIndex >= 0) {
      const int32_t ix = distinctIndex;
      const std::vector<int32_t>& dorder = table_->Ensure(ix);
      const TIndexHeader& dindex = table_->Indexes()[size_t(ix)];
      std::vector<uint8_t> prevCopy, scratch2;
      bool havePrev = false;
      for (int32_t slot : dorder) {
        if (keep[size_t(slot)] != 2) continue;
        const uint8_t* rec = table_->RecordPtr(slot, scratch2);
        if (havePrev && table_->CompareKeys(dindex, prevCopy.data(), rec) == 0) {
          keep[size_t(slot)] = 0;
          continue;
        }
        prevCopy.assign(rec, rec + table_->Layout().recordSize);
        havePrev = true;
      }
    }
    list_.clear();
    int32_t count = 0;
    for (int32_t p = lo; p < hi; ++p) {
      const int32_t slot = order[size_t(p)];
      if (keep[size_t(slot)] != 2) continue;
      ++count;
      if (firstRow_ >= 0 && count < firstRow_) continue;
      if (rowLimit_ >= 0 && int32_t(list_.size()) >= rowLimit_) break;
      list_.push_back(slot);
    }
  }
  viewChangeCount_ = table_->Header().changeCount;
  viewDirty_ = false;
  resolvedChange_ = -1;
}

int32_t TVellDataset::VisibleCountRaw() const {
  if (!tableOpen_ || order_ == nullptr) return 0;
  return plain_ ? hi_ - lo_ : int32_t(list_.size());
}

int32_t TVellDataset::VisibleCount() {
  EnsureView();
  return VisibleCountRaw();
}

int32_t TVellDataset::SlotAt(int32_t position) const {
  return plain_ ? (*order_)[size_t(lo_ + position)] : list_[size_t(position)];
}

int32_t TVellDataset::PositionOfSlot(int32_t slot) {
  if (slot < 0) return -1;
  if (plain_) {
    const int32_t p = table_->FindPosition(currentIndex_, slot);
    return p >= lo_ && p < hi_ ? p - lo_ : -1;
  }
  if (!posOfSlotValid_) {
    posOfSlot_.assign(size_t(table_->RecordCount()), -1);
    for (size_t i = 0; i < list_.size(); ++i)
      if (size_t(list_[i]) < posOfSlot_.size()) posOfSlot_[size_t(list_[i])] = int32_t(i);
    posOfSlotValid_ = true;
  }
  return size_t(slot) < posOfSlot_.size() ? posOfSlot_[size_t(slot)] : -1;
}

int32_t TVellDataset::SlotOfId(int32_t id, int32_t* indexPosition) {
  const std::vector<int32_t>& order = table_->Ensure(idIndex_);
  int32_t lo = 0, hi = int32_t(order.size());
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    const int32_t at = table_->RecordID(table_->RecordPtr(order[size_t(mid)], scratch_));
    if (at < id)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < int32_t(order.size()) &&
      table_->RecordID(table_->RecordPtr(order[size_t(lo)], scratch_)) == id) {
    if (indexPosition != nullptr) *indexPosition = lo;
    return order[size_t(lo)];
  }
  return -1;
}

int32_t TVellDataset::PositionOfId(int32_t id) {
  int32_t indexPosition = -1;
  const int32_t slot = SlotOfId(id, &indexPosition);
  if (slot < 0) return -1;
  if (plain_ && currentIndex_ == idIndex_)
    return indexPosition >= lo_ && indexPosition < hi_ ? indexPosition - lo_ : -1;
  return PositionOfSlot(slot);
}

void TVellDataset::SetTablePositionByPhysRecNo(int32_t slot) {
  const int32_t p = PositionOfSlot(slot);
  if (p < 0)
    throw Exception("TVellDataSet.SetTablePositionByPhysRecNo - record not found, physRecNo = " +
                    std::to_string(slot) + ", result = " + std::to_string(p) +
                    ", recCount = " + std::to_string(table_->RecordCount()));
  currentPosition_ = p;
}

std::pair<int32_t, int32_t> TVellDataset::RangeBounds(const std::vector<int32_t>& order) {
  const TIndexHeader& index = table_->Indexes()[size_t(currentIndex_)];
  auto partial = [&](size_t k) {
    TIndexHeader h = index;
    h.order.clear();
    k = std::min(k, h.fields.size());
    h.fields.resize(k), h.ascending.resize(k), h.caseInsensitive.resize(k);
    return h;
  };
  std::vector<uint8_t> scratch;
  // First position whose key compares above (strict) or at/above the key.
  auto bound = [&](const TIndexHeader& h, const std::vector<uint8_t>& key, bool strict) {
    int32_t lo = 0, hi = int32_t(order.size());
    while (lo < hi) {
      const int32_t mid = lo + (hi - lo) / 2;
      const int c =
          table_->CompareKeys(h, table_->RecordPtr(order[size_t(mid)], scratch), key.data());
      if (strict ? c <= 0 : c < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  };
  int32_t lo = 0, hi = int32_t(order.size());
  if (!range_.start.empty()) {
    const TIndexHeader h = partial(range_.start.size());
    lo = bound(h, KeyRecord(h, range_.start), !range_.startInclusive);
  }
  if (!range_.end.empty()) {
    const TIndexHeader h = partial(range_.end.size());
    hi = bound(h, KeyRecord(h, range_.end), range_.endInclusive);
  }
  return {lo, std::max(lo, hi)};
}

std::vector<uint8_t> TVellDataset::KeyRecord(const TIndexHeader& index,
                                             const std::vector<TVTblValue>& values) const {
  std::vector<uint8_t> rec = table_->NewRecord();
  for (size_t k = 0; k < values.size() && k < index.fields.size(); ++k) {
    const int32_t f = index.fields[k];
    if (f == kRecordIdField) {
      TVTblValue v = values[k];
      if (!v.isNull) ConvertValue(v, ftInteger);
      table_->SetRecordID(rec.data(), v.isNull ? 0 : int32_t(v.i));
    } else {
      table_->SetFieldValue(rec.data(), f, values[k]);
    }
  }
  return rec;
}

bool TVellDataset::ConstraintHolds(const uint8_t* record) {
  const uint8_t* keep = evalRecord_;
  evalRecord_ = record;
  Finally reset{[&] { evalRecord_ = keep; }};
  const TVTblValue& r = constraint_->Evaluate(this);
  if (r.isNull) return false;
  if (r.type != ftBoolean) throw VTblException(1071, Name());
  return r.i != 0;
}

// ---- reading rows ----------------------------------------------------------------------------

void TVellDataset::FillBuffer(TRecordBuffer& buffer, int32_t slot) {
  buffer.data.resize(size_t(table_->Layout().recordSize));
  table_->GetRecord(slot, buffer.data.data());
  buffer.bookmark = table_->RecordID(buffer.data.data());
  buffer.bookmarkFlag = 0;
  CalculateFields(buffer);
}

bool TVellDataset::AcceptedByFilterEvent(TRecordBuffer& buffer) {
  if (!filtered_ || !OnFilterRecord) return true;
  // The handler sees the row as the current record, in the filter state.
  TRecordBuffer keep = std::move(CurrentBuffer());
  const bool had = HasActiveRecord();
  SetCurrentRecord(std::move(buffer));
  const TDataSetState state = State();
  SetStateQuiet(dsFilter);
  bool ok = false;
  try {
    ok = OnFilterRecord(*this);
  } catch (...) {
    SetStateQuiet(state);
    buffer = std::move(CurrentBuffer());
    CurrentBuffer() = std::move(keep);
    if (!had) ClearCurrentRecord();
    throw;
  }
  SetStateQuiet(state);
  buffer = std::move(CurrentBuffer());
  CurrentBuffer() = std::move(keep);
  if (!had) ClearCurrentRecord();
  return ok;
}

TGetResult TVellDataset::GetRecord(TRecordBuffer& buffer, TGetMode mode, bool check) {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  if (!tableOpen_) throw Exception("Error in TVellDataSet.GetRecord - no table was opened.");
  EnsureView();
  const int32_t count = VisibleCountRaw();
  if (count == 0) return grEOF;
  if (!noResync_ && HasActiveRecord()) {
    const int32_t id = CurrentBuffer().bookmark;
    const int32_t change = table_->Header().changeCount;
    const bool known = id == resolvedId_ && change == resolvedChange_ && currentPosition_ >= 0 &&
                       currentPosition_ < count;
    if (!known) {
      if (id <= table_->Header().lastAutoInc) {
        const int32_t p = PositionOfId(id);
        if (p >= 0) currentPosition_ = p;
      } else {
        currentPosition_ = count;  // a new row not yet posted
      }
      resolvedId_ = id;
      resolvedChange_ = change;
    }
  }
  // The cached blobs belong to the row that was current.
  if (State() != dsInsert && State() != dsEdit) DropBlobCache();
  for (;;) {
    TGetResult result = grOK;
    switch (mode) {
      case gmNext:
        if (currentPosition_ < count - 1)
          ++currentPosition_;
        else
          result = grEOF;
        break;
      case gmPrior:
        if (currentPosition_ > 0) {
          --currentPosition_;
          if (currentPosition_ >= count) currentPosition_ = count - 1;
        } else {
          currentPosition_ = -1;
          result = grBOF;
        }
        break;
      default:
        if (currentPosition_ < 0 || currentPosition_ >= count) result = grError;
        break;
    }
    if (result == grOK) {
      FillBuffer(buffer, SlotAt(currentPosition_));
      resolvedId_ = buffer.bookmark;
      resolvedChange_ = table_->Header().changeCount;
      if (!AcceptedByFilterEvent(buffer)) {
        if (mode == gmCurrent)
          result = grError;
        else
          continue;  // next and prior move on
      }
    }
    if (result == grError && check) throw Exception("TVellDataSet.GetRecord - No records");
    return result;
  }
}

void TVellDataset::InternalLast() {
  EnsureView();
  currentPosition_ = VisibleCountRaw();
}

int32_t TVellDataset::GetRecordCount() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  if (!tableOpen_) throw Exception("Error in TVellDataSet.GetRecordCount - no table was opened.");
  return VisibleCount();
}

int32_t TVellDataset::GetRecNo() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  if (!tableOpen_) throw Exception("Error in TVellDataSet.GetRecNo - no table was opened.");
  const int32_t count = VisibleCount();
  if (count == 0) return 0;
  if (!HasActiveRecord()) return 1;
  const int32_t id = CurrentBuffer().bookmark;
  const int32_t p = id <= table_->Header().lastAutoInc ? PositionOfId(id) : -1;
  if (p >= 0) return p + 1;
  return State() == dsInsert ? table_->RecordCount() + 1 : 0;
}

void TVellDataset::SetRecNoImpl(int32_t n) {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  if (!tableOpen_) throw Exception("Error in TVellDataSet.SetRecNo - no table was opened.");
  CheckBrowseMode();
  const int32_t count = VisibleCount();
  if (count == 0 || n < 1 || n > table_->RecordCount() || n > count || n == GetRecNo()) return;
  if (BeforeScroll) BeforeScroll(*this);
  currentPosition_ = n - 1;
  TRecordBuffer buffer;
  noResync_ = true;
  TGetResult r;
  try {
    r = GetRecord(buffer, gmCurrent, false);
  } catch (...) {
    noResync_ = false;
    throw;
  }
  noResync_ = false;
  if (r == grOK) {
    SetCurrentRecord(std::move(buffer));
    SetBofEof(false, false);
  } else {
    // Refused by the filter event: count rows from the first.
    InternalFirst();
    ReadFirst();
    MoveBy(n - 1);
  }
  DataEvent(&TDataLink::DataSetChanged);
  if (AfterScroll) AfterScroll(*this);
}

void TVellDataset::InternalGotoBookmark(TBookmark bookmark) {
  EnsureView();
  const int32_t count = VisibleCountRaw();
  int32_t p = PositionOfId(bookmark);
  if (p >= count) p = count - 1;
  if (p != currentPosition_ && State() != dsInsert) DropBlobCache();
  currentPosition_ = p;
}

bool TVellDataset::BookmarkValid(TBookmark bookmark) {
  if (!tableOpen_ || bookmark == 0) return false;
  EnsureView();
  return PositionOfId(bookmark) >= 0;
}

int TVellDataset::CompareBookmarks(TBookmark a, TBookmark b) {
  if (a == 0 || b == 0) return a == b ? 0 : a == 0 ? -1 : 1;
  if (a == b) return 0;
  EnsureView();
  return PositionOfId(a) < PositionOfId(b) ? -1 : 1;
}

void TVellDataset::ResyncCentred() {
  if (!Active()) return;
  InvalidateView();
  EnsureView();
  Resync();
}

// ---- field values ----------------------------------------------------------------------------

int32_t TVellDataset::StoredFieldOf(int32_t fieldNo) const {
  const int32_t stored = int32_t(table_->Fields().size());
  if (fieldNo < 1 || fieldNo > stored + 1) return INT32_MIN;
  return fieldNo <= stored ? fieldNo - 1 : kRecordIdField;
}

bool TVellDataset::GetFieldValue(const TField& field, TVTblValue& value) {
  if (!tableOpen_) return false;
  const int32_t f = StoredFieldOf(field.FieldNo());
  if (f == INT32_MIN)
    throw Exception("Error in TVellDataSet.GetFieldData - FieldNo=." +
                    std::to_string(field.FieldNo()) + " 0 pointer!");
  TRecordBuffer& b = ActiveBuffer();
  if (b.data.empty()) return false;
  if (f == kRecordIdField) {
    value = TVTblValue::Int(ftAutoInc, table_->RecordID(b.data.data()));
    return true;
  }
  if (IsBlobType(table_->Fields()[size_t(f)].type)) {
    BlobEntry& entry = blobCache_[size_t(f)];
    if (!entry.used) {
      if (table_->IsNull(b.data.data(), f)) return false;
      LoadBlob(field, entry);
    }
    if (entry.data.empty()) return false;
    value = TVTblValue::String(entry.data);
    value.type = table_->Fields()[size_t(f)].type;
    return true;
  }
  value = table_->FieldValue(b.data.data(), f);
  return !IsNullDate(value);
}

void TVellDataset::SetFieldValue(TField& field, const TVTblValue& value) {
  const TDataSetState s = State();
  if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsCalcFields && s != dsFilter &&
      s != dsNewValue)
    throw VTblException(1085, Name());
  if (!tableOpen_) throw Exception("Error in TVellDataSet.SetFieldData - FieldNo > fieldCount.");
  const int32_t f = StoredFieldOf(field.FieldNo());
  if (f == INT32_MIN) {
    if (field.FieldNo() > int32_t(table_->Fields().size()) + 1)
      throw Exception("Error in TVellDataSet.SetFieldData - FieldNo > fieldCount.");
    throw Exception("Error in TVellDataSet.SetFieldData - FieldNo=." +
                    std::to_string(field.FieldNo()) + " 0 pointer!");
  }
  if (s == dsSetKey) {
    const TIndexHeader& ix = table_->Indexes()[size_t(currentIndex_)];
    if (!ix.fields.empty() && std::find(ix.fields.begin(), ix.fields.end(), f) == ix.fields.end())
      throw VTblException(1086, Name(), {field.DisplayName()});
  }
  TRecordBuffer& b = ActiveBuffer();
  if (f == kRecordIdField) {
    if (s != dsSetKey && !fillingRow_)
      DatabaseError("Field '" + field.DisplayName() + "' cannot be modified");
    TVTblValue v = value;
    if (!v.isNull) ConvertValue(v, ftInteger);
    table_->SetRecordID(b.data.data(), v.isNull ? 0 : int32_t(v.i));
    b.bookmark = table_->RecordID(b.data.data());
    return;
  }
  if (IsBlobType(table_->Fields()[size_t(f)].type)) {
    BlobEntry& entry = blobCache_[size_t(f)];
    entry.data = value.isNull ? std::string() : value.type == ftWideString ? value.Text() : value.s;
    if (!value.isNull && !IsStringType(value.type) && !IsBlobType(value.type))
      entry.data = ValueToText(value);
    entry.used = entry.modified = true;
    table_->SetNull(b.data.data(), f, entry.data.empty());
    return;
  }
  // An empty text and a zero date store NULL.
  const bool emptyText = (value.type == ftString && value.s.empty()) ||
                         (value.type == ftWideString && value.w.empty());
  if (value.isNull || emptyText || IsNullDate(value)) {
    table_->SetNull(b.data.data(), f, true);
    return;
  }
  table_->SetFieldValue(b.data.data(), f, value);
}

// ---- editing ---------------------------------------------------------------------------------

void TVellDataset::InternalInitRecord(TRecordBuffer& buffer) {
  if (!tableOpen_)
    throw Exception("Error in TVellDataSet.InternalInitRecord - no table was opened.");
  buffer.data = table_->NewRecord();
  table_->SetRecordID(buffer.data.data(), table_->NextRecordID());
  buffer.bookmark = table_->RecordID(buffer.data.data());
  buffer.bookmarkFlag = 0;
}

void TVellDataset::InternalInsert() {
  DropBlobCache();
  pendingAppend_.reset();
}

void TVellDataset::InternalEdit() {
  // Edit the row as it is now, not as it was read.
  const int32_t slot = FindSlotOfCurrent();
  TRecordBuffer& b = CurrentBuffer();
  table_->GetRecord(slot, b.data.data());
}

void TVellDataset::InternalCancel() { DropBlobCache(); }

void TVellDataset::InternalRefresh() {
  if (!tableOpen_) return;
  DropBlobCache();
  InvalidateView();
  EnsureView();
}

int32_t TVellDataset::FindSlotOfCurrent() {
  const int32_t id = table_->RecordID(CurrentBuffer().data.data());
  const int32_t slot = SlotOfId(id, nullptr);
  if (slot < 0) throw Exception("TVellDataSet.GetRecord - No records");
  return slot;
}

void TVellDataset::CheckKeyViolations(const uint8_t* recordIn, bool inserting,
                                      const char* operation) {
  uint8_t* record = const_cast<uint8_t*>(recordIn);
  const auto& indexes = table_->Indexes();
  std::vector<uint8_t> scratch;
  for (size_t i = 0; i < indexes.size(); ++i) {
    if ((indexes[i].options & (ixUnique | ixPrimary)) == 0) continue;
    const std::vector<int32_t>& order = table_->Ensure(int32_t(i));
    const TIndexHeader& ix = table_->Indexes()[i];
    int32_t lo = 0, hi = int32_t(order.size());
    while (lo < hi) {
      const int32_t mid = lo + (hi - lo) / 2;
      if (table_->CompareKeys(ix, table_->RecordPtr(order[size_t(mid)], scratch), record) < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    const int32_t id = table_->RecordID(record);
    for (int32_t p = lo; p < int32_t(order.size()); ++p) {
      const uint8_t* other = table_->RecordPtr(order[size_t(p)], scratch);
      if (table_->CompareKeys(ix, other, record) != 0) break;
      if (table_->RecordID(other) == id && !inserting) continue;
      if (inserting && ix.fields.size() == 1 && ix.fields[0] == kRecordIdField) {
        // The provisional identifier was taken meanwhile: take the next.
        table_->SetRecordID(record, table_->NextRecordID());
        break;
      }
      throw EDatabaseError(std::string(operation) + " - key violation.\r\nTable name = \"" +
                           tableName_ + "\".\r\nUnique index name = \"" + ix.name + "\".");
    }
  }
}

void TVellDataset::WriteBlobs(int32_t slot, uint8_t* record) {
  for (size_t f = 0; f < blobCache_.size(); ++f) {
    BlobEntry& e = blobCache_[f];
    if (!e.used || !e.modified) continue;
    table_->WriteBLOBValue(int32_t(f), slot, reinterpret_cast<const uint8_t*>(e.data.data()),
                           e.data.size(), record);
  }
  DropBlobCache();
}

void TVellDataset::InternalPost() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  const bool fromAppend = pendingAppend_ != nullptr;
  if (!fromAppend) CheckRequiredFields();
  if (readOnly_) throw Exception("Error in TVellDataSet.InternalPost - table is read only.");
  if (!tableOpen_) throw Exception("Error in TVellDataSet.InternalPost - table is not open.");
  const bool inserting = fromAppend || State() == dsInsert;
  if (!fromAppend && State() != dsEdit && State() != dsInsert)
    throw Exception("Error in TVellDataSet.InternalPost - invalid state.");
  TRecordBuffer& b = fromAppend ? *pendingAppend_ : CurrentBuffer();
  if (b.data.empty()) throw Exception("Error in TVellDataSet.InternalPost - 0 pointer to buffer.");
  EnsureView();
  const int32_t count = VisibleCountRaw();
  currentPosition_ = std::clamp(currentPosition_, int32_t(-1), count);
  const auto& fields = table_->Fields();
  for (size_t f = 0; f < fields.size(); ++f)
    if (fields[f].required && table_->IsNull(b.data.data(), int32_t(f)))
      throw EDatabaseError("Field '" + fields[f].name + "' must have a value");
  std::lock_guard<std::recursive_mutex> bracket(table_->Lock());
  CheckKeyViolations(b.data.data(), inserting, "TVellDataSet.InternalPost");
  if (inserting) {
    const int32_t slot = table_->AppendRecord(b.data.data());
    WriteBlobs(slot, nullptr);
  } else {
    const int32_t slot = FindSlotOfCurrent();
    WriteBlobs(slot, b.data.data());
    table_->UpdateRecord(b.data.data(), slot);
  }
  b.bookmark = table_->RecordID(b.data.data());
}

void TVellDataset::InternalDelete() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  if (readOnly_) throw Exception("Error in TVellDataSet.InternalDelete - table is read only.");
  if (!tableOpen_) throw Exception("Error in TVellDataSet.InternalDelete - table is not open.");
  EnsureView();
  if (VisibleCountRaw() == 0)
    throw Exception("Error in TVellDataSet.InternalDelete - no records in table.");
  std::lock_guard<std::recursive_mutex> bracket(table_->Lock());
  const int32_t slot = FindSlotOfCurrent();
  for (size_t f = 0; f < table_->Fields().size(); ++f)
    if (IsBlobType(table_->Fields()[f].type)) table_->DeleteBLOBValue(int32_t(f), slot);
  table_->DeleteRecord(slot);
  DropBlobCache();
}

// ---- appending by field values ---------------------------------------------------------------

void TVellDataset::BeginAppend() {
  if (!tableOpen_)
    throw Exception("Error in TVellDataSet.InternalAddRecord - 0 pointer to Buffer.");
  pendingAppend_ = std::make_unique<TRecordBuffer>();
  InternalInitRecord(*pendingAppend_);
  DropBlobCache();
}

void TVellDataset::SetAppendValue(int32_t fieldNo, const TVTblValue& value) {
  if (!pendingAppend_)
    throw Exception("Error in TVellDataSet.InternalAddRecord - 0 pointer to Buffer.");
  const int32_t f = StoredFieldOf(fieldNo);
  if (f == INT32_MIN) throw Exception("Error in TVellDataSet.SetFieldData - FieldNo > fieldCount.");
  uint8_t* rec = pendingAppend_->data.data();
  if (f == kRecordIdField) {
    TVTblValue v = value;
    if (!v.isNull) ConvertValue(v, ftInteger);
    table_->SetRecordID(rec, v.isNull ? table_->NextRecordID() : int32_t(v.i));
    return;
  }
  if (IsBlobType(table_->Fields()[size_t(f)].type)) {
    BlobEntry& entry = blobCache_[size_t(f)];
    entry.data = value.isNull                                         ? std::string()
                 : value.type == ftWideString                         ? value.Text()
                 : IsStringType(value.type) || IsBlobType(value.type) ? value.s
                                                                      : ValueToText(value);
    entry.used = entry.modified = true;
    table_->SetNull(rec, f, entry.data.empty());
    return;
  }
  const bool emptyText = (value.type == ftString && value.s.empty()) ||
                         (value.type == ftWideString && value.w.empty());
  if (value.isNull || emptyText || IsNullDate(value))
    table_->SetNull(rec, f, true);
  else
    table_->SetFieldValue(rec, f, value);
}

void TVellDataset::EndAppend() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  if (!pendingAppend_)
    throw Exception("Error in TVellDataSet.InternalAddRecord - 0 pointer to Buffer.");
  if (readOnly_) {
    pendingAppend_.reset();
    throw Exception("Error in TVellDataSet.InternalAddRecord - table is read only.");
  }
  struct Reset {
    TVellDataset* d;
    ~Reset() { d->pendingAppend_.reset(); }
  } reset{this};
  TRecordBuffer& b = *pendingAppend_;
  const auto& fields = table_->Fields();
  for (size_t f = 0; f < fields.size(); ++f)
    if (fields[f].required && table_->IsNull(b.data.data(), int32_t(f)))
      throw EDatabaseError("Field '" + fields[f].name + "' must have a value");
  std::lock_guard<std::recursive_mutex> bracket(table_->Lock());
  // Only unique indexes count here: the identifier index is checked by the
  // statement that set the identifier.
  CheckKeyViolations(b.data.data(), true, "TVellDataSet.InternalAddRecord");
  const int32_t slot = table_->AppendRecord(b.data.data());
  WriteBlobs(slot, nullptr);
}

void TVellDataset::DecUpdateDepth() {
  if (updateDepth_ > 0 && --updateDepth_ == 0 && tableOpen_) RebuildNow();
}

void TVellDataset::SetConstraint(std::unique_ptr<TVTblExpression> condition) {
  constraint_ = std::move(condition);
  if (constraint_ && tableOpen_) constraint_->Bind(this);
  InvalidateView();
}

void TVellDataset::SetRowLimit(int32_t limit, int32_t firstRow) {
  rowLimit_ = limit;
  firstRow_ = firstRow;
  InvalidateView();
}

void TVellDataset::SetDistinctFields(const std::string& fields) {
  distinctFields_ = fields;
  InvalidateView();
}

void TVellDataset::RenameField(const std::string& from, const std::string& to) {
  for (size_t i = 0; i < FieldDefs().size(); ++i)
    if (SameTextAscii(FieldDefs()[i].name, from)) ChangeFieldDefsNames(i, to);
  if (TField* f = FindField(from)) f->SetFieldName(to);
}

void TVellDataset::HideField(const std::string& name) {
  if (TField* f = FindField(name)) f->SetVisible(false);
}

// ---- filters and find ------------------------------------------------------------------------

void TVellDataset::SetFilter(const std::string& text) {
  filter_ = text;
  filterParsed_ = false;
  if (Active() && filtered_) {
    InvalidateView();
    First();
  }
}

void TVellDataset::SetFilterOptions(TSearchOptions options) {
  filterOptions_ = options;
  filterParsed_ = false;
  if (Active() && filtered_) {
    InvalidateView();
    First();
  }
}

void TVellDataset::SetFiltered(bool on) {
  if (on == filtered_) return;
  filtered_ = on;
  filterParsed_ = false;
  if (!Active()) return;
  CheckBrowseMode();
  InvalidateView();
  try {
    EnsureView();
  } catch (...) {
    filtered_ = false;
    InvalidateView();
    First();
    throw;
  }
  First();
}

bool TVellDataset::FindRecord(TFindMode mode) {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  CheckActive();
  CheckBrowseMode();
  if (Trim(filter_).empty() || (bdeLikeFilter_ && !filtered_)) {
    switch (mode) {
      case fmFirst:
        First();
        return !Eof();
      case fmLast:
        Last();
        return !Bof();
      case fmNext:
        Next();
        return !Eof();
      default:
        Prior();
        return !Bof();
    }
  }
  TSearchOptions options = filterOptions_;
  const std::string f = Trim(filter_);
  if (!options.noPartialCompare && !(f.size() >= 2 && f[f.size() - 2] == '*'))
    options.noPartialCompare = true;
  findParser_.Parse(f, *table_, options);
  const TBitsArray bits = findParser_.Evaluate(*table_);
  EnsureView();
  const int32_t count = VisibleCountRaw();
  int32_t target = -1;
  TRecordBuffer buffer;
  auto accept = [&](int32_t p) {
    if (!bits.Get(size_t(SlotAt(p)))) return false;
    FillBuffer(buffer, SlotAt(p));
    return AcceptedByFilterEvent(buffer);
  };
  const int32_t here = HasActiveRecord() ? PositionOfId(CurrentBuffer().bookmark) : -1;
  switch (mode) {
    case fmFirst:
      for (int32_t p = 0; p < count && target < 0; ++p)
        if (accept(p)) target = p;
      break;
    case fmLast:
      for (int32_t p = count - 1; p >= 0 && target < 0; --p)
        if (accept(p)) target = p;
      break;
    case fmNext:
      for (int32_t p = here + 1; p < count && target < 0; ++p)
        if (accept(p)) target = p;
      break;
    default:
      for (int32_t p = (here < 0 ? count : here) - 1; p >= 0 && target < 0; --p)
        if (accept(p)) target = p;
      break;
  }
  if (target < 0) return false;
  if (BeforeScroll) BeforeScroll(*this);
  currentPosition_ = target;
  DropBlobCache();
  SetCurrentRecord(std::move(buffer));
  SetBofEof(false, false);
  DataEvent(&TDataLink::DataSetChanged);
  if (AfterScroll) AfterScroll(*this);
  return true;
}

// ---- locate and lookup -----------------------------------------------------------------------

bool TVellDataset::LocateSlot(const std::string& keyFields,
                              const std::vector<TVTblValue>& keyValues, uint8_t options,
                              int32_t& result) {
  if (updateDepth_ > 0) throw VTblException(1089, Name());
  EnsureView();
  struct Condition {
    int32_t field;
    TVTblValue value;
    bool caseInsensitive, partial;
    int32_t index = -1;
    int32_t lo = 0, hi = 0;
  };
  const std::vector<std::string> names = SplitFieldList(keyFields);
  std::vector<Condition> conds;
  for (size_t k = 0; k < names.size(); ++k) {
    const int32_t field = SameTextAscii(names[k], table_->AutoIncFieldName())
                              ? kRecordIdField
                              : table_->InternalGetFieldNo(names[k]);
    const uint8_t type =
        field == kRecordIdField ? uint8_t(ftAutoInc) : table_->Fields()[size_t(field)].type;
    if (k >= keyValues.size()) return false;
    TVTblValue v = keyValues[k];
    if (v.isNull) return false;
    const bool text = IsStringType(type);
    if (IsBlobType(type))
      throw Exception("Error in TVellDataSet.PrepareValueBuffer - unsupported field type!");
    if (v.type != type) {
      if (text)
        v = TVTblValue::String(v.type == ftString || v.type == ftWideString ? v.Text()
                                                                            : ValueToText(v));
      else
        ConvertValue(v, type == ftAutoInc ? uint8_t(ftInteger) : type);
    }
    conds.push_back({field, v, text && (options & loCaseInsensitive) != 0,
                     text && (options & loPartialKey) != 0});
  }
  const int32_t n = table_->RecordCount();
  std::vector<uint8_t> scratch;
  auto compare = [&](const Condition& c, const uint8_t* rec) {
    const TVTblValue v = table_->FieldValue(rec, c.field);
    if (v.isNull) return -1;
    const auto r = CompareValues(v, c.value, {c.caseInsensitive, c.partial});
    return r == TVTblCompareResult::Equal ? 0 : r == TVTblCompareResult::Less ? -1 : 1;
  };
  auto meetsAll = [&](const uint8_t* rec) {
    for (const Condition& c : conds)
      if (compare(c, rec) != 0) return false;
    return true;
  };
  // An index answers a condition when its first key is the field, ascending,
  // with the search's case rule for text.
  const auto& indexes = table_->Indexes();
  for (Condition& c : conds) {
    for (size_t i = 0; i < indexes.size() && c.index < 0; ++i) {
      const TIndexHeader& ix = indexes[i];
      if (ix.fields[0] != c.field || !ix.ascending[0] || ix.descendingAll) continue;
      if (c.field != kRecordIdField && IsStringType(table_->Fields()[size_t(c.field)].type) &&
          bool(ix.caseInsensitive[0]) != c.caseInsensitive)
        continue;
      c.index = int32_t(i);
    }
  }
  const int32_t count = VisibleCountRaw();
  if (conds.size() == 1 && conds[0].index < 0) {
    TRecordBuffer buffer;
    for (int32_t p = 0; p < count; ++p) {
      const int32_t slot = SlotAt(p);
      if (!meetsAll(table_->RecordPtr(slot, scratch))) continue;
      if (filtered_ && OnFilterRecord) {
        FillBuffer(buffer, slot);
        if (!AcceptedByFilterEvent(buffer)) continue;
      }
      result = slot;
      return true;
    }
    return false;
  }
  // The most selective indexed condition gives the candidates.
  Condition* best = nullptr;
  for (Condition& c : conds) {
    if (c.index < 0) continue;
    const std::vector<int32_t>& order = table_->Ensure(c.index);
    int32_t a = 0, b = int32_t(order.size());
    while (a < b) {
      const int32_t m = a + (b - a) / 2;
      (compare(c, table_->RecordPtr(order[size_t(m)], scratch)) < 0 ? a = m + 1 : b = m);
    }
    int32_t d = a, e = int32_t(order.size());
    while (d < e) {
      const int32_t m = d + (e - d) / 2;
      (compare(c, table_->RecordPtr(order[size_t(m)], scratch)) <= 0 ? d = m + 1 : e = m);
    }
    c.lo = a, c.hi = d;
    if (best == nullptr || c.hi - c.lo < best->hi - best->lo) best = &c;
    if (c.hi - c.lo <= n / 20) break;
  }
  std::vector<int32_t> kept;
  if (best == nullptr) {
    for (int32_t p = 0; p < count; ++p)
      if (meetsAll(table_->RecordPtr(SlotAt(p), scratch))) kept.push_back(SlotAt(p));
  } else {
    const std::vector<int32_t>& order = table_->Ensure(best->index);
    for (int32_t p = best->lo; p < best->hi; ++p)
      if (meetsAll(table_->RecordPtr(order[size_t(p)], scratch))) kept.push_back(order[size_t(p)]);
  }
  TRecordBuffer buffer;
  auto acceptedByEvent = [&](int32_t slot) {
    if (!filtered_ || !OnFilterRecord) return true;
    FillBuffer(buffer, slot);
    return AcceptedByFilterEvent(buffer);
  };
  if (kept.size() > 9) {
    // The first visible row among many: one walk with a bit set.
    std::vector<uint8_t> mark(size_t(n), 0);
    for (int32_t s : kept) mark[size_t(s)] = 1;
    for (int32_t p = 0; p < count; ++p)
      if (mark[size_t(SlotAt(p))] && acceptedByEvent(SlotAt(p))) {
        result = SlotAt(p);
        return true;
      }
    return false;
  }
  int32_t bestPos = -1;
  for (int32_t s : kept) {
    const int32_t p = PositionOfSlot(s);
    if (p < 0 || (bestPos >= 0 && p >= bestPos) || !acceptedByEvent(s)) continue;
    bestPos = p;
    result = s;
  }
  return bestPos >= 0;
}

bool TVellDataset::Locate(const std::string& keyFields, const std::vector<TVTblValue>& keyValues,
                          uint8_t options) {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  CheckActive();
  CheckBrowseMode();
  int32_t slot = -1;
  if (!LocateSlot(keyFields, keyValues, options, slot)) return false;
  if (BeforeScroll) BeforeScroll(*this);
  SetTablePositionByPhysRecNo(slot);
  DropBlobCache();
  TRecordBuffer buffer;
  FillBuffer(buffer, slot);
  resolvedId_ = buffer.bookmark;
  resolvedChange_ = table_->Header().changeCount;
  SetCurrentRecord(std::move(buffer));
  SetBofEof(false, false);
  DataEvent(&TDataLink::DataSetChanged);
  if (AfterScroll) AfterScroll(*this);
  return true;
}

std::vector<TVTblValue> TVellDataset::Lookup(const std::string& keyFields,
                                             const std::vector<TVTblValue>& keyValues,
                                             const std::string& resultFields) {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  CheckActive();
  int32_t slot = -1;
  if (!LocateSlot(keyFields, keyValues, 0, slot)) return {TVTblValue()};
  std::vector<uint8_t> rec(size_t(table_->Layout().recordSize));
  table_->GetRecord(slot, rec.data());
  std::vector<TVTblValue> values;
  for (const std::string& name : SplitFieldList(resultFields)) {
    const int32_t f = SameTextAscii(name, table_->AutoIncFieldName())
                          ? kRecordIdField
                          : table_->InternalGetFieldNo(name);
    if (f != kRecordIdField && IsBlobType(table_->Fields()[size_t(f)].type)) {
      const std::vector<uint8_t> blob = table_->ReadBLOBValue(f, slot);
      values.push_back(blob.empty() ? TVTblValue::Null(table_->Fields()[size_t(f)].type)
                                    : TVTblValue::String(std::string(blob.begin(), blob.end())));
    } else {
      TVTblValue v = table_->FieldValue(rec.data(), f);
      if (IsNullDate(v)) v = TVTblValue::Null(v.type);
      values.push_back(v);
    }
  }
  return values;
}

// ---- ranges ----------------------------------------------------------------------------------

void TVellDataset::SetRange(const std::vector<TVTblValue>& start,
                            const std::vector<TVTblValue>& end, bool startInclusive,
                            bool endInclusive) {
  CheckActive();
  CheckBrowseMode();
  range_ = {true, start, end, startInclusive, endInclusive};
  InvalidateView();
  First();
}

void TVellDataset::CancelRange() {
  range_ = Range();
  if (!Active()) return;
  CheckBrowseMode();
  InvalidateView();
  First();
}

// ---- blobs -----------------------------------------------------------------------------------

void TVellDataset::DropBlobCache() {
  for (BlobEntry& e : blobCache_) e = BlobEntry();
}

void TVellDataset::LoadBlob(const TField& field, BlobEntry& entry) {
  entry = BlobEntry();
  entry.used = true;
  if (!HasActiveRecord() && !InCalcState()) return;
  const TRecordBuffer& b = ActiveBuffer();
  if (b.data.empty()) return;
  const int32_t id = table_->RecordID(b.data.data());
  if (id > table_->Header().lastAutoInc) return;  // a new row has no stored blob
  const int32_t slot = SlotOfId(id, nullptr);
  if (slot < 0) return;
  const std::vector<uint8_t> data = table_->ReadBLOBValue(StoredFieldOf(field.FieldNo()), slot);
  entry.data.assign(data.begin(), data.end());
}

std::unique_ptr<TVellBlobStream> TVellDataset::CreateBlobStream(TField& field,
                                                                TBlobStreamMode mode) {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  if (!tableOpen_)
    throw Exception("Error in TVellDataSet.InternalCreateBLOBStream - table is not opened.");
  if (mode != bmRead && readOnly_)
    throw Exception("Error in TVellDataset.CreateBlobStream - Dataset is read only!");
  const int32_t f = StoredFieldOf(field.FieldNo());
  if (f < 0 || !IsBlobType(table_->Fields()[size_t(f)].type))
    throw Exception("Error in TVellDataSet.InternalCreateBLOBStream - field is not a blob field.");
  const bool editing = State() == dsEdit || State() == dsInsert;
  if (mode != bmRead && !editing) throw VTblException(1085, Name());
  BlobEntry& entry = blobCache_[size_t(f)];
  if (!editing) entry = BlobEntry();
  if (mode == bmWrite) {
    entry.data.clear();
    entry.used = true;
    entry.modified = true;
  } else if (!entry.used) {
    LoadBlob(field, entry);
  }
  return std::unique_ptr<TVellBlobStream>(new TVellBlobStream(this, &field, mode, &entry.data));
}

void TVellDataset::CloseBlob(const TField& field, bool modified) {
  if (!tableOpen_) return;
  const int32_t f = StoredFieldOf(field.FieldNo());
  if (f < 0 || size_t(f) >= blobCache_.size()) return;
  BlobEntry& entry = blobCache_[size_t(f)];
  if (modified) {
    entry.modified = true;
    NotifyFieldChange(const_cast<TField&>(field));
  }
  if (State() == dsEdit || State() == dsInsert)
    table_->SetNull(CurrentBuffer().data.data(), f, entry.data.empty());
}

// ---- row source ------------------------------------------------------------------------------

int TVellDataset::FindColumns(std::string_view name, std::string_view qualifier,
                              std::vector<int>& positions) const {
  if (!qualifier.empty() && !SameTextAscii(qualifier, tableName_) &&
      (alias_.empty() || !SameTextAscii(qualifier, alias_)))
    return 0;
  int found = 0;
  const auto& defs = FieldDefs();
  for (size_t i = 0; i < defs.size(); ++i)
    if (name == "*" || SameTextAscii(defs[i].name, name)) {
      positions.push_back(int(i));
      ++found;
    }
  return found;
}

std::string TVellDataset::ColumnName(int position) const {
  return FieldDefs().at(size_t(position)).name;
}
uint8_t TVellDataset::ColumnType(int position) const {
  return FieldDefs().at(size_t(position)).dataType;
}

int TVellDataset::ColumnSize(int position) const {
  const TFieldDef& d = FieldDefs().at(size_t(position));
  const int32_t f = tableOpen_ ? StoredFieldOf(d.fieldNo) : INT32_MIN;
  if (f >= 0) return table_->Fields()[size_t(f)].size;
  return f == kRecordIdField ? 4 : d.size;
}

void TVellDataset::ReadValue(int position, TVTblValue& value) {
  const TFieldDef& d = FieldDefs().at(size_t(position));
  const uint8_t* rec = evalRecord_ != nullptr ? evalRecord_ : ActiveBuffer().data.data();
  if (rec == nullptr || !tableOpen_) {
    value = TVTblValue::Null(d.dataType);
    return;
  }
  const int32_t f = StoredFieldOf(d.fieldNo);
  value = table_->FieldValue(rec, f);
  if (IsNullDate(value)) value = TVTblValue::Null(value.type);
}

// ---- query execution ------------------------------------------------------------------------

namespace {

void Conjuncts(TVTblExprNode* node, std::vector<TVTblExprNode*>& out) {
  if (node->Op() == opAnd && dynamic_cast<TVTblExprNodeBoolean*>(node) != nullptr) {
    for (auto& c : node->Children()) Conjuncts(c.get(), out);
  } else {
    out.push_back(node);
  }
}

}  // namespace

bool TVellDataset::ConstraintCandidates(std::vector<int32_t>& slots) {
  if (!constraint_ || constraint_->Root() == nullptr) return false;
  std::vector<TVTblExprNode*> conjuncts;
  Conjuncts(constraint_->Root(), conjuncts);
  bool found = false;
  std::vector<uint8_t> scratch;
  for (TVTblExprNode* c : conjuncts) {
    const bool equal = c->Op() == opEqual && dynamic_cast<TVTblExprNodeComparison*>(c) != nullptr;
    const bool in = c->Op() == opIn && dynamic_cast<TVTblExprNodeBoolean*>(c) != nullptr;
    if (!equal && !in) continue;
    auto& kids = c->Children();
    auto* field = dynamic_cast<TVTblExprNodeField*>(kids[0].get());
    size_t firstValue = 1;
    if (field == nullptr && equal) {
      field = dynamic_cast<TVTblExprNodeField*>(kids[1].get());
      firstValue = 0;
    }
    if (field == nullptr || field->Input() != this || field->Column() < 0) continue;
    std::vector<TVTblValue> values;
    bool constant = true;
    for (size_t i = firstValue; i < kids.size() && constant; ++i) {
      if (equal && i == (firstValue == 0 ? 1u : 0u)) continue;
      if (kids[i].get() == field) continue;
      auto* k = dynamic_cast<TVTblExprNodeConst*>(kids[i].get());
      constant = k != nullptr;
      if (constant && !k->Value().isNull) values.push_back(k->Value());
    }
    if (!constant) continue;
    const TFieldDef& def = FieldDefs().at(size_t(field->Column()));
    const int32_t f = StoredFieldOf(def.fieldNo);
    const bool text = f != kRecordIdField && IsStringType(table_->Fields()[size_t(f)].type);
    int32_t ix = -1;
    for (size_t i = 0; i < table_->Indexes().size() && ix < 0; ++i) {
      const TIndexHeader& h = table_->Indexes()[i];
      if (h.fields[0] == f && h.ascending[0] && !(text && h.caseInsensitive[0])) ix = int32_t(i);
    }
    if (ix < 0) continue;
    const std::vector<int32_t>& order = table_->Ensure(ix);
    std::vector<int32_t> mine;
    for (const TVTblValue& v : values) {
      auto compare = [&](int32_t slot) {
        const TVTblValue x = table_->FieldValue(table_->RecordPtr(slot, scratch), f);
        if (x.isNull) return -1;
        const auto r = CompareValues(x, v);
        return r == TVTblCompareResult::Equal ? 0 : r == TVTblCompareResult::Less ? -1 : 1;
      };
      int32_t lo = 0, hi = int32_t(order.size());
      while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        (compare(order[size_t(mid)]) < 0 ? lo = mid + 1 : hi = mid);
      }
      for (int32_t p = lo; p < int32_t(order.size()) && compare(order[size_t(p)]) == 0; ++p)
        mine.push_back(order[size_t(p)]);
    }
    std::sort(mine.begin(), mine.end());
    mine.erase(std::unique(mine.begin(), mine.end()), mine.end());
    if (!found || mine.size() < slots.size()) slots = std::move(mine);
    found = true;
  }
  return found;
}

std::string TVellDataset::IndexFor(const std::string& fields, const std::string& descending) {
  CheckTable("IndexFor");
  auto numbers = [&](const std::string& list) {
    std::vector<int32_t> out;
    for (const std::string& f : SplitFieldList(list))
      if (!f.empty())
        out.push_back(SameTextAscii(f, table_->AutoIncFieldName()) ? kRecordIdField
                                                                   : table_->InternalGetFieldNo(f));
    return out;
  };
  const std::vector<int32_t> wanted = numbers(fields);
  const std::vector<int32_t> desc =
      descending.empty() ? std::vector<int32_t>() : numbers(descending);
  for (const TIndexHeader& ix : table_->Indexes()) {
    if (ix.fields != wanted) continue;
    bool same = true;
    for (size_t k = 0; k < ix.fields.size() && same; ++k) {
      const bool d = std::find(desc.begin(), desc.end(), ix.fields[k]) != desc.end();
      same = ix.ascending[k] != d && !ix.caseInsensitive[k];
    }
    if (same) return ix.name;
  }
  return table_->CreateTemporaryIndex(fields, descending, "");
}

void TVellDataset::KeySeek(const std::vector<int>& positions, const std::vector<TVTblValue>& key,
                           std::vector<int32_t>& slots) {
  slots.clear();
  std::string fields;
  std::vector<int32_t> stored;
  for (int p : positions) {
    const TFieldDef& d = FieldDefs().at(size_t(p));
    fields += (fields.empty() ? "" : ";") + d.name;
    stored.push_back(StoredFieldOf(d.fieldNo));
  }
  const int32_t ix = table_->FindIndex(IndexFor(fields, ""));
  EnsureView();
  const std::vector<int32_t>& order = table_->Ensure(ix);
  std::vector<uint8_t> scratch;
  auto compare = [&](const uint8_t* rec) {
    for (size_t k = 0; k < stored.size(); ++k) {
      const TVTblValue v = table_->FieldValue(rec, stored[k]);
      if (v.isNull) return -1;
      const auto r = CompareValues(v, key[k]);
      if (r != TVTblCompareResult::Equal) return r == TVTblCompareResult::Less ? -1 : 1;
    }
    return 0;
  };
  int32_t lo = 0, hi = int32_t(order.size());
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    (compare(table_->RecordPtr(order[size_t(mid)], scratch)) < 0 ? lo = mid + 1 : hi = mid);
  }
  for (int32_t p = lo; p < int32_t(order.size()); ++p) {
    const int32_t slot = order[size_t(p)];
    const uint8_t* rec = table_->RecordPtr(slot, scratch);
    if (compare(rec) != 0) break;
    if (constraint_ && !ConstraintHolds(rec)) continue;
    if (!plain_ && PositionOfSlot(slot) < 0 && !constraint_) continue;
    slots.push_back(slot);
  }
}

void TVellDataset::ReadSlotRecord(int32_t slot) {
  if (slot < 0) {
    evalRecord_ = nullptr;
    return;
  }
  slotRecord_.resize(size_t(table_->Layout().recordSize));
  table_->GetRecord(slot, slotRecord_.data());
  evalRecord_ = slotRecord_.data();
}

TVTblValue TVellDataset::IndexExtreme(int position, bool largest) {
  CheckTable("IndexExtreme");
  const TFieldDef& def = FieldDefs().at(size_t(position));
  const int32_t f = StoredFieldOf(def.fieldNo);
  const std::vector<int32_t>& order = table_->Ensure(table_->FindIndex(IndexFor(def.name, "")));
  std::vector<uint8_t> scratch;
  const int32_t n = int32_t(order.size());
  for (int32_t k = 0; k < n; ++k) {
    const TVTblValue v =
        table_->FieldValue(table_->RecordPtr(order[size_t(largest ? n - 1 - k : k)], scratch), f);
    if (!IsNullDate(v)) return v;
  }
  return TVTblValue::Null(def.dataType);
}

bool TVellDataset::DeleteById(int32_t id) {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  CheckTable("DeleteById");
  if (readOnly_) throw Exception("Error in TVellDataSet.InternalDelete - table is read only.");
  std::lock_guard<std::recursive_mutex> bracket(table_->Lock());
  const int32_t slot = SlotOfId(id, nullptr);
  if (slot < 0) return false;
  for (size_t f = 0; f < table_->Fields().size(); ++f)
    if (IsBlobType(table_->Fields()[f].type)) table_->DeleteBLOBValue(int32_t(f), slot);
  table_->DeleteRecord(slot);
  return true;
}

std::vector<int32_t> TVellDataset::VisibleIds() {
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  CheckTable("VisibleIds");
  EnsureView();
  std::vector<int32_t> ids;
  std::vector<uint8_t> scratch;
  const int32_t count = VisibleCountRaw();
  ids.reserve(size_t(count));
  for (int32_t p = 0; p < count; ++p)
    ids.push_back(table_->RecordID(table_->RecordPtr(SlotAt(p), scratch)));
  return ids;
}

bool TVellDataset::RecordIdExists(int32_t id) {
  CheckTable("RecordIdExists");
  return SlotOfId(id, nullptr) >= 0;
}

}  // namespace kestro
