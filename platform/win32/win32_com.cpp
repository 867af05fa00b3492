#include "platform/win32/windows_fence.h"

// The lean Windows headers leave out the COM runtime's declarations.
#include <objbase.h>
#include <comcat.h>

#include "platform/win32/win32_com.h"

namespace talv::win32 {

namespace {
static_assert(sizeof(GUID) == sizeof(Guid));
const GUID& G(const Guid& g) { return reinterpret_cast<const GUID&>(g); }
HResult H(HRESULT r) { return static_cast<HResult>(r); }
}  // namespace

HResult Win32Com::CoInitializeEx(std::uint32_t flags) { return H(::CoInitializeEx(nullptr, flags)); }

HResult Win32Com::CoInitialize() { return H(::CoInitialize(nullptr)); }

void Win32Com::CoUninitialize() { ::CoUninitialize(); }

HResult Win32Com::CoInitializeSecurity(const void* descriptor, std::int32_t authServiceCount,
                                       const void* authServices, void* reserved1,
                                       std::uint32_t authnLevel, std::uint32_t impLevel,
                                       void* authList, std::uint32_t capabilities,
                                       void* reserved3) {
  return H(::CoInitializeSecurity(
      static_cast<PSECURITY_DESCRIPTOR>(const_cast<void*>(descriptor)), authServiceCount,
      static_cast<SOLE_AUTHENTICATION_SERVICE*>(const_cast<void*>(authServices)), reserved1,
      authnLevel, impLevel, authList, capabilities, reserved3));
}

HResult Win32Com::CoRegisterClassObject(const Guid& clsid, ComUnknown* factory,
                                        std::uint32_t context, std::uint32_t flags,
                                        std::uint32_t* cookie) {
  DWORD c = 0;
  // A ComUnknown's function table is IUnknown's (see platform/com.h).
  HRESULT r = ::CoRegisterClassObject(G(clsid), reinterpret_cast<IUnknown*>(factory), context,
                                      flags, &c);
  if (SUCCEEDED(r) && cookie) *cookie = c;
  return H(r);
}

HResult Win32Com::CoRevokeClassObject(std::uint32_t cookie) {
  return H(::CoRevokeClassObject(cookie));
}

namespace {
// The manager's ICatRegister behind the port's interface, one category per call.
class Win32CategoryRegistrar final : public CategoryRegistrar {
 public:
  explicit Win32CategoryRegistrar(ICatRegister* manager) : manager_(manager) {}
  HResult RegisterClassImplCategories(const Guid& clsid, const Guid& category) override {
    return H(manager_->RegisterClassImplCategories(G(clsid), 1, Cat(category)));
  }
  HResult RegisterClassReqCategories(const Guid& clsid, const Guid& category) override {
    return H(manager_->RegisterClassReqCategories(G(clsid), 1, Cat(category)));
  }
  HResult UnRegisterClassImplCategories(const Guid& clsid, const Guid& category) override {
    return H(manager_->UnRegisterClassImplCategories(G(clsid), 1, Cat(category)));
  }
  HResult UnRegisterClassReqCategories(const Guid& clsid, const Guid& category) override {
    return H(manager_->UnRegisterClassReqCategories(G(clsid), 1, Cat(category)));
  }
  void Release() override {
    manager_->Release();
    delete this;
  }

 private:
  ~Win32CategoryRegistrar() = default;
  // The calls take a non-constant array of categories that they only read.
  static CATID* Cat(const Guid& g) { return const_cast<CATID*>(&G(g)); }
  ICatRegister* manager_;
};
}  // namespace

HResult Win32Com::CoCreateCategoryRegistrar(const Guid& clsid, std::uint32_t context,
                                            CategoryRegistrar** out) {
  if (out == nullptr) return com::kPointer;
  void* manager = nullptr;
  HRESULT r = ::CoCreateInstance(G(clsid), nullptr, context, G(com::kIidICatRegister), &manager);
  if (FAILED(r)) return H(r);
  *out = new Win32CategoryRegistrar(static_cast<ICatRegister*>(manager));
  return H(r);
}

}  // namespace talv::win32
