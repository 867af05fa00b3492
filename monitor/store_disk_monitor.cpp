#include "monitor/store_disk_monitor.h"

#include <algorithm>
#include <iterator>

#include "monitor/settings.h"

namespace talv {

CStoreDiskMonitor::CStoreDiskMonitor(Platform& platform, CEventLogReporter& reporter)
    : CStoreDiskMonitor(platform, reporter,
                        ProcessClusterApiBinding(platform.libraries, platform.system)) {}

CStoreDiskMonitor::CStoreDiskMonitor(Platform& platform, CEventLogReporter& reporter,
                                     ClusterApiBinding& cluster)
    : CWnd(platform.windowing),
      m_paths(platform.registry),
      platform_(platform),
      reporter_(reporter),
      cluster_(cluster) {}

CStoreDiskMonitor::~CStoreDiskMonitor() = default;

WindowCreateParams CStoreDiskMonitor::DefaultCreateParams(Windowing& windowing) {
  WindowCreateParams p;
  p.className = u"STATIC";
  p.title = u"TALVWardstone";
  p.style = 0;
  // The rectangle (-1, -1)-(0, 0).
  p.x = -1;
  p.y = -1;
  p.width = 1;
  p.height = 1;
  p.parent = windowing.DesktopWindow();
  p.childId = 1;
  return p;
}

const CWnd::MessageMapEntry* CStoreDiskMonitor::GetMessageMap() const {
  static constexpr MessageMapEntry kMap[] = {
      {wm::kCreate, &CreateMsg},
      {wm::kDestroy, &DestroyMsg},
      {wm::kTimer, &TimerMsg},
      {0, nullptr},
  };
  return kMap;
}

std::intptr_t CStoreDiskMonitor::CreateMsg(CWnd& w, std::uintptr_t, std::intptr_t lParam) {
  return static_cast<CStoreDiskMonitor&>(w).OnCreate(lParam);
}

std::intptr_t CStoreDiskMonitor::DestroyMsg(CWnd& w, std::uintptr_t, std::intptr_t) {
  static_cast<CStoreDiskMonitor&>(w).OnDestroy();
  return 0;
}

std::intptr_t CStoreDiskMonitor::TimerMsg(CWnd& w, std::uintptr_t wParam, std::intptr_t) {
  // The timer identifier is passed on but not examined.
  static_cast<CStoreDiskMonitor&>(w).OnTimer(wParam);
  return 0;
}

void CStoreDiskMonitor::ReadSettings() {
  ReadMonitorSettings(platform_.registry, &m_nCheckIntervalSec, &m_nThresholdMB);
}

int CStoreDiskMonitor::OnCreate(std::intptr_t createParams) {
  if (CWnd::OnCreate(createParams) == -1) return -1;
  m_paths.ReadExchangePaths();
  ReadSettings();
  // Seconds to milliseconds without wrapping, held to the longest period a
  // window timer takes.
  std::uint64_t periodMs = static_cast<std::uint64_t>(m_nCheckIntervalSec) * 1000u;
  periodMs = std::min<std::uint64_t>(periodMs, wm::kMaxTimerPeriod);
  m_nTimerId = static_cast<std::uint32_t>(
      windowing_.SetTimer(window_, kTimerId, static_cast<std::uint32_t>(periodMs)));
  return 0;
}

void CStoreDiskMonitor::OnDestroy() {
  windowing_.KillTimer(window_, m_nTimerId);
  CWnd::OnDestroy();
}

void CStoreDiskMonitor::OnTimer(std::uintptr_t timerId) {
  CWnd::OnTimer(timerId);
  // A tick that arrives while a cycle runs (a message dispatched from within
  // it) is dropped.
  if (m_bChecking != 0) return;
  m_bChecking = 1;
  bool anyLow = false;

  char16_t letters[kLetterRoom];
  char16_t poolName[kPoolNameUnits] = {};
  // Only the fifteen Exchange reads fill the set, so its distinct letters
  // and their terminator always fit; a set that could overflow is not looked at.
  std::size_t n = m_paths.size() < kLetterRoom ? m_paths.CollectDriveLetters(letters) : 0;
  // What each letter's lookup and free-space test found, for the watch report.
  WatchView view;
  if (n != 0) {
    letters[n] = 0;
    for (std::size_t i = 0; i < n; ++i) {
      // The name goes back to the library as a resource: cleared for each
      // letter, nothing of the stack or of the letter before follows it.
      std::fill(std::begin(poolName), std::end(poolName), char16_t{0});
      DriveView& drive = view.drives[view.count++];
      ExamineDrive(letters[i], poolName, &drive);
      if (!drive.low) continue;
      ReportLowPoolSpace(poolName, letters[i]);
      anyLow = true;
    }
  }
  ReportWatchIfChanged(view);
  if (anyLow) ShutdownExchange();
  m_bChecking = 0;
}

}  // namespace talv
