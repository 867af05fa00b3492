#include "platform/sim/sim_registry.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/text.h"

namespace talv::sim {

struct SimRegistry::Node {
  struct Value {
    std::u16string name;  // as first written
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
  };
  std::u16string name;
  std::weak_ptr<Node> parent;
  bool deleted = false;
  // Subkeys sorted by folded name, as Windows enumerates them.
  std::map<std::u16string, std::shared_ptr<Node>> children;
  // Values in the order of their first write.
  std::vector<Value> values;

  Value* FindValue(std::u16string_view n) {
    std::u16string f = Folded(n);
    for (auto& v : values)
      if (Folded(v.name) == f) return &v;
    return nullptr;
  }
};

namespace {

constexpr std::uint32_t kMaxKeyNameUnits = 255;

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::u16string cur;
  for (char16_t c : path) {
    if (c == u'\\') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  parts.push_back(cur);
  // A trailing backslash adds nothing.
  if (!parts.empty() && parts.back().empty() && parts.size() > 1) parts.pop_back();
  return parts;
}

}  // namespace

SimRegistry::SimRegistry() {
  for (RegKey r : {reg::kClassesRoot, reg::kCurrentUser, reg::kLocalMachine, reg::kUsers,
                   reg::kPerformanceData, reg::kCurrentConfig, reg::kDynData}) {
    roots_[r] = std::make_shared<Node>();
  }
}

SimRegistry::~SimRegistry() = default;

std::shared_ptr<SimRegistry::Node> SimRegistry::RootNode(RegKey root) const {
  auto it = roots_.find(root);
  return it == roots_.end() ? nullptr : it->second;
}

std::shared_ptr<SimRegistry::Node> SimRegistry::Resolve(RegKey key, std::uint32_t needAccess,
                                                        WinError* error) const {
  if (reg::IsPredefined(key)) {
    *error = err::kSuccess;
    return RootNode(key);
  }
  auto it = handles_.find(key);
  if (it == handles_.end()) {
    *error = err::kInvalidHandle;
    return nullptr;
  }
  if (it->second.node->deleted) {
    *error = err::kKeyDeleted;
    return nullptr;
  }
  if (needAccess != 0 && (it->second.access & needAccess) != needAccess) {
    *error = err::kAccessDenied;
    return nullptr;
  }
  *error = err::kSuccess;
  return it->second.node;
}

bool SimRegistry::Denied(const Node* node, std::uint32_t access) const {
  auto it = denied_.find(node);
  // READ_CONTROL is part of both KEY_READ and KEY_WRITE; denials are about
  // the specific rights.
  constexpr std::uint32_t kReadControl = 0x20000;
  return it != denied_.end() && (it->second & access & ~kReadControl) != 0;
}

std::shared_ptr<SimRegistry::Node> SimRegistry::Walk(const std::shared_ptr<Node>& from,
                                                     std::u16string_view path, bool create,
                                                     bool* created, WinError* error) const {
  std::shared_ptr<Node> cur = from;
  if (created) *created = false;
  if (path.empty()) {
    *error = err::kSuccess;
    return cur;
  }
  if (path.front() == u'\\') {
    *error = 161;  // ERROR_BAD_PATHNAME
    return nullptr;
  }
  for (const auto& part : SplitPath(path)) {
    if (part.size() > kMaxKeyNameUnits) {
      *error = err::kInvalidParameter;
      return nullptr;
    }
    auto f = Folded(part);
    auto it = cur->children.find(f);
    if (it == cur->children.end()) {
      if (!create) {
        *error = err::kFileNotFound;
        return nullptr;
      }
      if (Denied(cur.get(), reg::kCreateSubKey)) {
        *error = err::kAccessDenied;
        return nullptr;
      }
      auto n = std::make_shared<Node>();
      n->name = part;
      n->parent = cur;
      cur->children.emplace(f, n);
      if (created) *created = true;
      cur = n;
    } else {
      cur = it->second;
    }
  }
  *error = err::kSuccess;
  return cur;
}

RegKey SimRegistry::NewHandle(std::shared_ptr<Node> node, std::uint32_t access) {
  RegKey h = nextHandle_;
  nextHandle_ += 4;
  handles_[h] = OpenHandle{std::move(node), access};
  return h;
}

WinError SimRegistry::OpenKey(RegKey parent, const char16_t* subKey, std::uint32_t access,
                              RegKey* out) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::Open)) return f;
  if (!out) return err::kInvalidParameter;
  WinError e = 0;
  auto base = Resolve(parent, 0, &e);
  if (!base) return e;
  std::u16string path = FromNullable(subKey);
  if (path.empty() && reg::IsPredefined(parent)) {
    *out = parent;
    return err::kSuccess;
  }
  auto node = Walk(base, path, false, nullptr, &e);
  if (!node) return e;
  if (Denied(node.get(), access)) return err::kAccessDenied;
  *out = NewHandle(node, access);
  return err::kSuccess;
}

WinError SimRegistry::CreateKey(RegKey parent, const char16_t* subKey, std::uint32_t access,
                                RegKey* out, bool* created) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::Create)) return f;
  if (!out) return err::kInvalidParameter;
  WinError e = 0;
  auto base = Resolve(parent, 0, &e);
  if (!base) return e;
  std::u16string path = FromNullable(subKey);
  // Creating below a key needs the right to create subkeys on its handle.
  if (!reg::IsPredefined(parent) && !path.empty()) {
    auto it = handles_.find(parent);
    if ((it->second.access & reg::kCreateSubKey) == 0) {
      // Existing keys can still be opened through it.
      bool dummy = false;
      WinError we = 0;
      auto existing = Walk(base, path, false, &dummy, &we);
      if (!existing) return err::kAccessDenied;
    }
  }
  bool c = false;
  auto node = Walk(base, path, true, &c, &e);
  if (!node) return e;
  if (Denied(node.get(), access)) return err::kAccessDenied;
  *out = NewHandle(node, access);
  if (created) *created = c;
  return err::kSuccess;
}

WinError SimRegistry::QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                                 std::uint32_t* size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::Query)) return f;
  WinError e = 0;
  auto node = Resolve(key, reg::kQueryValue, &e);
  if (!node) return e;
  if (data != nullptr && size == nullptr) return err::kInvalidParameter;
  auto* v = node->FindValue(FromNullable(name));
  if (!v) return err::kFileNotFound;
  if (type) *type = v->type;
  auto needed = static_cast<std::uint32_t>(v->data.size());
  if (data == nullptr) {
    if (size) *size = needed;
    return err::kSuccess;
  }
  if (*size < needed) {
    *size = needed;
    return err::kMoreData;
  }
  if (needed) std::memcpy(data, v->data.data(), needed);
  *size = needed;
  return err::kSuccess;
}

WinError SimRegistry::SetValue(RegKey key, const char16_t* name, std::uint32_t type,
                               const void* data, std::uint32_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::Set)) return f;
  WinError e = 0;
  auto node = Resolve(key, reg::kSetValue, &e);
  if (!node) return e;
  if (data == nullptr && size != 0) return 998;  // ERROR_NOACCESS
  std::u16string n = FromNullable(name);
  auto* v = node->FindValue(n);
  if (!v) {
    node->values.push_back({n, 0, {}});
    v = &node->values.back();
  }
  v->type = type;
  const auto* p = static_cast<const std::uint8_t*>(data);
  v->data.assign(p, p + size);
  return err::kSuccess;
}

WinError SimRegistry::DeleteValue(RegKey key, const char16_t* name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::DeleteValue)) return f;
  WinError e = 0;
  auto node = Resolve(key, reg::kSetValue, &e);
  if (!node) return e;
  std::u16string f = Folded(FromNullable(name));
  auto it = std::find_if(node->values.begin(), node->values.end(),
                         [&](const Node::Value& v) { return Folded(v.name) == f; });
  if (it == node->values.end()) return err::kFileNotFound;
  node->values.erase(it);
  return err::kSuccess;
}

WinError SimRegistry::DeleteKey(RegKey parent, const char16_t* subKey) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::DeleteKey)) return f;
  WinError e = 0;
  auto base = Resolve(parent, 0, &e);
  if (!base) return e;
  std::u16string path = FromNullable(subKey);
  auto node = Walk(base, path, false, nullptr, &e);
  if (!node) return e;
  auto owner = node->parent.lock();
  if (!owner) return err::kAccessDenied;  // a predefined root itself
  if (!node->children.empty()) return err::kAccessDenied;
  if (Denied(node.get(), 0x10000u)) return err::kAccessDenied;
  node->deleted = true;
  owner->children.erase(Folded(node->name));
  denied_.erase(node.get());
  return err::kSuccess;
}

WinError SimRegistry::EnumKey(RegKey key, std::uint32_t index, char16_t* name,
                              std::uint32_t* nameLen) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::EnumKey)) return f;
  WinError e = 0;
  auto node = Resolve(key, reg::kEnumerateSubKeys, &e);
  if (!node) return e;
  if (!name || !nameLen) return err::kInvalidParameter;
  if (index >= node->children.size()) return err::kNoMoreItems;
  auto it = node->children.begin();
  std::advance(it, index);
  const std::u16string& n = it->second->name;
  if (*nameLen < n.size() + 1) return err::kMoreData;
  std::copy(n.begin(), n.end(), name);
  name[n.size()] = 0;
  *nameLen = static_cast<std::uint32_t>(n.size());
  return err::kSuccess;
}

WinError SimRegistry::EnumValue(RegKey key, std::uint32_t index, char16_t* name,
                                std::uint32_t* nameLen, std::uint32_t* type, void* data,
                                std::uint32_t* dataSize) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::EnumValue)) return f;
  WinError e = 0;
  auto node = Resolve(key, reg::kQueryValue, &e);
  if (!node) return e;
  if (!name || !nameLen) return err::kInvalidParameter;
  if (index >= node->values.size()) return err::kNoMoreItems;
  const auto& v = node->values[index];
  if (*nameLen < v.name.size() + 1) return err::kMoreData;
  auto needed = static_cast<std::uint32_t>(v.data.size());
  if (data != nullptr) {
    if (!dataSize) return err::kInvalidParameter;
    if (*dataSize < needed) {
      *dataSize = needed;
      return err::kMoreData;
    }
    if (needed) std::memcpy(data, v.data.data(), needed);
  }
  if (dataSize) *dataSize = needed;
  std::copy(v.name.begin(), v.name.end(), name);
  name[v.name.size()] = 0;
  *nameLen = static_cast<std::uint32_t>(v.name.size());
  if (type) *type = v.type;
  return err::kSuccess;
}

WinError SimRegistry::QueryInfoKey(RegKey key, std::uint32_t* subKeys, std::uint32_t* values) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::QueryInfo)) return f;
  WinError e = 0;
  auto node = Resolve(key, reg::kQueryValue, &e);
  if (!node) return e;
  if (subKeys) *subKeys = static_cast<std::uint32_t>(node->children.size());
  if (values) *values = static_cast<std::uint32_t>(node->values.size());
  return err::kSuccess;
}

WinError SimRegistry::CloseKey(RegKey key) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::Close)) return f;
  if (reg::IsPredefined(key)) return err::kSuccess;
  if (handles_.erase(key) == 0) return err::kInvalidHandle;
  return err::kSuccess;
}

// --- test side ---------------------------------------------------------

std::size_t SimRegistry::OpenKeyCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return handles_.size();
}

void SimRegistry::DenyKey(RegKey root, std::u16string_view path, std::uint32_t deniedAccess) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  WinError e = 0;
  auto node = Walk(RootNode(root), path, true, nullptr, &e);
  if (node) denied_[node.get()] = deniedAccess;
}

void SimRegistry::ClearDenials() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  denied_.clear();
}

void SimRegistry::Put(RegKey root, std::u16string_view path, std::u16string_view name,
                      std::uint32_t type, const void* data, std::size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  WinError e = 0;
  auto node = Walk(RootNode(root), path, true, nullptr, &e);
  if (!node) return;
  auto* v = node->FindValue(name);
  if (!v) {
    node->values.push_back({std::u16string(name), 0, {}});
    v = &node->values.back();
  }
  v->type = type;
  const auto* p = static_cast<const std::uint8_t*>(data);
  v->data.assign(p, p + size);
}

void SimRegistry::PutString(RegKey root, std::u16string_view path, std::u16string_view name,
                            std::u16string_view text, std::uint32_t type) {
  std::u16string t(text);
  Put(root, path, name, type, t.c_str(), (t.size() + 1) * sizeof(char16_t));
}

void SimRegistry::PutDword(RegKey root, std::u16string_view path, std::u16string_view name,
                           std::uint32_t v) {
  Put(root, path, name, reg::kDword, &v, sizeof v);
}

void SimRegistry::PutKey(RegKey root, std::u16string_view path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  WinError e = 0;
  Walk(RootNode(root), path, true, nullptr, &e);
}

bool SimRegistry::HasKey(RegKey root, std::u16string_view path) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  WinError e = 0;
  return Walk(RootNode(root), path, false, nullptr, &e) != nullptr;
}

bool SimRegistry::HasValue(RegKey root, std::u16string_view path, std::u16string_view name) const {
  return Get(root, path, name, nullptr, nullptr);
}

bool SimRegistry::Get(RegKey root, std::u16string_view path, std::u16string_view name,
                      std::uint32_t* type, std::vector<std::uint8_t>* data) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  WinError e = 0;
  auto node = Walk(RootNode(root), path, false, nullptr, &e);
  if (!node) return false;
  auto* v = node->FindValue(name);
  if (!v) return false;
  if (type) *type = v->type;
  if (data) *data = v->data;
  return true;
}

std::u16string SimRegistry::GetString(RegKey root, std::u16string_view path,
                                      std::u16string_view name) const {
  std::vector<std::uint8_t> d;
  if (!Get(root, path, name, nullptr, &d)) return {};
  std::u16string s;
  for (std::size_t i = 0; i + 1 < d.size(); i += 2) {
    char16_t c = static_cast<char16_t>(d[i] | (d[i + 1] << 8));
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

void SimRegistry::RemoveTree(RegKey root, std::u16string_view path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  WinError e = 0;
  auto node = Walk(RootNode(root), path, false, nullptr, &e);
  if (!node) return;
  auto owner = node->parent.lock();
  if (!owner) return;
  std::vector<std::shared_ptr<Node>> stack{node};
  while (!stack.empty()) {
    auto n = stack.back();
    stack.pop_back();
    n->deleted = true;
    for (auto& [k, c] : n->children) stack.push_back(c);
  }
  owner->children.erase(Folded(node->name));
}

std::vector<std::u16string> SimRegistry::Dump(RegKey root) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<std::u16string> out;
  struct Frame {
    std::shared_ptr<Node> node;
    std::u16string path;
  };
  std::vector<Frame> stack{{RootNode(root), u""}};
  while (!stack.empty()) {
    Frame f = stack.back();
    stack.pop_back();
    for (const auto& v : f.node->values) {
      std::u16string line = f.path + u" [" + v.name + u"]=";
      for (auto b : v.data) {
        line.push_back(static_cast<char16_t>(u'a' + (b >> 4)));
        line.push_back(static_cast<char16_t>(u'a' + (b & 15)));
      }
      out.push_back(line);
    }
    for (auto it = f.node->children.rbegin(); it != f.node->children.rend(); ++it) {
      std::u16string p = f.path.empty() ? it->second->name : f.path + u"\\" + it->second->name;
      out.push_back(p);
      stack.push_back({it->second, p});
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace talv::sim
