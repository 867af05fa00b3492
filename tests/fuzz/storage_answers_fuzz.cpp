// Fuzz target for the pool lookup: the storage library is played by the
// input. Every answer of ZVListResource (status, size, count, entry bytes)
// and of ZVGetResourceInfo (status, record bytes) comes from the input, over
// a world of one to four drive letters that the input names too. Besides the
// sanitizers' findings, it is a finding when the lookup hands the library a
// list buffer above the cap or a name without a terminator in its entry,
// writes a pool name longer than 32 characters (or writes the caller's
// buffer although nothing was found), or leaves a handle open or the
// library loaded more than once; leaks are the leak sanitizer's findings.
//
// Input, all integers little-endian, zeros once the input runs out:
//   u8 letters (1 + n % 4), then that many u16 drive letters;
//   per ZVListResource call:   u32 status, u32 size out, u32 count out,
//                              u16 bytes to write, the bytes;
//   per ZVGetResourceInfo call: u32 status, u16 bytes to write, the bytes.
// The bytes are written from the start of the buffer given, never beyond it
// (for a record: never beyond 352 bytes plus a 1 KiB overrun that a sloppy
// library may write).
//
// Built with -DTALV_STORAGE_FUZZ_RECORD instead, this file is a program
// that runs the lookup against the host tests' storage stand-in in a set of
// its worlds and writes what the stand-in answered, in this input format,
// into the folder of starting inputs given as its argument.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "monitor/store_disk_monitor.h"
#include "platform/sim/sim_platform.h"
#include "service/event_log_reporter.h"
#include "shutdown/cluster_binding.h"
#include "shutdown/storage_api.h"

namespace {

using namespace talv;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
  }
}

// One simulated machine with the storage software, and the monitor on it.
struct World {
  sim::SimPlatform sim;
  Platform platform = sim.platform();
  CEventLogReporter reporter{sim.eventLog, sim.console};
  ClusterApiBinding cluster{sim.libraries, sim.system};
  std::unique_ptr<CStoreDiskMonitor> monitor;

  World(ProcAddress list, ProcAddress info) {
    sim::ServiceBehaviour stopped;
    stopped.state = svc::kStopped;
    sim.scm.InstallService(zv::kDriverService, stopped);
    sim.libraries.DefineLibrary(u"zvapi.dll", {{"ZVListResource", list}, {"ZVGetResourceInfo", info}});
    monitor = std::make_unique<CStoreDiskMonitor>(platform, reporter, cluster);
    monitor->m_nThresholdMB = 10;
  }

  // Looks up every letter; checks the caller's buffer and that nothing is
  // left open.
  void LookUp(const std::vector<char16_t>& letters) {
    for (char16_t letter : letters) {
      // The buffer is a heap block of exactly 34 units: a write past it is
      // a finding of the address sanitizer.
      std::unique_ptr<char16_t[]> name(new char16_t[CStoreDiskMonitor::kPoolNameUnits]);
      for (std::size_t i = 0; i < CStoreDiskMonitor::kPoolNameUnits; ++i) name[i] = 0xFFFF;
      if (monitor->FindPoolForDrive(letter, name.get())) {
        std::size_t n = 0;
        while (n < CStoreDiskMonitor::kPoolNameUnits && name[n] != 0) ++n;
        Check(n <= zv::kNameChars, "a pool name longer than 32 characters");
        monitor->IsPoolBelowThreshold(name.get());
      } else {
        for (std::size_t i = 0; i < CStoreDiskMonitor::kPoolNameUnits; ++i)
          Check(name[i] == 0xFFFF, "buffer written although no pool was found");
      }
      Check(sim.scm.OpenHandleCount() == 0, "service manager handle left open");
      Check(sim.registry.OpenKeyCount() == 0, "registry key left open");
      Check(sim.libraries.ReferenceCount(u"zvapi.dll") <= 1, "storage library loaded twice");
    }
  }
};

}  // namespace

#ifndef TALV_STORAGE_FUZZ_RECORD

namespace {

constexpr std::uint32_t kRecordOverrun = 1024;

// A name passed to the library ends within one entry's 66 bytes.
void CheckTerminated(const void* name) {
  if (name == nullptr) return;
  const auto* u = static_cast<const std::uint8_t*>(name);
  for (std::uint32_t i = 0; i < zv::kEntryBytes / 2; ++i)
    if (u[2 * i] == 0 && u[2 * i + 1] == 0) return;
  Check(false, "a name passed to the library has no terminator in its entry");
}

// The input, read front to back.
struct Answers {
  const std::uint8_t* data = nullptr;
  std::size_t left = 0;

  std::uint32_t Read(int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes && left > 0; ++i, --left) v |= static_cast<std::uint32_t>(*data++) << (8 * i);
    return v;
  }
  void Write(std::uint8_t* out, std::uint32_t room) {
    std::uint32_t n = Read(2);
    for (std::uint32_t i = 0; i < n && left > 0; ++i, --left, ++data)
      if (i < room) out[i] = *data;
  }
};

Answers answers;

std::uint32_t List(const void* parent, std::uint32_t type, void* buffer, std::uint32_t* size,
                   std::uint32_t* count) {
  Check(type == zv::kPool ? parent == nullptr : type == zv::kVirtualDisk && parent != nullptr,
        "a listing with an unexpected type or parent");
  CheckTerminated(parent);
  Check(*size <= zv::kListCapBytes, "a list buffer above the cap");
  const std::uint32_t room = *size;
  const std::uint32_t status = answers.Read(4);
  *size = answers.Read(4);
  *count = answers.Read(4);
  answers.Write(static_cast<std::uint8_t*>(buffer), room);
  return status;
}

std::uint32_t Info(const void* resource, std::uint32_t type, const void* subresource,
                   std::uint32_t size, void* record) {
  Check(size == zv::kRecordBytes, "a record size other than 352");
  Check(resource != nullptr && (type == zv::kPool) == (subresource == nullptr),
        "an information call with unexpected arguments");
  CheckTerminated(resource);
  CheckTerminated(subresource);
  const std::uint32_t status = answers.Read(4);
  answers.Write(static_cast<std::uint8_t*>(record), zv::kRecordBytes + kRecordOverrun);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One machine for the whole run: the lookup keeps nothing between calls
  // but the bound library, and every input ends with nothing else open.
  static World world(reinterpret_cast<ProcAddress>(&List), reinterpret_cast<ProcAddress>(&Info));
  answers = Answers{data, size};
  std::vector<char16_t> letters(1 + answers.Read(1) % 4);
  for (char16_t& l : letters) l = static_cast<char16_t>(answers.Read(2));
  world.LookUp(letters);
  return 0;
}

#else  // TALV_STORAGE_FUZZ_RECORD

#include "tests/unit/fake_storage.h"

namespace {

using talv::test::FakeDisk;
using talv::test::FakePool;
using talv::test::FakeStorage;

std::string recorded;

void Put(std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) recorded.push_back(static_cast<char>(v >> (8 * i)));
}
void PutBytes(const void* p, std::uint32_t n) {
  Put(n, 2);
  recorded.append(static_cast<const char*>(p), n);
}

std::uint32_t RecordList(const void* parent, std::uint32_t type, void* buffer, std::uint32_t* size,
                         std::uint32_t* count) {
  const std::uint32_t room = *size;
  std::uint32_t status = FakeStorage::List(parent, type, buffer, size, count);
  Put(status, 4);
  Put(*size, 4);
  Put(*count, 4);
  std::uint32_t written = status == zv::kSuccess ? *count * zv::kEntryBytes : 0;
  PutBytes(buffer, written < room ? written : room);
  return status;
}

std::uint32_t RecordInfo(const void* resource, std::uint32_t type, const void* subresource,
                         std::uint32_t size, void* record) {
  std::uint32_t status = FakeStorage::Info(resource, type, subresource, size, record);
  Put(status, 4);
  PutBytes(record, status == zv::kSuccess ? zv::kRecordBytes : 0);
  return status;
}

struct Seed {
  const char* name;
  std::u16string letters;
  void (*make)(FakeStorage&);
};

const Seed kSeeds[] = {
    {"no_pools", u"E", [](FakeStorage&) {}},
    {"one_pool", u"E", [](FakeStorage& s) { s.pools = {MakePool(u"P1", 20479, u"E")}; }},
    {"three_pools", u"HeF",
     [](FakeStorage& s) {
       s.pools = {MakePool(u"P1", 1, u"E"), MakePool(u"P2", 1, u"F"), MakePool(u"P3", 1, u"GH")};
     }},
    {"odd_probe", u"E",
     [](FakeStorage& s) {
       s.pools = {MakePool(u"P1", 1, u"E")};
       s.poolProbeStatus = zv::kSuccess;
       s.poolProbeCount = 2;
     }},
    {"failing_listing", u"E",
     [](FakeStorage& s) {
       s.pools = {MakePool(u"P1", 1, u"E")};
       s.poolListStatus = 0x20000008;
     }},
    {"letters", std::u16string(u"e\u00C4[\0", 4),
     [](FakeStorage& s) {
       s.pools = {MakePool(u"Upper", 1, u"E"), MakePool(u"Other", 1, u"\u00C4["),
                  MakePool(u"Unlettered", 1, std::u16string(1, u'\0'))};
     }},
    {"first_match", u"E",
     [](FakeStorage& s) {
       FakePool p2 = MakePool(u"P2", 1, u"");
       p2.disks.push_back(FakeDisk{u"d1", u'E', u"FromFirst"});
       p2.disks.push_back(FakeDisk{u"d2", u'E', u"FromSecond"});
       s.pools = {MakePool(u"P1", 1, u"XY"), p2, MakePool(u"P3", 1, u"E")};
     }},
    {"failed_information", u"E",
     [](FakeStorage& s) {
       FakePool p1 = MakePool(u"P1", 1, u"E");
       p1.diskListStatus = 0x20000009;
       FakePool p2 = MakePool(u"P2", 1, u"");
       p2.disks.push_back(FakeDisk{u"bad", u'E', u"Broken", true});
       p2.disks.push_back(FakeDisk{u"good", u'E', {}});
       s.pools = {p1, p2};
     }},
    {"counts_too_high", u"ZC",
     [](FakeStorage& s) {
       s.pools = {MakePool(u"P1", 1, u"AB"), MakePool(u"P2", 1, u"C")};
       s.extraCount = 5;
     }},
    {"unterminated_pool_name", u"E",
     [](FakeStorage& s) {
       FakePool p = MakePool(u"P1", 1, u"");
       p.disks.push_back(FakeDisk{u"d", u'E', {}, false, true});
       s.pools = {p};
     }},
    {"huge_probe", u"E",
     [](FakeStorage& s) {
       s.pools = {MakePool(u"P1", 1, u"E"), MakePool(u"P2", 1, u"E")};
       s.pools[0].diskProbeSize = 0xFFFFFFFFu;
     }},
    {"unwritten_entries", u"F",
     [](FakeStorage& s) {
       s.pools = {MakePool(u"P1", 1, u"E"), MakePool(u"P2", 1, u"F")};
       s.unwrittenEntries = 1;
     }},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
    return 2;
  }
  for (const Seed& seed : kSeeds) {
    FakeStorage storage;
    seed.make(storage);
    recorded.clear();
    Put(static_cast<std::uint32_t>(seed.letters.size() - 1), 1);
    for (char16_t l : seed.letters) Put(l, 2);
    World world(reinterpret_cast<ProcAddress>(&RecordList), reinterpret_cast<ProcAddress>(&RecordInfo));
    world.LookUp(std::vector<char16_t>(seed.letters.begin(), seed.letters.end()));
    std::string path = std::string(argv[1]) + "/" + seed.name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fwrite(recorded.data(), 1, recorded.size(), f);
    std::fclose(f);
  }
  return 0;
}

#endif  // TALV_STORAGE_FUZZ_RECORD
