// The Exchange data locations: one record per path that Exchange's own
// service parameters name, the ordered set of them, and the distinct drive
// letters the set yields for the check cycle.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/registry.h"

namespace talv {

enum PathKind : std::uint16_t { kPathNone = 0, kPathFile = 1, kPathDir = 2 };

class CExchangePath {
 public:
  // Keeps a private copy of `path` (none when it cannot be allocated).
  CExchangePath(const char16_t* path, PathKind kind = kPathNone);
  virtual ~CExchangePath();
  CExchangePath(const CExchangePath&) = delete;
  CExchangePath& operator=(const CExchangePath&) = delete;

  // The path's first character when its second is a colon, else 0.
  char16_t GetDriveLetter() const;
  const char16_t* path() const { return m_pszPath; }
  PathKind kind() const { return static_cast<PathKind>(m_nKind); }

 protected:
  char16_t* m_pszPath = nullptr;
  std::uint16_t m_nKind = kPathNone;
};

class CExchangeFilePath : public CExchangePath {
 public:
  explicit CExchangeFilePath(const char16_t* path) : CExchangePath(path, kPathFile) {}
};

class CExchangeDirPath : public CExchangePath {
 public:
  explicit CExchangeDirPath(const char16_t* path) : CExchangePath(path, kPathDir) {}
};

class CExchangePathList {
 public:
  // Longest path a value may hold: 262 units with the terminator (524 bytes).
  static constexpr std::uint32_t kValueUnits = 262;

  explicit CExchangePathList(Registry& registry) : registry_(registry) {}
  virtual ~CExchangePathList();
  CExchangePathList(const CExchangePathList&) = delete;
  CExchangePathList& operator=(const CExchangePathList&) = delete;

  // Append a record holding a copy of `path`; 0, or 8 when no record could be had.
  WinError AddFilePath(const char16_t* path);
  WinError AddDirPath(const char16_t* path);
  // Read one registry value and append it; 0, or the error of the failed step.
  WinError ReadFilePathValue(RegKey root, const char16_t* keyPath, const char16_t* valueName);
  WinError ReadDirPathValue(RegKey root, const char16_t* keyPath, const char16_t* valueName);
  // The fifteen Exchange reads, all of them, in their fixed order.
  void ReadExchangePaths();
  // Distinct drive-letter values in order of first occurrence, written to
  // `letters` (room for at least size() entries); returns their number.
  std::size_t CollectDriveLetters(char16_t* letters) const;

  std::size_t size() const { return records_.size(); }
  const CExchangePath& at(std::size_t i) const { return *records_[i]; }

 private:
  template <typename Record>
  WinError Add(const char16_t* path);
  template <typename Record>
  WinError ReadValue(RegKey root, const char16_t* keyPath, const char16_t* valueName);

  Registry& registry_;
  std::vector<std::unique_ptr<CExchangePath>> records_;
};

}  // namespace talv
