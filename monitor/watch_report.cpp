// The watch report: what the monitor can see of each Exchange drive, written
// when that view changes, and printed on demand by "talvmon.exe -Check".
#include "monitor/watch_report.h"

#include <algorithm>
#include <iterator>

#include "monitor/store_disk_monitor.h"
#include "resources/messages.h"
#include "shutdown/message_format.h"

namespace talv {

namespace {

using State = DriveView::State;

// Exit codes of a check, as monitoring agents read them.
constexpr int kCheckOk = 0;
constexpr int kCheckWarning = 1;
constexpr int kCheckCritical = 2;
constexpr int kCheckUnknown = 3;

void AppendFormatted(std::u16string& out, const char16_t* templ,
                     std::initializer_list<MessageArg> args) {
  out += FormatMessageText(templ, std::data(args), args.size());
}

// "E:", "E: and F:", "E:, F: and G:".
std::u16string LetterList(const char16_t* letters, std::size_t n) {
  std::u16string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) out += i + 1 == n ? u" and " : u", ";
    out += letters[i];
    out += u':';
  }
  return out;
}

}  // namespace

bool SameWatch(const WatchView& a, const WatchView& b) {
  if (a.count != b.count) return false;
  for (std::size_t i = 0; i < a.count; ++i) {
    const DriveView& x = a.drives[i];
    const DriveView& y = b.drives[i];
    if (x.letter != y.letter || x.state != y.state || x.status != y.status) return false;
    const bool named = x.state == State::kPoolFree || x.state == State::kFreeUnreadable;
    if (named && !std::equal(std::begin(x.pool), std::end(x.pool), std::begin(y.pool))) return false;
  }
  return true;
}

bool WatchesAll(const WatchView& view) {
  if (view.count == 0) return false;
  for (std::size_t i = 0; i < view.count; ++i)
    if (view.drives[i].state != State::kPoolFree) return false;
  return true;
}

void AppendDriveItem(std::u16string& out, const DriveView& d) {
  const char16_t letter[2] = {d.letter, 0};
  const MessageArg drive = MessageArg::Text(letter);
  switch (d.state) {
    case State::kPoolFree:
      AppendFormatted(out, u"%1: pool '%2', %3!u! MB free",
                      {drive, MessageArg::Text(d.pool),
                       MessageArg::Number(static_cast<std::int64_t>(d.freeMB))});
      break;
    case State::kFreeUnreadable:
      AppendFormatted(out, u"%1: pool '%2', free space cannot be read",
                      {drive, MessageArg::Text(d.pool)});
      break;
    case State::kNoVirtualDisk:
      AppendFormatted(out, u"%1: no TALV virtual disk", {drive});
      break;
    case State::kNoAnswer:
      AppendFormatted(out, u"%1: TALV storage software did not answer (status 0x%2!x!)",
                      {drive, MessageArg::Number(d.status)});
      break;
    case State::kStorageMissing:
      AppendFormatted(out, u"%1: TALV storage software not found", {drive});
      break;
    case State::kNoLetter:
      out += u"a location without a drive letter";
      break;
  }
}

std::u16string WatchItems(const WatchView& view, const char16_t* separator) {
  if (view.count == 0) return u"no Exchange location found";
  std::u16string out;
  for (std::size_t i = 0; i < view.count; ++i) {
    if (i != 0) out += separator;
    AppendDriveItem(out, view.drives[i]);
  }
  return out;
}

void CStoreDiskMonitor::ReportWatchIfChanged(const WatchView& view) {
  if (watchWritten_ && SameWatch(view, lastWatch_)) return;
  lastWatch_ = view;
  watchWritten_ = true;
  const std::u16string items = WatchItems(view, u"; ");
  const MessageArg args[] = {
      MessageArg::Text(items.c_str()),
      MessageArg::Number(m_nThresholdMB),
      MessageArg::Number(m_nCheckIntervalSec),
  };
  // Written whole: a report of many drives would be cut inside an item.
  if (WatchesAll(view))
    WriteMessage(resources::kIdWatchingAll, evt::kInformation, args, std::size(args), true);
  else
    WriteMessage(resources::kIdCannotWatchAll, evt::kWarning, args, std::size(args), true);
}

int CStoreDiskMonitor::RunCheck(Console& console) {
  std::u16string out;
  auto finish = [&](int code) {
    console.Write(out.c_str());
    return code;
  };
  {
    // Without the service manager nothing can be looked at: neither the
    // storage driver nor Exchange.
    UniqueScHandle manager;
    if (WinError e = OpenManager(manager, platform_.scm, svc::kManagerAllAccess)) {
      AppendFormatted(out,
                      u"TALVMON UNKNOWN - the service manager cannot be opened (error %1!u!): "
                      u"-Check needs an administrator\r\n",
                      {MessageArg::Number(e)});
      return finish(kCheckUnknown);
    }
  }
  m_paths.ReadExchangePaths();
  ReadSettings();

  // The cycle's own steps, without the warning and the shutdown.
  char16_t letters[kLetterRoom];
  char16_t poolName[kPoolNameUnits];
  std::size_t n = m_paths.size() < kLetterRoom ? m_paths.CollectDriveLetters(letters) : 0;
  WatchView view;
  char16_t lowLetters[kLetterRoom];
  std::size_t lows = 0, unwatched = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::fill(std::begin(poolName), std::end(poolName), char16_t{0});
    DriveView& drive = view.drives[view.count++];
    ExamineDrive(letters[i], poolName, &drive);
    if (drive.low) lowLetters[lows++] = letters[i];
    if (drive.state != State::kPoolFree) ++unwatched;
  }

  const MessageArg threshold = MessageArg::Number(m_nThresholdMB);
  int code;
  if (n == 0) {
    code = kCheckUnknown;
    out += u"TALVMON UNKNOWN - nothing to check: no Exchange location found\r\n";
  } else if (lows != 0) {
    code = kCheckCritical;
    AppendFormatted(out, u"TALVMON CRITICAL - pool below %1!u! MB for %2\r\n",
                    {threshold, MessageArg::Text(LetterList(lowLetters, lows).c_str())});
  } else if (unwatched != 0) {
    code = kCheckWarning;
    AppendFormatted(out, u"TALVMON WARNING - %1!u! of %2!u! Exchange drives cannot be watched\r\n",
                    {MessageArg::Number(static_cast<std::int64_t>(unwatched)),
                     MessageArg::Number(static_cast<std::int64_t>(n))});
  } else {
    code = kCheckOk;
    AppendFormatted(out, u"TALVMON OK - every Exchange drive is watched, no pool below %1!u! MB\r\n",
                    {threshold});
  }
  out += WatchItems(view, u"\r\n");
  AppendFormatted(out, u"\r\nThreshold %1!u! MB, checked every %2!u! seconds.\r\n",
                  {threshold, MessageArg::Number(m_nCheckIntervalSec)});

  // What the cycle would do now: it warns and shuts down only while
  // Exchange runs.
  if (lows == 0) {
    out += u"would do nothing\r\n";
  } else if (!IsExchangeRunning()) {
    out += u"would do nothing: Exchange is not running\r\n";
  } else {
    out += u"would warn for " + LetterList(lowLetters, lows) + u", then ";
    if (IsClusterNode())
      AppendFormatted(out, u"take the cluster resource '%1' offline\r\n",
                      {MessageArg::Text(kClusterResourceName)});
    else
      out += u"stop Exchange service by service, System Attendant last\r\n";
  }
  return finish(code);
}

}  // namespace talv
