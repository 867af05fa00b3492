#include "shutdown/cluster_binding.h"

namespace talv {

const char* const ClusterApiBinding::kEntryNames[kEntryCount] = {
    "OpenCluster",
    "CloseCluster",
    "CreateClusterGroup",
    "MoveClusterGroup",
    "CloseClusterGroup",
    "DeleteClusterGroup",
    "CloseClusterResource",
    "OnlineClusterResource",
    "GetClusterResourceState",
    "CreateClusterNotifyPort",
    "GetClusterNotify",
    "CloseClusterNotifyPort",
    "CreateClusterResource",
    "OpenClusterResource",
    "OpenClusterGroup",
    "GetClusterGroupState",
    "ClusterGroupEnum",
    "ClusterGroupOpenEnum",
    "ClusterGroupCloseEnum",
    "AddClusterResourceDependency",
    "OfflineClusterResource",
    "ClusterResourceCloseEnum",
    "CloseClusterNode",
    "RemoveClusterResourceNode",
    "AddClusterResourceNode",
    "OpenClusterNode",
    "ClusterResourceEnum",
    "ClusterResourceOpenEnum",
    "DeleteClusterResource",
    "RemoveClusterResourceDependency",
    "OfflineClusterGroup",
    "OnlineClusterGroup",
    "GetClusterResourceKey",
    "ClusterRegSetValue",
    "ClusterRegCloseKey",
    "ClusterRegOpenKey",
    "ClusterOpenEnum",
    "ClusterCloseEnum",
    "ClusterEnum",
    "GetClusterInformation",
    "GetClusterNodeState",
    "ClusterResourceControl",
    "GetClusterKey",
    "ClusterRegCreateKey",
    "ClusterRegQueryValue",
    "ClusterRegEnumValue",
    "ClusterRegDeleteValue",
};

ClusterApiBinding* ClusterApiBinding::s_first = nullptr;

ClusterApiBinding::ClusterApiBinding(Libraries& libraries, System& system)
    : libraries_(libraries), system_(system), next_(s_first) {
  s_first = this;
}

ClusterApiBinding::~ClusterApiBinding() {
  UnbindClusterApi();
  for (ClusterApiBinding** p = &s_first; *p != nullptr; p = &(*p)->next_) {
    if (*p == this) {
      *p = next_;
      break;
    }
  }
}

bool ClusterApiBinding::BindClusterApi() {
  if (bound_) return true;
  if (!library_) {
    if (Load(library_, libraries_, kLibraryName) != err::kSuccess || !library_) {
      system_.SetLastError(err::kDllNotFound);
      return false;
    }
  }
  // A missing name leaves the library held and the slots filled so far as
  // they are; the next attempt resolves again from the first name.
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    ProcAddress p = libraries_.GetProc(library_.get(), kEntryNames[i]);
    if (p == nullptr) {
      system_.SetLastError(err::kDllNotFound);
      return false;
    }
    entries_[i] = p;
  }
  bound_ = true;
  if (!exitRegistered_) {
    exitRegistered_ = true;
    system_.AtExit(&ClusterApiBinding::UnbindAllAtExit);
  }
  return true;
}

void ClusterApiBinding::UnbindClusterApi() {
  bound_ = false;
  library_.reset();
}

void ClusterApiBinding::UnbindAllAtExit() {
  for (ClusterApiBinding* b = s_first; b != nullptr; b = b->next_) b->UnbindClusterApi();
}

HCluster ClusterApiBinding::OpenCluster(const char16_t* clusterName) {
  if (!EnsureBound()) return nullptr;
  return Entry<OpenClusterFn>(kOpenCluster)(clusterName);
}

std::int32_t ClusterApiBinding::CloseCluster(HCluster cluster) {
  if (!EnsureBound()) return 0;
  return Entry<CloseClusterFn>(kCloseCluster)(cluster);
}

HResource ClusterApiBinding::OpenClusterResource(HCluster cluster, const char16_t* resourceName) {
  if (!EnsureBound()) return nullptr;
  return Entry<OpenClusterResourceFn>(kOpenClusterResource)(cluster, resourceName);
}

std::uint32_t ClusterApiBinding::OfflineClusterResource(HResource resource) {
  if (!EnsureBound()) return err::kResourceNotAvailable;
  return Entry<OfflineClusterResourceFn>(kOfflineClusterResource)(resource);
}

std::int32_t ClusterApiBinding::CloseClusterResource(HResource resource) {
  if (!EnsureBound()) return 0;
  return Entry<CloseClusterResourceFn>(kCloseClusterResource)(resource);
}

ClusterApiBinding& ProcessClusterApiBinding(Libraries& libraries, System& system) {
  // Made once and never destroyed: the exit routine may still reach it.
  static ClusterApiBinding* binding = new ClusterApiBinding(libraries, system);
  return *binding;
}

}  // namespace talv
