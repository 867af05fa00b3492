// The one place that includes <windows.h>. The Windows headers define
// function-name macros (CreateWindow, GetMessage, LoadString, OpenService,
// ...) that would rename the ports' own operations, so they are undone here;
// adapter code calls the wide functions by their explicit W names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateWindow
#undef CreateService
#undef OpenService
#undef GetMessage
#undef DispatchMessage
#undef PostThreadMessage
#undef LoadString
#undef MessageBox
#undef GetCommandLine
#undef CreateEvent
#undef RegisterEventSource
#undef FindResource

#include <string>

#include "platform/types.h"

namespace talv::win32 {

inline const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline wchar_t* W(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
inline const char16_t* U(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }
inline char16_t* U(wchar_t* s) { return reinterpret_cast<char16_t*>(s); }

// The error a failed call left. One that leaves none still fails, with
// `none` (ERROR_GEN_FAILURE unless the call names its own): callers take 0
// for success and would go on with no handle.
inline WinError LastError(WinError none = err::kGenFailure) {
  DWORD e = ::GetLastError();
  return e != 0 ? static_cast<WinError>(e) : none;
}

template <typename H>
inline H ToHandle(std::uintptr_t v) { return reinterpret_cast<H>(v); }
template <typename H>
inline std::uintptr_t FromHandle(H h) { return reinterpret_cast<std::uintptr_t>(h); }

}  // namespace talv::win32
