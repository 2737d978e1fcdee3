#include "engine/tables/blob_store.h"

#include <zlib.h>

#include <cstring>

#include "engine/common/exception.h"
#include "engine/filestores/table_files.h"
#include "engine/tables/write_log.h"

namespace kestro {
namespace {

constexpr size_t kFileHeaderSize = 24;
constexpr size_t kHeaderSize = 32;

template <typename T>
void Put(std::vector<uint8_t>& out, T v) {
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof v);
}

template <typename T>
bool Get(const std::vector<uint8_t>& in, size_t& pos, T& v) {
  if (pos + sizeof v > in.size()) return false;
  std::memcpy(&v, in.data() + pos, sizeof v);
  pos += sizeof v;
  return true;
}

}  // namespace

// ---- compression ---------------------------------------------------------------------

std::vector<uint8_t> ZlibCompress(const uint8_t* data, size_t size) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw Exception("vlCompressBuffer - zlib init error");
  std::vector<uint8_t> out(deflateBound(&z, uLong(size)));
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = uInt(size);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw Exception("vlCompressBuffer - zlib error");
  return out;
}

bool ZlibDecompress(const uint8_t* data, size_t size, size_t expected, std::vector<uint8_t>& out) {
  out.assign(expected, 0);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = uInt(size);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && z.total_out == expected;
  inflateEnd(&z);
  return ok;
}

std::vector<uint8_t> CompressBlob(const uint8_t* data, size_t size, TCompressionLevel level) {
  switch (level) {
    case clNone: return std::vector<uint8_t>(data, data + size);
    case clFastest: return ZlibCompress(data, size);
    default: throw Exception("vlCompressBuffer - PPMd compression is not available");
  }
}

bool DecompressBlob(const uint8_t* data, size_t size, TCompressionLevel level, size_t plainSize,
                    std::vector<uint8_t>& out) {
  switch (level) {
    case clNone:
      if (size != plainSize) return false;
      out.assign(data, data + size);
      return true;
    case clFastest: return ZlibDecompress(data, size, plainSize, out);
    default: return false;
  }
}

// ---- directory -----------------------------------------------------------------------

void TVellBlobStore::Reset(int32_t blockSize, int32_t fieldsPerRecord) {
  blockSize_ = blockSize > 0 ? blockSize : 512;
  fieldsPerRecord_ = fieldsPerRecord;
  records_ = 0;
  blocks_ = 0;
  headers_.clear();
  free_.clear();
}

const TBLOBHeader& TVellBlobStore::Header(int32_t slot, int32_t blobField) const {
  return headers_.at(size_t(slot) * size_t(fieldsPerRecord_) + size_t(blobField));
}

TBLOBHeader& TVellBlobStore::At(int32_t slot, int32_t blobField) {
  return headers_.at(size_t(slot) * size_t(fieldsPerRecord_) + size_t(blobField));
}

void TVellBlobStore::Save(TAbstractFile& bif) const {
  const int32_t m = RecordCount();
  std::vector<uint8_t> image;
  Put<int32_t>(image, blockSize_);
  Put<int32_t>(image, m > 0 ? int32_t(free_.size()) : 0);
  Put<int32_t>(image, fieldsPerRecord_);
  Put<int32_t>(image, m);
  Put<double>(image, kTableVersion);
  if (m > 0) {
    int32_t offset = int32_t(kFileHeaderSize + headers_.size() * kHeaderSize);
    for (const TBLOBHeader& h : headers_) {
      Put<int32_t>(image, int32_t(h.parts.size()));
      Put<int32_t>(image, offset);
      Put<int32_t>(image, h.storedSize);
      Put<int32_t>(image, h.plainSize);
      uint8_t check[16] = {};
      check[0] = uint8_t(std::min<size_t>(h.check.size(), 15));
      std::memcpy(check + 1, h.check.data(), check[0]);
      image.insert(image.end(), check, check + 16);
      offset += int32_t(h.parts.size() * 8);
    }
    for (const TBLOBHeader& h : headers_)
      for (const auto& [first, count] : h.parts) {
        Put<int32_t>(image, first);
        Put<int32_t>(image, count);
      }
    for (const auto& [first, count] : free_) {
      Put<int32_t>(image, first);
      Put<int32_t>(image, count);
    }
  }
  const std::vector<uint8_t> packed = ZlibCompress(image.data(), image.size());
  const int32_t length = int32_t(image.size());
  bif.SetSize(0);
  bif.Seek(0, 0);
  bif.WriteBuffer(&length, 4);
  bif.WriteBuffer(packed.data(), int64_t(packed.size()));
}

bool TVellBlobStore::Load(TAbstractFile& bif, int64_t bdfSize) {
  const int64_t size = bif.Size();
  if (size < 4 || size > (int64_t(1) << 31)) return false;
  std::vector<uint8_t> packed(size_t(size - 4));
  int32_t length = 0;
  bif.Seek(0, 0);
  if (bif.Read(&length, 4) != 4 || bif.Read(packed.data(), int64_t(packed.size())) != int64_t(packed.size()))
    return false;
  // An image bigger than any stream could inflate to is damage.
  if (length < int32_t(kFileHeaderSize) || int64_t(length) > int64_t(packed.size()) * 1100 + 64) return false;
  std::vector<uint8_t> image;
  if (!ZlibDecompress(packed.data(), packed.size(), size_t(length), image)) return false;
  size_t pos = 0;
  int32_t blockSize, freeRuns, k, m;
  double version;
  if (!Get(image, pos, blockSize) || !Get(image, pos, freeRuns) || !Get(image, pos, k) ||
      !Get(image, pos, m) || !Get(image, pos, version))
    return false;
  if (blockSize <= 0 || freeRuns < 0 || k < 0 || m < 0 ||
      int64_t(m) * k * int64_t(kHeaderSize) > int64_t(image.size()))
    return false;
  blockSize_ = blockSize;
  fieldsPerRecord_ = k;
  records_ = m;
  blocks_ = int32_t(bdfSize / blockSize);
  headers_.assign(size_t(m) * size_t(k), TBLOBHeader{});
  std::vector<int32_t> partCounts(headers_.size()), offsets(headers_.size());
  for (size_t i = 0; i < headers_.size(); ++i) {
    uint8_t check[16];
    if (!Get(image, pos, partCounts[i]) || !Get(image, pos, offsets[i]) ||
        !Get(image, pos, headers_[i].storedSize) || !Get(image, pos, headers_[i].plainSize))
      return false;
    if (pos + 16 > image.size()) return false;
    std::memcpy(check, image.data() + pos, 16);
    pos += 16;
    headers_[i].check.assign(reinterpret_cast<const char*>(check + 1), std::min<uint8_t>(check[0], 15));
  }
  for (size_t i = 0; i < headers_.size(); ++i) {
    if (partCounts[i] < 0 || offsets[i] < 0 || size_t(offsets[i]) + size_t(partCounts[i]) * 8 > image.size())
      return false;
    size_t at = size_t(offsets[i]);
    for (int32_t p = 0; p < partCounts[i]; ++p) {
      int32_t first = 0, count = 0;
      Get(image, at, first);
      Get(image, at, count);
      headers_[i].parts.emplace_back(first, count);
    }
  }
  // The free list follows the last part list.
  size_t freeAt = kFileHeaderSize + headers_.size() * kHeaderSize;
  for (int32_t c : partCounts) freeAt += size_t(c) * 8;
  free_.clear();
  for (int32_t f = 0; f < freeRuns; ++f) {
    int32_t first = 0, count = 0;
    if (!Get(image, freeAt, first) || !Get(image, freeAt, count)) return false;
    free_.emplace_back(first, count);
  }
  return true;
}

void TVellBlobStore::AppendRecord() {
  headers_.resize(headers_.size() + size_t(fieldsPerRecord_));
  ++records_;
}

void TVellBlobStore::DeleteRecord(int32_t slot) {
  const int32_t last = RecordCount() - 1;
  for (int32_t f = 0; f < fieldsPerRecord_; ++f) Free(slot, f);
  if (slot != last)
    for (int32_t f = 0; f < fieldsPerRecord_; ++f) At(slot, f) = std::move(At(last, f));
  headers_.resize(size_t(last) * size_t(fieldsPerRecord_));
  --records_;
}

void TVellBlobStore::Free(int32_t slot, int32_t blobField) {
  TBLOBHeader& h = At(slot, blobField);
  // Runs go to the end of the free list unchanged (neighbours not merged).
  free_.insert(free_.end(), h.parts.begin(), h.parts.end());
  h = TBLOBHeader{};
}

void TVellBlobStore::Write(int32_t slot, int32_t blobField, std::vector<uint8_t> stored,
                           int32_t plainSize, std::string check, TvlBufferLogArray& log) {
  Free(slot, blobField);
  TBLOBHeader& h = At(slot, blobField);
  if (stored.empty()) return;
  const int32_t storedSize = int32_t(stored.size());
  int32_t need = int32_t((stored.size() + size_t(blockSize_) - 1) / size_t(blockSize_));
  stored.resize(size_t(need) * size_t(blockSize_), 0);
  // Free runs, last first: whole runs while they fit, the last one split.
  while (need > 0 && !free_.empty()) {
    auto& run = free_.back();
    if (run.second <= need) {
      h.parts.push_back(run);
      need -= run.second;
      free_.pop_back();
    } else {
      h.parts.emplace_back(run.first, need);
      run.first += need;
      run.second -= need;
      need = 0;
    }
  }
  if (need > 0) {
    h.parts.emplace_back(blocks_, need);
    blocks_ += need;
  }
  size_t at = 0;
  for (const auto& [first, count] : h.parts) {
    const size_t bytes = size_t(count) * size_t(blockSize_);
    log.QueueBlob(int64_t(first) * blockSize_,
                  std::vector<uint8_t>(stored.begin() + long(at), stored.begin() + long(at + bytes)));
    at += bytes;
  }
  h.storedSize = storedSize;
  h.plainSize = plainSize;
  h.check = std::move(check);
}

std::vector<uint8_t> TVellBlobStore::ReadStored(int32_t slot, int32_t blobField, TAbstractFile& bdf) const {
  const TBLOBHeader& h = Header(slot, blobField);
  std::vector<uint8_t> out;
  for (const auto& [first, count] : h.parts) {
    if (first < 0 || count < 0 || int64_t(first) + count > blocks_) break;
    const size_t at = out.size();
    out.resize(at + size_t(count) * size_t(blockSize_));
    bdf.Seek(int64_t(first) * blockSize_, 0);
    if (bdf.Read(out.data() + at, int64_t(count) * blockSize_) != int64_t(count) * blockSize_) break;
  }
  return out;
}

}  // namespace kestro
