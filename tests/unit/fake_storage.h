// An in-process stand-in for the storage library's two entry points, for
// host tests: a world of pools and virtual disks, knobs for the library's
// odd answers, and a log of every call. The entry points are plain
// functions, so the one world in use is reached through a static pointer.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shutdown/storage_api.h"

namespace talv::test {

struct FakeDisk {
  std::u16string name;
  char16_t letter = 0;
  // The pool name the disk's record carries (empty: the pool's own name).
  std::u16string recordPoolName;
  bool infoFails = false;
  // Fills the whole name field without a terminator (40 units of 'N').
  bool unterminatedPoolName = false;
};

struct FakePool {
  std::u16string name;
  std::uint32_t factor1 = 0;
  std::uint32_t factor2 = 0;
  std::vector<FakeDisk> disks;
  bool infoFails = false;
  // Any listing of this pool's disks fails with this status (0: none).
  std::uint32_t diskListStatus = 0;
  // The probe for this pool's disks answers "too small" with this size.
  std::optional<std::uint32_t> diskProbeSize;
};

// A pool with one disk per letter ("<name>-diska", ...); `freeUnits` 512-byte
// units free.
inline FakePool MakePool(std::u16string name, std::uint32_t freeUnits, std::u16string_view letters) {
  FakePool p;
  p.name = std::move(name);
  p.factor1 = freeUnits;
  p.factor2 = 1;
  for (char16_t l : letters) {
    std::u16string disk = p.name + u"-disk";
    disk += static_cast<char16_t>(u'a' + p.disks.size());
    p.disks.push_back(FakeDisk{disk, l, {}, false, false});
  }
  return p;
}

struct StorageCall {
  enum Kind { kList, kInfo } kind;
  std::u16string parent;  // the parent / resource name (empty for none)
  std::uint32_t type = 0;
  std::uint32_t sizeIn = 0;
  std::u16string subject;  // the disk name of a disk information call
  // The 66 bytes of the parent / resource and of the subject as passed
  // (empty for none, and for the name of a pool information call).
  std::vector<std::uint8_t> parentBytes;
  std::vector<std::uint8_t> subjectBytes;
};

class FakeStorage {
 public:
  FakeStorage() { current_ = this; }
  ~FakeStorage() { current_ = nullptr; }

  std::vector<FakePool> pools;
  std::vector<StorageCall> calls;

  // Knobs for the pool listing (parent null).
  std::uint32_t poolProbeStatus = 0xFFFFFFFF;  // forced status of the probe (0xFFFFFFFF: natural)
  std::uint32_t poolProbeCount = 0xFFFFFFFF;   // forced count of a status-0 probe
  std::uint32_t poolListStatus = 0;            // forced status of the second pool listing
  // A second listing reports this many entries more than it wrote.
  std::uint32_t extraCount = 0;
  // Called on every listing call, before it answers.
  std::function<void()> onList;
  // Probes (pools or disks) answer "too small" with this size instead.
  std::optional<std::uint32_t> poolProbeSize;
  // A second pool listing reports this size after writing its entries.
  std::optional<std::uint32_t> poolListSizeOut;
  // A second listing leaves its last this-many entries unwritten (counted
  // all the same) and writes nothing else outside the entries it fills.
  std::uint32_t unwrittenEntries = 0;
  // Names fill the whole 66-byte entry, with no terminator.
  bool unterminatedEntries = false;
  // Pool information calls record all 66 bytes of the name passed.
  bool poolNameBytes = false;
  // An information call writes this many bytes (at least the 352 it is given).
  std::uint32_t infoWriteBytes = zv::kRecordBytes;

  static std::uint32_t List(const void* parent, std::uint32_t type, void* buffer,
                            std::uint32_t* size, std::uint32_t* count) {
    return current_->DoList(parent, type, buffer, size, count);
  }
  static std::uint32_t Info(const void* resource, std::uint32_t type, const void* subresource,
                            std::uint32_t size, void* record) {
    return current_->DoInfo(resource, type, subresource, size, record);
  }

  std::size_t Count(StorageCall::Kind kind) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c.kind == kind;
    return n;
  }

  static std::vector<std::uint8_t> BytesAt(const void* p) {
    if (p == nullptr) return {};
    const auto* u = static_cast<const std::uint8_t*>(p);
    return std::vector<std::uint8_t>(u, u + zv::kEntryBytes);
  }

  // A name read as the library would: at most one entry's 66 bytes.
  static std::u16string NameAt(const void* p) {
    if (p == nullptr) return {};
    std::u16string s;
    const auto* u = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < zv::kEntryBytes / 2; ++i) {
      char16_t c = static_cast<char16_t>(u[2 * i] | (u[2 * i + 1] << 8));
      if (c == 0) break;
      s += c;
    }
    return s;
  }

 private:
  static void PutName(std::uint8_t* at, const std::u16string& name, std::size_t maxUnits) {
    std::size_t n = 0;
    for (; n < name.size() && n < maxUnits; ++n) {
      at[2 * n] = static_cast<std::uint8_t>(name[n] & 0xFF);
      at[2 * n + 1] = static_cast<std::uint8_t>(name[n] >> 8);
    }
  }

  FakePool* FindPool(const std::u16string& name) {
    for (auto& p : pools)
      if (p.name == name) return &p;
    return nullptr;
  }

  std::uint32_t DoList(const void* parent, std::uint32_t type, void* buffer, std::uint32_t* size,
                       std::uint32_t* count) {
    const std::u16string parentName = NameAt(parent);
    calls.push_back({StorageCall::kList, parentName, type, *size, {}, BytesAt(parent), {}});
    if (onList) onList();
    // The lookup's probe: room for one entry and a count it set to 0.
    const bool probe = *size == zv::kEntryBytes && *count == 0;
    std::vector<std::u16string> names;
    if (parent == nullptr) {
      if (type != zv::kPool) return 0x20000001;
      if (probe && poolProbeStatus != 0xFFFFFFFF) {
        if (poolProbeStatus == zv::kBufferTooSmall) {
          *size = static_cast<std::uint32_t>(pools.size() * zv::kEntryBytes);
          *count = static_cast<std::uint32_t>(pools.size());
        }
        if (poolProbeStatus == zv::kSuccess && poolProbeCount != 0xFFFFFFFF) *count = poolProbeCount;
        return poolProbeStatus;
      }
      if (probe && poolProbeSize) {
        *size = *poolProbeSize;
        return zv::kBufferTooSmall;
      }
      if (!probe && poolListStatus != 0) return poolListStatus;
      for (const auto& p : pools) names.push_back(p.name);
    } else {
      FakePool* pool = FindPool(parentName);
      if (pool == nullptr || type != zv::kVirtualDisk) return 0x20000002;
      if (pool->diskListStatus != 0) return pool->diskListStatus;
      if (probe && pool->diskProbeSize) {
        *size = *pool->diskProbeSize;
        return zv::kBufferTooSmall;
      }
      for (const auto& d : pool->disks) names.push_back(d.name);
    }
    const std::uint32_t needed = static_cast<std::uint32_t>(names.size() * zv::kEntryBytes);
    if (*size < needed) {
      *size = needed;
      *count = static_cast<std::uint32_t>(names.size());
      return zv::kBufferTooSmall;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    const bool untouched = !probe && unwrittenEntries != 0;
    if (!untouched) std::memset(out, 0xCD, *size);
    const std::size_t written = probe || unwrittenEntries > names.size() ? names.size() : names.size() - unwrittenEntries;
    for (std::size_t i = 0; i < written; ++i) {
      std::uint8_t* entry = out + i * zv::kEntryBytes;
      std::memset(entry, unterminatedEntries ? 'x' : 0, zv::kEntryBytes);
      PutName(entry, names[i], 32);
    }
    *count = static_cast<std::uint32_t>(names.size()) + (probe ? 0 : extraCount);
    // A probe answering "success" leaves the size the whole list needs.
    if (names.size() > 0) *size = needed;
    if (!probe && parent == nullptr && poolListSizeOut) *size = *poolListSizeOut;
    return zv::kSuccess;
  }

  std::uint32_t DoInfo(const void* resource, std::uint32_t type, const void* subresource,
                       std::uint32_t size, void* record) {
    calls.push_back({StorageCall::kInfo, NameAt(resource), type, size, NameAt(subresource),
                     // A pool's name may be any caller's text: read whole only when asked.
                     type == zv::kPool && !poolNameBytes ? std::vector<std::uint8_t>{} : BytesAt(resource),
                     BytesAt(subresource)});
    if (size != zv::kRecordBytes) return 0x20000003;
    auto* r = static_cast<std::uint8_t*>(record);
    std::memset(r, 0xAB, infoWriteBytes > zv::kRecordBytes ? infoWriteBytes : zv::kRecordBytes);
    FakePool* pool = FindPool(NameAt(resource));
    if (pool == nullptr) return 0x20000002;
    auto put32 = [r](std::size_t at, std::uint32_t v) {
      for (int i = 0; i < 4; ++i) r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    if (type == zv::kPool) {
      if (subresource != nullptr || pool->infoFails) return 0x20000004;
      put32(zv::kPoolFreeFactor1Offset, pool->factor1);
      put32(zv::kPoolFreeFactor2Offset, pool->factor2);
      return zv::kSuccess;
    }
    const std::u16string diskName = NameAt(subresource);
    for (const auto& d : pool->disks) {
      if (d.name != diskName) continue;
      if (d.infoFails) return 0x20000005;
      if (d.unterminatedPoolName) {
        PutName(r + zv::kDiskPoolNameOffset, std::u16string(40, u'N'), 40);
      } else {
        const std::u16string& n = d.recordPoolName.empty() ? pool->name : d.recordPoolName;
        PutName(r + zv::kDiskPoolNameOffset, n, 121);
        r[zv::kDiskPoolNameOffset + 2 * n.size()] = 0;
        r[zv::kDiskPoolNameOffset + 2 * n.size() + 1] = 0;
      }
      r[zv::kDiskDriveLetterOffset] = static_cast<std::uint8_t>(d.letter & 0xFF);
      r[zv::kDiskDriveLetterOffset + 1] = static_cast<std::uint8_t>(d.letter >> 8);
      return zv::kSuccess;
    }
    return 0x20000002;
  }

  static inline FakeStorage* current_ = nullptr;
};

}  // namespace talv::test
