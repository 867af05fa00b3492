#include "registration/registry_script.h"

#include <cstring>
#include <memory>
#include <new>

#include "platform/com.h"
#include "platform/text.h"

namespace talv {

namespace {

constexpr char16_t kApostrophe = u'\'';

using com::Failed;

std::size_t Length(const char16_t* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// The cursor steps one UTF-16 unit at a time and never past the terminator.
const char16_t* CharNext(const char16_t* p) { return *p != 0 ? p + 1 : p; }

bool IsWhiteSpace(char16_t c) { return c == u'\t' || c == u'\n' || c == u'\r' || c == u' '; }

bool IsBlockOpen(const char16_t* token) { return token[0] == u'{' && token[1] == 0; }
bool IsBlockEnd(const char16_t* token) { return token[0] == u'}'; }
bool IsAssignment(const char16_t* token) { return token[0] == u'=' && token[1] == 0; }

bool HasBackslash(const char16_t* s) {
  for (; *s != 0; ++s)
    if (*s == u'\\') return true;
  return false;
}

// A key entry names one subkey: a path, or an empty name (which would open
// or delete the parent itself, NoRemove or not), is a syntax error.
bool IsBadKeyName(const char16_t* s) { return *s == 0 || HasBackslash(s); }

// Keys that a forced removal never deletes: other programs' classes and
// type libraries live below them.
bool IsProtectedKeyName(const char16_t* name) {
  return SameName(name, u"CLSID") || SameName(name, u"TYPELIB");
}

// A copy of `s` in a block of its own; empty when out of memory.
OwnedBytes CopyText(ByteAllocator& memory, const char16_t* s) {
  std::size_t bytes = (Length(s) + 1) * sizeof(char16_t);
  OwnedBytes copy;
  if (Allocate(copy, memory, bytes)) std::memcpy(copy.get(), s, bytes);
  return copy;
}

const char16_t* Text(const OwnedBytes& block) { return static_cast<const char16_t*>(block.get()); }

}  // namespace

// --- CReplacementMap ------------------------------------------------------

CReplacementMap::CReplacementMap(ByteAllocator& memory) : memory_(memory) {}

CReplacementMap::~CReplacementMap() { std::destroy_n(pairs(), count_); }

HResult CReplacementMap::Add(const char16_t* name, const char16_t* value) {
  if (name == nullptr) name = u"";
  if (value == nullptr) value = u"";
  if (count_ == capacity_) {
    std::size_t grown = capacity_ == 0 ? 10 : capacity_ * 2;
    OwnedBytes bigger;
    if (!Allocate(bigger, memory_, grown * sizeof(Pair))) return hr::kOutOfMemory;
    std::uninitialized_move_n(pairs(), count_, static_cast<Pair*>(bigger.get()));
    std::destroy_n(pairs(), count_);
    pairs_ = std::move(bigger);
    capacity_ = grown;
  }
  OwnedBytes n = CopyText(memory_, name);
  if (!n) return hr::kOutOfMemory;
  OwnedBytes v = CopyText(memory_, value);
  if (!v) return hr::kOutOfMemory;
  new (pairs() + count_++) Pair{std::move(n), std::move(v)};
  return hr::kOk;
}

const char16_t* CReplacementMap::Lookup(const char16_t* name, std::size_t length) const {
  for (std::size_t i = 0; i < count_; ++i) {
    const char16_t* candidate = Text(pairs()[i].name);
    std::size_t k = 0;
    while (k < length && candidate[k] != 0 && FoldName(candidate[k]) == FoldName(name[k])) ++k;
    if (k == length && candidate[k] == 0) return Text(pairs()[i].value);
  }
  return nullptr;
}

// --- registry helpers -----------------------------------------------------

WinError DeleteKeyTree(Registry& registry, RegKey parent, const char16_t* name) {
  // KEY_READ | KEY_WRITE: enough to enumerate the children and delete them.
  constexpr std::uint32_t kReadWrite = reg::kRead | reg::kWrite;
  RegKey key = 0;
  WinError e = registry.OpenKey(parent, name, kReadWrite, &key);
  if (e != err::kSuccess) return e;
  UniqueKey owner(registry, key);
  for (;;) {
    char16_t child[256];
    std::uint32_t length = 256;
    if (registry.EnumKey(key, 0, child, &length) != err::kSuccess) break;
    e = DeleteKeyTree(registry, key, child);
    if (e != err::kSuccess) return e;
  }
  owner.reset();
  return registry.DeleteKey(parent, name);
}

bool KeyHasSubKeys(Registry& registry, RegKey key) {
  std::uint32_t subKeys = 0;
  if (registry.QueryInfoKey(key, &subKeys, nullptr) != err::kSuccess) return false;
  return subKeys > 0;
}

bool KeyHasValues(Registry& registry, RegKey key) {
  std::uint32_t values = 0;
  if (registry.QueryInfoKey(key, nullptr, &values) != err::kSuccess) return false;
  if (values == 0) return false;
  if (values >= 2) return true;
  // A single value counts unless it is the key's default value.
  constexpr std::uint32_t kNameUnits = 4096;
  char16_t name[kNameUnits];
  std::uint32_t length = kNameUnits;
  if (registry.EnumValue(key, 0, name, &length, nullptr, nullptr, nullptr) != err::kSuccess)
    return false;
  return name[0] != 0;
}

// --- CRegistryScriptParser ------------------------------------------------

CRegistryScriptParser::CRegistryScriptParser(Registry& registry,
                                             const CReplacementMap& replacements,
                                             ByteAllocator& memory)
    : registry_(registry), replacements_(replacements), memory_(memory) {}

HResult CRegistryScriptParser::PreprocessText(const char16_t* text, char16_t** expanded) {
  *expanded = nullptr;
  std::size_t inputLength = Length(text);
  std::size_t capacity = inputLength * 2 < 16 ? 16 : inputLength * 2;
  OwnedBytes block;
  if (!Allocate(block, memory_, capacity * sizeof(char16_t))) return hr::kOutOfMemory;
  auto* out = static_cast<char16_t*>(block.get());
  std::size_t used = 0;

  // Makes room for `more` units (the terminator included), doubling.
  auto reserve = [&](std::size_t more) -> bool {
    if (used + more <= capacity) return true;
    std::size_t grown = capacity;
    while (used + more > grown) {
      if (grown > (static_cast<std::size_t>(-1) / sizeof(char16_t)) / 2) return false;
      grown *= 2;
    }
    OwnedBytes bigger;
    if (!Allocate(bigger, memory_, grown * sizeof(char16_t))) return false;
    std::memcpy(bigger.get(), out, used * sizeof(char16_t));
    block = std::move(bigger);
    out = static_cast<char16_t*>(block.get());
    capacity = grown;
    return true;
  };

  const char16_t* p = text;
  while (*p != 0) {
    if (*p != u'%' || *CharNext(p) == u'%') {  // a unit as it is, or %% as %
      if (!reserve(2)) return hr::kOutOfMemory;
      out[used++] = *p;
      p = CharNext(*p == u'%' ? CharNext(p) : p);
      continue;
    }
    p = CharNext(p);
    const char16_t* end = p;
    while (*end != 0 && *end != u'%') end = CharNext(end);
    if (*end == 0) return hr::kDispException;
    std::size_t nameLength = static_cast<std::size_t>(end - p);
    if (nameLength >= kVariableNameUnits) return hr::kFail;
    const char16_t* value = replacements_.Lookup(p, nameLength);
    if (value == nullptr) return hr::kDispException;
    std::size_t valueLength = Length(value);
    if (!reserve(valueLength + 1)) return hr::kOutOfMemory;
    std::memcpy(out + used, value, valueLength * sizeof(char16_t));
    used += valueLength;
    p = CharNext(end);
  }
  if (!reserve(1)) return hr::kOutOfMemory;
  out[used] = 0;
  *expanded = static_cast<char16_t*>(block.release());
  return hr::kOk;
}

void CRegistryScriptParser::FreeText(char16_t* expanded) {
  OwnedBytes(memory_, expanded).reset();
}

void CRegistryScriptParser::SkipWhiteSpace() {
  while (IsWhiteSpace(*cursor_)) cursor_ = CharNext(cursor_);
}

HResult CRegistryScriptParser::NextToken(char16_t* token) {
  SkipWhiteSpace();
  if (*cursor_ == 0) return hr::kDispException;
  std::size_t n = 0;
  if (*cursor_ == kApostrophe) {
    cursor_ = CharNext(cursor_);
    for (;;) {
      if (*cursor_ == 0) return hr::kDispException;  // no closing apostrophe
      if (*cursor_ == kApostrophe) {
        const char16_t* next = CharNext(cursor_);
        if (*next != kApostrophe) {
          cursor_ = next;
          break;
        }
        cursor_ = next;  // '' stands for one apostrophe
      }
      // A quoted token holds at most kTokenUnits - 2 units.
      if (n >= kTokenUnits - 2) return hr::kDispException;
      token[n++] = *cursor_;
      cursor_ = CharNext(cursor_);
    }
  } else {
    while (*cursor_ != 0 && !IsWhiteSpace(*cursor_)) {
      if (n >= kTokenUnits - 1) return hr::kDispException;
      token[n++] = *cursor_;
      cursor_ = CharNext(cursor_);
    }
  }
  token[n] = 0;
  return hr::kOk;
}

HResult CRegistryScriptParser::SkipAssignment(char16_t* token) {
  if (!IsAssignment(token)) return hr::kOk;
  TALV_RETURN_IF_FAILED(NextToken(typeToken_));
  TALV_RETURN_IF_FAILED(NextToken(valueToken_));
  return NextToken(token);
}

RegKey CRegistryScriptParser::RootKeyFromName(const char16_t* token) {
  struct Root {
    const char16_t* shortName;
    const char16_t* longName;
    RegKey key;
  };
  static const Root kRoots[] = {
      {u"HKCR", u"HKEY_CLASSES_ROOT", reg::kClassesRoot},
      {u"HKCU", u"HKEY_CURRENT_USER", reg::kCurrentUser},
      {u"HKLM", u"HKEY_LOCAL_MACHINE", reg::kLocalMachine},
      {u"HKU", u"HKEY_USERS", reg::kUsers},
      {u"HKPD", u"HKEY_PERFORMANCE_DATA", reg::kPerformanceData},
      {u"HKDD", u"HKEY_DYN_DATA", reg::kDynData},
      {u"HKCC", u"HKEY_CURRENT_CONFIG", reg::kCurrentConfig},
  };
  for (const Root& r : kRoots)
    if (SameName(token, r.shortName) || SameName(token, r.longName)) return r.key;
  return 0;
}

std::uint32_t CRegistryScriptParser::ValueTypeFromToken(const char16_t* token) {
  if (SameName(token, u"S")) return reg::kSz;
  if (SameName(token, u"D")) return reg::kDword;
  if (SameName(token, u"B")) return reg::kBinary;
  return reg::kNone;
}

std::uint8_t CRegistryScriptParser::HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return static_cast<std::uint8_t>(c - u'0');
  if (c >= u'A' && c <= u'F') return static_cast<std::uint8_t>(c - u'A' + 10);
  if (c >= u'a' && c <= u'f') return static_cast<std::uint8_t>(c - u'a' + 10);
  return 0;
}

std::uint32_t CRegistryScriptParser::DwordFromText(const char16_t* text) {
  const char16_t* p = text;
  while (*p == u' ' || *p == u'\t') ++p;
  if (*p == u'+') ++p;
  if (*p < u'0' || *p > u'9') return 0;
  std::uint64_t v = 0;
  while (*p >= u'0' && *p <= u'9') {
    v = v * 10 + static_cast<std::uint64_t>(*p - u'0');
    if (v > 0xFFFFFFFFull) return 0;
    ++p;
  }
  while (*p == u' ' || *p == u'\t') ++p;
  if (*p != 0) return 0;
  return static_cast<std::uint32_t>(v);
}

HResult CRegistryScriptParser::AddValue(RegKey key, const char16_t* valueName, char16_t* token) {
  TALV_RETURN_IF_FAILED(NextToken(typeToken_));
  std::uint32_t type = ValueTypeFromToken(typeToken_);
  if (type == reg::kNone) return hr::kDispException;
  TALV_RETURN_IF_FAILED(NextToken(valueToken_));

  // A value that cannot be written is not reported; the run goes on.
  std::size_t length = Length(valueToken_);
  if (type == reg::kSz) {
    // A value the registry refuses is skipped: the script goes on.
    (void)registry_.SetValue(key, valueName, reg::kSz, valueToken_,
                       static_cast<std::uint32_t>((length + 1) * sizeof(char16_t)));
  } else if (type == reg::kDword) {
    std::uint32_t v = 0;
    if (varUI4FromStr_ == nullptr) {
      v = DwordFromText(valueToken_);
    } else if (Failed(varUI4FromStr_(valueToken_, 0, 0, &v))) {
      v = 0;
    }
    (void)registry_.SetValue(key, valueName, reg::kDword, &v, sizeof v);
  } else {
    if (length % 2 != 0) return hr::kFail;
    std::size_t bytes = length / 2;
    for (std::size_t i = 0; i < bytes; ++i) {
      binary_[i] = static_cast<std::uint8_t>((HexDigitValue(valueToken_[2 * i]) << 4) |
                                             HexDigitValue(valueToken_[2 * i + 1]));
    }
    (void)registry_.SetValue(key, valueName, reg::kBinary, binary_, static_cast<std::uint32_t>(bytes));
  }
  return NextToken(token);
}

// With "Val" in hand: reads the value name into valueName_ and the "=" after it.
HResult CRegistryScriptParser::ReadValueName(char16_t* token) {
  TALV_RETURN_IF_FAILED(NextToken(token));
  std::size_t length = Length(token);
  if (length >= kValueNameUnits) return hr::kDispException;
  std::memcpy(valueName_, token, (length + 1) * sizeof(char16_t));
  TALV_RETURN_IF_FAILED(NextToken(token));
  if (!IsAssignment(token)) return hr::kDispException;
  return hr::kOk;
}

HResult CRegistryScriptParser::ProcessBlock(char16_t* token, RegKey parent,
                                            ScriptDirection direction, bool recovery) {
  if (direction == ScriptDirection::kUnregister && recovery) return SkipBlock(token);
  if (depth_ >= kMaxBlockDepth) return hr::kDispException;
  ++depth_;
  HResult hr = direction == ScriptDirection::kRegister ? RegisterBlock(token, parent)
                                                       : UnregisterBlock(token, parent, recovery);
  --depth_;
  return hr;
}

HResult CRegistryScriptParser::NestedBlock(char16_t* token, RegKey key,
                                           ScriptDirection direction, bool recovery) {
  if (!IsBlockOpen(token)) return hr::kOk;
  TALV_RETURN_IF_FAILED(ProcessBlock(token, key, direction, recovery));
  return NextToken(token);
}

HResult CRegistryScriptParser::ReadKeyName(char16_t* token, KeyModifiers* modifiers) {
  modifiers->forceRemove = SameName(token, u"ForceRemove");
  modifiers->deleteOnly = !modifiers->forceRemove && SameName(token, u"Delete");
  if (modifiers->forceRemove || modifiers->deleteOnly) TALV_RETURN_IF_FAILED(NextToken(token));
  modifiers->noRemove = SameName(token, u"NoRemove");
  if (modifiers->noRemove) TALV_RETURN_IF_FAILED(NextToken(token));
  return IsBadKeyName(token) ? hr::kDispException : hr::kOk;
}

HResult CRegistryScriptParser::RegisterBlock(char16_t* token, RegKey parent) {
  UniqueKey current;  // the key of the latest key entry of this block
  TALV_RETURN_IF_FAILED(NextToken(token));
  while (!IsBlockEnd(token)) {
    if (IsBlockOpen(token)) {
      // A block that follows a Delete or Val entry belongs to the key
      // opened last in this block; without one it has nowhere to go.
      if (!current) return hr::kDispException;
      TALV_RETURN_IF_FAILED(NestedBlock(token, current.get(), ScriptDirection::kRegister, false));
      continue;
    }
    if (SameName(token, u"Val")) {
      TALV_RETURN_IF_FAILED(ReadValueName(token));
      TALV_RETURN_IF_FAILED(AddValue(parent, valueName_, token));
      continue;
    }
    KeyModifiers modifiers;  // NoRemove has no effect when registering
    TALV_RETURN_IF_FAILED(ReadKeyName(token, &modifiers));
    if ((modifiers.forceRemove || modifiers.deleteOnly) && !IsProtectedKeyName(token))
      DeleteKeyTree(registry_, parent, token);
    if (modifiers.deleteOnly) {
      TALV_RETURN_IF_FAILED(NextToken(token));
      TALV_RETURN_IF_FAILED(SkipAssignment(token));
      continue;
    }

    RegKey key = 0;
    if (registry_.OpenKey(parent, token, reg::kAllAccess, &key) != err::kSuccess &&
        registry_.OpenKey(parent, token, reg::kRead, &key) != err::kSuccess) {
      bool created = false;
      if (registry_.CreateKey(parent, token, reg::kAllAccess, &key, &created) != err::kSuccess)
        return hr::kDispException;
    }
    current = UniqueKey(registry_, key);
    TALV_RETURN_IF_FAILED(NextToken(token));
    if (IsAssignment(token)) TALV_RETURN_IF_FAILED(AddValue(current.get(), nullptr, token));
    TALV_RETURN_IF_FAILED(NestedBlock(token, current.get(), ScriptDirection::kRegister, false));
  }
  return hr::kOk;
}

// Recovery walks a block whose key is not there: every entry is read as
// unregistration reads it, nothing is touched. Nested blocks are counted
// rather than recursed into, so a block of any depth is walked.
HResult CRegistryScriptParser::SkipBlock(char16_t* token) {
  std::size_t depth = 1;
  HResult hr = NextToken(token);
  for (;;) {
    if (Failed(hr)) return hr;
    if (IsBlockEnd(token)) {
      if (--depth == 0) return hr::kOk;
      hr = NextToken(token);
      continue;
    }
    if (IsBlockOpen(token)) {
      ++depth;
      hr = NextToken(token);
      continue;
    }
    if (SameName(token, u"Val")) {
      TALV_RETURN_IF_FAILED(ReadValueName(token));
    } else {
      KeyModifiers unused;
      TALV_RETURN_IF_FAILED(ReadKeyName(token, &unused));
      TALV_RETURN_IF_FAILED(NextToken(token));
    }
    hr = SkipAssignment(token);  // a nested block in hand is counted above
  }
}

HResult CRegistryScriptParser::UnregisterBlock(char16_t* token, RegKey parent, bool recovery) {
  bool noRemove = false;  // once seen, in force for the rest of this block
  // The rest of a key entry: its assignment, skipped, and its block, if any.
  auto rest = [&](RegKey key, bool walkOnly) {
    HResult hr = SkipAssignment(token);
    return Failed(hr) ? hr : NestedBlock(token, key, ScriptDirection::kUnregister, walkOnly);
  };
  TALV_RETURN_IF_FAILED(NextToken(token));
  while (!IsBlockEnd(token)) {
    if (IsBlockOpen(token)) {
      // A block after a Delete or Val entry: walked, nothing deleted.
      TALV_RETURN_IF_FAILED(NestedBlock(token, parent, ScriptDirection::kUnregister, true));
      continue;
    }
    if (SameName(token, u"Val")) {
      TALV_RETURN_IF_FAILED(ReadValueName(token));
      // Removal is best effort: a value already gone is no failure.
      if (!recovery) (void)registry_.DeleteValue(parent, valueName_);
      TALV_RETURN_IF_FAILED(SkipAssignment(token));
      continue;
    }
    KeyModifiers modifiers;
    TALV_RETURN_IF_FAILED(ReadKeyName(token, &modifiers));
    noRemove = noRemove || modifiers.noRemove;

    // Recovery: the key is not there, so nothing of this entry is deleted.
    bool entryRecovery = recovery;
    UniqueKey key;
    if (!entryRecovery && Open(key, registry_, parent, token, reg::kRead) != err::kSuccess)
      entryRecovery = true;
    char16_t name[kKeyNameUnits + 1];
    std::size_t nameLength = Length(token);
    if (nameLength > kKeyNameUnits) nameLength = kKeyNameUnits;
    std::memcpy(name, token, nameLength * sizeof(char16_t));
    name[nameLength] = 0;
    TALV_RETURN_IF_FAILED(NextToken(token));

    if (entryRecovery) {
      TALV_RETURN_IF_FAILED(rest(parent, true));
      continue;
    }

    if (KeyHasSubKeys(registry_, key.get()) || KeyHasValues(registry_, key.get())) {
      TALV_RETURN_IF_FAILED(rest(key.get(), false));
      if (KeyHasSubKeys(registry_, key.get())) {
        // The key stays; only a subkey bearing its own name goes.
        if (!IsProtectedKeyName(name)) DeleteKeyTree(registry_, key.get(), name);
      } else {
        if (key.reset() != err::kSuccess) return hr::kDispException;
        // Removal is best effort: a key still holding others stays.
        if (!noRemove) (void)registry_.DeleteKey(parent, name);
      }
    } else {
      if (key.reset() != err::kSuccess) return hr::kDispException;
      if (!noRemove) (void)registry_.DeleteKey(parent, name);
      TALV_RETURN_IF_FAILED(rest(parent, true));
    }
  }
  return hr::kOk;
}

HResult CRegistryScriptParser::Interpret(const char16_t* expanded, ScriptDirection direction) {
  char16_t* token = static_cast<char16_t*>(buffers_.get());
  if (token == nullptr) {
    constexpr std::size_t kUnits = 3 * kTokenUnits + kValueNameUnits + kTokenUnits / 2;
    if (!Allocate(buffers_, memory_, kUnits * sizeof(char16_t))) return hr::kOutOfMemory;
    token = static_cast<char16_t*>(buffers_.get());
    typeToken_ = token + kTokenUnits;
    valueToken_ = typeToken_ + kTokenUnits;
    valueName_ = valueToken_ + kTokenUnits;
    binary_ = reinterpret_cast<std::uint8_t*>(valueName_ + kValueNameUnits);
  }
  cursor_ = expanded;
  depth_ = 0;
  SkipWhiteSpace();
  while (*cursor_ != 0) {
    TALV_RETURN_IF_FAILED(NextToken(token));
    RegKey root = RootKeyFromName(token);
    if (root == 0) return hr::kDispException;
    TALV_RETURN_IF_FAILED(NextToken(token));
    if (token[0] != u'{') return hr::kDispException;
    const char16_t* sectionBody = cursor_;
    HResult hr = ProcessBlock(token, root, direction, false);
    if (Failed(hr)) {
      if (direction == ScriptDirection::kRegister) {
        // Take back what this section wrote so far; earlier sections stay.
        cursor_ = sectionBody;
        depth_ = 0;
        ProcessBlock(token, root, ScriptDirection::kUnregister, false);
      }
      return hr;
    }
    SkipWhiteSpace();
  }
  return hr::kOk;
}

// --- CRegistryScript ------------------------------------------------------

CRegistryScript::CRegistryScript(Registry& registry, System& system, ModuleResources& resources,
                                 ByteAllocator& memory)
    : registry_(registry),
      system_(system),
      resources_(resources),
      memory_(memory),
      replacements_(memory) {}

HResult CRegistryScript::AddReplacement(const char16_t* name, const char16_t* value) {
  return replacements_.Add(name, value);
}

HResult CRegistryScript::RunScriptText(const char16_t* text, ScriptDirection direction) {
  CRegistryScriptParser parser(registry_, replacements_, memory_);
  parser.SetNumberConversion(varUI4FromStr_);
  char16_t* expanded = nullptr;
  TALV_RETURN_IF_FAILED(parser.PreprocessText(text, &expanded));
  HResult hr = parser.Interpret(expanded, direction);
  parser.FreeText(expanded);
  return hr;
}

HResult CRegistryScript::RunScriptResource(const char16_t* modulePath, std::uint16_t id,
                                           const char16_t* type, ScriptDirection direction) {
  UniqueDataModule module;
  WinError e = Load(module, resources_, modulePath);
  if (!module) return HResultFromWin32(e);
  const void* data = nullptr;
  std::uint32_t size = 0;
  e = resources_.FindResource(module.get(), type, id, &data, &size);
  if (e != err::kSuccess || data == nullptr) return HResultFromWin32(e);

  // The resource is 8-bit text of exactly its size, not always terminated:
  // run a terminated copy, which ends at the first NUL.
  OwnedBytes textBlock;
  if (!Allocate(textBlock, memory_, static_cast<std::size_t>(size) + 1)) return hr::kOutOfMemory;
  auto* text = static_cast<char*>(textBlock.get());
  if (size != 0) std::memcpy(text, data, size);
  text[size] = 0;
  std::size_t length = std::strlen(text);
  if (length >= 0x7FFFFFFFu) return hr::kOutOfMemory;  // beyond what the conversion can count

  OwnedBytes wideBlock;
  if (!Allocate(wideBlock, memory_, (length + 1) * sizeof(char16_t))) return hr::kOutOfMemory;
  auto* wide = static_cast<char16_t*>(wideBlock.get());
  if (system_.AnsiToWide(text, -1, wide, static_cast<int>(length + 1)) == 0) {
    WinError last = system_.GetLastError();
    return last != err::kSuccess ? HResultFromWin32(last) : hr::kFail;
  }
  wide[length] = 0;
  return RunScriptText(wide, direction);
}

// --- ApplyRegistryScript --------------------------------------------------

HResult ApplyRegistryScript(const RegistryScriptPorts& ports, ModuleHandle moduleInstance,
                            std::uint16_t resourceId, ScriptDirection direction,
                            const ScriptReplacement* extra, ByteAllocator& memory) {
  constexpr std::uint32_t kPathUnits = 260;
  CRegistryScript script(ports.registry, ports.system, ports.resources, memory);

  char16_t longPath[kPathUnits] = {};
  std::uint32_t n = ports.system.ModuleFileName(moduleInstance, longPath, kPathUnits);
  if (n == 0) {
    WinError last = ports.system.GetLastError();
    return last != err::kSuccess ? HResultFromWin32(last) : hr::kFail;
  }
  if (n >= kPathUnits) return HResultFromWin32(err::kInsufficientBuffer);

  // The executable's own path is used in its short form, free of spaces.
  const char16_t* path = longPath;
  char16_t shortPath[kPathUnits] = {};
  if (moduleInstance == 0 || moduleInstance == ports.resources.ProcessModule()) {
    std::uint32_t s = ports.system.ShortPathName(longPath, shortPath, kPathUnits);
    if (s >= kPathUnits) return hr::kOutOfMemory;
    if (s != 0) path = shortPath;
  }

  // %Module% may stand inside a quoted string: its apostrophes are doubled.
  char16_t module[2 * kPathUnits] = {};
  std::size_t m = 0;
  for (const char16_t* p = path; *p != 0 && m + 2 < 2 * kPathUnits; ++p) {
    module[m++] = *p;
    if (*p == kApostrophe) module[m++] = kApostrophe;
  }
  module[m] = 0;

  TALV_RETURN_IF_FAILED(script.AddReplacement(u"Module", module));
  for (const ScriptReplacement* r = extra; r != nullptr && r->name != nullptr; ++r)
    TALV_RETURN_IF_FAILED(script.AddReplacement(r->name, r->value));
  // Held for the run; without the library or its export the own
  // conversion stands in.
  UniqueLibrary automation;
  if (ports.libraries != nullptr &&
      Load(automation, *ports.libraries, tlb::kOleAutomationLibrary) == err::kSuccess) {
    script.SetNumberConversion(reinterpret_cast<VarUI4FromStrFn>(
        ports.libraries->GetProc(automation.get(), tlb::kVarUI4FromStrExport)));
  }
  return script.RunScriptResource(path, resourceId, u"REGISTRY", direction);
}

}  // namespace talv
