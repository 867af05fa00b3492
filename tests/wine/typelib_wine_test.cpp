// The resources that talvmon.exe carries. Its string table, loaded from the
// built executable, is the one the code and the simulator use. Its message
// table renders an event as the event log's reader does, and its version is
// the project's. Its type
// library, read by Wine's LoadTypeLib, is registered and unregistered through
// the program's own operations over the real adapters: what Wine wrote under
// HKCR\TypeLib, and that it is all gone again afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_fence.h"
#include "tests/wine/raw_win32.h"
// After the fence: its lean Windows headers leave the version functions out.
#include <winver.h>
#include "registration/registry_script.h"
#include "registration/type_library.h"
#include "resources/messages.h"
#include "service/server_module.h"
#include "talv_version.h"

namespace talv {
namespace {

using win32::U;
using wine::kRaw;
using wine::RawKey;
using wine::RawLibrary;
using wine::RegOpen;
using win32::W;

const Guid kLibId{0x6A1C7E51u, 0x3B94, 0x4D0F, {0x9E, 0x21, 0x5C, 0x8A, 0x7D, 0x3F, 0x0B, 0x16}};
const std::u16string kLibKey = u"TypeLib\\{6A1C7E51-3B94-4D0F-9E21-5C8A7D3F0B16}";

// <build>\bin\talvmon.exe, seen from this program in <build>\tests.
std::u16string TalvmonPath() {
  wchar_t self[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self, n);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  std::wstring relative = dir + L"..\\bin\\talvmon.exe";
  wchar_t full[MAX_PATH] = {};
  DWORD m = GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
  return std::u16string(U(full), m);
}

// Every string of the built executable, and no other in its range, is the
// text of resources/messages.h.
TEST(ExecutableStringsTest, TheStringTableIsTheMessageSource) {
  std::u16string path = TalvmonPath();
  RawLibrary exe(kRaw, LoadLibraryExW(W(path.c_str()), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_NE(exe.get(), nullptr) << "talvmon.exe is built beside the tests";
  for (const auto& e : resources::kStringTable) {
    wchar_t text[400] = {};
    int n = LoadStringW(exe.get(), e.id, text, 400);
    EXPECT_EQ(std::u16string(U(text), n), e.text) << e.id;
  }
  const std::uint32_t last = resources::kStringTable[std::size(resources::kStringTable) - 1].id;
  for (std::uint32_t id : {resources::kStringTable[0].id - 1, last + 1}) {
    wchar_t text[8] = {};
    EXPECT_EQ(LoadStringW(exe.get(), id, text, 8), 0) << id;
  }
}

// An event of the program has identifier 0 and its whole text as its one
// insertion string; the event log's reader formats message 0 of the
// executable with it, and must get the text back unchanged: no line break
// added, and no "%" inside it taken for an insert.
TEST(ExecutableStringsTest, MessageZeroRendersAnEventAsItsText) {
  std::u16string path = TalvmonPath();
  RawLibrary exe(kRaw, LoadLibraryExW(W(path.c_str()), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_NE(exe.get(), nullptr) << "talvmon.exe is built beside the tests";
  const std::u16string event =
      u"TALV pool '100%1' has reached Microsoft Exchange Server shutdown threshold for partition E: of < 10 MB free in the pool.";
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(W(event.c_str()))};
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, exe.get(), 0, 0,
                           text, 512, reinterpret_cast<va_list*>(inserts));
  ASSERT_NE(n, 0u) << "no message 0: " << GetLastError();
  EXPECT_EQ(std::u16string(U(text), n), event);
  std::printf("message 0 with the event's text: \"%ls\"\n", text);
}

TEST(ExecutableStringsTest, TheVersionIsTheProjectVersion) {
  std::u16string path = TalvmonPath();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(W(path.c_str()), &ignored);
  ASSERT_NE(size, 0u) << "no version resource: " << GetLastError();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(W(path.c_str()), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const DWORD high = MAKELONG(TALV_VERSION_MINOR, TALV_VERSION_MAJOR), low = MAKELONG(0, TALV_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  const struct {
    const char16_t* name;
    std::u16string want;  // empty: any text
  } values[] = {{u"FileVersion", u"" TALV_VERSION_TEXT},
                {u"ProductVersion", u"" TALV_VERSION_TEXT},
                {u"ProductName", u"TALV Wardstone"},
                {u"OriginalFilename", u"talvmon.exe"},
                {u"FileDescription", u""}};
  for (const auto& v : values) {
    std::u16string key = std::u16string(u"\\StringFileInfo\\040904B0\\") + v.name;
    wchar_t* text = nullptr;
    length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), W(key.c_str()), reinterpret_cast<void**>(&text), &length))
        << "no " << std::string(v.name, v.name + std::char_traits<char16_t>::length(v.name));
    std::u16string got(U(text));
    if (v.want.empty())
      EXPECT_FALSE(got.empty());
    else
      EXPECT_EQ(got, v.want);
    std::printf("%ls: %ls\n", W(v.name), text);
  }
}

class TypeLibWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TalvmonPath();
    ASSERT_NE(GetFileAttributesW(W(path_.c_str())), INVALID_FILE_ATTRIBUTES)
        << "talvmon.exe is built beside the tests";
    DeleteKeyTree(kLibKey);
  }
  void TearDown() override {
    talvmon_.reset();
    DeleteKeyTree(kLibKey);
  }
  void DeleteKeyTree(const std::u16string& key) {
    talv::DeleteKeyTree(p_.registry, reg::kClassesRoot, key.c_str());
  }
  std::u16string DefaultText(const std::u16string& key) {
    RawKey k;
    if (RegOpen(k, HKEY_CLASSES_ROOT, W(key.c_str()), KEY_READ) != ERROR_SUCCESS)
      return u"<missing>";
    wchar_t text[400] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    LONG e = RegQueryValueExW(k.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    k.reset();
    if (e != ERROR_SUCCESS) return u"<missing>";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    return std::u16string(U(text));
  }
  bool HasKey(const std::u16string& key) {
    RawKey k;
    if (RegOpen(k, HKEY_CLASSES_ROOT, W(key.c_str()), KEY_READ) != ERROR_SUCCESS)
      return false;
    return true;
  }

  win32::Win32Platform machine_;
  Platform p_ = machine_.platform();
  std::u16string path_;
  UniqueLibrary talvmon_;
};

TEST_F(TypeLibWineTest, TalvmonCarriesTheLibraryIdentityNameAndHelpString) {
  TypeLibraries& tl = p_.typeLibraries;
  UniqueTypeLib lib;
  ASSERT_EQ(LoadTypeLib(lib, tl, path_.c_str()), hr::kOk);
  UniqueTypeLibAttr a;
  ASSERT_EQ(GetLibAttr(a, lib), hr::kOk);
  EXPECT_EQ(a.get()->libid, kLibId);
  EXPECT_EQ(a.get()->majorVersion, 1);
  EXPECT_EQ(a.get()->minorVersion, 0);
  EXPECT_EQ(a.get()->lcid, 0x409u);
  // widl stamps the target's system kind: 64-bit on x86-64, 32-bit on x86.
  EXPECT_EQ(a.get()->syskind, sizeof(void*) == 8 ? tlb::kSysWin64 : tlb::kSysWin32);
  a.reset();
  std::u16string name, help;
  ASSERT_EQ(tl.GetDocumentation(lib.get(), -1, &name, &help), hr::kOk);
  EXPECT_EQ(name, u"TALVMONLib");
  EXPECT_EQ(help, u"TALVMON 1.0 Type Library");
  EXPECT_EQ(lib.reset(), 0u);
}

TEST_F(TypeLibWineTest, RegistrationRecordsTheExecutableAndItsDirectoryAndUnregistrationRemovesIt) {
  // talvmon.exe mapped into this process stands for the module whose type
  // library the operations load, as the executable's own instance does.
  ASSERT_EQ(Load(talvmon_, p_.libraries, path_.c_str()), 0u);
  wchar_t loaded[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(win32::ToHandle<HMODULE>(talvmon_.get()), loaded, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::u16string exe(U(loaded), n);
  const std::u16string dir = exe.substr(0, exe.find_last_of(u'\\') + 1);

  CServerModule module;
  ASSERT_EQ(module.InitServerModule(ProgramClassTable(), talvmon_.get(), p_.com), hr::kOk);
  ComApartment apartment;
  ASSERT_EQ(CoInitialize(apartment, p_.com), hr::kOk);
  EXPECT_EQ(RegisterModuleClasses(TypeLibraryPorts(p_), module, true, nullptr), hr::kOk);

  const std::u16string version = kLibKey + u"\\1.0";
  EXPECT_EQ(DefaultText(version), u"TALVMON 1.0 Type Library");
  EXPECT_EQ(DefaultText(version + u"\\409\\" + (sizeof(void*) == 8 ? u"win64" : u"win32")), exe);
  EXPECT_EQ(DefaultText(version + u"\\HELPDIR"), dir);
  EXPECT_EQ(dir.back(), u'\\') << "the help directory keeps its backslash";
  EXPECT_TRUE(HasKey(version + u"\\FLAGS"));

  EXPECT_EQ(UnregisterModuleClasses(TypeLibraryPorts(p_), module, true, nullptr), hr::kOk);
  EXPECT_FALSE(HasKey(kLibKey)) << "the {LIBID} key is gone";
}

}  // namespace
}  // namespace talv
