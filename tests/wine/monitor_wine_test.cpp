// The monitor over the real machine's adapters: its pool lookup and
// free-space test against the stand-in zvapi.dll, its driver-service check
// against a real service entry, one check cycle through a real window, and
// its cluster path against the stand-in clusapi.dll builds (or none at all).
//
// The monitor loads "zvapi.dll" and "clusapi.dll" by name. Each test copies
// the stand-ins it wants into a folder of its own and makes that folder the
// DLL directory, so the monitor finds exactly those. The cluster stand-ins
// only load where Wine's own clusapi.dll is not disabled by name; those tests
// run in their own ctest entry (TALV_CLUSTER_DOUBLES set) and check first
// that the stand-in, not Wine's library, answers to the name: Wine's own
// crashes the process in OpenClusterResource.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "monitor/store_disk_monitor.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_fence.h"
#include "tests/wine/raw_win32.h"
#include "service/event_log_reporter.h"
#include "shutdown/cluster_binding.h"

namespace talv {
namespace {

using win32::U;
using win32::W;
using wine::kRaw;
using wine::DeleteTree;
using wine::RawLibrary;
using wine::ReadDword;
using wine::SetDword;
using wine::SetString;
using wine::kView;

// --- registry, raw ---------------------------------------------------------

const std::wstring kDoublesRoot = L"Software\\TalvTestDoubles";
const std::wstring kZvapiKey = kDoublesRoot + L"\\zvapi";
const std::wstring kPools = kZvapiKey + L"\\Pools\\";
const std::wstring kZvCalls = kZvapiKey + L"\\Calls";
const std::wstring kClusapiKey = kDoublesRoot + L"\\clusapi";
const std::wstring kClusCalls = kClusapiKey + L"\\Calls";
const std::wstring kServiceBehaviour = kDoublesRoot + L"\\Services\\";
const std::wstring kServices = L"System\\CurrentControlSet\\Services\\";


// The doubles write ASCII only.
std::vector<std::string> ReadStrings(const std::wstring& path, const wchar_t* name) {
  std::vector<std::string> out;
  for (const std::wstring& w : wine::ReadStrings(path, name)) out.emplace_back(w.begin(), w.end());
  return out;
}

std::string Narrow(const char16_t* s) {
  std::string out;
  for (; s != nullptr && *s; ++s) out.push_back(*s < 0x80 ? static_cast<char>(*s) : '?');
  return out;
}

// --- folders ---------------------------------------------------------------

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// <build>/tests/talv_wine_tests.exe -> <build>/doubles
std::wstring DoublesDir() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return Folder(Folder(std::wstring(path, n))) + L"\\doubles";
}

bool EnvironmentHas(const wchar_t* name) { return GetEnvironmentVariableW(name, nullptr, 0) != 0; }

// --- ports that watch the real adapters -------------------------------------

// The real event log, with every event written and every source left open
// recorded on the way.
class RecordingEventLog final : public EventLog {
 public:
  struct Event {
    std::uint16_t type;
    std::string text;
  };
  explicit RecordingEventLog(EventLog& real) : real_(real) {}
  WinError RegisterSource(const char16_t* server, const char16_t* source, EventSourceHandle* out) override {
    WinError e = real_.RegisterSource(server, source, out);
    if (e == err::kSuccess) {
      ++openSources;
      lastSource = Narrow(source);
    }
    return e;
  }
  WinError Report(EventSourceHandle source, std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                  std::uint16_t stringCount, const char16_t* const* strings) override {
    events.push_back({type, stringCount == 1 ? Narrow(strings[0]) : std::string("<several strings>")});
    return real_.Report(source, type, category, eventId, stringCount, strings);
  }
  WinError DeregisterSource(EventSourceHandle source) override {
    WinError e = real_.DeregisterSource(source);
    if (e == err::kSuccess) --openSources;
    return e;
  }

  std::vector<Event> events;
  long openSources = 0;
  std::string lastSource;

 private:
  EventLog& real_;
};

// The real loader, counting the loads asked for by name and the modules
// still held.
class CountingLibraries final : public Libraries {
 public:
  explicit CountingLibraries(Libraries& real) : real_(real) {}
  WinError Load(const char16_t* name, ModuleHandle* out) override {
    ++loads[Narrow(name)];
    WinError e = real_.Load(name, out);
    if (e == err::kSuccess) ++held;
    return e;
  }
  ProcAddress GetProc(ModuleHandle module, const char* name) override { return real_.GetProc(module, name); }
  WinError Free(ModuleHandle module) override {
    WinError e = real_.Free(module);
    if (e == err::kSuccess) --held;
    return e;
  }

  std::map<std::string, int> loads;
  long held = 0;

 private:
  Libraries& real_;
};

// --- the fixture -------------------------------------------------------------

class MonitorWineTest : public ::testing::Test {
 protected:
  MonitorWineTest()
      : platform_(machine_.platform()),
        log_(machine_.eventLog),
        libraries_(machine_.libraries),
        reporter_(log_, machine_.console),
        cluster_(libraries_, machine_.system) {}

  void SetUp() override {
    ClearWorld();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    libDir_ = std::wstring(temp) + L"talv_monitor_libs";
    CreateDirectoryW(libDir_.c_str(), nullptr);
    PlaceDouble(L"zvapi.dll");
    if (HasFatalFailure()) return;
    // The folder the loader searches right after the program's own.
    ASSERT_TRUE(SetDllDirectoryW(libDir_.c_str()));
    reporter_.SetDisplayName(u"TALV Wardstone");
    reporter_.runningAsService = 1;
    monitor_ = std::make_unique<CStoreDiskMonitor>(platform_, reporter_, cluster_);
  }

  void TearDown() override {
    if (monitor_ && monitor_->GetSafeHwnd() != 0) monitor_->DestroyWindow();
    monitor_.reset();
    cluster_.UnbindClusterApi();
    EXPECT_EQ(GetModuleHandleW(L"zvapi.dll"), nullptr) << "the monitor still holds the storage library";
    EXPECT_EQ(libraries_.held, 0) << "the cluster library is still held";
    EXPECT_EQ(log_.openSources, 0) << "an event source is still registered";
    SetDllDirectoryW(nullptr);
    for (const wchar_t* f : {L"zvapi.dll", L"clusapi.dll"}) DeleteFileW((libDir_ + L"\\" + f).c_str());
    RemoveDirectoryW(libDir_.c_str());
    for (const std::u16string& name : services_) RemoveService(name);
    ClearWorld();
  }

  static void ClearWorld() {
    DeleteTree(HKEY_LOCAL_MACHINE, kDoublesRoot);
    for (const wchar_t* s : {L"MSExchangeIS", L"MSExchangeDS", L"TALVMON"})
      DeleteTree(HKEY_LOCAL_MACHINE, kServices + s);
  }

  // Copies a double (a path below the doubles folder) into this test's DLL
  // folder.
  void PlaceDouble(const std::wstring& relative) {
    std::wstring source = DoublesDir() + L"\\" + relative;
    std::wstring target = libDir_ + L"\\" + relative.substr(relative.find_last_of(L'\\') + 1);
    ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE))
        << "no double " << std::string(source.begin(), source.end()) << ": build the whole tree";
  }

  // Installs fake_service.exe as `name` (the behaviour values under its key
  // first); starts it and waits for `state` unless state is 0.
  void InstallService(const std::u16string& name, std::uint32_t state,
                      const std::vector<std::pair<const wchar_t*, DWORD>>& behaviour = {}) {
    std::wstring wname(W(name.c_str()));
    for (const auto& [value, data] : behaviour) SetDword(kServiceBehaviour + wname, value, data);
    std::wstring image = L"\"" + DoublesDir() + L"\\fake_service.exe\" " + wname;
    ServiceManager& scm = machine_.scm;
    UniqueScHandle manager, service;
    ASSERT_EQ(OpenManager(manager, scm, svc::kManagerAllAccess), 0u);
    ServiceCreateParams p;
    p.serviceName = name.c_str();
    p.displayName = name.c_str();
    p.binaryPathName = U(image.c_str());
    ASSERT_EQ(CreateService(service, scm, manager.get(), p), 0u) << Narrow(name.c_str());
    services_.push_back(name);
    if (state == 0) return;
    ASSERT_EQ(scm.Start(service.get()), 0u) << Narrow(name.c_str());
    // Wine starts a service process slowly.
    ServiceStatus st;
    for (int i = 0; i < 600; ++i) {
      ASSERT_EQ(scm.QueryStatus(service.get(), &st), 0u);
      if (st.dwCurrentState == state) return;
      Sleep(50);
    }
    FAIL() << Narrow(name.c_str()) << " did not reach state " << state << " (is " << st.dwCurrentState << ")";
  }

  std::uint32_t ServiceState(const std::u16string& name) {
    ServiceManager& scm = machine_.scm;
    UniqueScHandle manager, service;
    ServiceStatus st;
    if (OpenManager(manager, scm, svc::kManagerAllAccess) != 0 ||
        OpenService(service, scm, manager.get(), name.c_str(), svc::kQueryStatus) != 0 ||
        scm.QueryStatus(service.get(), &st) != 0)
      return 0;
    return st.dwCurrentState;
  }

  void RemoveService(const std::u16string& name) {
    ServiceManager& scm = machine_.scm;
    UniqueScHandle manager, service;
    if (OpenManager(manager, scm, svc::kManagerAllAccess) != 0 ||
        OpenService(service, scm, manager.get(), name.c_str(), svc::kAllAccess) != 0)
      return;
    ServiceStatus st;
    if (scm.QueryStatus(service.get(), &st) == 0 && st.dwCurrentState != svc::kStopped) {
      // The fake service's private control ends it whether or not it takes a stop.
      scm.Control(service.get(), 200, &st);
      for (int i = 0; i < 200 && scm.QueryStatus(service.get(), &st) == 0 && st.dwCurrentState != svc::kStopped;
           ++i)
        Sleep(50);
    }
    scm.DeleteService(service.get());
  }

  // A pool with its free-space factors and its disks (name, drive letter).
  static void Pool(const std::wstring& pool, DWORD factorA, DWORD factorB,
                   const std::vector<std::pair<std::wstring, std::wstring>>& disks = {}) {
    SetDword(kPools + pool, L"FreeFactorA", factorA);
    SetDword(kPools + pool, L"FreeFactorB", factorB);
    for (const auto& [disk, letter] : disks) SetString(kPools + pool + L"\\Disks\\" + disk, L"DriveLetter", letter);
  }
  static std::wstring Disk(const std::wstring& pool, const std::wstring& disk) {
    return kPools + pool + L"\\Disks\\" + disk;
  }

  // The pool lookup for one letter: the pool name, or "-" when none was found
  // (then the buffer must be untouched).
  std::string Lookup(char16_t letter) {
    char16_t buffer[CStoreDiskMonitor::kPoolNameUnits];
    for (char16_t& c : buffer) c = u'#';
    if (!monitor_->FindPoolForDrive(letter, buffer)) {
      for (char16_t c : buffer) EXPECT_EQ(c, u'#') << "the buffer was written by a lookup that found nothing";
      return "-";
    }
    return Narrow(buffer);
  }

  win32::Win32Platform machine_;
  // The monitor's ports are the real ones; its messages and its cluster
  // library pass through watchers on the way to them.
  Platform platform_;
  RecordingEventLog log_;
  CountingLibraries libraries_;
  CEventLogReporter reporter_;
  ClusterApiBinding cluster_;
  std::unique_ptr<CStoreDiskMonitor> monitor_;
  std::wstring libDir_;
  std::vector<std::u16string> services_;
};

// --- the pool lookup and the free-space test ----------------------------------

using MonitorPoolLookupTest = MonitorWineTest;

TEST_F(MonitorPoolLookupTest, WithoutTheDriverServiceTheLibraryIsNeverAsked) {
  Pool(L"PoolLow", 2048, 5, {{L"DiskE", L"E"}});
  EXPECT_FALSE(monitor_->IsDriverServicePresent(u"zvdriver"));
  EXPECT_EQ(Lookup(u'E'), "-");
  EXPECT_EQ(ReadDword(kZvCalls, L"Total"), -1) << "the storage library was called";
  EXPECT_EQ(GetModuleHandleW(L"zvapi.dll"), nullptr) << "the storage library was loaded";
}

TEST_F(MonitorPoolLookupTest, AStoppedDriverServiceCountsAsPresent) {
  InstallService(u"zvdriver", 0);
  ASSERT_EQ(ServiceState(u"zvdriver"), svc::kStopped);
  EXPECT_TRUE(monitor_->IsDriverServicePresent(u"zvdriver"));
  EXPECT_FALSE(monitor_->IsDriverServicePresent(u"zvdriver2"));
}

TEST_F(MonitorPoolLookupTest, FindsThePoolBehindALetterInEitherCaseWithTheCallsTheLibraryExpects) {
  InstallService(u"zvdriver", 0);
  Pool(L"PoolLow", 2048, 5, {{L"DiskE", L"E"}, {L"DiskF", L"f"}});
  Pool(L"PoolHigh", 2048, 500000, {{L"DiskG", L"G"}});

  EXPECT_EQ(Lookup(u'E'), "PoolLow");
  // Pools list as PoolHigh, PoolLow; PoolHigh's one disk fits the probe and
  // is still listed a second time; PoolLow's two do not fit it.
  EXPECT_EQ(ReadStrings(kZvCalls, L"Log"), (std::vector<std::string>{
                                               "ListPools - type=2 size=66",
                                               "ListPools - type=2 size=132",
                                               "ListDisks PoolHigh type=1 size=66",
                                               "ListDisks PoolHigh type=1 size=66",
                                               "DiskInfo PoolHigh/DiskG type=1 size=352",
                                               "ListDisks PoolLow type=1 size=66",
                                               "ListDisks PoolLow type=1 size=132",
                                               "DiskInfo PoolLow/DiskE type=1 size=352",
                                           }));
  EXPECT_EQ(Lookup(u'e'), "PoolLow");
  EXPECT_EQ(Lookup(u'F'), "PoolLow") << "the record holds f";
  EXPECT_EQ(Lookup(u'g'), "PoolHigh");
  EXPECT_EQ(Lookup(u'H'), "-");
  EXPECT_EQ(Lookup(0), "-") << "no disk without a letter";
  EXPECT_NE(GetModuleHandleW(L"zvapi.dll"), nullptr) << "the library is kept between lookups";
  EXPECT_TRUE(log_.events.empty()) << "the lookup writes nothing";
}

TEST_F(MonitorPoolLookupTest, FirstMatchInListOrderAndThePoolNameOfTheDisksRecord) {
  InstallService(u"zvdriver", 0);
  Pool(L"Alpha", 1, 1, {{L"D1", L"E"}});
  SetDword(kPools + L"Alpha", L"Order", 2);
  SetString(Disk(L"Alpha", L"D1"), L"RecordPoolName", L"Elsewhere");
  Pool(L"Beta", 1, 1, {{L"D1", L"E"}});
  SetDword(kPools + L"Beta", L"Order", 1);
  EXPECT_EQ(Lookup(u'E'), "Beta");
  // An information call that fails skips that disk only.
  SetDword(Disk(L"Beta", L"D1"), L"InfoStatus", 0x20000077);
  EXPECT_EQ(Lookup(u'E'), "Elsewhere");
  // A disk listing that fails skips that pool only.
  SetDword(kPools + L"Beta", L"InfoStatus", 0);
  SetDword(kPools + L"Beta", L"ListDisksStatus", 0x20000042);
  SetDword(Disk(L"Beta", L"D1"), L"InfoStatus", 0);
  EXPECT_EQ(Lookup(u'E'), "Elsewhere");
}

TEST_F(MonitorPoolLookupTest, LetterZeroMatchesNoDiskAndCallsNothing) {
  InstallService(u"zvdriver", 0);
  Pool(L"Unlettered", 1, 1, {{L"D1", L""}});
  EXPECT_EQ(Lookup(0), "-");
  EXPECT_EQ(ReadDword(kZvCalls, L"Total"), -1) << "the storage library was called";
}

TEST_F(MonitorPoolLookupTest, NoPoolsOrAFailedPoolListingFindNothing) {
  InstallService(u"zvdriver", 0);
  EXPECT_EQ(Lookup(u'E'), "-");
  EXPECT_EQ(ReadDword(kZvCalls, L"ListPools"), 1) << "an empty probe ends the lookup";
  Pool(L"PoolLow", 1, 1, {{L"DiskE", L"E"}});
  SetDword(kZvapiKey, L"ListPoolsStatus", 0x20000042);
  EXPECT_EQ(Lookup(u'E'), "-");
  SetDword(kZvapiKey, L"ListPoolsStatus", 0);
  // The second listing failing as well.
  SetDword(kZvapiKey, L"FailCall", static_cast<DWORD>(ReadDword(kZvCalls, L"Total") + 2));
  EXPECT_EQ(Lookup(u'E'), "-");
  EXPECT_EQ(Lookup(u'E'), "PoolLow");
}

TEST_F(MonitorPoolLookupTest, ARecordPoolNameWithoutTerminatorIsCutAtThirtyTwo) {
  InstallService(u"zvdriver", 0);
  Pool(L"Pool", 1, 1, {{L"D1", L"E"}});
  SetDword(Disk(L"Pool", L"D1"), L"UnterminatedPoolName", 1);
  char16_t buffer[CStoreDiskMonitor::kPoolNameUnits + 6];
  for (char16_t& c : buffer) c = u'#';
  ASSERT_TRUE(monitor_->FindPoolForDrive(u'E', buffer));
  EXPECT_EQ(Narrow(buffer), "PoolPoolPoolPoolPoolPoolPoolPool");
  for (std::size_t i = 33; i < std::size(buffer); ++i) EXPECT_EQ(buffer[i], u'#') << "written past the name at " << i;
}

TEST_F(MonitorPoolLookupTest, BelowTheThresholdMeansStrictlyFewerWholeMegabytes) {
  monitor_->m_nThresholdMB = 10;
  Pool(L"P", 20479, 1);  // 9 MB and a fraction
  EXPECT_TRUE(monitor_->IsPoolBelowThreshold(u"P"));
  Pool(L"P", 2048, 10);  // exactly 10 MB
  EXPECT_FALSE(monitor_->IsPoolBelowThreshold(u"P"));
  Pool(L"P", 10, 2048);  // the factors' order does not matter
  EXPECT_FALSE(monitor_->IsPoolBelowThreshold(u"P"));
  Pool(L"P", 0, 0);
  EXPECT_TRUE(monitor_->IsPoolBelowThreshold(u"P"));
  monitor_->m_nThresholdMB = 0;
  EXPECT_FALSE(monitor_->IsPoolBelowThreshold(u"P")) << "nothing is below 0";
  EXPECT_EQ(ReadStrings(kZvCalls, L"Log").back(), "PoolInfo P type=2 size=352");
}

TEST_F(MonitorPoolLookupTest, APoolWhoseRecordCannotBeReadIsNotBelow) {
  monitor_->m_nThresholdMB = 10;
  EXPECT_FALSE(monitor_->IsPoolBelowThreshold(u"NoSuchPool"));
  Pool(L"P", 0, 0);
  SetDword(kPools + L"P", L"InfoStatus", 0x20000045);
  EXPECT_FALSE(monitor_->IsPoolBelowThreshold(u"P"));
}

TEST_F(MonitorPoolLookupTest, WithoutTheStorageLibraryNothingIsFoundOrBelow) {
  InstallService(u"zvdriver", 0);
  Pool(L"P", 0, 0, {{L"D1", L"E"}});
  DeleteFileW((libDir_ + L"\\zvapi.dll").c_str());
  monitor_->m_nThresholdMB = 10;
  EXPECT_EQ(Lookup(u'E'), "-");
  EXPECT_FALSE(monitor_->IsPoolBelowThreshold(u"P"));
  // A library that appears later is used by the next lookup.
  PlaceDouble(L"zvapi.dll");
  EXPECT_EQ(Lookup(u'E'), "P");
  EXPECT_TRUE(monitor_->IsPoolBelowThreshold(u"P"));
}

// --- both calling conventions of the storage library ---------------------------

// The storage library as built __stdcall (the default double) and __cdecl
// (x86 only: x86-64 has one convention). Either way the monitor finds the
// same pools, lookup after lookup, and the process goes on unharmed.
class MonitorCallingConventionTest : public MonitorWineTest,
                                     public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(MonitorCallingConventionTest, FindsTheSamePoolsOverRepeatedLookups) {
  const std::wstring variant = GetParam();
  if (sizeof(void*) == 8 && variant != L"zvapi.dll") GTEST_SKIP() << "the __cdecl build exists on x86 only";
  PlaceDouble(variant);
  if (HasFatalFailure()) return;
  InstallService(u"zvdriver", 0);
  Pool(L"PoolLow", 2048, 5, {{L"DiskE", L"E"}, {L"DiskF", L"F"}});
  Pool(L"PoolHigh", 2048, 500000, {{L"DiskG", L"G"}});
  monitor_->m_nThresholdMB = 10;
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(Lookup(u'E'), "PoolLow");
    ASSERT_EQ(Lookup(u'F'), "PoolLow");
    ASSERT_EQ(Lookup(u'G'), "PoolHigh");
    ASSERT_EQ(Lookup(u'H'), "-");
    ASSERT_TRUE(monitor_->IsPoolBelowThreshold(u"PoolLow"));
    ASSERT_FALSE(monitor_->IsPoolBelowThreshold(u"PoolHigh"));
  }
  // Per round: E takes 8 calls, F 9, G 5 and H 9; each pool test one.
  EXPECT_EQ(ReadDword(kZvCalls, L"Total"), kRounds * (8 + 9 + 5 + 9 + 2));
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, MonitorCallingConventionTest,
                         ::testing::Values(L"zvapi.dll", L"zvapi_cdecl\\zvapi.dll"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::string(info.index == 0 ? "Stdcall" : "Cdecl");
                         });

// --- one check cycle through a real window -------------------------------------

using MonitorWindowTest = MonitorWineTest;

TEST_F(MonitorWindowTest, CreationReadsTheRegistryAndATickLooksUpEveryLetterOnce) {
  InstallService(u"zvdriver", 0);
  Pool(L"PoolLow", 2048, 5, {{L"DiskE", L"E"}, {L"DiskF", L"F"}});
  Pool(L"PoolHigh", 2048, 500000, {{L"DiskG", L"G"}});
  SetString(kServices + L"MSExchangeIS\\ParametersPrivate", L"DB Path", L"E:\\exchsrvr\\mdbdata\\priv.edb");
  SetString(kServices + L"MSExchangeIS\\ParametersPublic", L"DB Path", L"E:\\exchsrvr\\mdbdata\\pub.edb");
  SetString(kServices + L"MSExchangeIS\\ParametersSystem", L"DB Log Path", L"F:\\exchsrvr\\mdblogs");
  SetString(kServices + L"MSExchangeDS\\Parameters", L"DSA Working directory", L"G:\\exchsrvr\\dsadata");
  SetDword(kServices + L"TALVMON\\Parameters", L"CheckEveryMinutes", 1);
  SetDword(kServices + L"TALVMON\\Parameters", L"FreePoolSpaceThresholdMB", 10);

  ASSERT_EQ(monitor_->Create(CStoreDiskMonitor::DefaultCreateParams(machine_.windowing)), 0u);
  HWND window = win32::ToHandle<HWND>(monitor_->GetSafeHwnd());
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetParent(window), GetDesktopWindow());
  EXPECT_EQ(monitor_->m_nTimerId, 1u);
  EXPECT_EQ(monitor_->m_nCheckIntervalSec, 60u);
  EXPECT_EQ(monitor_->m_nThresholdMB, 10u);
  EXPECT_EQ(monitor_->m_paths.size(), 4u);
  EXPECT_EQ(ReadDword(kZvCalls, L"Total"), -1) << "no check at creation";

  // A tick, as the loop would dispatch it; its timer id is not looked at.
  SendMessageW(window, WM_TIMER, 7, 0);
  EXPECT_EQ(monitor_->m_bChecking, 0);
  // E, F and G once each: three pool tests, the disks behind E and F low,
  // but Exchange is not running here, so nothing is stopped and only the
  // watch report is written.
  EXPECT_EQ(ReadDword(kZvCalls, L"PoolInfo"), 3);
  std::vector<std::string> tested;
  for (const std::string& line : ReadStrings(kZvCalls, L"Log"))
    if (line.rfind("PoolInfo", 0) == 0) tested.push_back(line);
  EXPECT_EQ(tested, (std::vector<std::string>{"PoolInfo PoolLow type=2 size=352", "PoolInfo PoolLow type=2 size=352",
                                              "PoolInfo PoolHigh type=2 size=352"}));
  ASSERT_EQ(log_.events.size(), 1u);
  EXPECT_EQ(log_.events[0].type, evt::kInformation);
  EXPECT_EQ(log_.events[0].text,
            "TALV Wardstone is watching every Exchange drive: E: pool 'PoolLow', 5 MB free; F: pool "
            "'PoolLow', 5 MB free; G: pool 'PoolHigh', 500000 MB free. Threshold 10 MB, checked every 60 "
            "seconds.");

  EXPECT_EQ(monitor_->DestroyWindow(), 0u);
  EXPECT_FALSE(KillTimer(window, 1)) << "the timer outlived the window";
}

// --- the cluster path --------------------------------------------------------

// No cluster library at all: the test bed's default load order refuses
// every clusapi.dll.
using MonitorClusterNoneTest = MonitorWineTest;

TEST_F(MonitorClusterNoneTest, WithoutTheLibraryTheServerIsStandAloneAndEveryUseTriesAgain) {
  if (EnvironmentHas(L"TALV_CLUSTER_DOUBLES")) GTEST_SKIP() << "this run loads the cluster stand-ins";
  RawLibrary probe(kRaw, LoadLibraryW(L"clusapi.dll"));
  if (probe) {
    probe.reset();
    FAIL() << "clusapi.dll loads in this run: run it with WINEDLLOVERRIDES=clusapi=";
  }
  EXPECT_FALSE(monitor_->IsClusterNode());
  EXPECT_EQ(machine_.system.GetLastError(), err::kDllNotFound);
  EXPECT_EQ(monitor_->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName),
            err::kDllNotFound);
  EXPECT_FALSE(monitor_->IsClusterNode());
  EXPECT_FALSE(cluster_.bound());
  EXPECT_EQ(libraries_.loads["clusapi.dll"], 3);
}

// The stand-in cluster libraries, found in this test's DLL folder.
class MonitorClusterDoubleTest : public MonitorWineTest {
 protected:
  void SetUp() override {
    if (!EnvironmentHas(L"TALV_CLUSTER_DOUBLES"))
      GTEST_SKIP() << "needs a load order that leaves clusapi.dll enabled (ctest: wine_monitor_cluster_doubles)";
    MonitorWineTest::SetUp();
  }

  // Puts one stand-in in place and makes sure that it, not Wine's own
  // library, answers to the name.
  void UseClusterLibrary(const std::wstring& relative) {
    PlaceDouble(relative);
    if (HasFatalFailure()) return;
    RawLibrary probe(kRaw, LoadLibraryW(L"clusapi.dll"));
    ASSERT_NE(probe.get(), nullptr) << GetLastError();
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(probe.get(), path, MAX_PATH);
    probe.reset();
    std::wstring expected = libDir_ + L"\\clusapi.dll";
    ASSERT_EQ(_wcsicmp(path, expected.c_str()), 0)
        << "clusapi.dll came from " << std::string(path, path + wcslen(path)) << ", not the stand-in";
    DeleteTree(HKEY_LOCAL_MACHINE, kClusCalls);
  }
};

TEST_F(MonitorClusterDoubleTest, ANodeWithTheResourceTakesItOfflineAndClosesEverything) {
  ASSERT_NO_FATAL_FAILURE(UseClusterLibrary(L"clusapi.dll"));
  SetDword(kClusapiKey, L"IsNode", 1);
  SetDword(kClusapiKey, L"ResourcePresent", 1);
  EXPECT_TRUE(monitor_->IsClusterNode());
  EXPECT_EQ(monitor_->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName), 0u);
  EXPECT_EQ(ReadStrings(kClusCalls, L"OfflineCalledFor"),
            std::vector<std::string>{"Microsoft Exchange System Attendant"});
  EXPECT_EQ(ReadDword(kClusCalls, L"ClusterHandles"), 0);
  EXPECT_EQ(ReadDword(kClusCalls, L"ResourceHandles"), 0);
  EXPECT_EQ(ReadStrings(kClusCalls, L"Log"),
            (std::vector<std::string>{"Loads", "OpenCluster NULL", "CloseCluster", "OpenCluster NULL",
                                      "OpenClusterResource Microsoft Exchange System Attendant",
                                      "OfflineClusterResource Microsoft Exchange System Attendant",
                                      "CloseClusterResource", "CloseCluster"}));
  EXPECT_EQ(libraries_.loads["clusapi.dll"], 1) << "bound once, then the entry points are reused";
  EXPECT_TRUE(cluster_.bound());
}

TEST_F(MonitorClusterDoubleTest, TheOfflineResultIsPassedOnAndPendingCountsAsDone) {
  ASSERT_NO_FATAL_FAILURE(UseClusterLibrary(L"clusapi.dll"));
  SetDword(kClusapiKey, L"IsNode", 1);
  SetDword(kClusapiKey, L"ResourcePresent", 1);
  SetDword(kClusapiKey, L"OfflineResult", 5010);
  EXPECT_EQ(monitor_->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName), 5010u);
  SetDword(kClusapiKey, L"OfflineResult", 997);  // accepted, goes on in the background
  EXPECT_EQ(monitor_->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName), 0u);
  EXPECT_EQ(ReadDword(kClusCalls, L"ClusterHandles"), 0);
  EXPECT_EQ(ReadDword(kClusCalls, L"ResourceHandles"), 0);
}

TEST_F(MonitorClusterDoubleTest, WithoutTheResourceNothingIsTakenOfflineAndTheOpenErrorIsTheResult) {
  ASSERT_NO_FATAL_FAILURE(UseClusterLibrary(L"clusapi.dll"));
  SetDword(kClusapiKey, L"IsNode", 1);
  EXPECT_EQ(monitor_->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName),
            err::kResourceNotFound);
  EXPECT_EQ(ReadDword(kClusCalls, L"OfflineClusterResource"), -1);
  EXPECT_EQ(ReadDword(kClusCalls, L"ClusterHandles"), 0);
}

TEST_F(MonitorClusterDoubleTest, ANodeOfNoClusterIsStandAlone) {
  ASSERT_NO_FATAL_FAILURE(UseClusterLibrary(L"clusapi.dll"));
  SetDword(kClusapiKey, L"ResourcePresent", 1);
  EXPECT_FALSE(monitor_->IsClusterNode());
  // OpenCluster's own error (the stand-in's default).
  EXPECT_EQ(monitor_->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName),
            err::kServiceDoesNotExist);
  EXPECT_EQ(ReadDword(kClusCalls, L"OpenClusterResource"), -1);
  EXPECT_TRUE(cluster_.bound()) << "the library itself is complete";
}

TEST_F(MonitorClusterDoubleTest, ALibraryLackingOneNameIsNoClusterAndIsNotLoadedAgain) {
  ASSERT_NO_FATAL_FAILURE(UseClusterLibrary(L"clusapi_nodelete\\clusapi.dll"));
  SetDword(kClusapiKey, L"IsNode", 1);
  SetDword(kClusapiKey, L"ResourcePresent", 1);
  EXPECT_FALSE(monitor_->IsClusterNode());
  EXPECT_EQ(machine_.system.GetLastError(), err::kDllNotFound);
  EXPECT_EQ(monitor_->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName),
            err::kDllNotFound);
  EXPECT_FALSE(monitor_->IsClusterNode());
  EXPECT_FALSE(cluster_.bound());
  EXPECT_EQ(ReadDword(kClusCalls, L"OpenCluster"), -1) << "an incomplete binding calls nothing";
  EXPECT_EQ(ReadDword(kClusCalls, L"Loads"), 1);
  EXPECT_EQ(libraries_.loads["clusapi.dll"], 1) << "the held library is resolved again, not reloaded";
}

// The shutdown on a cluster node: the resource instead of the services.
TEST_F(MonitorClusterDoubleTest, TheShutdownOfANodeTakesTheResourceOfflineAndStopsNoService) {
  ASSERT_NO_FATAL_FAILURE(UseClusterLibrary(L"clusapi.dll"));
  SetDword(kClusapiKey, L"IsNode", 1);
  SetDword(kClusapiKey, L"ResourcePresent", 1);
  SetDword(kClusapiKey, L"OfflineResult", 5010);
  ASSERT_NO_FATAL_FAILURE(InstallService(u"MSExchangeIS", svc::kRunning));

  EXPECT_EQ(monitor_->ShutdownExchange(), 5010u);
  std::vector<std::pair<int, std::string>> events;
  for (const auto& e : log_.events) events.emplace_back(e.type, e.text);
  EXPECT_EQ(events, (std::vector<std::pair<int, std::string>>{
                        {evt::kError, "TALV Wardstone will now stop Microsoft Exchange Server."},
                        {evt::kError, "Error (1392) stopping service 'Microsoft Exchange System Attendant'."},
                        {evt::kInformation, "TALV Wardstone has completed the shutdown of Microsoft Exchange."},
                    }));
  EXPECT_EQ(log_.lastSource, "TALV Wardstone");
  EXPECT_EQ(ReadStrings(kClusCalls, L"OfflineCalledFor"),
            std::vector<std::string>{"Microsoft Exchange System Attendant"});
  EXPECT_EQ(ServiceState(u"MSExchangeIS"), svc::kRunning);
  EXPECT_EQ(ReadDword(kServiceBehaviour + L"MSExchangeIS", L"StopRequestCount"), -1);
}

}  // namespace
}  // namespace talv
