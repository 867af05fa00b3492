// The TALV storage software's management library zvapi.dll, as this system
// calls it: its two entry points, the resource types and status codes, the
// 66-byte list entry and the 352-byte information record.
#pragma once

#include <cstdint>

#include "platform/library.h"

namespace talv {

namespace zv {
inline constexpr const char16_t* kLibraryName = u"zvapi.dll";
inline constexpr const char* kListResourceName = "ZVListResource";
inline constexpr const char* kGetResourceInfoName = "ZVGetResourceInfo";
inline constexpr const char16_t* kDriverService = u"zvdriver";

// Resource types.
inline constexpr std::uint32_t kVirtualDisk = 1;
inline constexpr std::uint32_t kPool = 2;

// Status codes of both entry points.
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kBufferTooSmall = 0x2000000F;

// A list entry: a name of at most 32 characters and its terminator; entries
// follow one another with this stride and no header.
inline constexpr std::uint32_t kEntryBytes = 66;
inline constexpr std::uint32_t kNameChars = 32;
// The largest list accepted: room for 65,536 entries. A size beyond it is a
// failed listing, whatever the library says it needs.
inline constexpr std::uint32_t kListCapBytes = 65536u * kEntryBytes;

// The information record and the fields read from it.
inline constexpr std::uint32_t kRecordBytes = 352;
// The room behind a record passed as 352 bytes: a library that writes more
// than it was told lands in zero-filled slack of our own.
inline constexpr std::uint32_t kRecordRoom = 4096;
inline constexpr std::uint32_t kDiskPoolNameOffset = 4;     // text, virtual disk
inline constexpr std::uint32_t kDiskDriveLetterOffset = 248;  // one UTF-16 unit, virtual disk
inline constexpr std::uint32_t kPoolFreeFactor1Offset = 248;  // unsigned 32-bit, pool
inline constexpr std::uint32_t kPoolFreeFactor2Offset = 300;  // unsigned 32-bit, pool
// The product of the two factors counts 512-byte units; 2048 make one MB.
inline constexpr unsigned kUnitsToMBShift = 11;
}  // namespace zv

// ZVListResource(parent, type, buffer, in/out size in bytes, out count).
using ZVListResourceFn = std::uint32_t (*)(const void* parent, std::uint32_t type, void* buffer,
                                           std::uint32_t* size, std::uint32_t* count);
// ZVGetResourceInfo(resource, type, subresource, record size, record).
using ZVGetResourceInfoFn = std::uint32_t (*)(const void* resource, std::uint32_t type,
                                              const void* subresource, std::uint32_t size,
                                              void* record);

// The library, bound at run time by name once a lookup needs it, and kept
// from the first complete binding until its owner goes.
struct StorageApiBinding {
  UniqueLibrary library;
  ZVListResourceFn listResource = nullptr;
  ZVGetResourceInfoFn getResourceInfo = nullptr;

  bool bound() const { return listResource != nullptr && getResourceInfo != nullptr; }
};

}  // namespace talv
