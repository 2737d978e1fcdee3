// The index work of TVellDataManager: key order, building, upkeep on every
// change, and the index file.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/common/field_types.h"
#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/tables/data_manager.h"

namespace kestro {
namespace {

constexpr int32_t kSmallTable = 10;
constexpr int32_t kBurstChanges = 100;

template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
int Cmp(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : list + ";") {
    if (c == ';' || c == ',') {
      const size_t b = cur.find_first_not_of(' '), e = cur.find_last_not_of(' ');
      if (b != std::string::npos) out.push_back(cur.substr(b, e - b + 1));
      cur.clear();
    } else {
      cur += c;
    }
  }
  return out;
}

bool Listed(const std::vector<std::string>& list, const std::string& name) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& s) { return strcasecmp(s.c_str(), name.c_str()) == 0; });
}

}  // namespace

// ---- key order -------------------------------------------------------------------------

int TVellDataManager::CompareKeys(const TIndexHeader& index, const uint8_t* a, const uint8_t* b) const {
  const TVellLocale& loc = TVellLocale::Current();
  for (size_t k = 0; k < index.fields.size(); ++k) {
    const int32_t f = index.fields[k];
    int c;
    if (f == kRecordIdField) {
      c = Cmp(uint32_t(RecordID(a)), uint32_t(RecordID(b)));  // always ascending
      if (c != 0) return c;
      continue;
    }
    const bool na = IsNull(a, f), nb = IsNull(b, f);
    if (na || nb) {
      c = na && nb ? 0 : (na ? -1 : 1);
    } else {
      const TVellFieldInfo& info = fields_[size_t(f)];
      const uint8_t* pa = a + info.offset;
      const uint8_t* pb = b + info.offset;
      switch (info.type) {
        case ftString: {
          const std::string_view sa(reinterpret_cast<const char*>(pa), strnlen(reinterpret_cast<const char*>(pa), size_t(info.size)));
          const std::string_view sb(reinterpret_cast<const char*>(pb), strnlen(reinterpret_cast<const char*>(pb), size_t(info.size)));
          c = index.caseInsensitive[k] ? loc.CompareText(sa, sb) : loc.CompareStr(sa, sb);
          break;
        }
        case ftWideString: {
          auto wide = [&](const uint8_t* p) {
            std::u16string w;
            for (int32_t i = 0; i + 1 < info.size; i += 2) {
              const char16_t ch = char16_t(p[i] | (p[i + 1] << 8));
              if (ch == 0) break;
              w += ch;
            }
            return w;
          };
          c = loc.CompareWide(wide(pa), wide(pb), index.caseInsensitive[k]);
          break;
        }
        case ftSmallInt: c = Cmp(Load<int16_t>(pa), Load<int16_t>(pb)); break;
        case ftInteger: c = Cmp(Load<int32_t>(pa), Load<int32_t>(pb)); break;
        case ftLargeInt: c = Cmp(Load<int64_t>(pa), Load<int64_t>(pb)); break;
        case ftWord: c = Cmp(Load<uint16_t>(pa), Load<uint16_t>(pb)); break;
        case ftBoolean: c = Cmp(Load<uint16_t>(pa) != 0, Load<uint16_t>(pb) != 0); break;
        case ftFloat:
        case ftCurrency:
        case ftDateTime: c = Cmp(Load<double>(pa), Load<double>(pb)); break;
        case ftDate:
        case ftTime: c = Cmp(Load<int32_t>(pa), Load<int32_t>(pb)); break;
        default: c = std::memcmp(pa, pb, size_t(info.size)); c = (c > 0) - (c < 0); break;
      }
    }
    if (!index.ascending[k]) c = -c;
    if (c != 0) return c;
  }
  return 0;
}

const uint8_t* TVellDataManager::RecordPtr(int32_t slot, std::vector<uint8_t>& scratch) {
  if (cacheAll_) return cache_.data() + size_t(slot) * size_t(layout_.recordSize);
  scratch.resize(size_t(layout_.recordSize));
  GetRecord(slot, scratch.data());
  return scratch.data();
}

// ---- building ---------------------------------------------------------------------------

void TVellDataManager::BuildIndex(TIndexHeader& index) {
  const size_t n = size_t(header_.recordCount), r = size_t(layout_.recordSize);
  index.order.resize(n);
  for (size_t i = 0; i < n; ++i) index.order[i] = int32_t(i);
  // All records in memory for the sort (the cache when it holds them).
  std::vector<uint8_t> copy;
  const uint8_t* base = cache_.data();
  if (!cacheAll_) {
    copy.resize(n * r);
    for (size_t i = 0; i < n; ++i) GetRecord(int32_t(i), copy.data() + i * r);
    base = copy.data();
  }
  std::stable_sort(index.order.begin(), index.order.end(), [&](int32_t x, int32_t y) {
    return CompareKeys(index, base + size_t(x) * r, base + size_t(y) * r) < 0;
  });
  index.valid = true;
}

const std::vector<int32_t>& TVellDataManager::Ensure(int32_t index) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TIndexHeader& ix = indexes_.at(size_t(index));
  if (!ix.valid) BuildIndex(ix);
  return ix.order;
}

void TVellDataManager::RebuildAll(bool withProgress) {
  TIndexProgress* p = withProgress ? progress_ : nullptr;
  if (p) p->Started(name_);
  for (size_t i = 0; i < indexes_.size(); ++i) {
    BuildIndex(indexes_[i]);
    if (p) p->Progress(int((i + 1) * 100 / indexes_.size()));
  }
  if (p) p->Finished();
}

int32_t TVellDataManager::InsertPosition(const TIndexHeader& index, const uint8_t* record, int32_t slot,
                                         std::vector<uint8_t>& scratch) {
  (void)slot;
  int32_t lo = 0, hi = int32_t(index.order.size());
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (CompareKeys(index, RecordPtr(index.order[size_t(mid)], scratch), record) <= 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

int32_t TVellDataManager::FindPosition(int32_t i, int32_t slot) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const TIndexHeader& index = indexes_.at(size_t(i));
  if (!index.valid || slot < 0 || slot >= header_.recordCount) return -1;
  std::vector<uint8_t> key, scratch;
  const uint8_t* rec = RecordPtr(slot, key);
  std::vector<uint8_t> keep(rec, rec + layout_.recordSize);
  // The first position not before the key, then along the equal run.
  int32_t lo = 0, hi = int32_t(index.order.size());
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (CompareKeys(index, RecordPtr(index.order[size_t(mid)], scratch), keep.data()) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  for (int32_t p = lo; p < int32_t(index.order.size()); ++p) {
    if (index.order[size_t(p)] == slot) return p;
    if (CompareKeys(index, RecordPtr(index.order[size_t(p)], scratch), keep.data()) != 0) break;
  }
  // Equal keys may be anywhere in a damaged order: fall back to a scan.
  const auto it = std::find(index.order.begin(), index.order.end(), slot);
  return it == index.order.end() ? -1 : int32_t(it - index.order.begin());
}

std::vector<bool> TVellDataManager::MaintainedIndexes() {
  // Before a change, tables past 10 records rebuild what is stale.
  if (header_.recordCount > kSmallTable)
    for (auto& ix : indexes_)
      if (!ix.valid) BuildIndex(ix);
  const uint64_t now = TickCount();
  burst_ = now - lastChangeTick_ > 1000 ? 1 : burst_ + 1;
  lastChangeTick_ = now;
  const bool all = header_.recordCount > kSmallTable || burst_ <= kBurstChanges;
  std::vector<bool> keep(indexes_.size());
  for (size_t i = 0; i < indexes_.size(); ++i) {
    keep[i] = indexes_[i].valid && (all || int32_t(i) == currentIndex_);
    if (!keep[i]) indexes_[i].valid = false;
  }
  return keep;
}

// ---- definitions ------------------------------------------------------------------------

int32_t TVellDataManager::FindIndex(const std::string& name) const {
  for (size_t i = 0; i < indexes_.size(); ++i)
    if (strcasecmp(indexes_[i].name.c_str(), name.c_str()) == 0) return int32_t(i);
  return -1;
}

std::vector<int32_t> TVellDataManager::ParseFieldList(const std::string& list) const {
  std::vector<int32_t> out;
  const std::string autoInc = AutoIncFieldName();
  for (const std::string& name : SplitList(list)) {
    if (strcasecmp(name.c_str(), autoInc.c_str()) == 0) {
      out.push_back(kRecordIdField);
      continue;
    }
    int32_t found = -1;
    for (size_t i = 0; i < fields_.size(); ++i)
      if (strcasecmp(fields_[i].name.c_str(), name.c_str()) == 0) found = int32_t(i);
    if (found < 0) throw VTblException(1067, {}, {name});
    out.push_back(found);
  }
  return out;
}

void TVellDataManager::AddIndex(const std::string& name, const std::string& fields,
                                const std::string& caseInsensitiveFields,
                                const std::string& descendingFields, uint8_t options, bool deferSave) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (name.empty()) throw Exception("Error in TVellDataManager.InternalAddIndex - name is empty.");
  if (name.size() > 255)
    throw Exception("Error in TVellDataManager.InternalAddIndex - name length > ." + std::to_string(kMaxNameLength));
  if (SplitList(fields).empty())
    throw Exception("Error in TVellDataManager.InternalAddIndex - empty field name list");
  if (FindIndex(name) >= 0)
    throw Exception("Error in TVellDataManager.InternalAddIndex - index \"" + name + "\" already exists!");
  TIndexHeader ix;
  ix.name = name;
  ix.fields = ParseFieldList(fields);
  ix.options = options;
  ix.descendingAll = options & ixDescending;
  ix.caseInsensitiveAll = options & ixCaseInsensitive;
  const auto ci = SplitList(caseInsensitiveFields), desc = SplitList(descendingFields);
  for (int32_t f : ix.fields) {
    const std::string fname = f == kRecordIdField ? AutoIncFieldName() : fields_[size_t(f)].name;
    if (f != kRecordIdField) {
      const uint8_t t = fields_[size_t(f)].type;
      if (!((t >= 1 && t <= 11) || t == ftWideString || t == ftLargeInt))
        throw Exception("Error in TVellDataManager.InternalAddIndex - unsupported field type!");
    }
    const bool text = f != kRecordIdField && IsStringType(fields_[size_t(f)].type);
    ix.ascending.push_back(!(ix.descendingAll || Listed(desc, fname)));
    ix.caseInsensitive.push_back(text && (ix.caseInsensitiveAll || Listed(ci, fname)));
  }
  if (open_) BuildIndex(ix);
  const bool temporary = ix.Temporary();
  indexes_.push_back(std::move(ix));
  if (open_ && !deferSave && !temporary && !readOnly_) SaveIndexesToDisk();
}

std::string TVellDataManager::CreateTemporaryIndex(const std::string& fields,
                                                   const std::string& descendingFields,
                                                   const std::string& caseInsensitiveFields) {
  static std::mt19937 rng(std::random_device{}());
  std::string name;
  do name = "$_IDX_" + std::to_string(rng() % 100000);
  while (FindIndex(name) >= 0);
  AddIndex(name, fields, caseInsensitiveFields, descendingFields, 0, true);
  return name;
}

int32_t TVellDataManager::DeleteIndex(const std::string& name, bool deferSave) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!open_) throw Exception("Error in TVellDataManager.DeleteIndex - table is not opened.");
  if (name.empty()) throw Exception("Error in TVellDataManager.DeleteIndex - name is empty.");
  const int32_t i = FindIndex(name);
  if (i < 0) throw Exception("Error in TVellDataManager.DeleteIndex - index \"" + name + "\" doesn't exist!");
  if (indexes_.size() == 1) throw Exception("TVellDataManager.DeleteIndex - last index deleted!");
  const bool temporary = indexes_[size_t(i)].Temporary();
  indexes_.erase(indexes_.begin() + i);
  if (currentIndex_ >= int32_t(indexes_.size())) currentIndex_ = 0;
  if (!deferSave && !temporary && !readOnly_) SaveIndexesToDisk();
  return i;
}

void TVellDataManager::CreateBuiltInIndexes(bool automatic) {
  AddIndex("@" + AutoIncFieldName(), AutoIncFieldName(), "", "", ixUnique, true);
  if (!automatic) return;
  for (const TVellFieldInfo& f : fields_) {
    if (f.type == ftBytes || IsBlobType(f.type) || f.type == ftBCD) continue;
    if (IsStringType(f.type)) AddIndex("@@" + f.name, f.name, f.name, "", 0, true);
    AddIndex("@" + f.name, f.name, "", "", 0, true);
  }
}

// ---- the index file ---------------------------------------------------------------------

void TVellDataManager::SaveIndexesToDisk() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (idx_ == nullptr || readOnly_) return;
  std::vector<uint8_t> out;
  auto put = [&](const void* p, size_t n) {
    out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  int32_t saved = 0;
  for (const auto& ix : indexes_) saved += !ix.Temporary();
  const double version = kTableVersion;
  put(&header_.changeCount, 4);
  put(&saved, 4);
  put(&version, 8);
  for (const auto& ix : indexes_) {
    if (ix.Temporary()) continue;
    uint8_t name[256];
    WriteShortString(name, ix.name);
    put(name, 256);
    const int32_t k = int32_t(ix.fields.size());
    put(&k, 4);
    put(ix.fields.data(), size_t(k) * 4);
    std::vector<uint8_t> asc(size_t((k + 7) / 8)), ci(size_t((k + 7) / 8));
    for (int32_t i = 0; i < k; ++i) {
      if (ix.ascending[size_t(i)]) asc[size_t(i / 8)] |= uint8_t(1u << (i % 8));
      if (ix.caseInsensitive[size_t(i)]) ci[size_t(i / 8)] |= uint8_t(1u << (i % 8));
    }
    put(asc.data(), asc.size());
    put(ci.data(), ci.size());
    const uint8_t flags[3] = {uint8_t(ix.caseInsensitiveAll), uint8_t(ix.descendingAll), ix.options};
    put(flags, 3);
  }
  if (header_.recordCount > 0)
    for (auto& ix : indexes_) {
      if (ix.Temporary()) continue;
      if (!ix.valid) BuildIndex(ix);
      put(ix.order.data(), ix.order.size() * 4);
    }
  idx_->SetSize(0);
  idx_->Seek(0, 0);
  idx_->WriteBuffer(out.data(), int64_t(out.size()));
  idxChangeCount_ = header_.changeCount;
}

void TVellDataManager::LoadIndexes() {
  indexes_.clear();
  currentIndex_ = 0;
  std::vector<uint8_t> in;
  if (idx_ != nullptr && idx_->Size() > 0 && idx_->Size() < (int64_t(1) << 31)) {
    in.resize(size_t(idx_->Size()));
    idx_->Seek(0, 0);
    idx_->ReadBuffer(in.data(), int64_t(in.size()));
  }
  size_t pos = 0;
  auto get = [&](void* p, size_t n) {
    if (n == 0) return true;
    if (pos + n > in.size()) return false;
    std::memcpy(p, in.data() + pos, n);
    pos += n;
    return true;
  };
  int32_t lastChange = 0, count = 0;
  double version = 0;
  bool ok = get(&lastChange, 4) && get(&count, 4) && get(&version, 8) && count > 0 && count < 100000;
  const int64_t maxKeys = int64_t(header_.fieldCount + 1) * (header_.fieldCount + 1) * 10;
  for (int32_t n = 0; ok && n < count; ++n) {
    TIndexHeader ix;
    uint8_t name[256];
    int32_t k = 0;
    ok = get(name, 256) && get(&k, 4) && k > 0 && k <= maxKeys;
    if (!ok) break;
    ix.name = ReadShortString(name);
    ix.fields.resize(size_t(k));
    std::vector<uint8_t> asc(size_t((k + 7) / 8)), ci(size_t((k + 7) / 8));
    uint8_t flags[3];
    ok = get(ix.fields.data(), size_t(k) * 4) && get(asc.data(), asc.size()) && get(ci.data(), ci.size()) &&
         get(flags, 3);
    if (!ok) break;
    for (int32_t i = 0; i < k; ++i) {
      const int32_t f = ix.fields[size_t(i)];
      if (f < kRecordIdField || f >= header_.fieldCount) ok = false;
      ix.ascending.push_back((asc[size_t(i / 8)] >> (i % 8)) & 1);
      ix.caseInsensitive.push_back((ci[size_t(i / 8)] >> (i % 8)) & 1);
    }
    ix.caseInsensitiveAll = flags[0];
    ix.descendingAll = flags[1];
    ix.options = flags[2];
    indexes_.push_back(std::move(ix));
  }
  if (!ok || indexes_.empty()) {
    // No usable definitions: the built-in indexes anew, the file rewritten.
    indexes_.clear();
    CreateBuiltInIndexes(false);
    RebuildAll(true);
    if (!readOnly_) SaveIndexesToDisk();
    return;
  }
  // The stored orders are taken when the file matches the table.
  const size_t n = size_t(header_.recordCount);
  bool current = lastChange == header_.changeCount && pos + indexes_.size() * n * 4 <= in.size();
  if (current) {
    for (auto& ix : indexes_) {
      ix.order.resize(n);
      get(ix.order.data(), n * 4);
      for (int32_t slot : ix.order)
        if (slot < 0 || slot >= header_.recordCount) current = false;
    }
  }
  if (!current) {
    RebuildAll(true);
    if (!readOnly_) SaveIndexesToDisk();
  } else {
    idxChangeCount_ = lastChange;
  }
}

}  // namespace kestro
