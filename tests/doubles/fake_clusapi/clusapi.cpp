// A stand-in for the Windows Server cluster library clusapi.dll.
//
// It exports the 47 cluster functions that the monitor binds at run time.
// Five of them behave as HKLM\Software\TalvTestDoubles\clusapi says (read on
// every call); the others fail at once. Every call is counted and logged
// under that key's Calls subkey. See tests/doubles/README.md.
//
// Built twice from this file: once complete, once without the export
// ClusterRegDeleteValue (the .def file decides what is exported).
#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t kRoot[] = L"Software\\TalvTestDoubles\\clusapi";
const wchar_t kDefaultResource[] = L"Microsoft Exchange System Attendant";
const DWORD kDefaultOpenClusterError = ERROR_SERVICE_DOES_NOT_EXIST;

// Always the 64-bit view, so that a 32-bit build sees what the 64-bit
// reg.exe of a test wrote.
const REGSAM kView = KEY_WOW64_64KEY;

struct Handle {
  bool resource;
  std::wstring name;
};
// The handles given out and not yet closed; a handle is valid only while it
// is in here.
std::set<Handle*> g_live;

HKEY Open(const std::wstring& path, bool create) {
  HKEY h = nullptr;
  LONG rc = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | kView,
                                     nullptr, &h, nullptr)
                   : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kView, &h);
  return rc == ERROR_SUCCESS ? h : nullptr;
}

DWORD ReadDword(HKEY k, const wchar_t* name, DWORD fallback) {
  DWORD type = 0, value = 0, size = sizeof value;
  if (!k || RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    return fallback;
  return value;
}

std::wstring ReadString(HKEY k, const wchar_t* name, const std::wstring& fallback) {
  DWORD type = 0, size = 0;
  if (!k || RegQueryValueExW(k, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
    return fallback;
  std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, 0);
  if (RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) != ERROR_SUCCESS)
    return fallback;
  return buf.data();
}

DWORD Setting(const wchar_t* name, DWORD fallback) {
  HKEY k = Open(kRoot, false);
  DWORD v = ReadDword(k, name, fallback);
  if (k) RegCloseKey(k);
  return v;
}

std::wstring SettingString(const wchar_t* name, const std::wstring& fallback) {
  HKEY k = Open(kRoot, false);
  std::wstring v = ReadString(k, name, fallback);
  if (k) RegCloseKey(k);
  return v;
}

// Adds `delta` to the DWORD Calls\<name>.
void Bump(HKEY calls, const wchar_t* name, long delta) {
  DWORD v = ReadDword(calls, name, 0) + static_cast<DWORD>(delta);
  RegSetValueExW(calls, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

void SetString(HKEY calls, const wchar_t* name, const std::wstring& v) {
  RegSetValueExW(calls, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                 static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
}

// Counts a call of `function` under Calls\<function> and appends a line
// ("function detail") to Calls\Log.
void Record(const wchar_t* function, const std::wstring& detail) {
  HKEY calls = Open(std::wstring(kRoot) + L"\\Calls", true);
  if (!calls) return;
  Bump(calls, function, 1);
  std::wstring log;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(calls, L"Log", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, 0);
    if (RegQueryValueExW(calls, L"Log", nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) == ERROR_SUCCESS)
      for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1) log += std::wstring(p) + L'\0';
  }
  log += std::wstring(function) + (detail.empty() ? L"" : L" " + detail) + L'\0';
  log += L'\0';
  RegSetValueExW(calls, L"Log", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(log.data()),
                 static_cast<DWORD>(log.size() * sizeof(wchar_t)));
  RegCloseKey(calls);
}

// Changes the count of live handles of one kind (Calls\ClusterHandles or
// Calls\ResourceHandles), and records the offlined resource's name.
void Note(const wchar_t* counter, long delta, const wchar_t* stringName = nullptr, const std::wstring& value = {}) {
  HKEY calls = Open(std::wstring(kRoot) + L"\\Calls", true);
  if (!calls) return;
  if (counter) Bump(calls, counter, delta);
  if (stringName) SetString(calls, stringName, value);
  RegCloseKey(calls);
}

Handle* Live(void* h, bool resource) {
  auto* p = static_cast<Handle*>(h);
  return g_live.count(p) && p->resource == resource ? p : nullptr;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Record(L"Loads", L"");
  return TRUE;
}

// Opens the local node's cluster (name NULL) or a named one: a handle when
// IsNode is non-zero, otherwise NULL with the last error OpenClusterError.
void* WINAPI OpenCluster(const wchar_t* name) {
  Record(L"OpenCluster", name ? name : L"NULL");
  if (Setting(L"IsNode", 0) == 0) {
    SetLastError(Setting(L"OpenClusterError", kDefaultOpenClusterError));
    return nullptr;
  }
  auto* h = new Handle{false, name ? name : L""};
  g_live.insert(h);
  Note(L"ClusterHandles", 1);
  return h;
}

BOOL WINAPI CloseCluster(void* cluster) {
  Record(L"CloseCluster", L"");
  Handle* h = Live(cluster, false);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  g_live.erase(h);
  delete h;
  Note(L"ClusterHandles", -1);
  return TRUE;
}

// A handle when ResourcePresent is non-zero and the name is exactly
// ResourceName; NULL with ERROR_RESOURCE_NOT_FOUND otherwise.
void* WINAPI OpenClusterResource(void* cluster, const wchar_t* name) {
  Record(L"OpenClusterResource", name ? name : L"NULL");
  if (!Live(cluster, false)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!name || Setting(L"ResourcePresent", 0) == 0 || SettingString(L"ResourceName", kDefaultResource) != name) {
    SetLastError(ERROR_RESOURCE_NOT_FOUND);
    return nullptr;
  }
  auto* h = new Handle{true, name};
  g_live.insert(h);
  Note(L"ResourceHandles", 1);
  return h;
}

// Returns OfflineResult (0 when missing) and records the resource's name
// as Calls\OfflineCalledFor.
DWORD WINAPI OfflineClusterResource(void* resource) {
  Handle* h = Live(resource, true);
  Record(L"OfflineClusterResource", h ? h->name : L"(invalid handle)");
  if (!h) return ERROR_INVALID_HANDLE;
  Note(nullptr, 0, L"OfflineCalledFor", h->name);
  return Setting(L"OfflineResult", ERROR_SUCCESS);
}

BOOL WINAPI CloseClusterResource(void* resource) {
  Record(L"CloseClusterResource", L"");
  Handle* h = Live(resource, true);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  g_live.erase(h);
  delete h;
  Note(L"ResourceHandles", -1);
  return TRUE;
}

#define TALV_WIDE(s) L##s

// The functions nothing here uses: each is logged and fails at once, with
// the failure value of its kind of result.
#define TALV_FAIL_HANDLE(name)                   \
  void* WINAPI name() {                          \
    Record(TALV_WIDE(#name), L"");                      \
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);    \
    return nullptr;                              \
  }
#define TALV_FAIL_BOOL(name)                     \
  BOOL WINAPI name() {                           \
    Record(TALV_WIDE(#name), L"");                      \
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);    \
    return FALSE;                                \
  }
#define TALV_FAIL_CODE(name)                     \
  DWORD WINAPI name() {                          \
    Record(TALV_WIDE(#name), L"");                      \
    return ERROR_CALL_NOT_IMPLEMENTED;           \
  }
// State queries answer "unknown" (-1).
#define TALV_FAIL_STATE(name)                    \
  int WINAPI name() {                            \
    Record(TALV_WIDE(#name), L"");                      \
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);    \
    return -1;                                   \
  }

TALV_FAIL_HANDLE(CreateClusterGroup)
TALV_FAIL_CODE(MoveClusterGroup)
TALV_FAIL_BOOL(CloseClusterGroup)
TALV_FAIL_CODE(DeleteClusterGroup)
TALV_FAIL_CODE(OnlineClusterResource)
TALV_FAIL_STATE(GetClusterResourceState)
TALV_FAIL_HANDLE(CreateClusterNotifyPort)
TALV_FAIL_CODE(GetClusterNotify)
TALV_FAIL_BOOL(CloseClusterNotifyPort)
TALV_FAIL_HANDLE(CreateClusterResource)
TALV_FAIL_HANDLE(OpenClusterGroup)
TALV_FAIL_STATE(GetClusterGroupState)
TALV_FAIL_CODE(ClusterGroupEnum)
TALV_FAIL_HANDLE(ClusterGroupOpenEnum)
TALV_FAIL_CODE(ClusterGroupCloseEnum)
TALV_FAIL_CODE(AddClusterResourceDependency)
TALV_FAIL_CODE(ClusterResourceCloseEnum)
TALV_FAIL_BOOL(CloseClusterNode)
TALV_FAIL_CODE(RemoveClusterResourceNode)
TALV_FAIL_CODE(AddClusterResourceNode)
TALV_FAIL_HANDLE(OpenClusterNode)
TALV_FAIL_CODE(ClusterResourceEnum)
TALV_FAIL_HANDLE(ClusterResourceOpenEnum)
TALV_FAIL_CODE(DeleteClusterResource)
TALV_FAIL_CODE(RemoveClusterResourceDependency)
TALV_FAIL_CODE(OfflineClusterGroup)
TALV_FAIL_CODE(OnlineClusterGroup)
TALV_FAIL_HANDLE(GetClusterResourceKey)
TALV_FAIL_CODE(ClusterRegSetValue)
TALV_FAIL_CODE(ClusterRegCloseKey)
TALV_FAIL_CODE(ClusterRegOpenKey)
TALV_FAIL_HANDLE(ClusterOpenEnum)
TALV_FAIL_CODE(ClusterCloseEnum)
TALV_FAIL_CODE(ClusterEnum)
TALV_FAIL_CODE(GetClusterInformation)
TALV_FAIL_STATE(GetClusterNodeState)
TALV_FAIL_CODE(ClusterResourceControl)
TALV_FAIL_HANDLE(GetClusterKey)
TALV_FAIL_CODE(ClusterRegCreateKey)
TALV_FAIL_CODE(ClusterRegQueryValue)
TALV_FAIL_CODE(ClusterRegEnumValue)
TALV_FAIL_CODE(ClusterRegDeleteValue)

}  // extern "C"
