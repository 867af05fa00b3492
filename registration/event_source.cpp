#include "registration/event_source.h"

#include <string>

namespace talv {

namespace {

std::u16string SourceKey(const char16_t* source) {
  return std::u16string(kEventSourcesKey) + u"\\" + source;
}

}  // namespace

WinError RegisterEventMessageFile(Registry& registry, System& system, const char16_t* source) {
  constexpr std::uint32_t kPathUnits = 260;
  char16_t path[kPathUnits] = {};
  const std::uint32_t length = system.ModuleFileName(0, path, kPathUnits);
  // A cut path would name another file: better no message file than that.
  if (length == 0 || length >= kPathUnits) return err::kInsufficientBuffer;
  UniqueKey key;
  WinError e = Create(key, registry, reg::kLocalMachine, SourceKey(source).c_str(), reg::kWrite);
  if (e != err::kSuccess) return e;
  e = registry.SetValue(key.get(), u"EventMessageFile", reg::kExpandSz, path, (length + 1) * sizeof(char16_t));
  if (e != err::kSuccess) return e;
  const std::uint32_t types = kEventTypesSupported;
  return registry.SetValue(key.get(), u"TypesSupported", reg::kDword, &types, sizeof types);
}

WinError UnregisterEventMessageFile(Registry& registry, const char16_t* source) {
  const WinError e = registry.DeleteKey(reg::kLocalMachine, SourceKey(source).c_str());
  return e == err::kFileNotFound ? err::kSuccess : e;
}

}  // namespace talv
