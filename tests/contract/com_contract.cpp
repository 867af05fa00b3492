// The COM runtime port's contract: apartments, the once-per-process
// security call and class-object registration, against the simulator and
// against Wine's ole32.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

Com& C() { return CurrentEnv().com(); }

// A class factory that counts its references; the function table is the
// platform's IClassFactory (IUnknown's three slots, then CreateInstance and
// LockServer).
class CountingFactory : public ComUnknown {
 public:
  HResult TALV_WINAPI QueryInterface(const Guid& iid, void** out) override {
    if (out == nullptr) return com::kPointer;
    if (iid == com::kIidIUnknown || iid == com::kIidIClassFactory) {
      *out = this;
      AddRef();
      return hr::kOk;
    }
    *out = nullptr;
    return com::kNoInterface;
  }
  std::uint32_t TALV_WINAPI AddRef() override { return ++refs_; }
  std::uint32_t TALV_WINAPI Release() override { return --refs_; }
  // IClassFactory's two slots.
  virtual HResult TALV_WINAPI CreateInstance(void*, const Guid&, void** out) {
    if (out) *out = nullptr;
    return com::kNoInterface;
  }
  virtual HResult TALV_WINAPI LockServer(int) { return hr::kOk; }
  std::uint32_t refs() const { return refs_; }

 private:
  std::atomic<std::uint32_t> refs_{1};
};

// {6A1C7E53-3B94-4D0F-9E21-5C8A7D3F0B16}: a class of the tests only.
constexpr Guid kTestClass{0x6A1C7E53u, 0x3B94, 0x4D0F, {0x9E, 0x21, 0x5C, 0x8A, 0x7D, 0x3F, 0x0B, 0x16}};

// A descriptor as the service hands it to COM: null access list, owner and
// group from the process token. The buffers live as long as the object.
struct ProcessDescriptor {
  std::vector<std::uint8_t> sd;
  std::vector<std::uint8_t> user, group;
  bool Build(Security& s) {
    UniqueToken token;
    if (OpenProcess(token, s, sec::kTokenQuery) != 0) return false;
    if (!Read(s, token.get(), sec::kTokenUser, &user) ||
        !Read(s, token.get(), sec::kTokenPrimaryGroup, &group))
      return false;
    sd.assign(s.DescriptorSize(), 0);
    return s.InitializeSecurityDescriptor(sd.data(), sec::kDescriptorRevision) == 0 &&
           s.SetSecurityDescriptorDacl(sd.data(), true, nullptr, false) == 0 &&
           s.SetSecurityDescriptorOwner(sd.data(), user.data(), false) == 0 &&
           s.SetSecurityDescriptorGroup(sd.data(), group.data(), false) == 0;
  }
  static bool Read(Security& s, TokenHandle token, std::uint32_t cls, std::vector<std::uint8_t>* sid) {
    std::uint32_t size = 0;
    if (s.GetTokenInformation(token, cls, nullptr, 0, &size) != err::kInsufficientBuffer) return false;
    std::vector<std::uint8_t> record(size);
    if (s.GetTokenInformation(token, cls, record.data(), size, &size) != 0) return false;
    const void* p = sec::RecordSid(record.data());
    sid->resize(s.GetLengthSid(p));
    return s.CopySid(static_cast<std::uint32_t>(sid->size()), sid->data(), p) == 0;
  }
};

TEST(ComContract, MultithreadedJoinNestsAndKeepsItsModel) {
  OnFreshThread([] {
    {
      ComApartment first, nested, other;
      EXPECT_EQ(CoInitializeEx(first, C(), com::kMultithreaded), hr::kOk);
      EXPECT_EQ(CoInitializeEx(nested, C(), com::kMultithreaded), hr::kFalse) << "nested join";
      EXPECT_EQ(CoInitialize(other, C()), com::kChangedMode) << "a thread keeps its first model";
    }
    // Balanced: the thread is outside again and joins afresh.
    ComApartment again;
    EXPECT_EQ(CoInitializeEx(again, C(), com::kMultithreaded), hr::kOk);
  });
}

TEST(ComContract, SingleThreadedJoinRefusesTheOtherModel) {
  OnFreshThread([] {
    ComApartment first, nested, other;
    EXPECT_EQ(CoInitialize(first, C()), hr::kOk);
    EXPECT_EQ(CoInitialize(nested, C()), hr::kFalse);
    EXPECT_EQ(CoInitializeEx(other, C(), com::kMultithreaded), com::kChangedMode);
  });
}

TEST(ComContract, ClassObjectNeedsAnApartment) {
  OnFreshThread([] {
    CountingFactory factory;
    std::uint32_t cookie = 77;
    EXPECT_EQ(C().CoRegisterClassObject(kTestClass, &factory, com::kLocalServer | com::kRemoteServer,
                                        com::kMultipleUse, &cookie),
              com::kNotInitialized);
    EXPECT_EQ(cookie, 77u);
    EXPECT_EQ(factory.refs(), 1u);
  });
}

// Wine's CoInitializeSecurity is a stand-in that answers 0 to every call
// (it logs "fixme:ole:CoInitializeSecurity ... stub"), so the once-only rule
// of Windows is checked on the simulator only.
bool SecurityIsOnceOnly() { return std::strcmp(CurrentEnv().name(), "win32") != 0; }

// The process-wide security call can succeed only once per process, so
// this one test owns it.
TEST(ComContract, SecurityIsSetOnceAfterJoining) {
  ProcessDescriptor d;
  ASSERT_TRUE(d.Build(CurrentEnv().security()));
  OnFreshThread([&] {
    ComApartment apartment;
    ASSERT_EQ(CoInitializeEx(apartment, C(), com::kMultithreaded), hr::kOk);
    EXPECT_EQ(C().CoInitializeSecurity(d.sd.data(), com::kAuthServicesDefault, nullptr, nullptr,
                                       com::kAuthnLevelPkt, com::kImpLevelImpersonate, nullptr,
                                       com::kEoacNone, nullptr),
              hr::kOk);
    HResult again = C().CoInitializeSecurity(d.sd.data(), com::kAuthServicesDefault, nullptr,
                                             nullptr, com::kAuthnLevelPkt,
                                             com::kImpLevelImpersonate, nullptr, com::kEoacNone,
                                             nullptr);
    if (SecurityIsOnceOnly()) {
      EXPECT_EQ(again, com::kTooLate);
    }
  });
  // Still too late after the apartment has gone: the setting is the process's.
  OnFreshThread([&] {
    ComApartment apartment;
    ASSERT_EQ(CoInitializeEx(apartment, C(), com::kMultithreaded), hr::kOk);
    HResult later = C().CoInitializeSecurity(nullptr, com::kAuthServicesDefault, nullptr, nullptr,
                                             com::kAuthnLevelPkt, com::kImpLevelImpersonate,
                                             nullptr, com::kEoacNone, nullptr);
    if (SecurityIsOnceOnly()) {
      EXPECT_EQ(later, com::kTooLate);
    }
  });
}

TEST(ComContract, ClassObjectIsHeldUntilRevoked) {
  CountingFactory factory;
  OnFreshThread([&] {
    ComApartment apartment;
    ASSERT_EQ(CoInitializeEx(apartment, C(), com::kMultithreaded), hr::kOk);
    std::uint32_t cookie = 0;
    ASSERT_EQ(C().CoRegisterClassObject(kTestClass, &factory, com::kLocalServer | com::kRemoteServer,
                                        com::kMultipleUse, &cookie),
              hr::kOk);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(factory.refs(), 1u) << "the runtime keeps a reference";
    EXPECT_EQ(C().CoRevokeClassObject(cookie), hr::kOk);
    EXPECT_EQ(factory.refs(), 1u) << "and gives it back on revocation";
    EXPECT_EQ(C().CoRevokeClassObject(cookie), hr::kInvalidArg) << "no longer known";
  });
}

}  // namespace
}  // namespace talv::contract
