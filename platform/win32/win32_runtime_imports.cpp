// Why this file exists: the POSIX thread layer that the -posix mingw-w64
// toolchains link into every static C++ program calls GetTickCount64 and (in
// the x86 build) the vectored exception handler functions through import
// pointers. Taken from kernel32's import library, they put those names into
// the import table, and the loader of Windows 2000 (x86) or Server 2003 x64
// refuses the whole program before it starts. Defined here, the pointers are
// ours: each starts at a function that looks the name up in kernel32 at its
// first call, falls back where the system lacks it, and replaces itself with
// the answer. No static constructor is involved: the thread layer may call
// them before constructors run, so each pointer holds its binding function
// from the image's initialised data on.
//
// This object is linked into every program as an object, not taken from the
// platform archive (see platform/win32/CMakeLists.txt): the linker takes an
// archive member only for a symbol that is undefined when it reads the
// archive, and the thread layer comes later on the link line.
#include "platform/win32/win32_runtime_imports.h"

#include <atomic>

namespace talv::win32 {

std::uint64_t WidenTick(std::uint64_t previous, std::uint32_t raw) {
  std::uint64_t high = previous & ~std::uint64_t{0xFFFFFFFFu};
  if (raw < static_cast<std::uint32_t>(previous)) high += std::uint64_t{1} << 32;
  return high | raw;
}

namespace {

std::atomic<std::uint64_t> g_widenedTick{0};

ULONGLONG WINAPI WidenedTickCount() {
  // The count is read after the last stored one was loaded; a store by
  // another thread in between makes this one read again, so a stale raw
  // count never passes for a wrap-around.
  std::uint64_t previous = g_widenedTick.load(std::memory_order_acquire);
  for (;;) {
    std::uint64_t next = WidenTick(previous, GetTickCount());
    if (g_widenedTick.compare_exchange_weak(previous, next, std::memory_order_acq_rel)) return next;
  }
}

PVOID WINAPI NoHandlerAdded(ULONG, PVECTORED_EXCEPTION_HANDLER) { return nullptr; }

ULONG WINAPI NoHandlerRemoved(PVOID) { return 0; }

template <typename Fn>
Fn Bind(HMODULE kernel, const char* name, Fn fallback) {
  FARPROC found = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
  return found != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(found)) : fallback;
}

}  // namespace

TickCount64Fn BindGetTickCount64(HMODULE kernel) {
  return Bind<TickCount64Fn>(kernel, "GetTickCount64", &WidenedTickCount);
}

AddVectoredExceptionHandlerFn BindAddVectoredExceptionHandler(HMODULE kernel) {
  return Bind<AddVectoredExceptionHandlerFn>(kernel, "AddVectoredExceptionHandler", &NoHandlerAdded);
}

RemoveVectoredExceptionHandlerFn BindRemoveVectoredExceptionHandler(HMODULE kernel) {
  return Bind<RemoveVectoredExceptionHandlerFn>(kernel, "RemoveVectoredExceptionHandler",
                                                &NoHandlerRemoved);
}

}  // namespace talv::win32

namespace {

using namespace talv::win32;

HMODULE Kernel32() { return GetModuleHandleW(L"kernel32.dll"); }

ULONGLONG WINAPI FirstGetTickCount64();
#if defined(__i386__)
PVOID WINAPI FirstAddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler);
ULONG WINAPI FirstRemoveVectoredExceptionHandler(PVOID handle);
#endif

}  // namespace

TickCount64Fn g_importGetTickCount64 = &FirstGetTickCount64;
#if defined(__i386__)
AddVectoredExceptionHandlerFn g_importAddVectoredExceptionHandler = &FirstAddVectoredExceptionHandler;
RemoveVectoredExceptionHandlerFn g_importRemoveVectoredExceptionHandler =
    &FirstRemoveVectoredExceptionHandler;
#endif

namespace {

// Threads that race here store the same answer.
template <typename Fn>
Fn Settle(Fn* pointer, Fn bound) {
  __atomic_store_n(pointer, bound, __ATOMIC_RELEASE);
  return bound;
}

ULONGLONG WINAPI FirstGetTickCount64() {
  return Settle(&g_importGetTickCount64, BindGetTickCount64(Kernel32()))();
}

#if defined(__i386__)
PVOID WINAPI FirstAddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler) {
  return Settle(&g_importAddVectoredExceptionHandler, BindAddVectoredExceptionHandler(Kernel32()))(
      first, handler);
}

ULONG WINAPI FirstRemoveVectoredExceptionHandler(PVOID handle) {
  return Settle(&g_importRemoveVectoredExceptionHandler,
                BindRemoveVectoredExceptionHandler(Kernel32()))(handle);
}
#endif

}  // namespace
