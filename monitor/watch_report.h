// What a check cycle saw of each drive letter: whether its pool was found
// and its free space read, and if not, why. The cycle writes it as the
// watch report (messages 106 and 107) when it changes; "talvmon.exe -Check"
// prints it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talv {

// One drive letter as the lookup and the free-space test left it.
struct DriveView {
  enum class State : std::uint8_t {
    kPoolFree,        // the pool was found and its information read
    kFreeUnreadable,  // the pool was found; its information call failed
    kNoVirtualDisk,   // every library call succeeded; no disk at the letter
    kNoAnswer,        // no disk matched and a library call failed (`status`)
    kStorageMissing,  // no driver service, or no usable storage library
    kNoLetter,        // a location without a drive letter
  };
  static constexpr std::size_t kPoolNameUnits = 34;

  char16_t letter = 0;
  State state = State::kNoLetter;
  std::uint32_t status = 0;  // kNoAnswer: the first failed call's status
  std::uint64_t freeMB = 0;  // kPoolFree: as the threshold test computes it
  bool low = false;          // kPoolFree and below the threshold
  char16_t pool[kPoolNameUnits] = {};
};

// Every distinct letter of one cycle, in the cycle's order.
struct WatchView {
  static constexpr std::size_t kRoom = 28;
  std::size_t count = 0;
  DriveView drives[kRoom];
};

// Whether two views differ in nothing but free megabytes.
bool SameWatch(const WatchView& a, const WatchView& b);
// Whether every letter's pool was found and its free space read (an empty
// view watches nothing).
bool WatchesAll(const WatchView& view);
// One letter's item: "E: pool 'P1', 812 MB free", "E: no TALV virtual
// disk", ...
void AppendDriveItem(std::u16string& out, const DriveView& drive);
// The items joined by `separator`; "no Exchange location found" for none.
std::u16string WatchItems(const WatchView& view, const char16_t* separator);

}  // namespace talv
