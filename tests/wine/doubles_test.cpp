// The test doubles themselves: the stand-in zvapi.dll and both stand-in
// clusapi.dll builds, loaded from the doubles folder and driven through the
// registry values that the Wine tests will use.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/windows_fence.h"
#include "tests/wine/raw_win32.h"

namespace {

using talv::wine::kRaw;
using talv::wine::DeleteTree;
using talv::wine::RawKey;
using talv::wine::RawLibrary;
using talv::wine::RegOpen;
using talv::wine::ReadDword;
using talv::wine::ReadStrings;
using talv::wine::SetDword;
using talv::wine::SetString;
using talv::wine::kView;

const wchar_t kZvapiKey[] = L"Software\\TalvTestDoubles\\zvapi";
const wchar_t kClusapiKey[] = L"Software\\TalvTestDoubles\\clusapi";

// build/<x>/tests/talv_wine_tests.exe -> build/<x>/doubles
std::wstring DoublesDir() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  p = p.substr(0, p.find_last_of(L'\\'));  // .../tests
  p = p.substr(0, p.find_last_of(L'\\'));  // .../<x>
  return p + L"\\doubles";
}

bool KeyExists(const std::wstring& path) {
  RawKey k;
  if (RegOpen(k, HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | kView) != ERROR_SUCCESS) return false;
  return true;
}

// --- zvapi.dll -----------------------------------------------------------

using ListFn = DWORD(__stdcall*)(const void*, DWORD, void*, DWORD*, DWORD*);
using InfoFn = DWORD(__stdcall*)(const void*, DWORD, const void*, DWORD, void*);

const DWORD kTooSmall = 0x2000000F;
const std::wstring kPools = std::wstring(kZvapiKey) + L"\\Pools\\";
const std::wstring kZvCalls = std::wstring(kZvapiKey) + L"\\Calls";

std::wstring Disk(const std::wstring& pool, const std::wstring& disk) { return kPools + pool + L"\\Disks\\" + disk; }

// One 66-byte list entry or a whole list.
struct Entries {
  std::vector<unsigned char> bytes;
  explicit Entries(size_t size) : bytes(size, 0xCC) {}
  DWORD size() const { return static_cast<DWORD>(bytes.size()); }
  void* data() { return bytes.data(); }
  const void* at(size_t i) const { return bytes.data() + 66 * i; }
  std::wstring name(size_t i) const { return reinterpret_cast<const wchar_t*>(at(i)); }
};

struct Record {
  unsigned char bytes[352];
  std::wstring poolName() const { return reinterpret_cast<const wchar_t*>(bytes + 4); }
  wchar_t letter() const {
    wchar_t c;
    std::memcpy(&c, bytes + 248, sizeof c);
    return c;
  }
  DWORD dword(size_t offset) const {
    DWORD v;
    std::memcpy(&v, bytes + offset, sizeof v);
    return v;
  }
};

class FakeZvapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteTree(HKEY_LOCAL_MACHINE, kZvapiKey);
    module_ = RawLibrary(kRaw, LoadLibraryW((DoublesDir() + L"\\zvapi.dll").c_str()));
    ASSERT_NE(module_.get(), nullptr) << "zvapi.dll not loaded from the doubles folder: " << GetLastError();
    list_ = reinterpret_cast<ListFn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "ZVListResource")));
    info_ = reinterpret_cast<InfoFn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "ZVGetResourceInfo")));
    ASSERT_NE(list_, nullptr);
    ASSERT_NE(info_, nullptr);
  }
  void TearDown() override {
    module_.reset();
    DeleteTree(HKEY_LOCAL_MACHINE, kZvapiKey);
  }

  // Lists the way the pool lookup does: a one-entry probe, then a buffer of
  // the size the library asked for. Returns the second call's status.
  DWORD ListAll(const void* parent, DWORD type, Entries* out, DWORD* count) {
    Entries probe(66);
    DWORD size = 66;
    *count = 0;
    DWORD status = list_(parent, type, probe.data(), &size, count);
    if (status != 0 && status != kTooSmall) return status;
    *out = Entries(size);
    return list_(parent, type, out->data(), &size, count);
  }

  RawLibrary module_;
  ListFn list_ = nullptr;
  InfoFn info_ = nullptr;
};

TEST_F(FakeZvapiTest, ListsPoolsInOrderThenByNameAndAsksForTheSizeNeeded) {
  SetDword(kPools + L"Beta", L"FreeFactorA", 1);
  SetDword(kPools + L"alpha", L"FreeFactorA", 1);
  SetDword(kPools + L"Early", L"Order", 0);
  SetDword(kPools + L"Aaa", L"Order", 5);

  Entries probe(66);
  DWORD size = 66, count = 0;
  EXPECT_EQ(list_(nullptr, 2, probe.data(), &size, &count), kTooSmall);
  EXPECT_EQ(size, 4u * 66u);
  EXPECT_EQ(probe.bytes[0], 0xCC) << "nothing is written into a buffer that is too small";

  Entries all(size);
  EXPECT_EQ(list_(nullptr, 2, all.data(), &size, &count), 0u);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(size, 4u * 66u);
  EXPECT_EQ(all.name(0), L"alpha");
  EXPECT_EQ(all.name(1), L"Beta");
  EXPECT_EQ(all.name(2), L"Early");
  EXPECT_EQ(all.name(3), L"Aaa");
}

TEST_F(FakeZvapiTest, OnePoolFitsTheProbeAndNoPoolsGiveAnEmptyList) {
  Entries probe(66);
  DWORD size = 66, count = 7;
  EXPECT_EQ(list_(nullptr, 2, probe.data(), &size, &count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(size, 0u);

  SetDword(kPools + L"OnlyPool", L"FreeFactorA", 1);
  size = 66;
  EXPECT_EQ(list_(nullptr, 2, probe.data(), &size, &count), 0u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(size, 66u);
  EXPECT_EQ(probe.name(0), L"OnlyPool");
}

TEST_F(FakeZvapiTest, DiskRecordsNamePoolAndLetterAndPoolRecordsCarryTheFactors) {
  SetString(Disk(L"P1", L"D2"), L"DriveLetter", L"");
  SetString(Disk(L"P1", L"D1"), L"DriveLetter", L"e");
  SetString(Disk(L"P1", L"D3"), L"DriveLetter", L"F");
  SetString(Disk(L"P1", L"D3"), L"RecordPoolName", L"Elsewhere");
  SetDword(kPools + L"P1", L"FreeFactorA", 20480);
  SetDword(kPools + L"P1", L"FreeFactorB", 3);

  Entries pools(0), disks(0);
  DWORD count = 0;
  ASSERT_EQ(ListAll(nullptr, 2, &pools, &count), 0u);
  ASSERT_EQ(count, 1u);
  ASSERT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0u);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(disks.name(0), L"D1");
  EXPECT_EQ(disks.name(2), L"D3");

  Record r;
  ASSERT_EQ(info_(pools.at(0), 1, disks.at(0), 352, r.bytes), 0u);
  EXPECT_EQ(r.poolName(), L"P1");
  EXPECT_EQ(r.letter(), L'e');
  EXPECT_EQ(r.bytes[250], 0x5A) << "fields nobody reads hold a pattern";
  ASSERT_EQ(info_(pools.at(0), 1, disks.at(1), 352, r.bytes), 0u);
  EXPECT_EQ(r.letter(), 0) << "an empty DriveLetter is no letter";
  ASSERT_EQ(info_(pools.at(0), 1, disks.at(2), 352, r.bytes), 0u);
  EXPECT_EQ(r.poolName(), L"Elsewhere");
  EXPECT_EQ(r.letter(), L'F');

  ASSERT_EQ(info_(L"P1", 2, nullptr, 352, r.bytes), 0u);
  EXPECT_EQ(r.dword(248), 20480u);
  EXPECT_EQ(r.dword(300), 3u);
  EXPECT_NE(info_(L"Elsewhere", 2, nullptr, 352, r.bytes), 0u) << "no such pool";
  EXPECT_NE(info_(L"P1", 2, nullptr, 351, r.bytes), 0u) << "short record";
  EXPECT_NE(info_(pools.at(0), 1, L"NoDisk", 352, r.bytes), 0u);
}

TEST_F(FakeZvapiTest, TheWorldIsReadAgainOnEveryCall) {
  SetString(Disk(L"P1", L"D1"), L"DriveLetter", L"E");
  Entries pools(0), disks(0);
  DWORD count = 0;
  ASSERT_EQ(ListAll(nullptr, 2, &pools, &count), 0u);
  ASSERT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0u);
  Record r;
  ASSERT_EQ(info_(pools.at(0), 1, disks.at(0), 352, r.bytes), 0u);
  EXPECT_EQ(r.letter(), L'E');
  SetString(Disk(L"P1", L"D1"), L"DriveLetter", L"G");
  ASSERT_EQ(info_(pools.at(0), 1, disks.at(0), 352, r.bytes), 0u);
  EXPECT_EQ(r.letter(), L'G');
  SetString(Disk(L"P1", L"D9"), L"DriveLetter", L"H");
  ASSERT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0u);
  EXPECT_EQ(count, 2u);
}

TEST_F(FakeZvapiTest, InjectedStatusesPerCallKind) {
  SetString(Disk(L"P1", L"D1"), L"DriveLetter", L"E");
  Entries pools(0), disks(0);
  DWORD count = 0;
  ASSERT_EQ(ListAll(nullptr, 2, &pools, &count), 0u);
  Record r;

  SetDword(kZvapiKey, L"ListPoolsStatus", 0x20000042);
  Entries probe(66);
  DWORD size = 66;
  EXPECT_EQ(list_(nullptr, 2, probe.data(), &size, &count), 0x20000042u);
  SetDword(kZvapiKey, L"ListPoolsStatus", 0);

  SetDword(kPools + L"P1", L"ListDisksStatus", 0x20000043);
  EXPECT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0x20000043u);
  SetDword(kPools + L"P1", L"ListDisksStatus", 0);
  ASSERT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0u);

  SetDword(Disk(L"P1", L"D1"), L"InfoStatus", 0x20000044);
  EXPECT_EQ(info_(pools.at(0), 1, disks.at(0), 352, r.bytes), 0x20000044u);
  SetDword(kPools + L"P1", L"InfoStatus", 0x20000045);
  EXPECT_EQ(info_(L"P1", 2, nullptr, 352, r.bytes), 0x20000045u);
}

TEST_F(FakeZvapiTest, TooSmallForOneEntryAndCountsLargerThanTheBuffer) {
  SetString(Disk(L"P1", L"D1"), L"DriveLetter", L"E");
  SetDword(kZvapiKey, L"ListMinSize", 132);
  Entries probe(66);
  DWORD size = 66, count = 0;
  EXPECT_EQ(list_(nullptr, 2, probe.data(), &size, &count), kTooSmall) << "even though one entry fits";
  EXPECT_EQ(size, 132u);
  Entries pools(size);
  ASSERT_EQ(list_(nullptr, 2, pools.data(), &size, &count), 0u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(pools.name(0), L"P1");

  SetDword(kPools + L"P1", L"ExtraCount", 3);
  Entries disks(0);
  ASSERT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0u);
  EXPECT_EQ(disks.size(), 66u);
  EXPECT_EQ(count, 4u) << "one entry written, four reported";
}

TEST_F(FakeZvapiTest, UnterminatedRecordPoolName) {
  SetString(Disk(L"Pool", L"D1"), L"DriveLetter", L"E");
  SetDword(Disk(L"Pool", L"D1"), L"UnterminatedPoolName", 1);
  Entries pools(0), disks(0);
  DWORD count = 0;
  ASSERT_EQ(ListAll(nullptr, 2, &pools, &count), 0u);
  ASSERT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0u);
  Record r;
  ASSERT_EQ(info_(pools.at(0), 1, disks.at(0), 352, r.bytes), 0u);
  std::wstring name = r.poolName();
  EXPECT_EQ(name.size(), 40u);
  EXPECT_EQ(name.substr(0, 8), L"PoolPool");
  EXPECT_EQ(r.letter(), L'E');
}

TEST_F(FakeZvapiTest, FailsTheNthCallAndLogsEveryCall) {
  EXPECT_FALSE(KeyExists(kZvCalls)) << "no call, no log";
  SetString(Disk(L"P1", L"D1"), L"DriveLetter", L"E");
  SetDword(kZvapiKey, L"FailCall", 3);
  Entries pools(0), disks(0);
  DWORD count = 0;
  ASSERT_EQ(ListAll(nullptr, 2, &pools, &count), 0u);  // calls 1 and 2
  EXPECT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0x20000001u) << "call 3, default FailStatus";
  SetDword(kZvapiKey, L"FailStatus", 0x20000077);
  SetDword(kZvapiKey, L"FailCall", 5);
  ASSERT_EQ(ListAll(pools.at(0), 1, &disks, &count), 0x20000077u);  // calls 4 and 5
  Record r;
  ASSERT_EQ(info_(pools.at(0), 1, pools.at(0), 352, r.bytes), 0x20000002u) << "call 6: no disk named P1";
  ASSERT_EQ(info_(L"P1", 2, nullptr, 352, r.bytes), 0u);

  EXPECT_EQ(ReadDword(kZvCalls, L"Total"), 7);
  EXPECT_EQ(ReadDword(kZvCalls, L"ListPools"), 2);
  EXPECT_EQ(ReadDword(kZvCalls, L"ListDisks"), 3);
  EXPECT_EQ(ReadDword(kZvCalls, L"DiskInfo"), 1);
  EXPECT_EQ(ReadDword(kZvCalls, L"PoolInfo"), 1);
  auto log = ReadStrings(kZvCalls, L"Log");
  ASSERT_EQ(log.size(), 7u);
  EXPECT_EQ(log[0], L"ListPools - type=2 size=66");
  EXPECT_EQ(log[2], L"ListDisks P1 type=1 size=66");
  EXPECT_EQ(log[5], L"DiskInfo P1/P1 type=1 size=352");
  EXPECT_EQ(log[6], L"PoolInfo P1 type=2 size=352");
}

TEST_F(FakeZvapiTest, RejectsCallsThatNameNoListOrRecord) {
  Entries probe(66);
  DWORD size = 66, count = 0;
  EXPECT_EQ(list_(nullptr, 1, probe.data(), &size, &count), 0x20000001u) << "disks of no pool";
  EXPECT_EQ(list_(nullptr, 2, probe.data(), nullptr, &count), 0x20000001u);
  EXPECT_EQ(list_(L"NoPool", 1, probe.data(), &size, &count), 0x20000002u);
  Record r;
  EXPECT_EQ(info_(L"P1", 2, L"D1", 352, r.bytes), 0x20000001u) << "a pool has no subresource";
  EXPECT_EQ(ReadStrings(kZvCalls, L"Log")[0], L"ListInvalid - type=1 size=66");
}

// --- clusapi.dll ---------------------------------------------------------

const char* const kClusterExports[47] = {
    "OpenCluster", "CloseCluster", "CreateClusterGroup", "MoveClusterGroup", "CloseClusterGroup",
    "DeleteClusterGroup", "CloseClusterResource", "OnlineClusterResource", "GetClusterResourceState",
    "CreateClusterNotifyPort", "GetClusterNotify", "CloseClusterNotifyPort", "CreateClusterResource",
    "OpenClusterResource", "OpenClusterGroup", "GetClusterGroupState", "ClusterGroupEnum", "ClusterGroupOpenEnum",
    "ClusterGroupCloseEnum", "AddClusterResourceDependency", "OfflineClusterResource", "ClusterResourceCloseEnum",
    "CloseClusterNode", "RemoveClusterResourceNode", "AddClusterResourceNode", "OpenClusterNode",
    "ClusterResourceEnum", "ClusterResourceOpenEnum", "DeleteClusterResource", "RemoveClusterResourceDependency",
    "OfflineClusterGroup", "OnlineClusterGroup", "GetClusterResourceKey", "ClusterRegSetValue", "ClusterRegCloseKey",
    "ClusterRegOpenKey", "ClusterOpenEnum", "ClusterCloseEnum", "ClusterEnum", "GetClusterInformation",
    "GetClusterNodeState", "ClusterResourceControl", "GetClusterKey", "ClusterRegCreateKey", "ClusterRegQueryValue",
    "ClusterRegEnumValue", "ClusterRegDeleteValue"};

const std::wstring kClusCalls = std::wstring(kClusapiKey) + L"\\Calls";
const wchar_t kAttendant[] = L"Microsoft Exchange System Attendant";

using OpenClusterFn = void*(WINAPI*)(const wchar_t*);
using CloseFn = BOOL(WINAPI*)(void*);
using OpenResourceFn = void*(WINAPI*)(void*, const wchar_t*);
using OfflineFn = DWORD(WINAPI*)(void*);
using UnusedFn = DWORD(WINAPI*)();

struct ClusterVariant {
  const wchar_t* folder;  // under the doubles folder
  bool hasDeleteValue;
};

class FakeClusapiTest : public ::testing::TestWithParam<ClusterVariant> {
 protected:
  void SetUp() override {
    DeleteTree(HKEY_LOCAL_MACHINE, kClusapiKey);
    // The test bed disables Wine's clusapi.dll by name, which refuses a
    // clusapi.dll loaded by full path as well; the same file under another
    // name loads.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    copy_ = std::wstring(temp) + L"talv_clusapi_" + (GetParam().hasDeleteValue ? L"full" : L"nodelete") + L".dll";
    std::wstring source = DoublesDir() + GetParam().folder + L"\\clusapi.dll";
    ASSERT_TRUE(CopyFileW(source.c_str(), copy_.c_str(), FALSE)) << "no " << std::string(source.begin(), source.end());
    module_ = RawLibrary(kRaw, LoadLibraryW(copy_.c_str()));
    ASSERT_NE(module_.get(), nullptr) << GetLastError();
    openCluster_ = reinterpret_cast<OpenClusterFn>(Proc("OpenCluster"));
    closeCluster_ = reinterpret_cast<CloseFn>(Proc("CloseCluster"));
    openResource_ = reinterpret_cast<OpenResourceFn>(Proc("OpenClusterResource"));
    offline_ = reinterpret_cast<OfflineFn>(Proc("OfflineClusterResource"));
    closeResource_ = reinterpret_cast<CloseFn>(Proc("CloseClusterResource"));
    ASSERT_TRUE(openCluster_ && closeCluster_ && openResource_ && offline_ && closeResource_);
  }
  void TearDown() override {
    module_.reset();
    if (!copy_.empty()) DeleteFileW(copy_.c_str());
    DeleteTree(HKEY_LOCAL_MACHINE, kClusapiKey);
  }
  void* Proc(const char* name) { return reinterpret_cast<void*>(GetProcAddress(module_.get(), name)); }

  std::wstring copy_;
  RawLibrary module_;
  OpenClusterFn openCluster_ = nullptr;
  CloseFn closeCluster_ = nullptr;
  OpenResourceFn openResource_ = nullptr;
  OfflineFn offline_ = nullptr;
  CloseFn closeResource_ = nullptr;
};

TEST_P(FakeClusapiTest, ExportsAllFortySevenNamesButTheOneItLacks) {
  int missing = 0;
  for (const char* name : kClusterExports) {
    bool isDeleteValue = std::strcmp(name, "ClusterRegDeleteValue") == 0;
    bool expected = GetParam().hasDeleteValue || !isDeleteValue;
    EXPECT_EQ(Proc(name) != nullptr, expected) << name;
    missing += Proc(name) == nullptr;
  }
  EXPECT_EQ(missing, GetParam().hasDeleteValue ? 0 : 1);
  EXPECT_EQ(ReadDword(kClusCalls, L"Loads"), 1);
}

TEST_P(FakeClusapiTest, NotANodeByDefault) {
  SetLastError(0);
  EXPECT_EQ(openCluster_(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  SetDword(kClusapiKey, L"OpenClusterError", 1722);
  EXPECT_EQ(openCluster_(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 1722u);
  EXPECT_EQ(ReadDword(kClusCalls, L"OpenCluster"), 2);
  EXPECT_EQ(ReadDword(kClusCalls, L"ClusterHandles"), -1) << "no handle was given out";
}

TEST_P(FakeClusapiTest, NodeWithTheAttendantResourceTakesItOffline) {
  SetDword(kClusapiKey, L"IsNode", 1);
  void* cluster = openCluster_(nullptr);
  ASSERT_NE(cluster, nullptr);
  EXPECT_EQ(ReadDword(kClusCalls, L"ClusterHandles"), 1);

  SetLastError(0);
  EXPECT_EQ(openResource_(cluster, kAttendant), nullptr) << "ResourcePresent is 0 by default";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NOT_FOUND));
  SetDword(kClusapiKey, L"ResourcePresent", 1);
  EXPECT_EQ(openResource_(cluster, L"Microsoft Exchange MTA Stacks"), nullptr) << "another name";
  EXPECT_EQ(openResource_(nullptr, kAttendant), nullptr) << "no cluster handle";
  void* resource = openResource_(cluster, kAttendant);
  ASSERT_NE(resource, nullptr);
  EXPECT_EQ(ReadDword(kClusCalls, L"ResourceHandles"), 1);

  EXPECT_EQ(offline_(resource), 0u);
  EXPECT_EQ(ReadStrings(kClusCalls, L"OfflineCalledFor"), std::vector<std::wstring>{kAttendant});
  SetDword(kClusapiKey, L"OfflineResult", 5023);
  EXPECT_EQ(offline_(resource), 5023u);
  EXPECT_EQ(offline_(cluster), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "not a resource handle";

  EXPECT_TRUE(closeResource_(resource));
  EXPECT_FALSE(closeResource_(resource)) << "closed twice";
  EXPECT_TRUE(closeCluster_(cluster));
  EXPECT_EQ(ReadDword(kClusCalls, L"ClusterHandles"), 0);
  EXPECT_EQ(ReadDword(kClusCalls, L"ResourceHandles"), 0);
  EXPECT_EQ(ReadDword(kClusCalls, L"OpenCluster"), 1);
  EXPECT_EQ(ReadDword(kClusCalls, L"CloseCluster"), 1);
  EXPECT_EQ(ReadDword(kClusCalls, L"OpenClusterResource"), 4);
  EXPECT_EQ(ReadDword(kClusCalls, L"CloseClusterResource"), 2);
  EXPECT_EQ(ReadDword(kClusCalls, L"OfflineClusterResource"), 3);
  auto log = ReadStrings(kClusCalls, L"Log");
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], L"Loads");
  EXPECT_EQ(log[1], L"OpenCluster NULL");
  EXPECT_EQ(log[2], std::wstring(L"OpenClusterResource ") + kAttendant);
}

TEST_P(FakeClusapiTest, ResourceNameIsConfigurableAndMatchedExactly) {
  SetDword(kClusapiKey, L"IsNode", 1);
  SetDword(kClusapiKey, L"ResourcePresent", 1);
  SetString(kClusapiKey, L"ResourceName", L"Exchange SA");
  void* cluster = openCluster_(nullptr);
  ASSERT_NE(cluster, nullptr);
  EXPECT_EQ(openResource_(cluster, kAttendant), nullptr);
  EXPECT_EQ(openResource_(cluster, L"exchange sa"), nullptr);
  void* resource = openResource_(cluster, L"Exchange SA");
  EXPECT_NE(resource, nullptr);
  closeResource_(resource);
  closeCluster_(cluster);
}

TEST_P(FakeClusapiTest, UnusedFunctionsFail) {
  auto info = reinterpret_cast<UnusedFn>(Proc("GetClusterInformation"));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  auto key = reinterpret_cast<void*(WINAPI*)()>(Proc("GetClusterKey"));
  EXPECT_EQ(key(), nullptr);
  EXPECT_EQ(ReadDword(kClusCalls, L"GetClusterKey"), 1);
}

INSTANTIATE_TEST_SUITE_P(Variants, FakeClusapiTest,
                         ::testing::Values(ClusterVariant{L"", true}, ClusterVariant{L"\\clusapi_nodelete", false}),
                         [](const ::testing::TestParamInfo<ClusterVariant>& info) {
                           return std::string(info.param.hasDeleteValue ? "Complete" : "NoDeleteValue");
                         });

}  // namespace
