// The COM server module the service host is built on: the executable's
// module instance, its class table and the walks that offer the table's
// class factories to other processes and withdraw them again.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/com.h"
#include "platform/library.h"

namespace talv {

// Creates an instance of a class: (outer object or null, interface, place
// for the interface pointer).
using InstanceCreatorFn = HResult (*)(void* outer, const Guid& iid, void** out);

// One category a class implements (kind 1) or requires (any other non-zero
// kind); a list of them ends with an entry of kind 0.
struct CategoryMapEntry {
  std::int32_t kind = 0;
  Guid category;
};

// One class of the server. A table of them ends with an entry whose class
// identifier is null.
struct ClassTableEntry {
  const Guid* clsid = nullptr;
  // Writes (true) or removes (false) the class's registry entries.
  HResult (*updateRegistry)(bool doRegister) = nullptr;
  // Yields the class factory, given the instance creator and an interface.
  HResult (*getClassObject)(InstanceCreatorFn creator, const Guid& iid, void** out) = nullptr;
  InstanceCreatorFn createInstance = nullptr;
  ComUnknown* cachedFactory = nullptr;
  std::uint32_t registrationCookie = 0;
  // A text describing the class, or null.
  const char16_t* (*getDescription)() = nullptr;
  // The class's component categories, or null for none.
  const CategoryMapEntry* (*getCategoryMap)() = nullptr;
  // Called with true when the module is initialised.
  void (*classInit)(bool initializing) = nullptr;
};

// The program's own class table: the end entry only, so no COM class is
// offered at run time.
ClassTableEntry* ProgramClassTable();

class CServerModule {
 public:
  CServerModule() = default;
  CServerModule(const CServerModule&) = delete;
  CServerModule& operator=(const CServerModule&) = delete;
  virtual ~CServerModule() = default;

  // Stores the table and the module instance (also as resource and
  // type-library instance), zeroes the lock count, creates the three locks
  // and calls every class's init hook with true. `com` is where the class
  // factories are registered. Returns 0.
  HResult InitServerModule(ClassTableEntry* classTable, ModuleHandle moduleInstance, Com& com);
  // Offers each class's factory under `context` and `flags`, walking the
  // table while entries succeed; the status of the last entry handled, or 0
  // for an empty table.
  HResult RegisterClassFactories(std::uint32_t context, std::uint32_t flags);
  // Withdraws each class's registration, stopping at the first failure; its
  // status, or 0 for an empty table.
  HResult RevokeClassFactories();

  // Whether InitServerModule has created the locks.
  bool LocksCreated() const { return typeInfoLock_.has_value(); }

  ModuleHandle moduleInstance = 0;
  ModuleHandle resourceInstance = 0;
  ModuleHandle typeLibInstance = 0;
  ClassTableEntry* classTable = nullptr;
  std::int32_t lockCount = 0;

 private:
  Com* com_ = nullptr;
  // Type-information cache, window creation and class table; made by
  // InitServerModule for classes that want them, never taken here.
  std::optional<std::mutex> typeInfoLock_;
  std::optional<std::mutex> windowCreateLock_;
  std::optional<std::mutex> classTableLock_;
};

}  // namespace talv
