// Byte formats of the single-file container. All integers little-endian;
// page and item numbers are int32 with -1 for none. Bit n of a bitmap is
// bit (n mod 8) of byte n div 8.
//
// PartHeader (280 bytes, at the start of every part file; in the first part
// possibly after E bytes of other data):
//   0   8  magic "VLMVHFSS"
//   8   8  part size, int64: maximum physical size of every part file
//  16 261  next part name (no directory), zero-terminated; zero in the last
// 277   3  zero
//
// ContainerHeader (256 bytes at logical offset 0 of the stream):
//   0   8  signature "VLSFSSGN"
//   8   4  checksum: XOR of the 61 words at offsets 12..255
//  12   4  version, IEEE single 2.11 (3D 0A 07 40)
//  16   4  PageSize            20  4  ExtentPageCount
//  24   4  FirstExtentPageNo (1)
//  28   4  GAMPageCount        32  4  PFSPageCount
//  36   4  DIRPageCount        40  4  FirstDIRPageNo
//  44   4  DIRItemCount        48  4  PageCount (page 0 included)
//  52 172  PasswordCheckBlock  224 1  Encrypted   225 31 zero
//
// PageHeader (32 bytes at the start of every page from 1 on):
//   0   4  NextPageNo (directory and page-map chains)
//   4   4  CheckValue of the stored (encrypted) data
//   8   1  PageType: 1 directory, 2 GAM, 3 SGAM, 4 PFS, 5 page map, 6 data
//   9   1  EncryptionType: 0 plain, 1 Rijndael
//  10   1  CheckType: 0 XOR of 32-bit words, 1 CRC-16/ARC
//  11  21  zero
//
// DirectoryItem (512 bytes):
//   0   4  FirstMapPageNo (-1: no pages)   4   8  size, int64
//  12   8  created FILETIME   20  8  modified   28  8  accessed
//  36   4  attributes (16 directory)   40  4  ParentID (-1 root)
//  44   4  zero   48 172  PasswordCheckBlock (zero)
// 220   1  is directory   221 1  deleted   222 1  has password   223 1 zero
// 224 260  name, zero-terminated, at most 259 characters   484 28 zero
//
// PasswordCheckBlock (172 bytes):
//   0  32  master key encrypted under the password
//  32  32  zero
//  64   4  CRC-16/ARC of the plain master key (high 16 bits zero)
//  68 104  zero
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

inline constexpr char kPartMagic[9] = "VLMVHFSS";
inline constexpr char kContainerSignature[9] = "VLSFSSGN";
inline constexpr size_t kPartHeaderSize = 280;
inline constexpr size_t kPartNameSize = 261;
inline constexpr size_t kContainerHeaderSize = 256;
inline constexpr size_t kPageHeaderSize = 32;
inline constexpr size_t kDirectoryItemSize = 512;
inline constexpr size_t kPasswordBlockSize = 172;
inline constexpr size_t kMaxItemNameLength = 259;
inline constexpr int32_t kMinPageSize = 600;
inline constexpr int64_t kMinPartSize = 380;  // leaves 100 data bytes per part

enum TPageType : uint8_t {
  ptDirectory = 1,
  ptGAM = 2,
  ptSGAM = 3,
  ptPFS = 4,
  ptPageMap = 5,
  ptUserData = 6,
};

#pragma pack(push, 1)

struct TPartHeader {
  char magic[8];
  int64_t partSize;
  char nextPartName[kPartNameSize];
  uint8_t reserved[3];
};

struct TContainerHeader {
  char signature[8];
  uint32_t checksum;
  float version;
  int32_t pageSize;
  int32_t extentPageCount;
  int32_t firstExtentPageNo;
  int32_t gamPageCount;
  int32_t pfsPageCount;
  int32_t dirPageCount;
  int32_t firstDirPageNo;
  int32_t dirItemCount;
  int32_t pageCount;
  uint8_t passwordCheckBlock[kPasswordBlockSize];
  uint8_t encrypted;
  uint8_t reserved[31];
};

struct TPageHeader {
  int32_t nextPageNo;
  uint32_t checkValue;
  uint8_t pageType;
  uint8_t encryptionType;
  uint8_t checkType;
  uint8_t reserved[21];
};

struct TDirectoryItem {
  int32_t firstMapPageNo;
  int64_t size;
  int64_t created;
  int64_t modified;
  int64_t accessed;
  int32_t attributes;
  int32_t parentId;
  int32_t reserved1;
  uint8_t passwordCheckBlock[kPasswordBlockSize];
  uint8_t isDirectory;
  uint8_t deleted;
  uint8_t hasPassword;
  uint8_t reserved2;
  char name[260];
  uint8_t reserved3[28];
};

#pragma pack(pop)

static_assert(sizeof(TPartHeader) == kPartHeaderSize);
static_assert(sizeof(TContainerHeader) == kContainerHeaderSize);
static_assert(offsetof(TContainerHeader, passwordCheckBlock) == 52);
static_assert(offsetof(TContainerHeader, encrypted) == 224);
static_assert(sizeof(TPageHeader) == kPageHeaderSize);
static_assert(sizeof(TDirectoryItem) == kDirectoryItemSize);
static_assert(offsetof(TDirectoryItem, attributes) == 36);
static_assert(offsetof(TDirectoryItem, passwordCheckBlock) == 48);
static_assert(offsetof(TDirectoryItem, isDirectory) == 220);
static_assert(offsetof(TDirectoryItem, name) == 224);

inline constexpr int32_t kDirectoryAttribute = 16;

// Page geometry of the database file modes.
enum TDatabaseFileMode : uint8_t { dfmCompact = 0, dfmNormal = 1, dfmLarge = 2 };

struct TFileModeGeometry {
  int32_t pageSize;
  int32_t extentPageCount;
};

inline constexpr TFileModeGeometry GeometryOf(TDatabaseFileMode mode) {
  switch (mode) {
    case dfmCompact: return {600, 2};
    case dfmLarge: return {8192, 16};
    default: return {4096, 8};
  }
}

// The platform's file-open modes, as the container and stores pass them.
enum TFileOpenMode : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFFFF,
};

inline bool IsWriteMode(uint16_t mode) { return mode == fmCreate || (mode & 3) != fmOpenRead; }

}  // namespace kestro
