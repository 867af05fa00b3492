// The registry script interpreter: a small text language that names the
// keys and values of the program's COM application identity. Registration
// creates what a script names; unregistration walks the same text and
// removes it, except where NoRemove or the protected names keep a key.
//
// Script text, after %Name% replacements are expanded:
//   script  := { rootname "{" entry* "}" }
//   entry   := "Val" name "=" type value
//            | ["ForceRemove" | "Delete"] ["NoRemove"] keyname ["=" type value] ["{" entry* "}"]
//   type    := "S" (REG_SZ) | "D" (REG_DWORD, unsigned decimal) | "B" (REG_BINARY, hex digits)
// Tokens are separated by white space only; 'quoted' tokens may hold white
// space and braces, '' stands for one apostrophe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/library.h"
#include "platform/memory.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/system.h"
#include "platform/typelib.h"
#include "platform/types.h"

namespace talv {

enum class ScriptDirection { kRegister, kUnregister };

// The replacement variables of one run: an ordered list of (name, value)
// pairs, each owning copies of both texts; room for 10 pairs at first,
// doubled when full. Adding never looks for an existing name.
class CReplacementMap {
 public:
  explicit CReplacementMap(ByteAllocator& memory = HeapAllocator());
  ~CReplacementMap();
  CReplacementMap(const CReplacementMap&) = delete;
  CReplacementMap& operator=(const CReplacementMap&) = delete;

  // Appends a pair; E_OUTOFMEMORY when a copy or the growth fails (the map
  // is then as before).
  HResult Add(const char16_t* name, const char16_t* value);
  // The value of the first pair whose name equals name[0..length) without
  // regard to case, or null.
  const char16_t* Lookup(const char16_t* name, std::size_t length) const;
  std::size_t Count() const { return count_; }
  std::size_t Capacity() const { return capacity_; }

 private:
  struct Pair {
    OwnedBytes name;
    OwnedBytes value;
  };
  Pair* pairs() const { return static_cast<Pair*>(pairs_.get()); }
  ByteAllocator& memory_;
  OwnedBytes pairs_;  // room for capacity_ pairs, the first count_ of them made
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
};

// Deletes subkey `name` of `parent` and everything below it: children
// first, stopping at the first error. Win32 error number, 0 on success.
WinError DeleteKeyTree(Registry& registry, RegKey parent, const char16_t* name);
// The key has one or more subkeys (a failing query counts as none).
bool KeyHasSubKeys(Registry& registry, RegKey key);
// The key has a named value; a key whose only value is its default value
// has none.
bool KeyHasValues(Registry& registry, RegKey key);

// One run over one script text: the tokenizer and both directions.
class CRegistryScriptParser {
 public:
  static constexpr std::size_t kTokenUnits = 4096;      // with the terminator
  static constexpr std::size_t kValueNameUnits = 260;   // with the terminator
  static constexpr std::size_t kKeyNameUnits = 259;     // a key name remembered for deletion
  static constexpr std::size_t kVariableNameUnits = 32; // with the terminator
  // Blocks that touch the registry nest at most this deep (the registry's
  // own depth limit); deeper ones are refused with DISP_E_EXCEPTION instead
  // of exhausting the stack. Blocks walked in recovery have no limit.
  static constexpr unsigned kMaxBlockDepth = 512;

  CRegistryScriptParser(Registry& registry, const CReplacementMap& replacements,
                        ByteAllocator& memory = HeapAllocator());
  CRegistryScriptParser(const CRegistryScriptParser&) = delete;
  CRegistryScriptParser& operator=(const CRegistryScriptParser&) = delete;

  // Expands %Name% (and %% to %) into a new buffer that the caller hands to
  // FreeText; *expanded is null on an error.
  HResult PreprocessText(const char16_t* text, char16_t** expanded);
  void FreeText(char16_t* expanded);
  // Interprets expanded text from its start: every root section in turn; a
  // failed registration of a section is rolled back before the run stops.
  HResult Interpret(const char16_t* expanded, ScriptDirection direction);

  // The next token into `token` (kTokenUnits units); DISP_E_EXCEPTION at
  // the end of the text, for an unterminated quote or an over-long token.
  HResult NextToken(char16_t* token);
  // Moves the cursor over tab, line feed, carriage return and space.
  void SkipWhiteSpace();
  // With "=" in hand: consumes the type and value tokens and reads the next
  // token into `token`; any other token is left in hand.
  HResult SkipAssignment(char16_t* token);
  // Runs the block whose "{" is in `token` under `parent`; returns with its
  // closing brace consumed.
  HResult ProcessBlock(char16_t* token, RegKey parent, ScriptDirection direction, bool recovery);
  // With "=" consumed: reads type and value, writes the value (name null:
  // the default value), then reads the next token into `token`.
  HResult AddValue(RegKey key, const char16_t* valueName, char16_t* token);

  // The predefined key a root name stands for, or 0.
  static RegKey RootKeyFromName(const char16_t* token);
  // REG_SZ, REG_DWORD or REG_BINARY for "S", "D", "B" (any case), else REG_NONE.
  static std::uint32_t ValueTypeFromToken(const char16_t* token);
  // 0..15 for a hexadecimal digit, 0 for anything else.
  static std::uint8_t HexDigitValue(char16_t c);
  // The DWORD that a "D" value's text stands for: unsigned decimal digits,
  // optionally signed "+" and surrounded by spaces or tabs, at most
  // 4294967295. Anything else (empty text, other characters, overflow)
  // gives 0, which is what is then written.
  static std::uint32_t DwordFromText(const char16_t* text);
  // Numbers are converted with the platform's VarUI4FromStr when it is
  // given (null: DwordFromText); a failed conversion writes 0 either way.
  void SetNumberConversion(VarUI4FromStrFn convert) { varUI4FromStr_ = convert; }

 private:
  HResult RegisterBlock(char16_t* token, RegKey parent);
  HResult UnregisterBlock(char16_t* token, RegKey parent, bool recovery);
  HResult SkipBlock(char16_t* token);
  HResult ReadValueName(char16_t* token);
  // With "{" in hand: runs the block under `key` and reads the token after
  // it; any other token is left in hand.
  HResult NestedBlock(char16_t* token, RegKey key, ScriptDirection direction, bool recovery);
  // The modifiers of a key entry, ["ForceRemove" | "Delete"] ["NoRemove"].
  struct KeyModifiers {
    bool forceRemove = false;
    bool deleteOnly = false;
    bool noRemove = false;
  };
  // Reads the modifiers from the token in hand and leaves the key name in
  // `token`; an empty name or a path is DISP_E_EXCEPTION.
  HResult ReadKeyName(char16_t* token, KeyModifiers* modifiers);

  Registry& registry_;
  const CReplacementMap& replacements_;
  ByteAllocator& memory_;
  VarUI4FromStrFn varUI4FromStr_ = nullptr;
  const char16_t* cursor_ = nullptr;
  unsigned depth_ = 0;
  // Working buffers of one Interpret: the current token, the type and value
  // tokens of an assignment, a value name, the bytes of a binary value.
  OwnedBytes buffers_;
  char16_t* typeToken_ = nullptr;
  char16_t* valueToken_ = nullptr;
  char16_t* valueName_ = nullptr;
  std::uint8_t* binary_ = nullptr;
};

// Runs scripts with one replacement map; lives for one ApplyRegistryScript.
class CRegistryScript {
 public:
  CRegistryScript(Registry& registry, System& system, ModuleResources& resources,
                  ByteAllocator& memory = HeapAllocator());

  // Adds a replacement variable; S_OK or E_OUTOFMEMORY.
  HResult AddReplacement(const char16_t* name, const char16_t* value);
  // Loads `modulePath` as data, takes its resource (`type`, `id`) as 8-bit
  // text in the ANSI code page, and runs it. A module or resource that
  // cannot be had gives the platform error as a COM status.
  HResult RunScriptResource(const char16_t* modulePath, std::uint16_t id, const char16_t* type,
                            ScriptDirection direction);
  // Expands and interprets a zero-terminated script text.
  HResult RunScriptText(const char16_t* text, ScriptDirection direction);

  const CReplacementMap& replacements() const { return replacements_; }
  // See CRegistryScriptParser::SetNumberConversion.
  void SetNumberConversion(VarUI4FromStrFn convert) { varUI4FromStr_ = convert; }

 private:
  Registry& registry_;
  System& system_;
  ModuleResources& resources_;
  ByteAllocator& memory_;
  CReplacementMap replacements_;
  VarUI4FromStrFn varUI4FromStr_ = nullptr;
};

// The ports that applying a carried script needs.
struct RegistryScriptPorts {
  Registry& registry;
  System& system;
  ModuleResources& resources;
  // Where "oleaut32.dll" with VarUI4FromStr is looked for (null: nowhere).
  Libraries* libraries = nullptr;
};

// One extra replacement variable; a list of them ends with a null name.
struct ScriptReplacement {
  const char16_t* name;
  const char16_t* value;
};

// Runs the "REGISTRY" resource `resourceId` of the module `moduleInstance`
// (0: the executable) in `direction`, with %Module% standing for the
// module's path (the short form for the executable itself), apostrophes
// doubled. A path that cannot be had gives the platform error as a COM
// status (122 when it does not fit 260 units); a short form that does not
// fit gives E_OUTOFMEMORY. Numbers go through "oleaut32.dll"'s VarUI4FromStr
// where the libraries have it, else through DwordFromText.
HResult ApplyRegistryScript(const RegistryScriptPorts& ports, ModuleHandle moduleInstance,
                            std::uint16_t resourceId, ScriptDirection direction,
                            const ScriptReplacement* extra = nullptr,
                            ByteAllocator& memory = HeapAllocator());

}  // namespace talv
