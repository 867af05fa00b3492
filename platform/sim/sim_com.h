// The simulated COM runtime: per-thread apartment membership with nesting
// counts, one process-wide security call, and class objects held by cookie.
// Every call is recorded with its arguments, in order, for tests to read.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com.h"
#include "platform/sim/faults.h"

namespace talv::sim {

class SimCom final : public Com {
 public:
  enum class Op { InitializeEx, Initialize, Uninitialize, InitializeSecurity, RegisterClassObject,
                  RevokeClassObject };

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

 private:
  struct Apartment {
    std::uint32_t model = 0;
    unsigned depth = 0;
  };
  HResult Join(Op op, std::uint32_t model, std::uint32_t flags);
  void Record(Call c);

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::map<std::thread::id, Apartment> apartments_;
  bool securityInitialized_ = false;
  std::map<std::uint32_t, ComUnknown*> registered_;
  std::uint32_t nextCookie_ = 0x100;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
