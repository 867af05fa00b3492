// What the registry script tests share: a simulated machine (registry,
// module resources, system), memory that counts and fails on request, the
// carried script read from resources/talvmon.rgs, and checks that every
// run closed its keys, freed its modules and gave back its memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_resources.h"
#include "platform/sim/sim_system.h"
#include "registration/registry_script.h"

namespace talv::testing {

inline constexpr char16_t kIdentityKey[] = u"AppID\\{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}";
inline constexpr char16_t kExeKey[] = u"AppID\\TALVMON.EXE";
inline constexpr char16_t kAppId[] = u"{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}";

// Heap memory that counts its live blocks and can fail chosen allocations.
class CountingMemory final : public ByteAllocator {
 public:
  void* Allocate(std::size_t bytes) noexcept override {
    ++calls_;
    if (calls_ == failAt_ || (failFrom_ != 0 && calls_ >= failFrom_)) return nullptr;
    ++live_;
    return std::malloc(bytes == 0 ? 1 : bytes);
  }
  void Free(void* block) noexcept override {
    --live_;
    std::free(block);
  }
  // The n-th allocation from now fails (1 = the next one).
  void FailNth(unsigned n) { failAt_ = calls_ + n; }
  // Every allocation from the n-th from now on fails.
  void FailFrom(unsigned n) { failFrom_ = calls_ + n; }
  void Clear() { failAt_ = failFrom_ = 0; }
  long live() const { return live_; }
  unsigned calls() const { return calls_; }

 private:
  unsigned calls_ = 0;
  unsigned failAt_ = 0;
  unsigned failFrom_ = 0;
  long live_ = 0;
};

// The bytes of the carried script, as the repository holds them.
inline std::string CarriedScriptBytes() {
  auto path = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "resources" /
              "talvmon.rgs";
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::u16string Widen(std::string_view s) {
  std::u16string out;
  for (char c : s) out.push_back(static_cast<unsigned char>(c));
  return out;
}

inline std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

class RegistryScriptTest : public ::testing::Test {
 protected:
  // The executable's own path and its short form (SimSystem's defaults).
  static constexpr char16_t kLongPath[] = u"C:\\Program Files\\TALV\\talvmon.exe";
  static constexpr char16_t kShortPath[] = u"C:\\PROGRA~1\\TALV\\talvmon.exe";

  void TearDown() override { ExpectClean(); }

  // Nothing stays open or allocated after a run, however it ended.
  void ExpectClean() {
    EXPECT_EQ(registry.OpenKeyCount(), 0u) << "registry keys left open";
    EXPECT_EQ(resources.LoadedCount(), 0u) << "modules left loaded";
    EXPECT_EQ(memory.live(), 0) << "interpreter memory not given back";
  }

  // Runs script text with %Module% standing for `module`.
  HResult Run(std::u16string_view text, ScriptDirection direction,
              const char16_t* module = u"C:\\talv\\talvmon.exe") {
    CRegistryScript script(registry, system, resources, memory);
    HResult hr = script.AddReplacement(u"Module", module);
    if (hr != hr::kOk) return hr;
    return script.RunScriptText(std::u16string(text).c_str(), direction);
  }
  HResult Register(std::u16string_view text) { return Run(text, ScriptDirection::kRegister); }
  HResult Unregister(std::u16string_view text) { return Run(text, ScriptDirection::kUnregister); }

  // The carried script as resource "REGISTRY" 100 of the executable, which
  // is loaded through its short path.
  void CarryScript(std::string_view bytes, const char16_t* path = kShortPath) {
    resources.AddResource(path, u"REGISTRY", 100, bytes);
  }
  HResult Apply(ScriptDirection direction, ModuleHandle module = 0,
                const ScriptReplacement* extra = nullptr) {
    RegistryScriptPorts ports{registry, system, resources};
    return ApplyRegistryScript(ports, module, 100, direction, extra, memory);
  }

  // The key paths below a root, without the value lines of Dump.
  std::vector<std::u16string> Keys(RegKey root) {
    std::vector<std::u16string> keys;
    for (auto& line : registry.Dump(root))
      if (line.find(u" [") == std::u16string::npos) keys.push_back(line);
    return keys;
  }

  std::vector<std::uint8_t> Bytes(RegKey root, std::u16string_view path, std::u16string_view name,
                                  std::uint32_t* type = nullptr) {
    std::vector<std::uint8_t> data;
    std::uint32_t t = 0;
    EXPECT_TRUE(registry.Get(root, path, name, &t, &data))
        << "missing value " << Narrow(path) << " [" << Narrow(name) << "]";
    if (type) *type = t;
    return data;
  }
  std::uint32_t Dword(RegKey root, std::u16string_view path, std::u16string_view name) {
    std::uint32_t type = 0;
    auto data = Bytes(root, path, name, &type);
    EXPECT_EQ(type, reg::kDword);
    std::uint32_t v = 0;
    if (data.size() == 4) std::memcpy(&v, data.data(), 4);
    return v;
  }
  std::u16string Sz(RegKey root, std::u16string_view path, std::u16string_view name) {
    std::uint32_t type = 0;
    auto data = Bytes(root, path, name, &type);
    EXPECT_EQ(type, reg::kSz);
    EXPECT_EQ(data.size() % 2, 0u);
    EXPECT_TRUE(data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0)
        << "a string is written with its terminator";
    return registry.GetString(root, path, name);
  }

  sim::SimClock clock;
  sim::SimRegistry registry;
  sim::SimResources resources;
  sim::SimSystem system{clock};
  CountingMemory memory;
};

}  // namespace talv::testing
