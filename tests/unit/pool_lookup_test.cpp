// The pool behind a drive letter and its free-space test, against the
// storage library stand-in.
#include <gtest/gtest.h>

#include <functional>

#include "tests/unit/monitor_world.h"

namespace talv::test {
namespace {

class PoolLookupTest : public MonitorWorld {
 protected:
  // Runs the lookup into a buffer full of 0xFFFF; the name, or "<none>".
  std::u16string Find(char16_t letter) {
    char16_t buffer[CStoreDiskMonitor::kPoolNameUnits];
    std::fill(std::begin(buffer), std::end(buffer), char16_t{0xFFFF});
    if (!monitor->FindPoolForDrive(letter, buffer)) {
      for (char16_t c : buffer) EXPECT_EQ(c, 0xFFFF) << "buffer written although nothing was found";
      return u"<none>";
    }
    return buffer;
  }
  std::vector<StorageCall> Lists() const {
    std::vector<StorageCall> out;
    for (const auto& c : storage.calls)
      if (c.kind == StorageCall::kList) out.push_back(c);
    return out;
  }
};

TEST_F(PoolLookupTest, WithoutTheDriverServiceTheLibraryIsNeverLoaded) {
  DefineStorageLibrary();
  AddPool(u"P1", 1, u"E");
  EXPECT_EQ(Find(u'E'), u"<none>");
  EXPECT_EQ(Find(u'F'), u"<none>");
  EXPECT_EQ(sim.libraries.LoadCallCount(u"zvapi.dll"), 0u);
  EXPECT_TRUE(storage.calls.empty());
}

TEST_F(PoolLookupTest, DriverCheckFailuresCountAsMissing) {
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  sim.scm.faults().FailNext(sim::SimServiceManager::Op::OpenManager, err::kAccessDenied);
  EXPECT_EQ(Find(u'E'), u"<none>");
  sim.scm.faults().FailNext(sim::SimServiceManager::Op::OpenService, err::kAccessDenied);
  EXPECT_EQ(Find(u'E'), u"<none>");
  ExpectNothingOpen();
  EXPECT_TRUE(storage.calls.empty());
  // A stopped driver service counts as present.
  EXPECT_EQ(sim.scm.State(u"zvdriver"), svc::kStopped);
  EXPECT_EQ(Find(u'E'), u"P1");
  EXPECT_TRUE(monitor->IsDriverServicePresent(u"zvdriver"));
  EXPECT_FALSE(monitor->IsDriverServicePresent(u"nosuchdriver"));
}

TEST_F(PoolLookupTest, NoPoolsMeansNoPoolAfterOneProbe) {
  InstallStorage();
  EXPECT_EQ(Find(u'E'), u"<none>");
  auto lists = Lists();
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].type, zv::kPool);
  EXPECT_EQ(lists[0].parent, u"");
  EXPECT_EQ(lists[0].sizeIn, 66u);
}

TEST_F(PoolLookupTest, AProbeThatHeldTheOnlyEntryStillListsAgain) {
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  EXPECT_EQ(Find(u'E'), u"P1");
  auto lists = Lists();
  ASSERT_EQ(lists.size(), 4u);  // pools twice, then the pool's disks twice
  EXPECT_EQ(lists[0].parent, u"");
  EXPECT_EQ(lists[1].parent, u"");
  EXPECT_EQ(lists[1].sizeIn, 66u);
  EXPECT_EQ(lists[2].parent, u"P1");
  EXPECT_EQ(lists[2].type, zv::kVirtualDisk);
  EXPECT_EQ(lists[3].parent, u"P1");
  ExpectNothingOpen();
}

TEST_F(PoolLookupTest, ATooSmallProbeLeadsToAListingOfTheSizeAsked) {
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  AddPool(u"P2", 1, u"F");
  AddPool(u"P3", 1, u"GH");
  EXPECT_EQ(Find(u'H'), u"P3");
  auto lists = Lists();
  ASSERT_GE(lists.size(), 2u);
  EXPECT_EQ(lists[1].sizeIn, 3u * 66u);
  // Every pool was asked for its disks, in list order.
  std::vector<std::u16string> parents;
  for (std::size_t i = 2; i < lists.size(); i += 2) parents.push_back(lists[i].parent);
  EXPECT_EQ(parents, (std::vector<std::u16string>{u"P1", u"P2", u"P3"}));
}

TEST_F(PoolLookupTest, OddPoolListingAnswersEndTheLookup) {
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  // A successful probe that claims more entries than its room held.
  storage.poolProbeStatus = zv::kSuccess;
  storage.poolProbeCount = 2;
  EXPECT_EQ(Find(u'E'), u"<none>");
  EXPECT_EQ(Lists().size(), 1u);
  // Any other status of the probe.
  storage.calls.clear();
  storage.poolProbeStatus = 0x20000007;
  EXPECT_EQ(Find(u'E'), u"<none>");
  EXPECT_EQ(Lists().size(), 1u);
  // The second listing failing.
  storage.calls.clear();
  storage.poolProbeStatus = 0xFFFFFFFF;
  storage.poolListStatus = 0x20000008;
  EXPECT_EQ(Find(u'E'), u"<none>");
  EXPECT_EQ(Lists().size(), 2u);
  storage.poolListStatus = 0;
  EXPECT_EQ(Find(u'E'), u"P1");
}

TEST_F(PoolLookupTest, LettersCompareWithoutCaseForAToZOnly) {
  InstallStorage();
  AddPool(u"Upper", 1, u"E");
  AddPool(u"Lower", 1, u"f");
  AddPool(u"Other", 1, u"\u00C4[");
  EXPECT_EQ(Find(u'e'), u"Upper");
  EXPECT_EQ(Find(u'E'), u"Upper");
  EXPECT_EQ(Find(u'F'), u"Lower");
  EXPECT_EQ(Find(u'f'), u"Lower");
  EXPECT_EQ(Find(u'\u00C4'), u"Other");
  EXPECT_EQ(Find(u'\u00E4'), u"<none>");  // beyond A-Z nothing folds
  EXPECT_EQ(Find(u'['), u"Other");
  EXPECT_EQ(Find(u'{'), u"<none>");       // '{' is '[' + 32
  EXPECT_EQ(Find(u'G'), u"<none>");
}

TEST_F(PoolLookupTest, LetterZeroMatchesNoDiskAndAsksNothing) {
  InstallStorage();
  AddPool(u"Lettered", 1, u"E");
  AddPool(u"Unlettered", 1, std::u16string(1, u'\0'));
  EXPECT_EQ(Find(0), u"<none>");
  EXPECT_TRUE(storage.calls.empty());
  EXPECT_EQ(sim.libraries.LoadCallCount(u"zvapi.dll"), 0u);
  EXPECT_EQ(Find(u'E'), u"Lettered");
}

TEST_F(PoolLookupTest, FirstMatchInPoolThenDiskOrderWinsAndStopsTheSearch) {
  InstallStorage();
  AddPool(u"P1", 1, u"XY");
  FakePool& p2 = AddPool(u"P2", 1, u"");
  p2.disks.push_back(FakeDisk{u"d1", u'E', u"FromFirst"});
  p2.disks.push_back(FakeDisk{u"d2", u'E', u"FromSecond"});
  AddPool(u"P3", 1, u"E");
  // The name is the one the disk's record holds, not the list entry's.
  EXPECT_EQ(Find(u'E'), u"FromFirst");
  for (const auto& c : storage.calls) EXPECT_NE(c.parent, u"P3");
  EXPECT_EQ(storage.calls.back().subject, u"d1");
}

TEST_F(PoolLookupTest, FailedInformationSkipsOneDiskAndFailedListingOnePool) {
  InstallStorage();
  FakePool& p1 = AddPool(u"P1", 1, u"E");
  p1.diskListStatus = 0x20000009;
  FakePool& p2 = AddPool(u"P2", 1, u"");
  p2.disks.push_back(FakeDisk{u"bad", u'E', u"Broken", true});
  p2.disks.push_back(FakeDisk{u"good", u'E', {}});
  EXPECT_EQ(Find(u'E'), u"P2");
  EXPECT_EQ(storage.Count(StorageCall::kInfo), 2u);
  ExpectNothingOpen();
}

TEST_F(PoolLookupTest, EntriesAreReadOnlyInsideTheAllocatedBuffer) {
  InstallStorage();
  AddPool(u"P1", 1, u"AB");
  AddPool(u"P2", 1, u"C");
  // Every second listing claims five entries more than it wrote; reading
  // them would run past the buffer (and AddressSanitizer would stop it).
  storage.extraCount = 5;
  EXPECT_EQ(Find(u'Z'), u"<none>");
  EXPECT_EQ(storage.Count(StorageCall::kInfo), 3u);
  EXPECT_EQ(Find(u'C'), u"P2");
}

TEST_F(PoolLookupTest, ListSizesBeyondTheCapFailTheListing) {
  const std::uint32_t cap = 65536u * 66u;
  struct Case {
    std::optional<std::uint32_t> poolProbe, diskProbe;
    const char16_t* found;
    std::size_t lists;
  } cases[] = {
      {cap + 1, {}, u"<none>", 1},        // the pool listing fails
      {0xFFFFFFFFu, {}, u"<none>", 1},
      {cap, {}, u"P1", 4},                // at the cap it is still a list
      {{}, cap + 1, u"P2", 5},            // the first pool is skipped
      {{}, 0xFFFFFFFFu, u"P2", 5},
  };
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  AddPool(u"P2", 1, u"E");
  for (const Case& c : cases) {
    storage.calls.clear();
    storage.poolProbeSize = c.poolProbe;
    storage.pools[0].diskProbeSize = c.diskProbe;
    EXPECT_EQ(Find(u'E'), c.found);
    EXPECT_EQ(Lists().size(), c.lists);
  }
  ExpectNothingOpen();
}

TEST_F(PoolLookupTest, EntriesGoBackToTheLibraryClearedAndTerminated) {
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  AddPool(u"P2", 1, u"F");
  // The second pool is counted but never written: it goes back as an empty name.
  storage.unwrittenEntries = 1;
  EXPECT_EQ(Find(u'F'), u"<none>");
  const auto lists = Lists();
  ASSERT_EQ(lists.size(), 5u);
  EXPECT_EQ(lists[4].parentBytes, std::vector<std::uint8_t>(66, 0));
  // Names that fill their entries: unit 32 is 0 in every entry passed back.
  storage.unwrittenEntries = 0;
  storage.unterminatedEntries = true;
  storage.calls.clear();
  Find(u'E');
  ASSERT_GE(storage.calls.size(), 3u);
  for (const StorageCall& c : storage.calls) {
    for (const auto* bytes : {&c.parentBytes, &c.subjectBytes}) {
      if (bytes->empty()) continue;
      EXPECT_EQ((*bytes)[64], 0);
      EXPECT_EQ((*bytes)[65], 0);
    }
  }
}

TEST_F(PoolLookupTest, TheCountIsCutToTheSizeTheListingReports) {
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  AddPool(u"P2", 1, u"F");
  AddPool(u"P3", 1, u"G");
  storage.poolListSizeOut = 2 * 66 + 65;  // room for two entries, not three
  EXPECT_EQ(Find(u'G'), u"<none>");
  EXPECT_EQ(Lists().size(), 6u);
  EXPECT_EQ(Find(u'F'), u"P2");
}

TEST_F(PoolLookupTest, ARecordWrittenPastItsSizeLandsInSlack) {
  InstallStorage();
  AddPool(u"P1", 2048 * 5, u"E");
  monitor->m_nThresholdMB = 10;
  storage.infoWriteBytes = 4096;
  EXPECT_EQ(Find(u'E'), u"P1");
  storage.pools[0].factor1 = 1;
  storage.pools[0].factor2 = 2048 * 5;
  EXPECT_TRUE(monitor->IsPoolBelowThreshold(u"P1"));
  for (const StorageCall& c : storage.calls) {
    if (c.kind == StorageCall::kInfo) {
      EXPECT_EQ(c.sizeIn, 352u);
    }
  }
}

TEST_F(PoolLookupTest, APoolNameWithoutTerminatorIsCutTo32Characters) {
  InstallStorage();
  FakePool& p = AddPool(u"P1", 1, u"");
  p.disks.push_back(FakeDisk{u"d", u'E', {}, false, true});
  EXPECT_EQ(Find(u'E'), std::u16string(32, u'N'));
  // A name of exactly 32 characters fits with its terminator.
  p.disks[0] = FakeDisk{u"d", u'E', std::u16string(32, u'x')};
  EXPECT_EQ(Find(u'E'), std::u16string(32, u'x'));
}

TEST_F(PoolLookupTest, AMissingLibraryIsRetriedOnTheNextLookup) {
  sim.scm.InstallService(u"zvdriver", SimStopped());
  AddPool(u"P1", 1, u"E");
  EXPECT_EQ(Find(u'E'), u"<none>");
  EXPECT_EQ(Find(u'E'), u"<none>");
  EXPECT_EQ(sim.libraries.LoadCallCount(u"zvapi.dll"), 2u);
  DefineStorageLibrary();
  EXPECT_EQ(Find(u'E'), u"P1");
  EXPECT_EQ(Find(u'E'), u"P1");
  // Once bound it is kept: loaded once, held once.
  EXPECT_EQ(sim.libraries.LoadCallCount(u"zvapi.dll"), 3u);
  EXPECT_EQ(sim.libraries.ReferenceCount(u"zvapi.dll"), 1u);
  ExpectNothingOpen();
}

TEST_F(PoolLookupTest, ALibraryLackingAnEntryPointIsReleasedAndRetried) {
  InstallStorage();
  AddPool(u"P1", 1, u"E");
  for (const char* missing : {"ZVGetResourceInfo", "ZVListResource"}) {
    DefineStorageLibrary();
    sim.libraries.RemoveExport(u"zvapi.dll", missing);
    std::size_t loads = sim.libraries.LoadCallCount(u"zvapi.dll");
    EXPECT_EQ(Find(u'E'), u"<none>") << missing;
    EXPECT_EQ(sim.libraries.LoadCallCount(u"zvapi.dll"), loads + 1) << missing;
    EXPECT_EQ(sim.libraries.ReferenceCount(u"zvapi.dll"), 0u) << missing;
    EXPECT_FALSE(monitor->IsPoolBelowThreshold(u"P1")) << missing;
  }
  EXPECT_TRUE(storage.calls.empty());
  DefineStorageLibrary();
  EXPECT_EQ(Find(u'E'), u"P1");
}

TEST_F(PoolLookupTest, FreeSpaceAgainstTheThreshold) {
  InstallStorage();
  FakePool& p = AddPool(u"P1", 0, u"E");
  auto below = [&](std::uint32_t f1, std::uint32_t f2, std::uint32_t thresholdMB) {
    storage.pools[0].factor1 = f1;
    storage.pools[0].factor2 = f2;
    monitor->m_nThresholdMB = thresholdMB;
    return monitor->IsPoolBelowThreshold(u"P1");
  };
  (void)p;
  EXPECT_TRUE(below(20479, 1, 10));   // 9 MB and a fraction
  EXPECT_FALSE(below(20480, 1, 10));  // exactly 10 MB
  EXPECT_TRUE(below(1, 20479, 10));
  EXPECT_FALSE(below(512, 40, 10));
  EXPECT_FALSE(below(0, 0, 0));  // threshold 0: never below
  // 2 TiB and more free never wraps to looking nearly empty.
  EXPECT_FALSE(below(65536, 65536, 10));
  EXPECT_FALSE(below(0x80000000u, 2, 10));
  EXPECT_FALSE(below(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
  EXPECT_TRUE(below(65536, 65536, 0xFFFFFFFFu));
  // The call: the name, type 2, no subresource, 352 bytes.
  const StorageCall& c = storage.calls.back();
  EXPECT_EQ(c.kind, StorageCall::kInfo);
  EXPECT_EQ(c.parent, u"P1");
  EXPECT_EQ(c.type, zv::kPool);
  EXPECT_EQ(c.subject, u"");
  EXPECT_EQ(c.sizeIn, 352u);
  // Unreadable information counts as not below.
  storage.pools[0].infoFails = true;
  monitor->m_nThresholdMB = 0xFFFFFFFFu;
  EXPECT_FALSE(monitor->IsPoolBelowThreshold(u"P1"));
  EXPECT_FALSE(monitor->IsPoolBelowThreshold(u"NoSuchPool"));
}

TEST_F(PoolLookupTest, ExaminingADriveSaysWhatItFoundOrWhyNot) {
  const std::u16string noAnswer = u"E: TALV storage software did not answer (status 0x";
  struct Row {
    const char* name;
    std::function<void()> world;
    char16_t letter;
    std::u16string item;
  } rows[] = {
      {"pool", [this] { AddPool(u"P1", 2048 * 812 + 2047, u"E"); }, u'E', u"E: pool 'P1', 812 MB free"},
      {"lower case", [this] { AddPool(u"P1", 2048, u"E"); }, u'e', u"e: pool 'P1', 1 MB free"},
      {"unreadable", [this] { AddPool(u"P1", 1, u"E").infoFails = true; }, u'E',
       u"E: pool 'P1', free space cannot be read"},
      {"no disk", [this] { AddPool(u"P1", 1, u"F"); }, u'E', u"E: no TALV virtual disk"},
      {"no pools", [] {}, u'E', u"E: no TALV virtual disk"},
      {"disk information fails",
       [this] {
         AddPool(u"P1", 1, u"E").disks[0].infoFails = true;
         AddPool(u"P2", 1, u"F");
       },
       u'E', noAnswer + u"20000005)"},
      {"the first failure is named",
       [this] {
         AddPool(u"P1", 1, u"X").diskListStatus = 0x20000009;
         AddPool(u"P2", 1, u"E").disks[0].infoFails = true;
       },
       u'E', noAnswer + u"20000009)"},
      {"a failure before a match", [this] {
         AddPool(u"P1", 1, u"X").diskListStatus = 0x20000009;
         AddPool(u"P2", 2048, u"E");
       },
       u'E', u"E: pool 'P2', 1 MB free"},
      {"pool probe fails", [this] { storage.poolProbeStatus = 0x20000007; }, u'E', noAnswer + u"20000007)"},
      {"pool listing fails",
       [this] {
         AddPool(u"P1", 1, u"E");
         storage.poolListStatus = 0x2000000b;
       },
       u'E', noAnswer + u"2000000b)"},
      {"no driver service", [this] { sim.scm.RemoveService(u"zvdriver"); }, u'E',
       u"E: TALV storage software not found"},
      {"no library", [this] { sim.libraries.RemoveLibrary(u"zvapi.dll"); }, u'E',
       u"E: TALV storage software not found"},
      {"a library lacking an entry", [this] { sim.libraries.RemoveExport(u"zvapi.dll", "ZVGetResourceInfo"); },
       u'E', u"E: TALV storage software not found"},
      {"no letter", [this] { AddPool(u"P1", 1, std::u16string(1, u'\0')); }, 0,
       u"a location without a drive letter"},
  };
  for (const Row& row : rows) {
    monitor = std::make_unique<CStoreDiskMonitor>(platform, reporter, cluster);
    storage.pools.clear();
    storage.poolProbeStatus = 0xFFFFFFFF;
    storage.poolListStatus = 0;
    InstallStorage();
    row.world();
    char16_t name[CStoreDiskMonitor::kPoolNameUnits] = {};
    DriveView view;
    monitor->ExamineDrive(row.letter, name, &view);
    std::u16string item;
    AppendDriveItem(item, view);
    EXPECT_EQ(item, row.item) << row.name;
    ExpectNothingOpen();
    sim.scm.RemoveService(u"zvdriver");
  }
}

}  // namespace
}  // namespace talv::test
