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

// One manager handed out by CoCreateCategoryRegistrar; every call goes to
// the runtime that made it.
class SimCom::Registrar final : public CategoryRegistrar {
 public:
  explicit Registrar(SimCom& com) : com_(com) {}
  HResult RegisterClassImplCategories(const Guid& clsid, const Guid& category) override {
    return com_.CategoryCall(Op::RegisterImplCategories, clsid, category);
  }
  HResult RegisterClassReqCategories(const Guid& clsid, const Guid& category) override {
    return com_.CategoryCall(Op::RegisterReqCategories, clsid, category);
  }
  HResult UnRegisterClassImplCategories(const Guid& clsid, const Guid& category) override {
    return com_.CategoryCall(Op::UnRegisterImplCategories, clsid, category);
  }
  HResult UnRegisterClassReqCategories(const Guid& clsid, const Guid& category) override {
    return com_.CategoryCall(Op::UnRegisterReqCategories, clsid, category);
  }
  void Release() override {
    {
      std::lock_guard<std::mutex> lock(com_.mutex_);
      --com_.liveRegistrars_;
    }
    delete this;
  }

 private:
  ~Registrar() = default;
  SimCom& com_;
};

namespace {
std::string GuidKey(const Guid& g) {
  return std::string(reinterpret_cast<const char*>(&g), sizeof g);
}
}  // namespace

HResult SimCom::CoCreateCategoryRegistrar(const Guid& clsid, std::uint32_t context,
                                          CategoryRegistrar** out) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c;
  c.op = Op::CreateInstance;
  c.clsid = clsid;
  c.context = context;
  HResult r = faults_.Enter(Op::CreateInstance);
  if (r == 0) {
    if (out == nullptr) {
      r = com::kPointer;
    } else if (apartments_.find(std::this_thread::get_id()) == apartments_.end()) {
      r = com::kNotInitialized;
    } else if (!categoryManagerAvailable_ || clsid != com::kClsidStdComponentCategoriesMgr ||
               (context & com::kInprocServer) == 0) {
      // The manager is an in-process server only.
      r = com::kClassNotRegistered;
    } else {
      *out = new Registrar(*this);
      ++liveRegistrars_;
    }
  }
  c.result = r;
  Record(c);
  return r;
}

HResult SimCom::CategoryCall(Op op, const Guid& clsid, const Guid& category) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c;
  c.op = op;
  c.clsid = clsid;
  c.category = category;
  HResult r = faults_.Enter(op);
  if (r == 0) {
    bool implemented = op == Op::RegisterImplCategories || op == Op::UnRegisterImplCategories;
    auto key = std::make_tuple(GuidKey(clsid), GuidKey(category), implemented);
    // Removing a category the class does not have succeeds, as under Wine.
    if (op == Op::RegisterImplCategories || op == Op::RegisterReqCategories)
      categories_.insert(key);
    else
      categories_.erase(key);
  }
  c.result = r;
  Record(c);
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

void SimCom::SetCategoryManagerAvailable(bool available) {
  std::lock_guard<std::mutex> lock(mutex_);
  categoryManagerAvailable_ = available;
}

std::size_t SimCom::LiveCategoryRegistrars() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return liveRegistrars_;
}

bool SimCom::ClassHasCategory(const Guid& clsid, const Guid& category, bool implemented) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return categories_.count(std::make_tuple(GuidKey(clsid), GuidKey(category), implemented)) != 0;
}

}  // namespace talv::sim
