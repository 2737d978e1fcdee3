#include "engine/dataset/blob_stream.h"

#include <algorithm>
#include <cstring>

#include "engine/dataset/vell_dataset.h"

namespace kestro {

TVellBlobStream::TVellBlobStream(TVellDataset* dataset, TField* field, TBlobStreamMode mode,
                                 std::string* data)
    : dataset_(dataset), field_(field), mode_(mode), data_(data) {
  if (mode != bmRead && dataset->ReadOnly())
    throw Exception("Error in TVellBlobStream.Create - Dataset is read only!");
  if (mode == bmWrite) {
    data_->clear();
    modified_ = true;
  }
}

TVellBlobStream::~TVellBlobStream() {
  try {
    dataset_->CloseBlob(*field_, modified_);
  } catch (...) {
    // Closing a blob must not throw from a destructor.
  }
}

int64_t TVellBlobStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  const int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, data_->data() + position_, size_t(n));
  position_ += n;
  return n;
}

int64_t TVellBlobStream::Write(const void* buffer, int64_t count) {
  if (mode_ == bmRead)
    throw Exception("Error in TVellBlobStream.Write - blob stream is read only!");
  if (count <= 0) return 0;
  if (position_ + count > Size()) data_->resize(size_t(position_ + count));
  std::memcpy(data_->data() + position_, buffer, size_t(count));
  position_ += count;
  modified_ = true;
  return count;
}

int64_t TVellBlobStream::Seek(int64_t offset, int origin) {
  const int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TVellBlobStream::Truncate() {
  if (mode_ == bmRead)
    throw Exception("Error in TVellBlobStream.Write - blob stream is read only!");
  if (position_ < Size()) data_->resize(size_t(position_));
  modified_ = true;
}

std::string TVellBlobStream::ReadAll() {
  Seek(0, 0);
  std::string out = *data_;
  position_ = Size();
  return out;
}

void TVellBlobStream::WriteAll(const std::string& text) {
  Seek(0, 0);
  Truncate();
  Write(text.data(), int64_t(text.size()));
}

}  // namespace kestro
