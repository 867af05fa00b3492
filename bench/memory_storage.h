// An in-process stand-in for the storage library, for the benchmarks: a
// world of pools and virtual disks built once, answered by copying bytes
// made in advance. It allocates nothing while it answers, counts its calls
// by kind and can record them, so that the same calls can be replayed
// against it alone and its own share of a cycle's time taken out.
//
// Names carry their indices: pool p is "P" and four digits, disk d of pool
// p is that name, "-D" and two digits; a call's pool and disk are read back
// from those digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "shutdown/storage_api.h"

namespace talv::bench {

class MemoryStorage {
 public:
  struct Counts {
    std::uint64_t poolLists = 0, diskLists = 0, diskInfos = 0, poolInfos = 0;
    std::uint64_t total() const { return poolLists + diskLists + diskInfos + poolInfos; }
  };
  // One call as it was made: which entry point, on what, with what size.
  struct Call {
    bool list;
    std::uint32_t type;
    std::int32_t pool;  // -1: none (the pool listing)
    std::int32_t disk;  // -1: none
    std::uint32_t size;
  };

  MemoryStorage(std::uint32_t pools, std::uint32_t disks)
      : pools_(pools), disks_(disks), poolList_(pools * zv::kEntryBytes),
        diskLists_(std::size_t{pools} * disks * zv::kEntryBytes),
        diskRecords_(std::size_t{pools} * disks * zv::kRecordBytes),
        poolRecords_(std::size_t{pools} * zv::kRecordBytes) {
    for (std::uint32_t p = 0; p < pools; ++p) {
      char name[32];
      std::snprintf(name, sizeof name, "P%04u", p);
      Put(&poolList_[p * zv::kEntryBytes], name);
      // Plenty free: 2^20 x 2^10 units of 512 bytes, 512 GiB.
      std::uint8_t* pr = &poolRecords_[std::size_t{p} * zv::kRecordBytes];
      Put32(pr + zv::kPoolFreeFactor1Offset, 1u << 20);
      Put32(pr + zv::kPoolFreeFactor2Offset, 1u << 10);
      for (std::uint32_t d = 0; d < disks; ++d) {
        std::snprintf(name, sizeof name, "P%04u-D%02u", p, d);
        Put(&diskLists_[(std::size_t{p} * disks + d) * zv::kEntryBytes], name);
        std::snprintf(name, sizeof name, "P%04u", p);
        Put(DiskRecord(p, d) + zv::kDiskPoolNameOffset, name);
      }
    }
    current_ = this;
  }
  ~MemoryStorage() { current_ = nullptr; }
  MemoryStorage(const MemoryStorage&) = delete;
  MemoryStorage& operator=(const MemoryStorage&) = delete;

  // Disk `slot` (pool slot / disks, disk slot % disks) is mounted at `letter`.
  void Mount(std::uint32_t slot, char16_t letter) {
    std::uint8_t* r = DiskRecord(slot / disks_, slot % disks_) + zv::kDiskDriveLetterOffset;
    r[0] = static_cast<std::uint8_t>(letter & 0xFF);
    r[1] = static_cast<std::uint8_t>(letter >> 8);
  }

  Counts counts;
  // While set, every call is appended here.
  std::vector<Call>* recorder = nullptr;

  // The two entry points, as the library exports them.
  static std::uint32_t List(const void* parent, std::uint32_t type, void* buffer,
                            std::uint32_t* size, std::uint32_t* count) {
    return current_->DoList(parent, type, buffer, size, count);
  }
  static std::uint32_t Info(const void* resource, std::uint32_t type, const void* subresource,
                            std::uint32_t size, void* record) {
    return current_->DoInfo(resource, type, subresource, size, record);
  }

  // What a replay passes for a recorded call's pool and disk: a list entry
  // of that name.
  const void* PoolEntry(std::int32_t pool) const {
    return pool < 0 ? nullptr : &poolList_[pool * zv::kEntryBytes];
  }
  const void* DiskEntry(std::int32_t pool, std::int32_t disk) const {
    return disk < 0 ? nullptr : &diskLists_[(std::size_t(pool) * disks_ + disk) * zv::kEntryBytes];
  }
  // Makes the recorded calls again, against the stand-in alone, with the
  // names and sizes the program passed; `buffer` has room for any listing.
  void Replay(const std::vector<Call>& calls, std::uint8_t* buffer) {
    std::uint8_t record[zv::kRecordBytes];
    for (const Call& c : calls) {
      if (c.list) {
        std::uint32_t size = c.size, count = 0;
        List(PoolEntry(c.pool), c.type, buffer, &size, &count);
      } else {
        Info(PoolEntry(c.pool), c.type, DiskEntry(c.pool, c.disk), c.size, record);
      }
    }
  }
  std::uint32_t pools() const { return pools_; }
  std::uint32_t disks() const { return disks_; }

 private:
  static void Put(std::uint8_t* at, const char* text) {
    for (; *text != 0; ++text, at += 2) at[0] = static_cast<std::uint8_t>(*text);
  }
  static void Put32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  // The number in `digits` UTF-16 units from unit `first` of a name.
  static std::uint32_t Index(const void* name, int first, int digits) {
    const auto* u = static_cast<const std::uint8_t*>(name);
    std::uint32_t v = 0;
    for (int i = first; i < first + digits; ++i) v = v * 10 + (u[2 * i] - '0');
    return v;
  }
  std::uint8_t* DiskRecord(std::uint32_t p, std::uint32_t d) {
    return &diskRecords_[(std::size_t{p} * disks_ + d) * zv::kRecordBytes];
  }

  std::uint32_t DoList(const void* parent, std::uint32_t type, void* buffer, std::uint32_t* size,
                       std::uint32_t* count) {
    const std::uint8_t* src;
    std::uint32_t n;
    std::int32_t pool = -1;
    if (parent == nullptr) {
      if (type != zv::kPool) return 0x20000001;
      ++counts.poolLists;
      src = poolList_.data();
      n = pools_;
    } else {
      if (type != zv::kVirtualDisk) return 0x20000001;
      pool = static_cast<std::int32_t>(Index(parent, 1, 4));
      if (static_cast<std::uint32_t>(pool) >= pools_) return 0x20000002;
      ++counts.diskLists;
      src = &diskLists_[std::size_t(pool) * disks_ * zv::kEntryBytes];
      n = disks_;
    }
    if (recorder != nullptr) recorder->push_back({true, type, pool, -1, *size});
    const std::uint32_t needed = n * zv::kEntryBytes;
    *count = n;
    if (*size < needed) {
      *size = needed;
      return zv::kBufferTooSmall;
    }
    std::memcpy(buffer, src, needed);
    *size = needed;
    return zv::kSuccess;
  }

  std::uint32_t DoInfo(const void* resource, std::uint32_t type, const void* subresource,
                       std::uint32_t size, void* record) {
    if (size < zv::kRecordBytes || resource == nullptr) return 0x20000003;
    const std::uint32_t p = Index(resource, 1, 4);
    if (p >= pools_) return 0x20000002;
    if (type == zv::kPool) {
      ++counts.poolInfos;
      if (recorder != nullptr) recorder->push_back({false, type, std::int32_t(p), -1, size});
      std::memcpy(record, &poolRecords_[std::size_t{p} * zv::kRecordBytes], zv::kRecordBytes);
      return zv::kSuccess;
    }
    if (type != zv::kVirtualDisk || subresource == nullptr) return 0x20000001;
    const std::uint32_t d = Index(subresource, 7, 2);
    if (d >= disks_) return 0x20000002;
    ++counts.diskInfos;
    if (recorder != nullptr)
      recorder->push_back({false, type, std::int32_t(p), std::int32_t(d), size});
    std::memcpy(record, DiskRecord(p, d), zv::kRecordBytes);
    return zv::kSuccess;
  }

  std::uint32_t pools_, disks_;
  std::vector<std::uint8_t> poolList_, diskLists_, diskRecords_, poolRecords_;
  static inline MemoryStorage* current_ = nullptr;
};

}  // namespace talv::bench
