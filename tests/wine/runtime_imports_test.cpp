// The compiler thread layer's kernel32 functions that the oldest Windows
// lacks, bound at run time: kernel32's own where it has them, the stand-ins
// where GetProcAddress finds nothing, and a widened tick count that carries
// on over the 32-bit count's wrap-around.
#include <gtest/gtest.h>

#include "platform/win32/win32_runtime_imports.h"

namespace talv::win32 {
namespace {

template <typename Fn>
void* Address(Fn p) { return reinterpret_cast<void*>(p); }

TEST(RuntimeImportsTest, WidenedTickCountCarriesOnOverTheWrapAround) {
  struct Case { std::uint64_t previous; std::uint32_t raw; std::uint64_t want; };
  const Case cases[] = {
      {0, 0x1234, 0x1234},                     // the first call
      {0x1234, 0x1234, 0x1234},                // no time passed
      {0x0FFFFFFF0, 0xFFFFFFFF, 0x0FFFFFFFF},  // just before the wrap
      {0x0FFFFFFF0, 0x10, 0x100000010},        // 49.7 days: the 32-bit count wrapped
      {0x1FFFFFFFF, 0, 0x200000000},
      {0x500000010, 0x20, 0x500000020},        // after five wraps
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WidenTick(c.previous, c.raw), c.want) << std::hex << c.previous << " then " << c.raw;
  }
}

TEST(RuntimeImportsTest, StandInsWhereGetProcAddressFindsNothing) {
  // user32 exports none of the three, as Windows 2000's kernel32 lacks them;
  // no module at all is what a failed GetModuleHandleW gives.
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  ASSERT_EQ(Address(GetProcAddress(user32, "GetTickCount64")), nullptr);
  for (HMODULE without : {user32, HMODULE{}}) {
    TickCount64Fn ticks = BindGetTickCount64(without);
    ASSERT_NE(ticks, nullptr);
    DWORD before = GetTickCount();
    ULONGLONG first = ticks();
    ULONGLONG second = ticks();
    DWORD after = GetTickCount();
    EXPECT_LE(first, second);
    EXPECT_GE(static_cast<DWORD>(first), before);
    EXPECT_LE(static_cast<DWORD>(second), after);
    EXPECT_EQ(BindAddVectoredExceptionHandler(without)(1, nullptr), nullptr);
    EXPECT_EQ(BindRemoveVectoredExceptionHandler(without)(nullptr), 0u);
  }
}

TEST(RuntimeImportsTest, ImportPointerSettlesOnKernel32sOwnAtItsFirstCall) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  EXPECT_EQ(Address(BindGetTickCount64(kernel)), Address(GetProcAddress(kernel, "GetTickCount64")));
  EXPECT_EQ(Address(BindAddVectoredExceptionHandler(kernel)),
            Address(GetProcAddress(kernel, "AddVectoredExceptionHandler")));
  EXPECT_EQ(Address(BindRemoveVectoredExceptionHandler(kernel)),
            Address(GetProcAddress(kernel, "RemoveVectoredExceptionHandler")));
  EXPECT_GT(g_importGetTickCount64(), 0u);
  EXPECT_EQ(Address(g_importGetTickCount64), Address(GetProcAddress(kernel, "GetTickCount64")));
}

}  // namespace
}  // namespace talv::win32
