#include "platform/sim/sim_com.h"

namespace talv::sim {

SimCom::~SimCom() {
  for (auto& [cookie, factory] : registered_) factory->Release();
}

void SimCom::Record(Call c) {
  c.thread = std::this_thread::get_id();
  calls_.push_back(c);
}

HResult SimCom::Join(Op op, std::uint32_t model, std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c;
  c.op = op;
  c.flags = flags;
  HResult r = faults_.Enter(op);
  if (r == 0) {
    Apartment& a = apartments_[std::this_thread::get_id()];
    if (a.depth == 0) {
      a.model = model;
      a.depth = 1;
    } else if (a.model != model) {
      // A thread stays in the model it joined first until it leaves.
      r = com::kChangedMode;
    } else {
      ++a.depth;
      r = hr::kFalse;
    }
  }
  c.result = r;
  Record(c);
  return r;
}

HResult SimCom::CoInitializeEx(std::uint32_t flags) {
  return Join(Op::InitializeEx, flags & com::kApartmentThreaded, flags);
}

HResult SimCom::CoInitialize() {
  return Join(Op::Initialize, com::kApartmentThreaded, com::kApartmentThreaded);
}

void SimCom::CoUninitialize() {
  std::vector<ComUnknown*> orphans;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Call c;
    c.op = Op::Uninitialize;
    Record(c);
    faults_.Enter(Op::Uninitialize);
    auto it = apartments_.find(std::this_thread::get_id());
    if (it != apartments_.end() && --it->second.depth == 0) apartments_.erase(it);
    if (apartments_.empty()) {
      // COM leaves the process: what is still registered is let go.
      for (auto& [cookie, factory] : registered_) orphans.push_back(factory);
      registered_.clear();
    }
  }
  for (ComUnknown* f : orphans) f->Release();
}

HResult SimCom::CoInitializeSecurity(const void* descriptor, std::int32_t authServiceCount,
                                     const void* authServices, void* reserved1,
                                     std::uint32_t authnLevel, std::uint32_t impLevel,
                                     void* authList, std::uint32_t capabilities,
                                     void* reserved3) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c;
  c.op = Op::InitializeSecurity;
  c.object = descriptor;
  c.authServiceCount = authServiceCount;
  c.authServices = authServices;
  c.reserved1 = reserved1;
  c.authnLevel = authnLevel;
  c.impLevel = impLevel;
  c.authList = authList;
  c.capabilities = capabilities;
  c.reserved3 = reserved3;
  HResult r = faults_.Enter(Op::InitializeSecurity);
  if (r == 0) {
    if (securityInitialized_) {
      r = com::kTooLate;
    } else {
      securityInitialized_ = true;
    }
  }
  c.result = r;
  Record(c);
  return r;
}

HResult SimCom::CoRegisterClassObject(const Guid& clsid, ComUnknown* factory,
                                      std::uint32_t context, std::uint32_t flags,
                                      std::uint32_t* cookie) {
  HResult r = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Call c;
    c.op = Op::RegisterClassObject;
    c.clsid = clsid;
    c.object = factory;
    c.context = context;
    c.flags = flags;
    r = faults_.Enter(Op::RegisterClassObject);
    if (r == 0) {
      if (apartments_.find(std::this_thread::get_id()) == apartments_.end()) {
        r = com::kNotInitialized;
      } else if (factory == nullptr || cookie == nullptr) {
        r = hr::kInvalidArg;
      } else {
        c.cookie = nextCookie_++;
        registered_[c.cookie] = factory;
        *cookie = c.cookie;
      }
    }
    c.result = r;
    Record(c);
  }
  // The runtime keeps its own reference until the registration is revoked.
  if (r == 0) factory->AddRef();
  return r;
}

HResult SimCom::CoRevokeClassObject(std::uint32_t cookie) {
  ComUnknown* released = nullptr;
  HResult r = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Call c;
    c.op = Op::RevokeClassObject;
    c.cookie = cookie;
    r = faults_.Enter(Op::RevokeClassObject);
    if (r == 0) {
      auto it = registered_.find(cookie);
      if (it == registered_.end()) {
        r = hr::kInvalidArg;  // what Wine answers for a cookie it does not know
      } else {
        released = it->second;
        registered_.erase(it);
      }
    }
    c.result = r;
    Record(c);
  }
  if (released) released->Release();
  return r;
}

// --- test side ---------------------------------------------------------

std::vector<SimCom::Call> SimCom::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<SimCom::Call> SimCom::CallsOf(Op op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.op == op) out.push_back(c);
  return out;
}

void SimCom::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

unsigned SimCom::ApartmentDepth() const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = apartments_.find(std::this_thread::get_id());
  return it == apartments_.end() ? 0 : it->second.depth;
}

unsigned SimCom::TotalApartmentDepth() const {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned n = 0;
  for (const auto& [id, a] : apartments_) n += a.depth;
  return n;
}

bool SimCom::SecurityInitialized() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return securityInitialized_;
}

std::size_t SimCom::RegisteredClassCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registered_.size();
}

}  // namespace talv::sim
