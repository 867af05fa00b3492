// The simulated COM runtime: per-thread apartment membership with nesting
// counts, one process-wide security call, and class objects held by cookie.
// Every call is recorded with its arguments, in order, for tests to read.
// The component categories manager keeps each class's implemented and
// required categories, as the platform keeps them under the class's key.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/com.h"
#include "platform/sim/faults.h"

namespace talv::sim {

class SimCom final : public Com {
 public:
  enum class Op { InitializeEx, Initialize, Uninitialize, InitializeSecurity, RegisterClassObject,
                  RevokeClassObject, CreateInstance, RegisterImplCategories,
                  RegisterReqCategories, UnRegisterImplCategories, UnRegisterReqCategories };

  // One call as it was made, with the status it was answered with.
  struct Call {
    Op op = Op::InitializeEx;
    std::thread::id thread;
    std::uint32_t flags = 0;         // CoInitializeEx, CoRegisterClassObject
    std::uint32_t context = 0;       // CoRegisterClassObject
    Guid clsid;                      // CoRegisterClassObject
    const void* object = nullptr;    // the factory, or the security descriptor
    std::int32_t authServiceCount = 0;
    const void* authServices = nullptr;
    const void* reserved1 = nullptr;
    std::uint32_t authnLevel = 0;
    std::uint32_t impLevel = 0;
    const void* authList = nullptr;
    std::uint32_t capabilities = 0;
    const void* reserved3 = nullptr;
    std::uint32_t cookie = 0;        // CoRevokeClassObject; the one handed out by a registration
    Guid category;                   // the category calls (clsid is the class)
    HResult result = 0;
  };

  ~SimCom() override;

  HResult CoInitializeEx(std::uint32_t flags) override;
  HResult CoInitialize() override;
  void CoUninitialize() override;
  HResult CoInitializeSecurity(const void* descriptor, std::int32_t authServiceCount,
                               const void* authServices, void* reserved1, std::uint32_t authnLevel,
                               std::uint32_t impLevel, void* authList, std::uint32_t capabilities,
                               void* reserved3) override;
  HResult CoRegisterClassObject(const Guid& clsid, ComUnknown* factory, std::uint32_t context,
                                std::uint32_t flags, std::uint32_t* cookie) override;
  HResult CoRevokeClassObject(std::uint32_t cookie) override;
  HResult CoCreateCategoryRegistrar(const Guid& clsid, std::uint32_t context,
                                    CategoryRegistrar** out) override;

  // --- test side -------------------------------------------------------
  // Faults are COM statuses here (a FaultPlan carries any 32-bit value).
  FaultPlan<Op>& faults() { return faults_; }
  std::vector<Call> Calls() const;
  // The recorded calls of one kind, in order.
  std::vector<Call> CallsOf(Op op) const;
  void ClearCalls();
  // Initialisations not yet undone, on the calling thread and on all threads.
  unsigned ApartmentDepth() const;
  unsigned TotalApartmentDepth() const;
  // Whether the process-wide security call has succeeded.
  bool SecurityInitialized() const;
  // Class objects registered and not yet revoked.
  std::size_t RegisteredClassCount() const;
  // Whether the component categories manager exists (it does at first);
  // without it CoCreateInstance answers REGDB_E_CLASSNOTREG.
  void SetCategoryManagerAvailable(bool available);
  // Category managers handed out and not yet released.
  std::size_t LiveCategoryRegistrars() const;
  // Whether `clsid` is recorded as implementing (or requiring) `category`.
  bool ClassHasCategory(const Guid& clsid, const Guid& category, bool implemented) const;

 private:
  struct Apartment {
    std::uint32_t model = 0;
    unsigned depth = 0;
  };
  class Registrar;
  HResult Join(Op op, std::uint32_t model, std::uint32_t flags);
  void Record(Call c);
  HResult CategoryCall(Op op, const Guid& clsid, const Guid& category);

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::map<std::thread::id, Apartment> apartments_;
  bool securityInitialized_ = false;
  std::map<std::uint32_t, ComUnknown*> registered_;
  std::uint32_t nextCookie_ = 0x100;
  bool categoryManagerAvailable_ = true;
  std::size_t liveRegistrars_ = 0;
  // (class, category, implemented) as registered.
  std::set<std::tuple<std::string, std::string, bool>> categories_;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
