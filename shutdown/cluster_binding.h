// The Windows Server cluster API (clusapi.dll), bound at run time by name:
// all of its 47 entry points must resolve before the five that are called
// are used. Where the library or any name is missing the node counts as
// stand-alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/library.h"
#include "platform/system.h"
#include "platform/types.h"

// The cluster API uses the platform's standard calling convention.
#define TALV_CLUSAPI TALV_WINAPI

namespace talv {

using HCluster = void*;   // HCLUSTER; null is none
using HResource = void*;  // HRESOURCE; null is none

using OpenClusterFn = HCluster(TALV_CLUSAPI*)(const char16_t* clusterName);
using CloseClusterFn = std::int32_t(TALV_CLUSAPI*)(HCluster cluster);
using OpenClusterResourceFn = HResource(TALV_CLUSAPI*)(HCluster cluster,
                                                       const char16_t* resourceName);
using OfflineClusterResourceFn = std::uint32_t(TALV_CLUSAPI*)(HResource resource);
using CloseClusterResourceFn = std::int32_t(TALV_CLUSAPI*)(HResource resource);

class ClusterApiBinding {
 public:
  static constexpr std::size_t kEntryCount = 47;
  static constexpr const char16_t* kLibraryName = u"clusapi.dll";
  // The names resolved, in the order they are resolved.
  static const char* const kEntryNames[kEntryCount];

  ClusterApiBinding(Libraries& libraries, System& system);
  // Releases the library if it is still held.
  ~ClusterApiBinding();
  ClusterApiBinding(const ClusterApiBinding&) = delete;
  ClusterApiBinding& operator=(const ClusterApiBinding&) = delete;

  // Loads the library if none is held yet and resolves all 47 names (once
  // bound, nothing is done again); true
  // when bound. On failure the last error is 1157; a held library stays held.
  bool BindClusterApi();
  // Forgets the entry points and frees the library.
  void UnbindClusterApi();
  bool bound() const { return bound_; }

  // The called functions, each binding first when needed. Unbound results:
  // null, 0, null, 5006, 0.
  HCluster OpenCluster(const char16_t* clusterName);
  std::int32_t CloseCluster(HCluster cluster);
  HResource OpenClusterResource(HCluster cluster, const char16_t* resourceName);
  std::uint32_t OfflineClusterResource(HResource resource);
  std::int32_t CloseClusterResource(HResource resource);

 private:
  enum Slot : std::size_t {
    kOpenCluster = 0,
    kCloseCluster = 1,
    kCloseClusterResource = 6,
    kOpenClusterResource = 13,
    kOfflineClusterResource = 20,
  };
  template <typename Fn>
  Fn Entry(Slot slot) const {
    return reinterpret_cast<Fn>(entries_[slot]);
  }
  bool EnsureBound() { return bound_ || BindClusterApi(); }
  // Runs UnbindClusterApi for every binding still alive at process exit.
  static void UnbindAllAtExit();

  Libraries& libraries_;
  System& system_;
  UniqueLibrary library_;
  bool bound_ = false;
  bool exitRegistered_ = false;
  ProcAddress entries_[kEntryCount] = {};
  // Live bindings, so that the exit routine (a plain function) reaches them.
  ClusterApiBinding* next_ = nullptr;
  static ClusterApiBinding* s_first;
};

// An open cluster, closed on every path out of a scope.
using UniqueCluster = Owner<ClosedBy<&ClusterApiBinding::CloseCluster>>;

// An open cluster resource, closed on every path out of a scope.
using UniqueClusterResource = Owner<ClosedBy<&ClusterApiBinding::CloseClusterResource>>;

// The process-wide binding, made on first use with the given ports.
ClusterApiBinding& ProcessClusterApiBinding(Libraries& libraries, System& system);

}  // namespace talv
