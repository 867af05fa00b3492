#include <string>

#include "tests/contract/contract_env.h"

namespace talv::contract {

namespace {
const std::u16string kScratchRoot = u"Software\\TalvContractTests";
}

ScratchKey::ScratchKey(const std::u16string& name) : path_(kScratchRoot + u"\\" + name) {
  Registry& r = CurrentEnv().registry();
  DeleteKeyTree(r, reg::kCurrentUser, path_.c_str());
  r.CreateKey(reg::kCurrentUser, path_.c_str(), reg::kAllAccess, &key_, nullptr);
}

ScratchKey::~ScratchKey() {
  Registry& r = CurrentEnv().registry();
  if (key_) r.CloseKey(key_);
  DeleteKeyTree(r, reg::kCurrentUser, path_.c_str());
  r.DeleteKey(reg::kCurrentUser, kScratchRoot.c_str());
}

}  // namespace talv::contract
