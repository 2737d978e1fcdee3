#include "engine/container/single_file_system.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/common/text.h"
#include "engine/container/password.h"

namespace kestro {
namespace {

constexpr int64_t kUnixEpochInFileTime = 116'444'736'000'000'000;  // 1601 -> 1970, 100 ns
constexpr int32_t kExcludedAlways = 30;  // hidden, system, volume, directory

std::vector<std::string> SplitPath(const std::string& path, bool& absolute) {
  std::vector<std::string> parts;
  absolute = !path.empty() && (path[0] == '/' || path[0] == '\\');
  std::string cur;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  if (absolute) parts.erase(parts.begin());
  return parts;
}

std::string CutName(const std::string& name) {
  return std::string(Utf8Prefix(name, kMaxItemNameLength));
}

// DOS-style matching: '*' any run, '?' one character, letters equal or 32
// apart; "*.*" matches every name.
bool MatchPattern(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*") return true;
  size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
  auto same = [](char a, char b) { return a == b || std::abs(int(uint8_t(a)) - int(uint8_t(b))) == 32; };
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

int64_t UtcOffsetSeconds(std::time_t at) {
  std::tm local{};
  localtime_r(&at, &local);
  return local.tm_gmtoff;
}

}  // namespace

int64_t DirectoryTimeNow() {
  const TTimeStamp now = LocalNow();
  int y, m, d, h, n, s, ms;
  DecodeDate(now.date, y, m, d);
  DecodeTime(now.time, h, n, s, ms);
  s -= s % 2;  // DOS time keeps even seconds
  const int64_t days = int64_t(now.date) - 719163;  // days since 1970-01-01
  const int64_t localSecs = days * 86400 + h * 3600 + n * 60 + s;
  const int64_t utcSecs = localSecs - UtcOffsetSeconds(std::time_t(localSecs));
  return utcSecs * 10'000'000 + kUnixEpochInFileTime;
}

int32_t FileTimeToDosLocal(int64_t fileTime) {
  // Damaged items may hold any number: only 1601..9999 has a DOS time.
  constexpr int64_t kYear9999 = 2'650'467'743'990'000'000;
  if (fileTime < 0 || fileTime > kYear9999) return 0;
  const int64_t utc = (fileTime - kUnixEpochInFileTime) / 10'000'000;
  const int64_t local = utc + UtcOffsetSeconds(std::time_t(utc));
  const int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  const int64_t secs = local - days * 86400;
  int y, m, d;
  DecodeDate(int32_t(days + 719163), y, m, d);
  if (y < 1980 || y > 2107) return 0;
  const int32_t date = ((y - 1980) << 9) | (m << 5) | d;
  const int32_t time = int32_t((secs / 3600) << 11 | ((secs / 60) % 60) << 5 | (secs % 60) / 2);
  return date << 16 | time;
}

// ---- creation ---------------------------------------------------------------------

TVSingleFileSystem::TVSingleFileSystem(const std::string& fileName, int64_t partSize,
                                       int32_t extentPageCount, int32_t pageSize,
                                       const std::string& password, bool inMemory,
                                       uint16_t openMode)
    : fileName_(fileName) {
  if (inMemory && openMode == fmCreate && ::access(fileName.c_str(), F_OK) == 0)
    openMode = fmOpenReadWrite | fmShareDenyWrite;  // load the existing file instead
  if (openMode != fmCreate && !inMemory && !PasswordOpens(fileName, password))
    throw Exception("TVSingleFileSystem.Create - invalid password specified, file name = \"" +
                    fileName + "\"");
  pages_ = std::make_unique<TPageFileManager>(fileName, partSize, extentPageCount, pageSize,
                                              inMemory, password, openMode);
  if (pages_->Encrypted()) {
    if (pages_->ContainerKey().empty())
      throw Exception("TVSingleFileSystem.Create - invalid password specified, file name = \"" +
                      fileName + "\"");
    password_ = password;
  }
  space_ = std::make_unique<TFreeSpaceManager>(*pages_);
  dir_ = std::make_unique<TDIRManager>(*pages_, *space_);
  dir_->Load();
  maps_ = std::make_unique<TUserFilePageMapManager>(*pages_, *space_);
}

TVSingleFileSystem::~TVSingleFileSystem() {
  handles_.clear();
  try {
    Flush();
  } catch (...) {
  }
}

bool TVSingleFileSystem::IsFileEncrypted(const std::string& fileName) {
  TPageFileManager probe(fileName, -1, 1, kMinPageSize, false, "", fmOpenRead | fmShareDenyNone);
  return probe.Encrypted();
}

bool TVSingleFileSystem::PasswordOpens(const std::string& fileName, const std::string& password) {
  TPageFileManager probe(fileName, -1, 1, kMinPageSize, false, "", fmOpenRead | fmShareDenyNone);
  if (!probe.Encrypted()) return true;
  std::string key;
  return VerifyPassword(probe.Header().passwordCheckBlock, password, key);
}

void TVSingleFileSystem::Flush() { pages_->Flush(); }

void TVSingleFileSystem::ReportStreamFull() {
  lastError_ = vsfsStreamFull;
  if (streamFull_) streamFull_(*this);
}

// ---- paths ------------------------------------------------------------------------

bool TVSingleFileSystem::ResolveParent(const std::string& path, int32_t& parent,
                                       std::string& name) const {
  bool absolute;
  std::vector<std::string> parts = SplitPath(path, absolute);
  if (parts.size() > 1 && parts.back().empty()) parts.pop_back();  // trailing separator
  name = CutName(parts.back());
  parts.pop_back();
  parent = -1;
  for (const std::string& raw : parts) {
    if (raw.empty()) return false;
    if (raw == ".") continue;
    if (raw == "..") {
      if (parent != -1) parent = dir_->ReadItem(parent).parentId;
      continue;
    }
    const int32_t child = dir_->Items().Find(parent, CutName(raw));
    if (child < 0 || !dir_->ReadItem(child).isDirectory) return false;
    parent = child;
  }
  return true;
}

int32_t TVSingleFileSystem::FindItem(const std::string& path) const {
  int32_t parent;
  std::string name;
  if (!ResolveParent(path, parent, name) || name.empty()) return -1;
  return dir_->Items().Find(parent, name);
}

bool TVSingleFileSystem::FileExists(const std::string& name) const {
  const int32_t n = FindItem(name);
  return n >= 0 && !dir_->ReadItem(n).isDirectory;
}

bool TVSingleFileSystem::DirExists(const std::string& path) const {
  if (path == "\\" || path == "/" || path == ".") return true;
  TVSFSSearchRec rec;
  return FindFirst(path, kDirectoryAttribute, rec) == 0;
}

// ---- items ------------------------------------------------------------------------

int32_t TVSingleFileSystem::AddEntry(int32_t parent, const std::string& name, bool directory) {
  TDirectoryItem item;
  std::memset(&item, 0, sizeof item);
  std::strncpy(item.name, CutName(name).c_str(), kMaxItemNameLength);
  item.parentId = parent;
  item.firstMapPageNo = -1;
  item.created = item.modified = item.accessed = DirectoryTimeNow();
  item.attributes = directory ? kDirectoryAttribute : 0;
  item.isDirectory = directory ? 1 : 0;
  const int32_t n = dir_->AddItem(item);
  if (n < 0) ReportStreamFull();
  return n;
}

int32_t TVSingleFileSystem::FileCreate(const std::string& name) {
  if (ReadOnly()) return vsfsNotFound;
  int32_t parent;
  std::string leaf;
  if (!ResolveParent(name, parent, leaf) || leaf.empty()) return vsfsNotFound;
  if (const int32_t existing = dir_->Items().Find(parent, leaf); existing >= 0) {
    if (dir_->ReadItem(existing).isDirectory) return vsfsNotFound;
    if (dir_->OpenCount(existing) > 0 || !FileDelete(name)) return vsfsFileIsOpen;
  }
  return AddEntry(parent, leaf, false);
}

TUserFileHandle* TVSingleFileSystem::Handle(int32_t handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

const std::string* TVSingleFileSystem::KeyOf(const TUserFileHandle& h) const {
  return h.key.empty() ? nullptr : &h.key;
}

int32_t TVSingleFileSystem::FileOpen(const std::string& name, uint16_t mode) {
  if (mode == fmCreate && FileCreate(name) < 0) return vsfsNotFound;
  const int32_t n = FindItem(name);
  if (n < 0 || dir_->ReadItem(n).isDirectory) return vsfsNotFound;
  TDirectoryItem item = dir_->ReadItem(n);
  std::string key;
  if (item.hasPassword) {
    std::string password = password_;
    while (!VerifyPassword(item.passwordCheckBlock, password, key)) {
      if (!passwordRequest_ || !passwordRequest_(*this, name, password)) return vsfsNotFound;
    }
  }
  ++dir_->OpenCount(n);
  if (!ReadOnly()) {
    item.accessed = DirectoryTimeNow();
    dir_->WriteItem(n, item);
  }
  const int32_t h = nextHandle_++;
  handles_[h] = TUserFileHandle{n, 0, mode, key};
  return h;
}

void TVSingleFileSystem::FileClose(int32_t handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  int32_t& open = dir_->OpenCount(it->second.item);
  if (open > 0) --open;
  handles_.erase(it);
}

int64_t TVSingleFileSystem::FileSize(int32_t handle) const {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? int64_t{vsfsInvalidHandle} : dir_->ReadItem(it->second.item).size;
}

int64_t TVSingleFileSystem::FileSeek(int32_t handle, int64_t offset, int origin) {
  TUserFileHandle* h = Handle(handle);
  if (h == nullptr) return vsfsInvalidHandle;
  const int64_t base = origin == 0 ? 0 : origin == 1 ? h->position : dir_->ReadItem(h->item).size;
  h->position = std::max<int64_t>(0, base + offset);
  return h->position;
}

namespace {

// Pages moved in one system call at most.
constexpr int32_t kMaxRun = 256;

// Length of the run of consecutive page numbers at `from`, at most `limit`.
int32_t RunLength(const std::vector<int32_t>& pages, size_t from, int64_t limit) {
  int32_t k = 1;
  while (k < limit && k < kMaxRun && from + size_t(k) < pages.size() &&
         pages[from + size_t(k)] == pages[from] + k)
    ++k;
  return k;
}

}  // namespace

int64_t TVSingleFileSystem::FileRead(int32_t handle, void* buffer, int64_t count) {
  TUserFileHandle* h = Handle(handle);
  if (h == nullptr) return 0;
  const TDirectoryItem& item = dir_->ReadItem(h->item);
  const int64_t n = std::min(count, item.size - h->position);
  if (n <= 0) return 0;
  const TFileMaps& maps = maps_->GetMaps(item);
  if (maps.dataPages.empty()) throw Exception("TVSingleFileSystem.FileRead - no pages were found by UFM.");
  const int64_t ds = pages_->DataSize();
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  bool failed = false;
  // Runs of consecutive pages are read with one system call each.
  while (done < n) {
    const int64_t pos = h->position + done;
    const int64_t index = pos / ds, offset = pos % ds;
    if (index >= int64_t(maps.dataPages.size())) break;
    const int64_t wanted = (offset + (n - done) + ds - 1) / ds;
    const int32_t k = RunLength(maps.dataPages, size_t(index), wanted);
    const int64_t take = std::min(n - done, k * ds - offset);
    const int64_t got =
        pages_->ReadRun(maps.dataPages[size_t(index)], k, KeyOf(*h), offset, take, out + done);
    done += got;
    if (got < take) {
      failed = true;
      break;
    }
  }
  lastError_ = failed ? pages_->LastError() : 0;
  h->position += done;
  return done;
}

bool TVSingleFileSystem::Grow(TDirectoryItem& item, int64_t newSize, int64_t skipZeroFrom) {
  const int64_t ds = pages_->DataSize();
  const int64_t have = item.firstMapPageNo == -1 ? 0 : (item.size + ds - 1) / ds;
  const int64_t need = (newSize + ds - 1) / ds;
  if (need <= have) return true;
  if (need - have > INT32_MAX || !maps_->AppendPages(item, int32_t(need - have), skipZeroFrom)) {
    ReportStreamFull();
    return false;
  }
  return true;
}

int64_t TVSingleFileSystem::FileWrite(int32_t handle, const void* buffer, int64_t count) {
  TUserFileHandle* h = Handle(handle);
  if (h == nullptr || count <= 0 || ReadOnly()) return 0;
  TDirectoryItem item = dir_->ReadItem(h->item);
  const int64_t ds = pages_->DataSize();
  // Items are packed: copy their 64-bit fields before binding references.
  const int64_t oldSize = item.size;
  const int64_t newSize = std::max(oldSize, h->position + count);
  const int64_t oldPages = item.firstMapPageNo == -1 ? 0 : (oldSize + ds - 1) / ds;
  // New pages that this write covers are written once, with their data;
  // only a gap before the write is zero-filled.
  if (!Grow(item, newSize, h->position / ds)) return 0;
  TDirectoryItem sized = item;
  sized.size = newSize;
  const std::vector<int32_t>& dataPages = maps_->GetMaps(sized).dataPages;  // the cache is not touched below
  const bool encrypt = !h->key.empty() || pages_->Encrypted();
  const auto* in = static_cast<const uint8_t*>(buffer);
  std::vector<TPageRecord> recs;
  auto header = [&](TPageRecord& rec) {
    rec.header = TPageHeader{};
    rec.header.nextPageNo = -1;
    rec.header.pageType = ptUserData;
    rec.header.encryptionType = encrypt ? 1 : 0;
  };
  int64_t done = 0;
  bool failed = false;
  while (done < count && !failed) {
    const int64_t pos = h->position + done;
    const int64_t index = pos / ds, offset = pos % ds;
    if (offset == 0 && count - done >= ds) {
      const int32_t k = RunLength(dataPages, size_t(index), (count - done) / ds);
      scratch_.resize(size_t(k * ds));
      std::memcpy(scratch_.data(), in + done, size_t(k * ds));  // coded in place
      recs.assign(size_t(k), TPageRecord{});
      for (int32_t i = 0; i < k; ++i) {
        header(recs[size_t(i)]);
        recs[size_t(i)].data = scratch_.data() + i * ds;
      }
      const int32_t put = pages_->WritePages(recs.data(), dataPages[size_t(index)], k, KeyOf(*h));
      done += put * ds;
      failed = put < k;
      continue;
    }
    scratch_.assign(size_t(ds), 0);
    TPageRecord rec;
    rec.data = scratch_.data();
    const int32_t pageNo = dataPages[size_t(index)];
    // A page the file had is read first; a new one starts as zeros.
    if (index < oldPages && !pages_->ReadPage(rec, pageNo, KeyOf(*h), int32_t(ds))) {
      failed = true;
      break;
    }
    const int64_t take = std::min(ds - offset, count - done);
    std::memcpy(scratch_.data() + offset, in + done, size_t(take));
    header(rec);
    if (!pages_->WritePage(rec, pageNo, KeyOf(*h), int32_t(ds))) {
      failed = true;
      break;
    }
    done += take;
  }
  lastError_ = failed ? pages_->LastError() : 0;
  h->position += done;
  if (h->position > item.size || item.size == 0) item.size = h->position;
  item.modified = DirectoryTimeNow();
  dir_->WriteItem(h->item, item);
  return done;
}

int64_t TVSingleFileSystem::SetItemSize(int32_t itemNo, TDirectoryItem& item, int64_t newSize) {
  const int64_t ds = pages_->DataSize();
  const int64_t need = (newSize + ds - 1) / ds;
  if (item.firstMapPageNo != -1) {
    const int64_t have = int64_t(maps_->GetMaps(item).dataPages.size());
    if (need < have) maps_->DeletePagesFromEOF(item, int32_t(have - need));
  }
  if (!Grow(item, newSize, INT64_MAX)) return vsfsStreamFull;
  item.size = newSize;
  item.modified = DirectoryTimeNow();
  dir_->WriteItem(itemNo, item);
  return newSize;
}

int64_t TVSingleFileSystem::FileSetSize(int32_t handle, int64_t size) {
  TUserFileHandle* h = Handle(handle);
  if (h == nullptr) return vsfsInvalidHandle;
  if (ReadOnly() || size < 0) return vsfsNotFound;
  TDirectoryItem item = dir_->ReadItem(h->item);
  const int64_t r = SetItemSize(h->item, item, size);
  if (r >= 0) h->position = size;
  return r;
}

bool TVSingleFileSystem::FileDelete(const std::string& name) {
  if (ReadOnly()) return false;
  const int32_t n = FindItem(name);
  if (n < 0 || dir_->ReadItem(n).isDirectory || dir_->OpenCount(n) > 0) return false;
  TDirectoryItem item = dir_->ReadItem(n);
  if (item.firstMapPageNo != -1) {
    const int64_t pages = int64_t(maps_->GetMaps(item).dataPages.size());
    maps_->DeletePagesFromEOF(item, int32_t(std::max<int64_t>(pages, 1)));
  }
  item.size = 0;
  item.deleted = 1;
  item.modified = item.accessed = DirectoryTimeNow();
  dir_->WriteItem(n, item);
  return true;
}

bool TVSingleFileSystem::FileRename(const std::string& oldName, const std::string& newName) {
  if (ReadOnly()) return false;
  const int32_t n = FindItem(oldName);
  if (n < 0 || dir_->OpenCount(n) > 0) return false;
  const int32_t existing = FindItem(newName);
  if (existing >= 0 && existing != n) return false;
  int32_t parent;
  std::string leaf;
  if (!ResolveParent(newName, parent, leaf)) {
    const size_t cut = newName.find_last_of("/\\");
    ForceDirectories(newName.substr(0, cut));
    if (!ResolveParent(newName, parent, leaf)) return false;
  }
  if (leaf.empty()) return false;
  TDirectoryItem item = dir_->ReadItem(n);
  item.deleted = 1;
  dir_->WriteItem(n, item);
  std::memset(item.name, 0, sizeof item.name);
  std::strncpy(item.name, leaf.c_str(), kMaxItemNameLength);
  item.parentId = parent;
  item.deleted = 0;
  item.modified = item.accessed = DirectoryTimeNow();
  dir_->WriteItem(n, item);
  return true;
}

// ---- directories and search ---------------------------------------------------

bool TVSingleFileSystem::CreateDir(const std::string& path) {
  if (path == "\\" || path == "/" || DirExists(path) || ReadOnly()) return false;
  int32_t parent;
  std::string leaf;
  if (!ResolveParent(path, parent, leaf) || leaf.empty()) return false;
  return AddEntry(parent, leaf, true) >= 0;
}

void TVSingleFileSystem::ForceDirectories(const std::string& path) {
  bool absolute;
  std::vector<std::string> parts = SplitPath(path, absolute);
  std::string prefix = absolute ? "\\" : "";
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    prefix += part;
    if (!DirExists(prefix) && !CreateDir(prefix))
      throw Exception("TDIRManager.ForceDirectories - ForceDirectories error!");
    prefix += "\\";
  }
}

int TVSingleFileSystem::FindFirst(const std::string& pattern, int32_t attributes,
                                  TVSFSSearchRec& rec) const {
  rec = TVSFSSearchRec{};
  int32_t parent;
  std::string mask;
  if (!ResolveParent(pattern, parent, mask)) return vsfsNotFound;
  const int32_t excluded = ~attributes & kExcludedAlways;
  for (int32_t n : dir_->Items().Children(parent)) {
    const TDirectoryItem& item = dir_->ReadItem(n);
    if ((item.attributes & excluded) != 0) continue;
    if (MatchPattern(mask, TDIRArray::NameOf(item))) rec.matches.push_back(n);
  }
  return FindNext(rec);
}

int TVSingleFileSystem::FindNext(TVSFSSearchRec& rec) const {
  if (rec.index >= rec.matches.size()) return vsfsNotFound;
  const TDirectoryItem& item = dir_->ReadItem(rec.matches[rec.index++]);
  rec.name = TDIRArray::NameOf(item);
  rec.size = item.size & 0xFFFFFFFF;
  rec.attributes = item.attributes;
  rec.created = item.created;
  rec.accessed = item.accessed;
  rec.modified = item.modified;
  rec.time = FileTimeToDosLocal(item.modified);
  return 0;
}

void TVSingleFileSystem::FindClose(TVSFSSearchRec& rec) const { rec.matches.clear(); }

}  // namespace kestro
