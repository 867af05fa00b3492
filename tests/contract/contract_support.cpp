#include <string>

#include "tests/contract/contract_env.h"

namespace talv::contract {

namespace {
const std::u16string kScratchRoot = u"Software\\TalvContractTests";
}

ScratchKey::ScratchKey(const std::u16string& name) : path_(kScratchRoot + u"\\" + name) {
  Registry& r = CurrentEnv().registry();
  DeleteKeyTree(r, reg::kCurrentUser, path_.c_str());
  (void)Create(key_, r, reg::kCurrentUser, path_.c_str(), reg::kAllAccess);  // a test then fails on key()
}

ScratchKey::~ScratchKey() {
  Registry& r = CurrentEnv().registry();
  key_.reset();
  DeleteKeyTree(r, reg::kCurrentUser, path_.c_str());
  (void)r.DeleteKey(reg::kCurrentUser, kScratchRoot.c_str());  // other suites' keys may still be there
}

}  // namespace talv::contract
