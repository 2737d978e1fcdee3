#include "engine/tables/write_log.h"

#include <string>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/common/memory_probe.h"
#include "engine/filestores/table_files.h"

namespace kestro {

void TvlBufferLogArray::QueueRecord(int32_t slot, const uint8_t* bytes, size_t size) {
  if (entries_ == 0) oldestTick_ = TickCount();
  auto& copy = records_[slot];
  if (copy.empty()) bytes_ += size;
  copy.assign(bytes, bytes + size);
  ++entries_;
}

void TvlBufferLogArray::QueueBlob(int64_t offset, std::vector<uint8_t> bytes) {
  if (entries_ == 0) oldestTick_ = TickCount();
  bytes_ += bytes.size();
  blobs_.emplace_back(offset, std::move(bytes));
  ++entries_;
}

const std::vector<uint8_t>* TvlBufferLogArray::NewestRecord(int32_t slot) const {
  const auto it = records_.find(slot);
  return it == records_.end() ? nullptr : &it->second;
}

void TvlBufferLogArray::DropRecordsFrom(int32_t count) {
  for (auto it = records_.lower_bound(count); it != records_.end();) {
    bytes_ -= it->second.size();
    it = records_.erase(it);
  }
}

bool TvlBufferLogArray::MustWriteOut() const {
  if (entries_ == 0) return false;
  return entries_ >= kMaxEntries || bytes_ > FreePhysicalMemory() / 20 ||
         TickCount() - oldestTick_ > kMaxAgeMillis;
}

void TvlBufferLogArray::WriteOut(TAbstractFile& records, int64_t headerSize, int32_t recordSize,
                                 TAbstractFile* blobs) {
  // Consecutive slots go out as one write.
  std::vector<uint8_t> run;
  for (auto it = records_.begin(); it != records_.end();) {
    const int32_t first = it->first;
    run.clear();
    int32_t next = first;
    for (; it != records_.end() && it->first == next; ++it, ++next)
      run.insert(run.end(), it->second.begin(), it->second.end());
    records.Seek(headerSize + int64_t(first) * recordSize, 0);
    records.WriteBuffer(run.data(), int64_t(run.size()));
  }
  // Blob parts in queue order; parts that follow one another on disk go
  // out as one write.
  for (size_t i = 0; i < blobs_.size() && blobs != nullptr;) {
    const int64_t offset = blobs_[i].first;
    run.assign(blobs_[i].second.begin(), blobs_[i].second.end());
    size_t j = i + 1;
    while (j < blobs_.size() && blobs_[j].first == offset + int64_t(run.size())) {
      run.insert(run.end(), blobs_[j].second.begin(), blobs_[j].second.end());
      ++j;
    }
    blobs->Seek(offset, 0);
    const int64_t put = blobs->Write(run.data(), int64_t(run.size()));
    if (put != int64_t(run.size()))
      throw Exception("TvlBufferLogArray.FlushBuffers - error writing data to blob file, xx = " +
                      std::to_string(put) + ", bc = " + std::to_string(run.size()));
    i = j;
  }
  records_.clear();
  blobs_.clear();
  entries_ = 0;
  bytes_ = 0;
}

}  // namespace kestro
