// Fuzz target for the registry script interpreter: arbitrary bytes are run
// as a script, registered and then unregistered, against a fresh simulated
// registry that already holds some other program's entries. Besides the
// sanitizers' findings, a run that leaves a key or a module open, or that
// answers with a result the interpreter never gives, is a finding.
//
// The first byte chooses how the rest is read: bit 0 clear, as the 8-bit
// text of the carried resource (through ApplyRegistryScript); bit 0 set, as
// UTF-16 text (through RunScriptText). Bits 1-4 make the n-th allocation of
// the interpreter fail (0: none).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_resources.h"
#include "registration/registry_script.h"

namespace {

using namespace talv;

const char16_t kModulePath[] = u"C:\\Program Files\\O'Neil %Tools%\\talvmon.exe";
const char16_t kShortPath[] = u"C:\\PROGRA~1\\O'NEIL~1\\talvmon.exe";

// Just what the interpreter asks of the system: module file name, short
// path and the 8-bit conversion (Latin-1, as the simulator's code page).
class FuzzSystem final : public System {
 public:
  void Sleep(std::uint32_t) override {}
  WinError GetLastError() override { return last_; }
  void SetLastError(WinError e) override { last_ = e; }
  std::uint32_t SetErrorMode(std::uint32_t) override { return 0; }
  std::uint32_t GetErrorMode() override { return 0; }
  const char16_t* CommandLine() override { return u""; }
  std::uint32_t ModuleFileName(ModuleHandle, char16_t* buffer, std::uint32_t capacity) override {
    std::u16string p(kModulePath);
    if (capacity <= p.size()) return 0;
    std::memcpy(buffer, p.c_str(), (p.size() + 1) * 2);
    return static_cast<std::uint32_t>(p.size());
  }
  int AtExit(void (*)()) override { return 0; }
  void ExitProcess(std::uint32_t) override { std::abort(); }
  std::uint32_t ShortPathName(const char16_t*, char16_t* buffer, std::uint32_t capacity) override {
    std::u16string p(kShortPath);
    if (capacity <= p.size()) return static_cast<std::uint32_t>(p.size() + 1);
    std::memcpy(buffer, p.c_str(), (p.size() + 1) * 2);
    return static_cast<std::uint32_t>(p.size());
  }
  int AnsiToWide(const char* text, int length, char16_t* buffer, int capacity) override {
    int n = length == -1 ? static_cast<int>(std::strlen(text)) + 1 : length;
    if (capacity < n) return 0;
    for (int i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
    return n;
  }
  int LoadString(ModuleHandle, std::uint32_t, char16_t*, int) override { return 0; }

 private:
  WinError last_ = 0;
};

// Heap memory whose n-th allocation fails; checks that every block is
// given back.
class FuzzMemory final : public ByteAllocator {
 public:
  explicit FuzzMemory(unsigned failAt) : failAt_(failAt) {}
  void* Allocate(std::size_t bytes) noexcept override {
    if (++calls_ == failAt_) return nullptr;
    ++live_;
    return std::malloc(bytes == 0 ? 1 : bytes);
  }
  void Free(void* block) noexcept override {
    --live_;
    std::free(block);
  }
  long live() const { return live_; }

 private:
  unsigned failAt_;
  unsigned calls_ = 0;
  long live_ = 0;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
  }
}

bool KnownResult(HResult hr) {
  return hr == hr::kOk || hr == hr::kDispException || hr == hr::kFail ||
         hr == hr::kOutOfMemory || (hr & 0xFFFF0000u) == 0x80070000u;
}

void Seed(sim::SimRegistry& r) {
  r.PutString(reg::kClassesRoot, u"AppID\\{00000000-0000-0000-0000-000000000001}", u"", u"Other");
  r.PutString(reg::kClassesRoot, u"CLSID\\{00000000-0000-0000-0000-000000000002}", u"", u"Class");
  r.PutString(reg::kClassesRoot, u"TypeLib\\{00000000-0000-0000-0000-000000000003}\\1.0", u"",
              u"Lib");
  r.PutDword(reg::kLocalMachine, u"Software\\Other", u"Kept", 1);
  r.PutKey(reg::kCurrentUser, u"Software\\A\\A\\A");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned mode = data[0];
  const bool utf16 = (mode & 1) != 0;
  const unsigned failAt = (mode >> 1) & 15;
  const std::uint8_t* body = data + 1;
  const std::size_t length = size - 1;

  sim::SimRegistry registry;
  sim::SimResources resources;
  FuzzSystem system;
  Seed(registry);

  for (ScriptDirection direction : {ScriptDirection::kRegister, ScriptDirection::kUnregister}) {
    FuzzMemory memory(failAt);
    HResult hr = 0;
    if (utf16) {
      std::u16string text;
      for (std::size_t i = 0; i + 1 < length; i += 2)
        text.push_back(static_cast<char16_t>(body[i] | (body[i + 1] << 8)));
      CRegistryScript script(registry, system, resources, memory);
      hr = script.AddReplacement(u"Module", u"C:\\x''y");
      if (hr == hr::kOk) hr = script.AddReplacement(u"Path", u"%Module%");
      if (hr == hr::kOk) hr = script.RunScriptText(text.c_str(), direction);
    } else {
      // The executable is loaded through its short path.
      resources.AddResource(kShortPath, u"REGISTRY", 100, body, length);
      RegistryScriptPorts ports{registry, system, resources};
      ScriptReplacement extra[] = {{u"AppName", u"TALV 'Wardstone'"}, {nullptr, nullptr}};
      hr = ApplyRegistryScript(ports, 0, 100, direction, extra, memory);
    }
    Check(KnownResult(hr), "unexpected result");
    Check(registry.OpenKeyCount() == 0, "registry key left open");
    Check(resources.LoadedCount() == 0, "module left loaded");
    Check(memory.live() == 0, "memory not given back");
  }
  return 0;
}
