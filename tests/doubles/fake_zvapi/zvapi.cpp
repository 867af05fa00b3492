// A stand-in for the TALV storage software's management library zvapi.dll.
//
// It answers ZVListResource and ZVGetResourceInfo from a world kept in the
// registry under HKLM\Software\TalvTestDoubles\zvapi, read afresh on every
// call so that a test can add, remove or re-letter pools and disks between
// two monitor ticks. Every call is counted and logged under that key's Calls
// subkey. The layout is described in tests/doubles/README.md.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// The calling convention is chosen at build time: the real library has been
// seen built both ways on x86; on x86-64 there is one convention anyway.
#ifndef ZVAPI_CALL
#define ZVAPI_CALL __stdcall
#endif

namespace {

const DWORD kStatusOk = 0;
const DWORD kStatusTooSmall = 0x2000000F;
// Statuses of this stand-in's own choosing for calls it cannot answer.
const DWORD kStatusBadArgument = 0x20000001;
const DWORD kStatusNoSuchResource = 0x20000002;
const DWORD kStatusBadRecordSize = 0x20000003;

const DWORD kTypeDisk = 1;
const DWORD kTypePool = 2;

const size_t kEntryBytes = 66;
const size_t kEntryNameUnits = 32;  // plus the terminator
const size_t kRecordBytes = 352;
const size_t kRecordNameOffset = 4;
const size_t kRecordLetterOffset = 248;
const size_t kRecordFactorAOffset = 248;
const size_t kRecordFactorBOffset = 300;
// The record's name field runs up to the drive letter: 121 units and a terminator.
const size_t kRecordNameMaxUnits = (kRecordLetterOffset - kRecordNameOffset) / 2 - 1;
const size_t kUnterminatedNameUnits = 40;

const wchar_t kRoot[] = L"Software\\TalvTestDoubles\\zvapi";

// Always the 64-bit view, so that a 32-bit build of this library sees what
// the 64-bit reg.exe of a test wrote.
const REGSAM kView = KEY_WOW64_64KEY;

class Key {
 public:
  Key() = default;
  Key(HKEY parent, const std::wstring& path, REGSAM access = KEY_READ) {
    if (parent && RegOpenKeyExW(parent, path.c_str(), 0, access | kView, &h_) != ERROR_SUCCESS) h_ = nullptr;
  }
  static Key Create(HKEY parent, const std::wstring& path) {
    Key k;
    if (RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | kView, nullptr, &k.h_,
                        nullptr) != ERROR_SUCCESS)
      k.h_ = nullptr;
    return k;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  Key(Key&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  HKEY get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

  bool Dword(const wchar_t* name, DWORD* out) const {
    if (!h_) return false;
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExW(h_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
      return false;
    *out = value;
    return true;
  }
  DWORD DwordOr(const wchar_t* name, DWORD fallback) const {
    DWORD v = fallback;
    return Dword(name, &v) ? v : fallback;
  }
  bool String(const wchar_t* name, std::wstring* out) const {
    if (!h_) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(h_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return false;
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, 0);
    if (RegQueryValueExW(h_, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) != ERROR_SUCCESS)
      return false;
    *out = buf.data();
    return true;
  }
  std::vector<std::wstring> MultiString(const wchar_t* name) const {
    std::vector<std::wstring> lines;
    DWORD type = 0, size = 0;
    if (!h_ || RegQueryValueExW(h_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
      return lines;
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, 0);
    if (RegQueryValueExW(h_, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) != ERROR_SUCCESS)
      return lines;
    for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1) lines.emplace_back(p);
    return lines;
  }
  void SetDword(const wchar_t* name, DWORD value) const {
    RegSetValueExW(h_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  void SetMultiString(const wchar_t* name, const std::vector<std::wstring>& lines) const {
    std::wstring data;
    for (const auto& l : lines) data += l + L'\0';
    data += L'\0';
    RegSetValueExW(h_, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  }

 private:
  HKEY h_ = nullptr;
};

// Upper-cases A-Z only, for an order that does not depend on the locale.
std::wstring Fold(const std::wstring& s) {
  std::wstring f = s;
  for (auto& c : f)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return f;
}

// The subkeys of `parent`, in list order: by their DWORD `Order` (0 when
// missing), then by name with A-Z folded.
std::vector<std::wstring> Children(const Key& parent) {
  struct Child {
    DWORD order;
    std::wstring folded, name;
  };
  std::vector<Child> found;
  if (!parent) return {};
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD len = 256;
    if (RegEnumKeyExW(parent.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    Key child(parent.get(), name);
    found.push_back({child.DwordOr(L"Order", 0), Fold(name), name});
  }
  std::stable_sort(found.begin(), found.end(), [](const Child& a, const Child& b) {
    return a.order != b.order ? a.order < b.order : a.folded < b.folded;
  });
  std::vector<std::wstring> names;
  for (auto& c : found) names.push_back(c.name);
  return names;
}

// A name passed in by the caller: a list entry or a pool name buffer, which
// must be terminated within 34 units.
bool ReadName(const void* p, std::wstring* out) {
  if (!p) return false;
  const wchar_t* s = static_cast<const wchar_t*>(p);
  for (size_t i = 0; i < kEntryNameUnits + 2; ++i) {
    if (s[i] == 0) {
      out->assign(s, i);
      return true;
    }
  }
  return false;
}

std::wstring Num(DWORD v) {
  wchar_t buf[16];
  wsprintfW(buf, L"%u", v);
  return buf;
}

// Counts the call under Calls\Total and Calls\<kind>, appends `line` to
// Calls\Log, and returns the call's number among all calls (from 1).
DWORD Record(const wchar_t* kind, const std::wstring& line) {
  Key calls = Key::Create(HKEY_LOCAL_MACHINE, std::wstring(kRoot) + L"\\Calls");
  if (!calls) return 0;
  DWORD total = calls.DwordOr(L"Total", 0) + 1;
  calls.SetDword(L"Total", total);
  calls.SetDword(kind, calls.DwordOr(kind, 0) + 1);
  auto log = calls.MultiString(L"Log");
  log.push_back(line);
  calls.SetMultiString(L"Log", log);
  return total;
}

// The status injected for the Nth call overall, if this is that call.
bool InjectedFailure(const Key& root, DWORD callNumber, DWORD* status) {
  DWORD n = 0;
  if (!root.Dword(L"FailCall", &n) || n != callNumber) return false;
  *status = root.DwordOr(L"FailStatus", kStatusBadArgument);
  return true;
}

// Writes the entries for `names` into the caller's buffer, or answers "too
// small" with the size needed. `at` holds the listing's ListMinSize and
// ExtraCount injections.
DWORD AnswerList(const Key& at, const std::vector<std::wstring>& names, void* buffer, DWORD* size, DWORD* count) {
  DWORD needed = static_cast<DWORD>(names.size() * kEntryBytes);
  needed = std::max(needed, at.DwordOr(L"ListMinSize", 0));
  if (*size < needed || (needed > 0 && !buffer)) {
    *size = needed;
    return kStatusTooSmall;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  for (size_t i = 0; i < names.size(); ++i) {
    unsigned char* entry = out + i * kEntryBytes;
    // The bytes after the terminator are not the caller's business: make
    // them visible garbage.
    std::memset(entry, 0xEE, kEntryBytes);
    size_t n = std::min(names[i].size(), kEntryNameUnits);
    std::memcpy(entry, names[i].data(), n * sizeof(wchar_t));
    std::memset(entry + n * sizeof(wchar_t), 0, sizeof(wchar_t));
  }
  *size = needed;
  *count = static_cast<DWORD>(names.size()) + at.DwordOr(L"ExtraCount", 0);
  return kStatusOk;
}

void PutUnit(unsigned char* record, size_t offset, wchar_t c) { std::memcpy(record + offset, &c, sizeof c); }

void PutDword(unsigned char* record, size_t offset, DWORD v) { std::memcpy(record + offset, &v, sizeof v); }

}  // namespace

extern "C" {

// Lists all pools (parent NULL, type 2) or the virtual disks of one pool
// (parent = the pool's list entry, type 1) as 66-byte entries.
DWORD ZVAPI_CALL ZVListResource(const void* parent, DWORD type, void* buffer, DWORD* size, DWORD* count) {
  std::wstring parentName;
  bool named = parent != nullptr && ReadName(parent, &parentName);
  bool pools = parent == nullptr && type == kTypePool;
  bool disks = named && type == kTypeDisk;
  const wchar_t* kind = pools ? L"ListPools" : disks ? L"ListDisks" : L"ListInvalid";
  std::wstring line = std::wstring(kind) + L" " + (parent == nullptr ? L"-" : named ? parentName : L"?") + L" type=" + Num(type) +
                      L" size=" + (size ? Num(*size) : L"NULL");
  DWORD call = Record(kind, line);

  Key root(HKEY_LOCAL_MACHINE, kRoot);
  DWORD status = 0;
  if (InjectedFailure(root, call, &status)) return status;
  if (!size || !count || !(pools || disks)) return kStatusBadArgument;

  if (pools) {
    if (root.Dword(L"ListPoolsStatus", &status) && status != kStatusOk) return status;
    return AnswerList(root, Children(Key(root.get(), L"Pools")), buffer, size, count);
  }
  Key pool(root.get(), L"Pools\\" + parentName);
  if (!pool) return kStatusNoSuchResource;
  if (pool.Dword(L"ListDisksStatus", &status) && status != kStatusOk) return status;
  return AnswerList(pool, Children(Key(pool.get(), L"Disks")), buffer, size, count);
}

// Fills the 352-byte information record of a virtual disk (resource = its
// pool's list entry, type 1, subresource = its list entry) or of a pool
// (resource = the pool name, type 2, subresource NULL).
DWORD ZVAPI_CALL ZVGetResourceInfo(const void* resource, DWORD type, const void* subresource, DWORD size,
                                    void* record) {
  std::wstring poolName, diskName;
  bool havePool = ReadName(resource, &poolName);
  bool disk = havePool && type == kTypeDisk && ReadName(subresource, &diskName);
  bool pool = havePool && type == kTypePool && subresource == nullptr;
  const wchar_t* kind = disk ? L"DiskInfo" : pool ? L"PoolInfo" : L"InfoInvalid";
  std::wstring line = std::wstring(kind) + L" " + poolName + (disk ? L"/" + diskName : L"") + L" type=" +
                      Num(type) + L" size=" + Num(size);
  DWORD call = Record(kind, line);

  Key root(HKEY_LOCAL_MACHINE, kRoot);
  DWORD status = 0;
  if (InjectedFailure(root, call, &status)) return status;
  if (!record || !(disk || pool)) return kStatusBadArgument;
  if (size < kRecordBytes) return kStatusBadRecordSize;

  Key poolKey(root.get(), L"Pools\\" + poolName);
  if (!poolKey) return kStatusNoSuchResource;
  auto* out = static_cast<unsigned char*>(record);

  if (pool) {
    if (poolKey.Dword(L"InfoStatus", &status) && status != kStatusOk) return status;
    // Fields the caller does not read hold a pattern, not zeros.
    std::memset(out, 0x5A, kRecordBytes);
    PutDword(out, kRecordFactorAOffset, poolKey.DwordOr(L"FreeFactorA", 0));
    PutDword(out, kRecordFactorBOffset, poolKey.DwordOr(L"FreeFactorB", 0));
    return kStatusOk;
  }

  Key diskKey(poolKey.get(), L"Disks\\" + diskName);
  if (!diskKey) return kStatusNoSuchResource;
  if (diskKey.Dword(L"InfoStatus", &status) && status != kStatusOk) return status;
  std::memset(out, 0x5A, kRecordBytes);
  std::wstring recordPool = poolName;
  diskKey.String(L"RecordPoolName", &recordPool);
  if (diskKey.DwordOr(L"UnterminatedPoolName", 0) != 0) {
    // No terminator within the first 34 units: 40 units of the name
    // repeated, then the terminator.
    if (recordPool.empty()) recordPool = L"X";
    for (size_t i = 0; i < kUnterminatedNameUnits; ++i)
      PutUnit(out, kRecordNameOffset + 2 * i, recordPool[i % recordPool.size()]);
    PutUnit(out, kRecordNameOffset + 2 * kUnterminatedNameUnits, 0);
  } else {
    size_t n = std::min(recordPool.size(), kRecordNameMaxUnits);
    for (size_t i = 0; i < n; ++i) PutUnit(out, kRecordNameOffset + 2 * i, recordPool[i]);
    PutUnit(out, kRecordNameOffset + 2 * n, 0);
  }
  std::wstring letter;
  diskKey.String(L"DriveLetter", &letter);
  PutUnit(out, kRecordLetterOffset, letter.empty() ? 0 : letter[0]);
  return kStatusOk;
}

}  // extern "C"
