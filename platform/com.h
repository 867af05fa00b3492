// The COM runtime port: joining and leaving an apartment, the process-wide
// security call, and class objects offered to other processes. Results are
// COM statuses (HRESULT) exactly as the runtime returns them.
#pragma once

#include <cstdint>

#include "platform/owner.h"
#include "platform/types.h"

namespace talv {

// A 128-bit class, interface or category identifier, laid out as the
// platform's GUID so tables of them pass through unchanged.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};

  friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

// The three slots every COM object starts with, in the platform's order.
// The object's table of functions is laid out as the platform's IUnknown
// (no destructor slots; methods in the standard calling convention, which
// on x86 takes `this` on the stack rather than in ECX), so a pointer to one
// of these is an IUnknown pointer to the COM runtime and back. Every
// override, and every further method a COM object adds, carries TALV_WINAPI.
class ComUnknown {
 public:
  virtual HResult TALV_WINAPI QueryInterface(const Guid& iid, void** out) = 0;
  virtual std::uint32_t TALV_WINAPI AddRef() = 0;
  virtual std::uint32_t TALV_WINAPI Release() = 0;

 protected:
  ~ComUnknown() = default;  // objects go away through Release only
};

namespace com {
// IID_IUnknown {00000000-0000-0000-C000-000000000046}.
inline constexpr Guid kIidIUnknown{0x00000000u, 0x0000, 0x0000,
                                   {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// IID_IClassFactory {00000001-0000-0000-C000-000000000046}.
inline constexpr Guid kIidIClassFactory{0x00000001u, 0x0000, 0x0000,
                                        {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// CoInitializeEx concurrency models.
inline constexpr std::uint32_t kMultithreaded = 0;     // COINIT_MULTITHREADED
inline constexpr std::uint32_t kApartmentThreaded = 2; // COINIT_APARTMENTTHREADED

// Class contexts and registration flags.
inline constexpr std::uint32_t kInprocServer = 0x1;    // CLSCTX_INPROC_SERVER
inline constexpr std::uint32_t kLocalServer = 0x4;     // CLSCTX_LOCAL_SERVER
inline constexpr std::uint32_t kRemoteServer = 0x10;   // CLSCTX_REMOTE_SERVER
inline constexpr std::uint32_t kSingleUse = 0;         // REGCLS_SINGLEUSE
inline constexpr std::uint32_t kMultipleUse = 1;       // REGCLS_MULTIPLEUSE

// CoInitializeSecurity arguments.
inline constexpr std::int32_t kAuthServicesDefault = -1;  // COM chooses
inline constexpr std::uint32_t kAuthnLevelPkt = 4;        // RPC_C_AUTHN_LEVEL_PKT
inline constexpr std::uint32_t kImpLevelImpersonate = 3;  // RPC_C_IMP_LEVEL_IMPERSONATE
inline constexpr std::uint32_t kEoacNone = 0;             // EOAC_NONE

// Statuses the runtime answers with.
inline constexpr HResult kNoInterface = 0x80004002u;       // E_NOINTERFACE
inline constexpr HResult kPointer = 0x80004003u;           // E_POINTER
inline constexpr HResult kUnexpected = 0x8000FFFFu;        // E_UNEXPECTED
inline constexpr HResult kChangedMode = 0x80010106u;       // RPC_E_CHANGED_MODE
inline constexpr HResult kTooLate = 0x80010119u;           // RPC_E_TOO_LATE
inline constexpr HResult kNotInitialized = 0x800401F0u;    // CO_E_NOTINITIALIZED

// The standard component categories manager, CLSID_StdComponentCategoriesMgr
// {0002E005-0000-0000-C000-000000000046}, and its interface ICatRegister
// {0002E012-0000-0000-C000-000000000046}.
inline constexpr Guid kClsidStdComponentCategoriesMgr{
    0x0002E005u, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid kIidICatRegister{0x0002E012u, 0x0000, 0x0000,
                                       {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr HResult kClassNotRegistered = 0x80040154u;  // REGDB_E_CLASSNOTREG

constexpr bool Succeeded(HResult h) { return (h & 0x80000000u) == 0; }
constexpr bool Failed(HResult h) { return (h & 0x80000000u) != 0; }
}  // namespace com

// Answers a failed status of `expr` from the enclosing function; a success
// goes on to the next statement.
#define TALV_RETURN_IF_FAILED(expr)                                       \
  do {                                                                    \
    const ::talv::HResult talvStatus = (expr);                            \
    if (::talv::com::Failed(talvStatus)) return talvStatus;               \
  } while (false)

// The component categories manager as the port hands it out (its
// ICatRegister interface): each call names one class and one category.
class CategoryRegistrar {
 public:
  // ICatRegister::RegisterClassImplCategories(clsid, 1, &category).
  virtual HResult RegisterClassImplCategories(const Guid& clsid, const Guid& category) = 0;
  // ICatRegister::RegisterClassReqCategories(clsid, 1, &category).
  virtual HResult RegisterClassReqCategories(const Guid& clsid, const Guid& category) = 0;
  // ICatRegister::UnRegisterClassImplCategories(clsid, 1, &category).
  virtual HResult UnRegisterClassImplCategories(const Guid& clsid, const Guid& category) = 0;
  // ICatRegister::UnRegisterClassReqCategories(clsid, 1, &category).
  virtual HResult UnRegisterClassReqCategories(const Guid& clsid, const Guid& category) = 0;
  // Releases the manager; the object must not be used afterwards.
  virtual void Release() = 0;

 protected:
  ~CategoryRegistrar() = default;  // goes away through Release only
};

class Com {
 public:
  virtual ~Com() = default;
  // CoInitializeEx(null, flags): 0 on the thread's first join, 1 (S_FALSE)
  // on a nested one, RPC_E_CHANGED_MODE when the thread is in the other model.
  [[nodiscard]] virtual HResult CoInitializeEx(std::uint32_t flags) = 0;
  // CoInitialize(null): joins a single-threaded apartment.
  [[nodiscard]] virtual HResult CoInitialize() = 0;
  // CoUninitialize: undoes one successful (0 or 1) initialisation.
  virtual void CoUninitialize() = 0;
  // CoInitializeSecurity with the platform's nine arguments; the descriptor,
  // service list and authentication list are passed through untouched.
  // Once per process: a later call answers RPC_E_TOO_LATE (Wine's stand-in
  // accepts every call).
  [[nodiscard]] virtual HResult CoInitializeSecurity(const void* descriptor, std::int32_t authServiceCount,
                                       const void* authServices, void* reserved1,
                                       std::uint32_t authnLevel, std::uint32_t impLevel,
                                       void* authList, std::uint32_t capabilities,
                                       void* reserved3) = 0;
  // CoRegisterClassObject: offers `factory` (which the runtime holds a
  // reference to until revoked); *cookie only on success.
  [[nodiscard]] virtual HResult CoRegisterClassObject(const Guid& clsid, ComUnknown* factory,
                                        std::uint32_t context, std::uint32_t flags,
                                        std::uint32_t* cookie) = 0;
  // CoRevokeClassObject: withdraws a registration; E_INVALIDARG for an
  // unknown cookie.
  [[nodiscard]] virtual HResult CoRevokeClassObject(std::uint32_t cookie) = 0;
  // CoCreateInstance(clsid, no outer object, context, IID_ICatRegister): the
  // component categories manager; *out only on success. A runtime that has
  // no such manager answers REGDB_E_CLASSNOTREG.
  [[nodiscard]] virtual HResult CoCreateCategoryRegistrar(const Guid& clsid, std::uint32_t context,
                                            CategoryRegistrar** out) {
    (void)clsid;
    (void)context;
    (void)out;
    return com::kClassNotRegistered;
  }
};

// One reference to a COM object, released on every path out of a scope.
template <class Object>
struct ReferenceTraits {
  using Port = Object;
  using Value = Object*;
  static constexpr Object* kNone = nullptr;
  static void Close(Object&, Object* object) { object->Release(); }
};
using UniqueCategoryRegistrar = Owner<ReferenceTraits<CategoryRegistrar>>;
using UniqueUnknown = Owner<ReferenceTraits<ComUnknown>>;

struct ApartmentTraits {
  using Port = Com;
  using Value = bool;
  static constexpr bool kNone = false;
  static void Close(Com& com, bool) { com.CoUninitialize(); }
};
// One initialisation of COM on this thread, undone (CoUninitialize) on every
// path out of a scope.
using ComApartment = Owner<ApartmentTraits>;

// CoInitializeEx(flags) into `apartment`, which then undoes it; nothing is
// held when the call fails. Answers the call's status.
[[nodiscard]] inline HResult CoInitializeEx(ComApartment& apartment, Com& com, std::uint32_t flags) {
  HResult r = com.CoInitializeEx(flags);
  if (com::Succeeded(r)) apartment.adopt(com, true);
  return r;
}
// The same for CoInitialize (a single-threaded apartment).
[[nodiscard]] inline HResult CoInitialize(ComApartment& apartment, Com& com) {
  HResult r = com.CoInitialize();
  if (com::Succeeded(r)) apartment.adopt(com, true);
  return r;
}

}  // namespace talv
