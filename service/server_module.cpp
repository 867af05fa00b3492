#include "service/server_module.h"

namespace talv {

ClassTableEntry* ProgramClassTable() {
  static ClassTableEntry table[] = {ClassTableEntry{}};
  return table;
}

HResult CServerModule::InitServerModule(ClassTableEntry* table, ModuleHandle module, Com& com) {
  classTable = table;
  moduleInstance = module;
  resourceInstance = module;
  typeLibInstance = module;
  lockCount = 0;
  com_ = &com;
  typeInfoLock_.emplace();
  windowCreateLock_.emplace();
  classTableLock_.emplace();
  for (ClassTableEntry* e = classTable; e != nullptr && e->clsid != nullptr; ++e) {
    if (e->classInit) e->classInit(true);
  }
  return hr::kOk;
}

HResult CServerModule::RegisterClassFactories(std::uint32_t context, std::uint32_t flags) {
  HResult status = hr::kOk;
  for (ClassTableEntry* e = classTable; e != nullptr && e->clsid != nullptr && com::Succeeded(status);
       ++e) {
    if (e->getClassObject == nullptr) {
      status = hr::kOk;
      continue;
    }
    if (com_ == nullptr) return com::kUnexpected;  // a table without InitServerModule
    void* obtained = nullptr;
    status = e->getClassObject(e->createInstance, com::kIidIUnknown, &obtained);
    if (com::Succeeded(status)) {
      auto* factory = static_cast<ComUnknown*>(obtained);
      UniqueUnknown reference;  // the runtime takes its own
      if (factory != nullptr) reference.adopt(*factory, factory);
      status = com_->CoRegisterClassObject(*e->clsid, factory, context, flags,
                                           &e->registrationCookie);
    }
  }
  return status;
}

HResult CServerModule::RevokeClassFactories() {
  HResult status = hr::kOk;
  for (ClassTableEntry* e = classTable; e != nullptr && e->clsid != nullptr && com::Succeeded(status);
       ++e) {
    if (com_ == nullptr) return com::kUnexpected;
    status = com_->CoRevokeClassObject(e->registrationCookie);
  }
  return status;
}

}  // namespace talv
