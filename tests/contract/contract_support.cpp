#include <string>

#include "tests/contract/contract_env.h"

namespace talv::contract {

namespace {
const std::u16string kScratchRoot = u"Software\\TalvContractTests";
}

WinError DeleteTree(Registry& r, RegKey parent, const std::u16string& sub) {
  RegKey k = 0;
  WinError e = r.OpenKey(parent, sub.c_str(), reg::kRead | reg::kWrite | 0x10000u, &k);
  if (e != err::kSuccess) return e;
  for (;;) {
    char16_t name[256];
    std::uint32_t len = 256;
    if (r.EnumKey(k, 0, name, &len) != err::kSuccess) break;
    if (DeleteTree(r, k, name) != err::kSuccess) break;
  }
  r.CloseKey(k);
  return r.DeleteKey(parent, sub.c_str());
}

ScratchKey::ScratchKey(const std::u16string& name) : path_(kScratchRoot + u"\\" + name) {
  Registry& r = CurrentEnv().registry();
  DeleteTree(r, reg::kCurrentUser, path_);
  r.CreateKey(reg::kCurrentUser, path_.c_str(), reg::kAllAccess, &key_, nullptr);
}

ScratchKey::~ScratchKey() {
  Registry& r = CurrentEnv().registry();
  if (key_) r.CloseKey(key_);
  DeleteTree(r, reg::kCurrentUser, path_);
  r.DeleteKey(reg::kCurrentUser, kScratchRoot.c_str());
}

}  // namespace talv::contract
