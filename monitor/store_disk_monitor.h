// The monitor: one hidden window whose timer runs the check cycle. Each
// cycle looks up the storage pool behind every distinct drive letter of the
// Exchange locations, warns for each letter whose pool is below the
// threshold, and then shuts Exchange down once if any pool was low.
//
// One class, three files, each declaration grouped under the file that
// implements it:
//   monitor/store_disk_monitor.cpp   the window, its timer and the cycle,
//                                    the settings
//   shutdown/pool_lookup.cpp         the storage driver check, the storage
//                                    library's binding and calls, the pool
//                                    lookup and the free-space test
//   shutdown/exchange_shutdown.cpp   the messages, the Exchange services'
//                                    state and shutdown, the cluster path
//   monitor/watch_report.cpp         the watch report and the one-off check
#pragma once

#include <cstddef>
#include <cstdint>

#include "monitor/exchange_paths.h"
#include "monitor/watch_report.h"
#include "monitor/wnd.h"
#include "platform/platform.h"
#include "service/event_log_reporter.h"
#include "shutdown/cluster_binding.h"
#include "shutdown/message_format.h"
#include "shutdown/shutdown_progress.h"
#include "shutdown/storage_api.h"

namespace talv {

class CStoreDiskMonitor : public CWnd {
 public:
  // Room of the cycle's drive-letter array and of its pool-name buffer.
  static constexpr std::size_t kLetterRoom = 28;
  static constexpr std::size_t kPoolNameUnits = 34;
  static constexpr std::uintptr_t kTimerId = 1;

  // `platform`, `reporter` and `cluster` must outlive the monitor. The first
  // form uses the process-wide cluster binding.
  CStoreDiskMonitor(Platform& platform, CEventLogReporter& reporter);
  CStoreDiskMonitor(Platform& platform, CEventLogReporter& reporter, ClusterApiBinding& cluster);
  ~CStoreDiskMonitor() override;

  // The window the run loop creates: a hidden "STATIC" child of the desktop
  // at (-1, -1), 1 by 1, child id 1, titled "TALVWardstone".
  static WindowCreateParams DefaultCreateParams(Windowing& windowing);

  // --- monitor/store_disk_monitor.cpp ----------------------------------
  // Settings from the registry into m_nCheckIntervalSec and m_nThresholdMB.
  void ReadSettings();

  // --- shutdown/pool_lookup.cpp ----------------------------------------
  // True when the SCM opens and the named service opens in it (access 0x34).
  bool IsDriverServicePresent(const char16_t* serviceName);
  // True when a virtual disk mounted at `letter` (A-Z in any case) was found;
  // its pool's name, at most 32 characters, is then in `poolName`. Letter 0
  // (no letter) is never found, without asking the storage library.
  bool FindPoolForDrive(char16_t letter, char16_t* poolName);
  // True when the pool's information was read and its free MB is below
  // m_nThresholdMB.
  bool IsPoolBelowThreshold(const char16_t* poolName);
  // FindPoolForDrive that also says why nothing was found: on false
  // `why->state` (and for kNoAnswer `why->status`) is set.
  bool LookUpPool(char16_t letter, char16_t* poolName, DriveView* why);
  // The free-space test's reading: false when the pool's information cannot
  // be read (*freeMB untouched).
  bool ReadPoolFreeMB(const char16_t* poolName, std::uint64_t* freeMB);
  // The lookup and the free-space test for one letter, as the cycle makes
  // them, into `view`; the pool's name is left in `poolName` when found.
  void ExamineDrive(char16_t letter, char16_t* poolName, DriveView* view);

  // --- monitor/watch_report.cpp -----------------------------------------
  // Message 106 (every letter watched) or 107 for the view, when it is the
  // first or differs from the one last written in more than free space.
  void ReportWatchIfChanged(const WatchView& view);
  // One cycle in report-only mode: reads the locations and settings,
  // examines every letter, writes the report to `console` and returns the
  // check's exit code (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN). Writes no
  // event and controls no service.
  int RunCheck(Console& console);

  // --- shutdown/exchange_shutdown.cpp ----------------------------------
  // Message 102 for the pool and letter, if Exchange is running.
  void ReportLowPoolSpace(const char16_t* poolName, char16_t letter);
  // Stops Exchange (cluster resource or the fourteen services) if it runs;
  // returns the result of the last step.
  WinError ShutdownExchange();
  // True when any of the fourteen Exchange services is not stopped.
  bool IsExchangeRunning();
  // True when the service is stopped, or cannot be opened or queried.
  bool IsServiceStopped(const char16_t* serviceName);
  // Stops a running or paused service and waits up to 20 polls; 0, 1053 or
  // the error.
  WinError StopExchangeService(const char16_t* serviceName);
  // Message 104 for the name and the (non-zero) code.
  void ReportStopFailure(const char16_t* name, WinError code);
  // Told before each service of a shutdown and before each pause while one
  // is waited for (null: nobody); it must outlive the monitor.
  void SetShutdownProgress(ShutdownProgress* progress) { progress_ = progress; }
  // True when the local node's cluster can be opened.
  bool IsClusterNode();
  // Takes the named cluster resource offline: 0 when the offline is done or
  // goes on in the background, otherwise the error (a cluster or resource
  // that cannot be opened included).
  WinError TakeClusterResourceOffline(const char16_t* resourceName);

  // The order in which the Exchange services are asked and stopped.
  static const char16_t* const kExchangeServiceOrder[14];
  static constexpr const char16_t* kClusterResourceName = u"Microsoft Exchange System Attendant";

  std::uint32_t m_nTimerId = 0;
  std::uint32_t m_nCheckIntervalSec = 0;
  std::uint32_t m_nThresholdMB = 0;
  CExchangePathList m_paths;
  std::int32_t m_bChecking = 0;

 protected:
  // --- monitor/store_disk_monitor.cpp ----------------------------------
  const MessageMapEntry* GetMessageMap() const override;

  int OnCreate(std::intptr_t createParams);
  void OnDestroy();
  void OnTimer(std::uintptr_t timerId);

 private:
  // The message map's routines.
  static std::intptr_t CreateMsg(CWnd& w, std::uintptr_t wParam, std::intptr_t lParam);
  static std::intptr_t DestroyMsg(CWnd& w, std::uintptr_t wParam, std::intptr_t lParam);
  static std::intptr_t TimerMsg(CWnd& w, std::uintptr_t wParam, std::intptr_t lParam);

  // --- shutdown/pool_lookup.cpp ----------------------------------------
  // The storage library's entry points, bound on first need; false (and
  // nothing held) while the library or one of its names is missing.
  bool BindStorageApi();
  // The only places the storage library is called.
  std::uint32_t CallListResource(const void* parent, std::uint32_t type, void* buffer,
                                 std::uint32_t* size, std::uint32_t* count);
  std::uint32_t CallGetResourceInfo(const void* resource, std::uint32_t type,
                                    const void* subresource, std::uint32_t size, void* record);
  // --- shutdown/exchange_shutdown.cpp ----------------------------------
  // Writes string-table text `id`, formatted with `args`, as one event
  // (`whole`: not cut to the reporter's usual length).
  void WriteMessage(std::uint32_t id, std::uint16_t type, const MessageArg* args,
                    std::size_t argCount, bool whole = false);

  Platform& platform_;
  CEventLogReporter& reporter_;
  ClusterApiBinding& cluster_;
  StorageApiBinding storage_;
  ShutdownProgress* progress_ = nullptr;
  // The watch report last written, if any.
  bool watchWritten_ = false;
  WatchView lastWatch_;
};

}  // namespace talv
