// Basic values shared by every platform port: Win32 error numbers, handle
// values and the few constants the ports agree on. Nothing here includes a
// system header, so the core builds the same on the host and for Windows.
#pragma once

#include <cstdint>
#include <string>

// The platform's standard calling convention (WINAPI), which differs from
// the compiler's default on 32-bit x86 only: there the callee pops its
// arguments, and a member function receives `this` on the stack, as COM's
// function tables expect. Every function pointer into a system library
// and every COM method we implement carries it.
#if defined(_WIN32) && defined(__i386__)
#define TALV_WINAPI __attribute__((stdcall))
#else
#define TALV_WINAPI
#endif

namespace talv {

// An unsigned 32-bit Windows error number; 0 is success.
using WinError = std::uint32_t;

// COM status (HRESULT) as an unsigned 32-bit pattern.
using HResult = std::uint32_t;

namespace err {
inline constexpr WinError kSuccess = 0;
inline constexpr WinError kFileNotFound = 2;
inline constexpr WinError kPathNotFound = 3;
inline constexpr WinError kAccessDenied = 5;
inline constexpr WinError kInvalidHandle = 6;
inline constexpr WinError kGenFailure = 31;
inline constexpr WinError kNotEnoughMemory = 8;
inline constexpr WinError kOutOfMemory = 14;
inline constexpr WinError kInvalidParameter = 87;
inline constexpr WinError kBrokenPipe = 109;
inline constexpr WinError kInsufficientBuffer = 122;
inline constexpr WinError kModNotFound = 126;
inline constexpr WinError kProcNotFound = 127;
inline constexpr WinError kMoreData = 234;
inline constexpr WinError kNoMoreItems = 259;
inline constexpr WinError kIoPending = 997;
inline constexpr WinError kKeyDeleted = 1018;
inline constexpr WinError kNoToken = 1008;
inline constexpr WinError kChildMustBeVolatile = 1021;
inline constexpr WinError kDependentServicesRunning = 1051;
inline constexpr WinError kInvalidServiceControl = 1052;
inline constexpr WinError kServiceRequestTimeout = 1053;
inline constexpr WinError kServiceNoThread = 1054;
inline constexpr WinError kServiceAlreadyRunning = 1056;
inline constexpr WinError kServiceDisabled = 1058;
inline constexpr WinError kServiceDoesNotExist = 1060;
inline constexpr WinError kServiceCannotAcceptCtrl = 1061;
inline constexpr WinError kServiceNotActive = 1062;
inline constexpr WinError kFailedServiceControllerConnect = 1063;
inline constexpr WinError kServiceMarkedForDelete = 1072;
inline constexpr WinError kServiceExists = 1073;
inline constexpr WinError kDllNotFound = 1157;
inline constexpr WinError kInvalidWindowHandle = 1400;
inline constexpr WinError kResourceDataNotFound = 1812;
inline constexpr WinError kResourceTypeNotFound = 1813;
inline constexpr WinError kResourceNameNotFound = 1814;
inline constexpr WinError kResourceNotAvailable = 5006;
inline constexpr WinError kResourceNotFound = 5007;
}  // namespace err

// A platform error number as a COM status: 0 stays 0, anything else becomes
// 0x8007xxxx with the error's low 16 bits.
constexpr HResult HResultFromWin32(WinError e) {
  return e == 0 ? 0u : (0x80070000u | (e & 0xFFFFu));
}

namespace hr {
inline constexpr HResult kOk = 0;
inline constexpr HResult kFalse = 1;
inline constexpr HResult kFail = 0x80004005u;
inline constexpr HResult kOutOfMemory = 0x8007000Eu;
inline constexpr HResult kInvalidArg = 0x80070057u;
inline constexpr HResult kDispException = 0x80020009u;
}  // namespace hr

// Handles are carried as pointer-sized integers; 0 is "no handle". Each
// adapter maps them to its own handle kind.
using Handle = std::uintptr_t;

}  // namespace talv
