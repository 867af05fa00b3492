// The Exchange locations and the monitor settings as Wine's own reg.exe
// writes them, read back through the real registry adapter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/exchange_paths.h"
#include "monitor/settings.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/windows_fence.h"
#include "tests/wine/raw_win32.h"

namespace talv {
namespace {

const char* const kServices = "HKLM\\System\\CurrentControlSet\\Services\\";

// Runs reg.exe directly (not through cmd.exe, which would expand the
// %variables% in the data) and returns its exit code.
int RunReg(const std::string& args) {
  std::string line = "reg.exe " + args + " /f";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi))
    return -1;
  wine::RawHandle process(wine::kRaw, pi.hProcess);
  wine::RawHandle thread(wine::kRaw, pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  return static_cast<int>(code);
}

void Reg(const std::string& args) { ASSERT_EQ(RunReg(args), 0) << args; }

class ExchangeRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const wchar_t* s : {L"MSExchangeIS", L"MSExchangeDS", L"MSExchangeMTA", L"MSExchangeSA", L"TALVMON"})
      wine::DeleteTree(HKEY_LOCAL_MACHINE, std::wstring(L"System\\CurrentControlSet\\Services\\") + s);
  }
  win32::Win32Registry registry;
};

TEST_F(ExchangeRegistryTest, PathsWrittenByRegExeYieldTheirDriveLetters) {
  const std::string is = std::string(kServices) + "MSExchangeIS\\";
  Reg("add \"" + is + "ParametersPrivate\" /v \"DB Path\" /t REG_SZ /d \"F:\\exchsrvr\\mdbdata\\priv.edb\"");
  Reg("add \"" + is + "ParametersPublic\" /v \"DB Path\" /t REG_SZ /d \"E:\\exchsrvr\\mdbdata\\pub.edb\"");
  Reg("add \"" + is + "ParametersSystem\" /v \"DB Log Path\" /t REG_SZ /d \"F:\\logs\"");
  Reg("add \"" + is + "ParametersSystem\" /v \"POP3 Protocol Log Path\" /t REG_SZ /d \"\\\\srv\\share\"");
  Reg("add \"" + std::string(kServices) + "MSExchangeDS\\Parameters\" /v \"DSA Working directory\" /t REG_SZ /d \"g:\\dsadata\"");
  Reg("add \"" + std::string(kServices) + "MSExchangeMTA\\Parameters\" /v \"MTA Database Path\" /t REG_EXPAND_SZ /d \"%SystemDrive%\\mtadata\"");
  Reg("add \"" + std::string(kServices) + "MSExchangeSA\\Parameters\" /v \"LogDirectory\" /t REG_SZ /d \"E:\\salogs\"");

  CExchangePathList list(registry);
  list.ReadExchangePaths();
  ASSERT_EQ(list.size(), 7u);
  EXPECT_EQ(list.at(0).kind(), kPathFile);
  EXPECT_EQ(std::u16string(list.at(0).path()), u"F:\\exchsrvr\\mdbdata\\priv.edb");
  EXPECT_EQ(list.at(2).kind(), kPathDir);
  std::vector<char16_t> letters(28);
  letters.resize(list.CollectDriveLetters(letters.data()));
  // F (private store), E (public store), F again, 0 (UNC path), g, 0 (the
  // unexpanded variable), E again.
  EXPECT_EQ(letters, (std::vector<char16_t>{u'F', u'E', 0, u'g'}));
}

TEST_F(ExchangeRegistryTest, SettingsWrittenByRegExe) {
  const std::string key = std::string(kServices) + "TALVMON\\Parameters";
  std::uint32_t interval = 0, threshold = 0;
  ReadMonitorSettings(registry, &interval, &threshold);
  EXPECT_EQ(interval, 60u);
  EXPECT_EQ(threshold, 10u);

  Reg("add \"" + key + "\" /v CheckEveryMinutes /t REG_DWORD /d 5");
  Reg("add \"" + key + "\" /v FreePoolSpaceThresholdMB /t REG_DWORD /d 2048");
  ReadMonitorSettings(registry, &interval, &threshold);
  EXPECT_EQ(interval, 300u);
  EXPECT_EQ(threshold, 2048u);

  Reg("add \"" + key + "\" /v CheckEveryMinutes /t REG_SZ /d 5");
  Reg("add \"" + key + "\" /v FreePoolSpaceThresholdMB /t REG_QWORD /d 7");
  ReadMonitorSettings(registry, &interval, &threshold);
  EXPECT_EQ(interval, 53u * 60u) << "a one-character string is four bytes: its code in minutes";
  EXPECT_EQ(threshold, 10u) << "eight bytes do not fit";

  Reg("delete \"" + key + "\" /v CheckEveryMinutes");
  Reg("add \"" + key + "\" /v FreePoolSpaceThresholdMB /t REG_DWORD /d 0");
  ReadMonitorSettings(registry, &interval, &threshold);
  EXPECT_EQ(interval, 120u);
  EXPECT_EQ(threshold, 0u);
}

}  // namespace
}  // namespace talv
