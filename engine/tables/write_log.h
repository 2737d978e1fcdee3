// TvlBufferLogArray: the write-back log of a table. Record writes (a copy
// of the record bytes for a slot of T.dat) and blob writes (bytes for an
// offset of T.bdf) are queued in order and written out together when the
// log holds 10 000 entries, more bytes than a twentieth of free memory, or
// an entry older than 1000 ms, and at every flush and close.
// Not thread-safe; the table's lock is held by its users.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace kestro {

class TAbstractFile;

class TvlBufferLogArray {
 public:
  static constexpr size_t kMaxEntries = 10000;
  static constexpr uint64_t kMaxAgeMillis = 1000;

  void QueueRecord(int32_t slot, const uint8_t* bytes, size_t size);
  void QueueBlob(int64_t offset, std::vector<uint8_t> bytes);
  // The newest queued copy of a slot, or nullptr.
  const std::vector<uint8_t>* NewestRecord(int32_t slot) const;
  // Forget queued copies of slots at or beyond `count` (deleted records).
  void DropRecordsFrom(int32_t count);

  bool Empty() const { return entries_ == 0; }
  size_t Entries() const { return entries_; }
  // True when one of the limits says the log must be written out now.
  bool MustWriteOut() const;
  // Writes everything to the files: records at headerSize + slot * R,
  // consecutive slots in one write; blobs at their offsets. Raises on a
  // short write.
  void WriteOut(TAbstractFile& records, int64_t headerSize, int32_t recordSize, TAbstractFile* blobs);

 private:
  std::map<int32_t, std::vector<uint8_t>> records_;  // newest copy per slot
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> blobs_;
  size_t entries_ = 0;
  size_t bytes_ = 0;
  uint64_t oldestTick_ = 0;
};

}  // namespace kestro
