// The simulated registry: an in-memory tree under the seven predefined roots
// that keeps Windows' rules (case-insensitive names, raw typed data of any
// length, in/out value sizes, default value under the empty name, no plain
// delete of a key with subkeys, handles of deleted keys answering 1018).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/faults.h"

namespace talv::sim {

class SimRegistry final : public Registry {
 public:
  enum class Op { Open, Create, Query, Set, DeleteValue, DeleteKey, EnumKey, EnumValue, QueryInfo, Close };

  SimRegistry();
  ~SimRegistry() override;

  WinError OpenKey(RegKey parent, const char16_t* subKey, std::uint32_t access, RegKey* out) override;
  WinError CreateKey(RegKey parent, const char16_t* subKey, std::uint32_t access, RegKey* out,
                     bool* created) override;
  WinError QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                      std::uint32_t* size) override;
  WinError SetValue(RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                    std::uint32_t size) override;
  WinError DeleteValue(RegKey key, const char16_t* name) override;
  WinError DeleteKey(RegKey parent, const char16_t* subKey) override;
  WinError EnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLen) override;
  WinError EnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLen,
                     std::uint32_t* type, void* data, std::uint32_t* dataSize) override;
  WinError QueryInfoKey(RegKey key, std::uint32_t* subKeys, std::uint32_t* values) override;
  WinError CloseKey(RegKey key) override;

  // --- test side -------------------------------------------------------
  FaultPlan<Op>& faults() { return faults_; }
  // Keys currently open (predefined roots excluded).
  std::size_t OpenKeyCount() const;
  // Opening this key (root + path) with any access that `deniedAccess`
  // overlaps fails with 5; so does deleting it or creating below it.
  void DenyKey(RegKey root, std::u16string_view path, std::uint32_t deniedAccess = 0xFFFFFFFFu);
  void ClearDenials();

  // Direct writes and reads by path, creating keys as needed (no handles).
  void Put(RegKey root, std::u16string_view path, std::u16string_view name, std::uint32_t type,
           const void* data, std::size_t size);
  void PutString(RegKey root, std::u16string_view path, std::u16string_view name,
                 std::u16string_view text, std::uint32_t type = reg::kSz);
  void PutDword(RegKey root, std::u16string_view path, std::u16string_view name, std::uint32_t v);
  void PutKey(RegKey root, std::u16string_view path);
  bool HasKey(RegKey root, std::u16string_view path) const;
  bool HasValue(RegKey root, std::u16string_view path, std::u16string_view name) const;
  // The raw data of a value, or false when it is missing.
  bool Get(RegKey root, std::u16string_view path, std::u16string_view name, std::uint32_t* type,
           std::vector<std::uint8_t>* data) const;
  // Convenience: a string value's text up to its first NUL ("" when missing).
  std::u16string GetString(RegKey root, std::u16string_view path, std::u16string_view name) const;
  void RemoveTree(RegKey root, std::u16string_view path);
  // Every key path below root (depth first, sorted), for state comparisons.
  std::vector<std::u16string> Dump(RegKey root) const;

 private:
  struct Node;
  struct OpenHandle {
    std::shared_ptr<Node> node;
    std::uint32_t access = 0;
  };

  std::shared_ptr<Node> Resolve(RegKey key, std::uint32_t needAccess, WinError* error) const;
  std::shared_ptr<Node> Walk(const std::shared_ptr<Node>& from, std::u16string_view path,
                             bool create, bool* created, WinError* error) const;
  std::shared_ptr<Node> RootNode(RegKey root) const;
  bool Denied(const Node* node, std::uint32_t access) const;
  RegKey NewHandle(std::shared_ptr<Node> node, std::uint32_t access);

  mutable std::recursive_mutex mutex_;
  std::map<RegKey, std::shared_ptr<Node>> roots_;
  std::map<RegKey, OpenHandle> handles_;
  std::map<const Node*, std::uint32_t> denied_;
  RegKey nextHandle_ = 0x1000;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
