// TVellBlobStream: a stream over one blob field of the current record. It
// works on the dataset's cached copy of the field; the copy reaches the
// table when the row is posted. Destroying the stream closes the blob.
#pragma once

#include <cstdint>
#include <string>

#include "engine/dataset/dataset_base.h"

namespace kestro {

class TVellDataset;

class TVellBlobStream {
 public:
  ~TVellBlobStream();
  TVellBlobStream(const TVellBlobStream&) = delete;
  TVellBlobStream& operator=(const TVellBlobStream&) = delete;

  int64_t Read(void* buffer, int64_t count);
  int64_t Write(const void* buffer, int64_t count);
  // origin: 0 from the start, 1 from the position, 2 from the end.
  int64_t Seek(int64_t offset, int origin);
  int64_t Size() const { return int64_t(data_->size()); }
  int64_t Position() const { return position_; }
  // Cuts the content at the position.
  void Truncate();
  std::string ReadAll();
  void WriteAll(const std::string& text);
  bool Modified() const { return modified_; }

 private:
  friend class TVellDataset;
  TVellBlobStream(TVellDataset* dataset, TField* field, TBlobStreamMode mode, std::string* data);

  TVellDataset* dataset_;
  TField* field_;
  TBlobStreamMode mode_;
  std::string* data_;
  int64_t position_ = 0;
  bool modified_ = false;
};

}  // namespace kestro
