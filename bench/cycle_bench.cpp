// What one check cycle costs: the monitor's timer tick over the fifteen
// Exchange locations, on the simulated machine, against a storage library
// that answers from memory. For each world (distinct letters x pools x
// disks per pool x where the matching disk sits) it measures the cycle and,
// the same way, the stand-in answering the cycle's own calls alone; the
// difference over the number of calls is the program's own time per call.
// Heap allocations are counted by the global operator new below.
//
//   talv_bench [benchmark flags]      all cases, then the tables
//   talv_bench --talv_once=L/P/D/POS  one warm cycle and its replay, for
//                                     an instruction count under callgrind
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench/memory_storage.h"
#include "monitor/settings.h"
#include "monitor/store_disk_monitor.h"
#include "platform/sim/sim_platform.h"
#include "service/event_log_reporter.h"
#include "shutdown/cluster_binding.h"
#include "tests/doubles/exchange_locations.h"

// --- heap allocations, counted --------------------------------------------
namespace {
std::uint64_t g_allocations = 0;
std::uint64_t g_allocatedBytes = 0;

void* Allocate(std::size_t n) {
  ++g_allocations;
  g_allocatedBytes += n;
  return std::malloc(n == 0 ? 1 : n);
}
}  // namespace

void* operator new(std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace talv::bench {
namespace {

enum Position { kFirst, kMiddle, kLast };
const char* const kPositionNames[] = {"first", "middle", "last"};

struct Case {
  std::uint32_t letters, pools, disks;
  Position position;
  std::string Name() const {
    return std::to_string(letters) + "/" + std::to_string(pools) + "/" + std::to_string(disks) +
           "/" + kPositionNames[position];
  }
};

// What the lookup's algorithm implies for one cycle: per letter two pool
// listings; two disk listings per pool visited; one information call per
// disk up to the match; one pool information call per pool found. Every
// successful listing pair allocates one list buffer of the listing's size.
struct Expected {
  std::uint64_t calls = 0, buffers = 0, bufferBytes = 0, found = 0;
};

// One simulated machine with the monitor's window created and the storage
// world in place: the letters E, F, ... spread over the locations in turn,
// each mounted on one disk, the disks placed first, in the middle or last
// in the order the lookup visits them.
class CycleWorld {
 public:
  explicit CycleWorld(const Case& c) : storage_(c.pools, c.disks) {
    const std::u16string services = u"System\\CurrentControlSet\\Services\\";
    for (std::uint32_t i = 0; i < 15; ++i) {
      std::u16string path(1, static_cast<char16_t>(u'E' + i % c.letters));
      path += u":\\exchsrvr\\data";
      sim_.registry.PutString(reg::kLocalMachine, services + talv::test::kExchangeLocations[i].first,
                              talv::test::kExchangeLocations[i].second, path);
    }
    sim_.scm.InstallService(u"zvdriver", Stopped());
    sim_.libraries.DefineLibrary(
        u"zvapi.dll", {{"ZVListResource", reinterpret_cast<ProcAddress>(&MemoryStorage::List)},
                       {"ZVGetResourceInfo", reinterpret_cast<ProcAddress>(&MemoryStorage::Info)}});

    const std::uint64_t slots = std::uint64_t{c.pools} * c.disks;
    const std::uint64_t placed = std::min<std::uint64_t>(slots, c.letters);
    std::uint64_t first = 0;
    if (c.position == kMiddle) first = (slots - placed) / 2;
    if (c.position == kLast) first = slots - placed;
    for (std::uint32_t i = 0; i < c.letters; ++i) {
      const std::uint64_t D = c.disks, P = c.pools;
      if (i < placed) {
        const std::uint64_t slot = first + i;
        storage_.Mount(static_cast<std::uint32_t>(slot), static_cast<char16_t>(u'E' + i));
        const std::uint64_t p = slot / D;
        expected_.calls += 2 + 2 * (p + 1) + (slot + 1) + 1;
        expected_.buffers += 1 + (p + 1);
        expected_.bufferBytes += (P + (p + 1) * D) * zv::kEntryBytes;
        ++expected_.found;
      } else {
        expected_.calls += 2 + 2 * P + P * D;
        expected_.buffers += 1 + P;
        expected_.bufferBytes += (P + P * D) * zv::kEntryBytes;
      }
    }

    reporter_.SetDisplayName(u"TALV Wardstone");
    reporter_.runningAsService = 1;
    monitor_ = std::make_unique<CStoreDiskMonitor>(platform_, reporter_, cluster_);
    if (monitor_->Create(CStoreDiskMonitor::DefaultCreateParams(sim_.windowing)) != err::kSuccess) {
      std::fprintf(stderr, "the monitor's window was not created\n");
      std::exit(2);
    }
    // The first cycle binds the library; every later one is the same.
    Cycle();
    std::vector<MemoryStorage::Call> calls;
    storage_.recorder = &calls;
    Cycle();
    storage_.recorder = nullptr;
    calls_ = std::move(calls);
    std::uint32_t room = std::max(c.pools, c.disks) * zv::kEntryBytes;
    replayBuffer_ = std::make_unique<std::uint8_t[]>(room);
  }
  ~CycleWorld() { monitor_->DestroyWindow(); }

  // One timer tick, as the message loop dispatches it.
  void Cycle() {
    sim_.windowing.DispatchMessage(
        WindowMessage{monitor_->GetSafeHwnd(), wm::kTimer, CStoreDiskMonitor::kTimerId, 0});
  }
  // The same storage calls, made on the stand-in alone.
  void Replay() { storage_.Replay(calls_, replayBuffer_.get()); }

  // Heap allocations (count, bytes) of the driver-service check alone: the
  // simulated service manager's own, made once per letter.
  std::pair<std::uint64_t, std::uint64_t> DriverCheckAllocations() {
    const std::uint64_t allocations = g_allocations, bytes = g_allocatedBytes;
    monitor_->IsDriverServicePresent(zv::kDriverService);
    return {g_allocations - allocations, g_allocatedBytes - bytes};
  }

  MemoryStorage& storage() { return storage_; }
  const Expected& expected() const { return expected_; }
  std::size_t events() const { return sim_.eventLog.Events().size(); }

 private:
  static sim::ServiceBehaviour Stopped() {
    sim::ServiceBehaviour b;
    b.state = svc::kStopped;
    return b;
  }

  sim::SimPlatform sim_;
  Platform platform_ = sim_.platform();
  CEventLogReporter reporter_{sim_.eventLog, sim_.console};
  ClusterApiBinding cluster_{sim_.libraries, sim_.system};
  MemoryStorage storage_;
  std::unique_ptr<CStoreDiskMonitor> monitor_;
  Expected expected_;
  std::vector<MemoryStorage::Call> calls_;
  std::unique_ptr<std::uint8_t[]> replayBuffer_;
};

// What one measured cycle showed, by case name.
struct CycleFacts {
  Case c;
  Expected expected;
  std::uint64_t calls = 0, allocations = 0, allocatedBytes = 0, events = 0;
  // Of the allocations, those of the simulated service manager.
  std::uint64_t simAllocations = 0, simBytes = 0;
};
std::map<std::string, CycleFacts>& Facts() {
  static std::map<std::string, CycleFacts> facts;
  return facts;
}

void BM_Cycle(benchmark::State& state, Case c) {
  CycleWorld world(c);
  CycleFacts facts{c, world.expected()};
  // One cycle counted call by call and allocation by allocation.
  const MemoryStorage::Counts before = world.storage().counts;
  const std::uint64_t allocations = g_allocations, bytes = g_allocatedBytes;
  world.Cycle();
  facts.allocations = g_allocations - allocations;
  facts.allocatedBytes = g_allocatedBytes - bytes;
  facts.calls = world.storage().counts.total() - before.total();
  facts.events = world.events();
  const auto sim = world.DriverCheckAllocations();
  facts.simAllocations = sim.first * c.letters;
  facts.simBytes = sim.second * c.letters;
  Facts()[c.Name()] = facts;
  for (auto _ : state) world.Cycle();
  state.counters["calls"] = static_cast<double>(facts.calls);
  state.counters["allocs"] = static_cast<double>(facts.allocations);
}

void BM_StandIn(benchmark::State& state, Case c) {
  CycleWorld world(c);
  for (auto _ : state) world.Replay();
}

// IsExchangeRunning over the fourteen services on the simulated service
// manager: all stopped (every service asked) or the first one running.
void BM_ExchangeCheck(benchmark::State& state, bool firstRunning) {
  sim::SimPlatform sim;
  Platform platform = sim.platform();
  CEventLogReporter reporter{sim.eventLog, sim.console};
  ClusterApiBinding cluster{sim.libraries, sim.system};
  CStoreDiskMonitor monitor(platform, reporter, cluster);
  for (std::size_t i = 0; i < 14; ++i) {
    sim::ServiceBehaviour b;
    b.state = firstRunning && i == 0 ? svc::kRunning : svc::kStopped;
    sim.scm.InstallService(CStoreDiskMonitor::kExchangeServiceOrder[i], b);
  }
  const bool expected = firstRunning;
  for (auto _ : state) {
    bool running = monitor.IsExchangeRunning();
    benchmark::DoNotOptimize(running);
    if (running != expected) {
      state.SkipWithError("IsExchangeRunning answered wrongly");
      break;
    }
  }
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (std::uint32_t letters : {1u, 4u, 15u})
    for (std::uint32_t pools : {1u, 16u, 64u, 256u})
      for (std::uint32_t disks : {1u, 16u, 64u})
        for (Position position : {kFirst, kMiddle, kLast})
          cases.push_back({letters, pools, disks, position});
  return cases;
}

// Collects every run's CPU time per iteration; prints a dot per run to
// standard error and nothing else until the tables.
class TableReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      if (r.error_occurred) {
        std::fprintf(stderr, "\n%s: %s\n", r.benchmark_name().c_str(), r.error_message.c_str());
        failed = true;
        continue;
      }
      nsPerIteration[r.run_name.function_name].push_back(r.cpu_accumulated_time * 1e9 /
                                                         static_cast<double>(r.iterations));
      std::fputc('.', stderr);
    }
  }
  void Finalize() override { std::fputc('\n', stderr); }

  // The median over repetitions (--benchmark_repetitions), or -1.
  double Ns(const std::string& name) const {
    auto it = nsPerIteration.find(name);
    if (it == nsPerIteration.end() || it->second.empty()) return -1;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }

  std::map<std::string, std::vector<double>> nsPerIteration;
  bool failed = false;
};

bool PrintTables(const TableReporter& r) {
  bool ok = !r.failed;
  std::printf("Check cycle over 15 locations (CPU time; own = (cycle - stand-in) / calls)\n\n");
  std::printf("| letters | pools | disks | match | found | cycle us | stand-in us | calls | expected | own ns/call | allocs | simulator's | program's | list buffers | bytes |\n");
  std::printf("|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
  for (const Case& c : AllCases()) {
    auto it = Facts().find(c.Name());
    const double cycle = r.Ns("cycle/" + c.Name()), standIn = r.Ns("standin/" + c.Name());
    if (it == Facts().end() || cycle < 0 || standIn < 0) continue;
    const CycleFacts& f = it->second;
    const double own = (cycle - standIn) / static_cast<double>(f.calls);
    const std::uint64_t programs = f.allocations - f.simAllocations;
    const bool callsOk = f.calls == f.expected.calls;
    const bool allocsOk = programs == f.expected.buffers;
    const bool bytesOk = f.allocatedBytes - f.simBytes == f.expected.bufferBytes;
    ok = ok && callsOk && allocsOk && bytesOk && f.events == 0;
    std::printf("| %u | %u | %u | %s | %llu/%u | %.2f | %.2f | %llu | %llu%s | %.1f | %llu | %llu | %llu | %llu%s | %s |\n",
                c.letters, c.pools, c.disks, kPositionNames[c.position],
                static_cast<unsigned long long>(f.expected.found), c.letters, cycle / 1e3,
                standIn / 1e3, static_cast<unsigned long long>(f.calls),
                static_cast<unsigned long long>(f.expected.calls), callsOk ? "" : " MISMATCH", own,
                static_cast<unsigned long long>(f.allocations),
                static_cast<unsigned long long>(f.simAllocations),
                static_cast<unsigned long long>(programs),
                static_cast<unsigned long long>(f.expected.buffers), allocsOk ? "" : " MISMATCH",
                bytesOk ? "match" : "MISMATCH");
  }
  std::printf("\nIsExchangeRunning over the 14 services (simulated service manager)\n\n");
  std::printf("| services | answer | ns per check |\n|---|---|---:|\n");
  std::printf("| all 14 stopped (14 asked) | not running | %.0f |\n", r.Ns("exchange/all_stopped"));
  std::printf("| first running (1 asked) | running | %.0f |\n", r.Ns("exchange/first_running"));
  if (!ok) std::printf("\nSOME FIGURES DIFFER FROM WHAT THE ALGORITHM IMPLIES (see MISMATCH)\n");
  return ok;
}

// One warm cycle and its replay, in functions of their own, so that an
// instruction counter can tell them apart.
__attribute__((noinline)) void TalvBenchOneCycle(CycleWorld& w) { w.Cycle(); }
__attribute__((noinline)) void TalvBenchOneReplay(CycleWorld& w) { w.Replay(); }

int RunOnce(const std::string& which) {
  Case c{};
  char position[16] = {};
  if (std::sscanf(which.c_str(), "%u/%u/%u/%15s", &c.letters, &c.pools, &c.disks, position) != 4)
    return 2;
  c.position = std::strcmp(position, "first") == 0    ? kFirst
               : std::strcmp(position, "middle") == 0 ? kMiddle
                                                      : kLast;
  CycleWorld world(c);
  const std::uint64_t before = world.storage().counts.total();
  TalvBenchOneCycle(world);
  const std::uint64_t calls = world.storage().counts.total() - before;
  TalvBenchOneReplay(world);
  std::printf("calls %llu\n", static_cast<unsigned long long>(calls));
  return calls == world.expected().calls ? 0 : 1;
}

}  // namespace
}  // namespace talv::bench

int main(int argc, char** argv) {
  using namespace talv::bench;
  for (int i = 1; i < argc; ++i) {
    const char* flag = "--talv_once=";
    if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) return RunOnce(argv[i] + std::strlen(flag));
  }
  for (const Case& c : AllCases()) {
    benchmark::RegisterBenchmark(("cycle/" + c.Name()).c_str(), BM_Cycle, c);
    benchmark::RegisterBenchmark(("standin/" + c.Name()).c_str(), BM_StandIn, c);
  }
  benchmark::RegisterBenchmark("exchange/all_stopped", BM_ExchangeCheck, false);
  benchmark::RegisterBenchmark("exchange/first_running", BM_ExchangeCheck, true);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return PrintTables(reporter) ? 0 : 1;
}
