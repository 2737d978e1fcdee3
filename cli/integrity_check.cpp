#include "cli/integrity_check.h"

#include <map>
#include <memory>
#include <vector>

#include "engine/common/exception.h"
#include "engine/container/single_file_system.h"
#include "engine/filestores/file_stores.h"
#include "engine/filestores/pfs_manager.h"
#include "engine/tables/data_manager.h"

namespace kestro {
namespace {

class Checker {
 public:
  Checker(std::FILE* out) : out_(out) {}
  void Problem(const std::string& text) {
    std::fprintf(out_, "error: %s\n", text.c_str());
    ++problems_;
  }
  void Warning(const std::string& text) { std::fprintf(out_, "warning: %s\n", text.c_str()); }
  int Problems() const { return problems_; }

  void Container(TVSingleFileSystem& fs);
  void Table(TVellDataManager& t);

 private:
  void Own(int32_t page, const std::string& owner, int32_t pageCount) {
    if (page < 1 || page >= pageCount) {
      Problem(owner + " lists page " + std::to_string(page) + ", outside the file's " +
              std::to_string(pageCount) + " pages");
      return;
    }
    auto [it, fresh] = owners_.emplace(page, owner);
    if (!fresh)
      Problem("page " + std::to_string(page) + " is owned twice: by " + it->second + " and by " +
              owner);
  }
  std::FILE* out_;
  int problems_ = 0;
  std::map<int32_t, std::string> owners_;
};

void Checker::Container(TVSingleFileSystem& fs) {
  TPageFileManager& pages = fs.PageFile();
  TFreeSpaceManager& space = fs.FreeSpace();
  const int32_t count = pages.PageCount();
  for (int32_t p : space.PFSPages()) Own(p, "the PFS map", count);
  for (int32_t p : space.GAMPages()) {
    Own(p, "the GAM map", count);
    Own(p + 1, "the SGAM map", count);
  }
  for (int32_t p : fs.Directory().Pages()) Own(p, "the directory", count);
  const TDIRArray& items = fs.Directory().Items();
  for (int32_t n = 0; n < items.Count(); ++n) {
    const TDirectoryItem& item = items.Item(n);
    if (item.deleted || item.isDirectory) continue;
    const std::string name = "file \"" + TDIRArray::NameOf(item) + "\"";
    if (item.parentId >= n || (item.parentId >= 0 && (items.Item(item.parentId).deleted ||
                                                      !items.Item(item.parentId).isDirectory)))
      Problem(name + " has no valid parent directory (" + std::to_string(item.parentId) + ")");
    try {
      const TFileMaps& maps = fs.PageMaps().GetMaps(item);
      const int64_t ds = pages.DataSize();
      const int64_t needed = item.size <= 0 ? 0 : (item.size - 1) / ds + 1;
      if (int64_t(maps.dataPages.size()) < needed)
        Problem(name + " holds " + std::to_string(item.size) +
                " bytes but its page map lists only " + std::to_string(maps.dataPages.size()) +
                " data pages");
      for (int32_t p : maps.mapPages) Own(p, name + " (page map)", count);
      for (int32_t p : maps.dataPages) Own(p, name, count);
    } catch (const std::exception& e) {
      Problem(name + ": page map cannot be read: " + e.what());
    }
  }
  std::vector<uint8_t> buffer(size_t(pages.DataSize()));
  int64_t lost = 0;
  for (int32_t p = 1; p < count; ++p) {
    const bool free = space.PageIsFree(p);
    const auto owner = owners_.find(p);
    if (owner == owners_.end()) {
      if (!free) ++lost;
      continue;
    }
    if (free) Problem("page " + std::to_string(p) + " of " + owner->second + " is marked free");
    // Files with their own password are read with its key by their owner;
    // every other page must pass its check value.
    TPageRecord record;
    record.data = buffer.data();
    if (!pages.ReadPage(record, p, nullptr, -1))
      Problem("page " + std::to_string(p) + " of " + owner->second + " fails its check (error " +
              std::to_string(pages.LastError()) + ")");
  }
  if (lost > 0)
    Warning(std::to_string(lost) +
            " page(s) allocated but owned by nothing (space lost, no data lost)");
}

void Checker::Table(TVellDataManager& t) {
  const std::string name = "table \"" + t.TableName() + "\"";
  const TTableHeader& h = t.Header();
  std::vector<uint8_t> rec(size_t(t.Layout().recordSize));
  for (int32_t slot = 0; slot < t.RecordCount(); ++slot) {
    try {
      t.GetRecord(slot, rec.data());
    } catch (const std::exception& e) {
      Problem(name + ": record " + std::to_string(slot) + " cannot be read: " + e.what());
      return;
    }
  }
  if (h.recordCount < 0) Problem(name + ": negative record count");
  // Blobs: every value reads back and matches its check text.
  for (size_t f = 0; f < t.Fields().size(); ++f) {
    if (!IsBlobType(t.Fields()[f].type)) continue;
    for (int32_t slot = 0; slot < t.RecordCount(); ++slot) {
      try {
        t.ReadBLOBValue(int32_t(f), slot);
      } catch (const std::exception& e) {
        Problem(name + ": blob " + t.Fields()[f].name + " of record " + std::to_string(slot) +
                ": " + e.what());
      }
    }
  }
  // Indexes: each is a permutation of the records in key order.
  for (size_t i = 0; i < t.Indexes().size(); ++i) {
    const TIndexHeader& ix = t.Indexes()[i];
    if (!ix.valid) {
      Warning(name + ": index \"" + ix.name +
              "\" was not saved with the last change and is rebuilt on opening");
      continue;
    }
    if (ix.order.size() != size_t(t.RecordCount())) {
      Problem(name + ": index \"" + ix.name + "\" lists " + std::to_string(ix.order.size()) +
              " of " + std::to_string(t.RecordCount()) + " records");
      continue;
    }
    std::vector<bool> seen(ix.order.size(), false);
    std::vector<uint8_t> prev(rec.size()), cur(rec.size());
    for (size_t k = 0; k < ix.order.size(); ++k) {
      const int32_t slot = ix.order[k];
      if (slot < 0 || size_t(slot) >= seen.size() || seen[size_t(slot)]) {
        Problem(name + ": index \"" + ix.name + "\" lists record " + std::to_string(slot) +
                " wrongly");
        break;
      }
      seen[size_t(slot)] = true;
      t.GetRecord(slot, cur.data());
      if (k > 0 && t.CompareKeys(ix, prev.data(), cur.data()) > 0) {
        Problem(name + ": index \"" + ix.name + "\" is out of key order at position " +
                std::to_string(k));
        break;
      }
      prev.swap(cur);
    }
  }
}

}  // namespace

int CheckDatabaseFile(const std::string& fileName, const std::string& password, std::FILE* out) {
  Checker check(out);
  std::unique_ptr<TVSingleFileSystem> fs;
  try {
    fs = std::make_unique<TVSingleFileSystem>(fileName, -1, 8, 4096, password, false,
                                              uint16_t(fmOpenRead | fmShareDenyNone));
    check.Container(*fs);
  } catch (const std::exception& e) {
    check.Problem(std::string("the container cannot be read: ") + e.what());
    return check.Problems();
  }
  std::vector<std::string> tables;
  {
    TVSFSSearchRec rec;
    for (int r = fs->FindFirst("\\*.dat", 0, rec); r == 0; r = fs->FindNext(rec))
      tables.push_back(rec.name);
    fs->FindClose(rec);
  }
  auto store = std::make_unique<TVSFSPlainFileSystem>(fileName, std::move(fs));
  for (std::string table : tables) {
    table = table.substr(0, table.size() - 4);
    TVellDataManager t(table, *store);
    try {
      const TOpenTableResult r = t.OpenTable(password, true);
      if (r == otWrongPassword) {
        std::fprintf(out, "note: table \"%s\" is encrypted: not checked without its password\n",
                     table.c_str());
        continue;
      }
      if (r != otOk) {
        check.Problem("table \"" + table + "\" cannot be opened (" + std::to_string(int(r)) + ")");
        continue;
      }
      check.Table(t);
      t.CloseTable();
    } catch (const std::exception& e) {
      check.Problem("table \"" + table + "\": " + e.what());
    }
  }
  if (check.Problems() == 0) std::fprintf(out, "ok\n");
  return check.Problems();
}

}  // namespace kestro
