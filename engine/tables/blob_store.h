// The blob values of a table: T.bdf holds blocks of BLOBBlockSize bytes,
// T.bif the blob directory, saved whole as a 4-byte length L and a zlib
// stream (level 1) of an L-byte image:
//
//   BLOBFileHeader (24): int32 block size, int32 free runs F, int32 blob
//     fields per record K, int32 records M, double 4.5
//   M x K BLOBHeader (32): int32 parts P (0 = empty), int32 offset of the
//     part list in the image, int32 stored size, int32 plain size,
//     16-byte length-prefixed check text (Base64 of the CRC-32, <= 12)
//   the part lists, P x (int32 first block, int32 block count) each
//   the free list, F x (int32 first block, int32 block count)
//
// Not thread-safe; the table's lock is held by its users.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/tables/table_format.h"

namespace kestro {

class TAbstractFile;
class TvlBufferLogArray;
class TVellCipher;

struct TBLOBHeader {
  int32_t storedSize = 0;
  int32_t plainSize = 0;
  std::string check;
  std::vector<std::pair<int32_t, int32_t>> parts;  // first block, block count
};

class TVellBlobStore {
 public:
  void Reset(int32_t blockSize, int32_t fieldsPerRecord);
  // Loads T.bif; false when it cannot be read as a blob directory.
  bool Load(TAbstractFile& bif, int64_t bdfSize);
  void Save(TAbstractFile& bif) const;

  int32_t RecordCount() const { return records_; }
  int32_t BlockSize() const { return blockSize_; }
  int32_t FieldsPerRecord() const { return fieldsPerRecord_; }
  const TBLOBHeader& Header(int32_t slot, int32_t blobField) const;
  const std::vector<std::pair<int32_t, int32_t>>& FreeRuns() const { return free_; }
  int32_t BlockCount() const { return blocks_; }

  void AppendRecord();
  // Frees the values of `slot`, then moves the last record's entries there.
  void DeleteRecord(int32_t slot);

  // Stores `value` (already compressed and encrypted) for the field, with
  // the plain size and check text; the data goes to the log, one write per
  // part.
  void Write(int32_t slot, int32_t blobField, std::vector<uint8_t> stored, int32_t plainSize,
             std::string check, TvlBufferLogArray& log);
  void Free(int32_t slot, int32_t blobField);
  // The stored bytes of a value, read from T.bdf.
  std::vector<uint8_t> ReadStored(int32_t slot, int32_t blobField, TAbstractFile& bdf) const;

 private:
  TBLOBHeader& At(int32_t slot, int32_t blobField);

  int32_t blockSize_ = 512;
  int32_t fieldsPerRecord_ = 0;
  int32_t records_ = 0;
  int32_t blocks_ = 0;
  std::vector<TBLOBHeader> headers_;
  std::vector<std::pair<int32_t, int32_t>> free_;
};

// Blob compression front end. Levels 2 and 3 (PPMd) are not available yet
// and raise; level 1 is zlib at level 1 (15-bit window, memory level 8).
std::vector<uint8_t> CompressBlob(const uint8_t* data, size_t size, TCompressionLevel level);
// False when the bytes do not decompress to exactly `plainSize` bytes.
bool DecompressBlob(const uint8_t* data, size_t size, TCompressionLevel level, size_t plainSize,
                    std::vector<uint8_t>& out);
std::vector<uint8_t> ZlibCompress(const uint8_t* data, size_t size);
bool ZlibDecompress(const uint8_t* data, size_t size, size_t expected, std::vector<uint8_t>& out);

}  // namespace kestro
