// The kernel32 functions that the compiler's POSIX thread layer (linked into
// every program of the -posix toolchains, threads or not) imports although
// the oldest Windows this program runs on lacks them: GetTickCount64 (Vista
// and Server 2008) in both builds, AddVectoredExceptionHandler and
// RemoveVectoredExceptionHandler (XP) in the x86 build.
// win32_runtime_imports.cpp defines the layer's import pointers itself and
// binds each at its first call.
#pragma once

#include <cstdint>

#include "platform/win32/windows_fence.h"

namespace talv::win32 {

using TickCount64Fn = ULONGLONG(WINAPI*)();
using AddVectoredExceptionHandlerFn = PVOID(WINAPI*)(ULONG first, PVECTORED_EXCEPTION_HANDLER handler);
using RemoveVectoredExceptionHandlerFn = ULONG(WINAPI*)(PVOID handle);

// The 64-bit tick count that follows `previous` when the 32-bit count reads
// `raw`: a raw count below previous's low half has wrapped (every 49.7 days)
// since.
[[nodiscard]] std::uint64_t WidenTick(std::uint64_t previous, std::uint32_t raw);

// `kernel`'s export of the function, or where it has none the stand-in:
// GetTickCount widened by WidenTick (counting on from the 32-bit count of its
// first call), an exception handler never added (null), one never removed (0).
[[nodiscard]] TickCount64Fn BindGetTickCount64(HMODULE kernel);
[[nodiscard]] AddVectoredExceptionHandlerFn BindAddVectoredExceptionHandler(HMODULE kernel);
[[nodiscard]] RemoveVectoredExceptionHandlerFn BindRemoveVectoredExceptionHandler(HMODULE kernel);

}  // namespace talv::win32

// The import pointers, by the names the compiler gives them: __imp_NAME on
// x86-64, __imp__NAME@BYTES (the __stdcall decoration) on x86. Each starts at
// a function that binds it at its first call.
#if defined(__i386__)
#define TALV_IMPORT_POINTER(name, bytes) "__imp__" name "@" bytes
#else
#define TALV_IMPORT_POINTER(name, bytes) "__imp_" name
#endif

extern "C" {
extern talv::win32::TickCount64Fn g_importGetTickCount64
    __asm__(TALV_IMPORT_POINTER("GetTickCount64", "0"));
#if defined(__i386__)
extern talv::win32::AddVectoredExceptionHandlerFn g_importAddVectoredExceptionHandler
    __asm__(TALV_IMPORT_POINTER("AddVectoredExceptionHandler", "8"));
extern talv::win32::RemoveVectoredExceptionHandlerFn g_importRemoveVectoredExceptionHandler
    __asm__(TALV_IMPORT_POINTER("RemoveVectoredExceptionHandler", "4"));
#endif
}
