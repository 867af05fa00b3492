// The pool behind a drive letter, and its free space, as the storage
// library reports them.
#include <algorithm>
#include <memory>
#include <new>

#include "monitor/store_disk_monitor.h"
#include "platform/text.h"
#include "shutdown/stack_balanced_call.h"
#include "shutdown/storage_api.h"

namespace talv {

namespace {

std::uint32_t ReadU32(const std::uint8_t* record, std::uint32_t offset) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(record[offset + i]) << (8 * i);
  return v;
}

char16_t ReadUnit(const std::uint8_t* record, std::uint32_t offset) {
  return static_cast<char16_t>(record[offset] | (record[offset + 1] << 8));
}

// A list the library wrote into a buffer of our own, entry by entry.
struct ResourceList {
  std::unique_ptr<std::uint8_t[]> buffer;
  std::uint32_t count = 0;
  const void* Entry(std::uint32_t i) const { return buffer.get() + std::size_t{zv::kEntryBytes} * i; }
};

}  // namespace

bool CStoreDiskMonitor::IsDriverServicePresent(const char16_t* serviceName) {
  ServiceManager& scm = platform_.scm;
  UniqueScHandle manager;
  if (OpenManager(manager, scm, svc::kManagerAllAccess) != err::kSuccess) return false;
  UniqueScHandle service;
  return OpenService(service, scm, manager.get(), serviceName,
                             svc::kClientAccess) == err::kSuccess;
}

bool CStoreDiskMonitor::BindStorageApi() {
  if (storage_.bound()) return true;
  UniqueLibrary& library = storage_.library;
  if (Load(library, platform_.libraries, zv::kLibraryName) != err::kSuccess) return false;
  auto list = reinterpret_cast<ZVListResourceFn>(
      platform_.libraries.GetProc(library.get(), zv::kListResourceName));
  auto info = reinterpret_cast<ZVGetResourceInfoFn>(
      platform_.libraries.GetProc(library.get(), zv::kGetResourceInfoName));
  if (list == nullptr || info == nullptr) {
    // A library without both names is released again; the next lookup retries.
    library.reset();
    return false;
  }
  storage_.listResource = list;
  storage_.getResourceInfo = info;
  return true;
}

std::uint32_t CStoreDiskMonitor::CallListResource(const void* parent, std::uint32_t type,
                                                  void* buffer, std::uint32_t* size,
                                                  std::uint32_t* count) {
  // The library's calling convention is unknown on x86 (see stack_balanced_call.h).
  return CallStackBalanced(storage_.listResource, parent, type, buffer, size, count);
}

std::uint32_t CStoreDiskMonitor::CallGetResourceInfo(const void* resource, std::uint32_t type,
                                                     const void* subresource, std::uint32_t size,
                                                     void* record) {
  return CallStackBalanced(storage_.getResourceInfo, resource, type, subresource, size, record);
}

namespace {

// The status of the first library call of a lookup that failed.
struct FirstFailure {
  bool seen = false;
  std::uint32_t status = 0;
  void Note(std::uint32_t s) {
    if (!seen) status = s;
    seen = true;
  }
};

// Lists the resources of `type` below `parent` in two calls: a probe into
// room for one entry that learns the size, then the real listing into a
// buffer of that size. The probe's entry is never used. A call that fails
// is noted in `failure`.
template <typename ListFn>
bool ListResources(ListFn&& list, const void* parent, std::uint32_t type, ResourceList* out,
                   FirstFailure* failure) {
  std::uint8_t probe[zv::kEntryBytes] = {};
  std::uint32_t size = zv::kEntryBytes;
  std::uint32_t count = 0;
  std::uint32_t status = list(parent, type, probe, &size, &count);
  if (status == zv::kSuccess) {
    if (count != 1) return false;  // none, or a count the probe cannot have held
  } else if (status != zv::kBufferTooSmall) {
    failure->Note(status);
    return false;
  }
  // The size is the library's word: beyond the cap it is taken as a fault,
  // not as a reason to allocate gigabytes on every tick.
  if (size > zv::kListCapBytes) return false;
  const std::uint32_t allocated = size;
  // Zero-filled, so an entry the library counted but never wrote goes back
  // to it as an empty name rather than as whatever the heap held.
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[allocated == 0 ? 1 : allocated]());
  if (!buffer) return false;
  status = list(parent, type, buffer.get(), &size, &count);
  if (status != zv::kSuccess) {
    failure->Note(status);
    return false;
  }
  // Entries are read only inside the buffer this side allocated, and only
  // as far as the size the library reports for what it wrote.
  std::uint32_t fits = allocated / zv::kEntryBytes;
  if (size / zv::kEntryBytes < fits) fits = size / zv::kEntryBytes;
  out->count = count < fits ? count : fits;
  // Every entry ends at its unit 32, whatever the library left there: an
  // entry passed back as a parent or subject never runs into the next one
  // or past the buffer.
  for (std::uint32_t i = 0; i < out->count; ++i) {
    std::uint8_t* entry = buffer.get() + std::size_t{zv::kEntryBytes} * i;
    entry[2 * zv::kNameChars] = 0;
    entry[2 * zv::kNameChars + 1] = 0;
  }
  out->buffer = std::move(buffer);
  return true;
}

}  // namespace

bool CStoreDiskMonitor::FindPoolForDrive(char16_t letter, char16_t* poolName) {
  DriveView why;
  return LookUpPool(letter, poolName, &why);
}

bool CStoreDiskMonitor::LookUpPool(char16_t letter, char16_t* poolName, DriveView* why) {
  // A location without a drive letter (UNC, relative, an unexpanded
  // variable) is on no virtual disk we can tell; 0 would match every disk
  // that is not mounted under a letter.
  why->state = DriveView::State::kNoLetter;
  if (letter == 0) return false;
  why->state = DriveView::State::kStorageMissing;
  if (!IsDriverServicePresent(zv::kDriverService)) return false;
  if (!BindStorageApi()) return false;
  FirstFailure failure;
  // Nothing matched: whether the library failed a call on the way says
  // which of the two it was.
  auto notFound = [&] {
    why->state = failure.seen ? DriveView::State::kNoAnswer : DriveView::State::kNoVirtualDisk;
    why->status = failure.status;
    return false;
  };
  auto list = [this](const void* parent, std::uint32_t type, void* buffer, std::uint32_t* size,
                     std::uint32_t* count) {
    return CallListResource(parent, type, buffer, size, count);
  };

  ResourceList pools;
  if (!ListResources(list, nullptr, zv::kPool, &pools, &failure)) return notFound();
  const char16_t wanted = FoldAscii(letter);
  for (std::uint32_t p = 0; p < pools.count; ++p) {
    const void* pool = pools.Entry(p);
    ResourceList disks;
    if (!ListResources(list, pool, zv::kVirtualDisk, &disks, &failure)) continue;
    for (std::uint32_t d = 0; d < disks.count; ++d) {
      alignas(4) std::uint8_t record[zv::kRecordRoom] = {};
      if (std::uint32_t status = CallGetResourceInfo(pool, zv::kVirtualDisk, disks.Entry(d),
                                                     zv::kRecordBytes, record);
          status != zv::kSuccess) {
        failure.Note(status);
        continue;
      }
      if (FoldAscii(ReadUnit(record, zv::kDiskDriveLetterOffset)) != wanted) continue;
      // The pool name comes from the disk's record: at most 32 characters,
      // always terminated, whether or not the record ends it in time.
      std::uint32_t n = 0;
      for (; n < zv::kNameChars; ++n) {
        char16_t c = ReadUnit(record, zv::kDiskPoolNameOffset + 2 * n);
        if (c == 0) break;
        poolName[n] = c;
      }
      poolName[n] = 0;
      return true;
    }
  }
  return notFound();
}

bool CStoreDiskMonitor::IsPoolBelowThreshold(const char16_t* poolName) {
  std::uint64_t freeMB = 0;
  return ReadPoolFreeMB(poolName, &freeMB) && freeMB < m_nThresholdMB;
}

bool CStoreDiskMonitor::ReadPoolFreeMB(const char16_t* poolName, std::uint64_t* freeMB) {
  if (!BindStorageApi()) return false;
  alignas(4) std::uint8_t record[zv::kRecordRoom] = {};
  if (CallGetResourceInfo(poolName, zv::kPool, nullptr, zv::kRecordBytes, record) != zv::kSuccess)
    return false;
  // The full 64-bit product: a pool with 2 TiB or more free never wraps to
  // looking nearly empty.
  std::uint64_t units = static_cast<std::uint64_t>(ReadU32(record, zv::kPoolFreeFactor1Offset)) *
                        ReadU32(record, zv::kPoolFreeFactor2Offset);
  *freeMB = units >> zv::kUnitsToMBShift;
  return true;
}

void CStoreDiskMonitor::ExamineDrive(char16_t letter, char16_t* poolName, DriveView* view) {
  *view = DriveView{};
  view->letter = letter;
  if (!LookUpPool(letter, poolName, view)) return;
  static_assert(DriveView::kPoolNameUnits == kPoolNameUnits);
  std::copy(poolName, poolName + kPoolNameUnits, view->pool);
  if (!ReadPoolFreeMB(poolName, &view->freeMB)) {
    view->state = DriveView::State::kFreeUnreadable;
    return;
  }
  view->state = DriveView::State::kPoolFree;
  view->low = view->freeMB < m_nThresholdMB;
}

}  // namespace talv
