#include "monitor/exchange_paths.h"

#include <new>

namespace talv {

CExchangePath::CExchangePath(const char16_t* path, PathKind kind) : m_nKind(kind) {
  if (path == nullptr) return;
  std::size_t n = 0;
  while (path[n] != 0) ++n;
  m_pszPath = new (std::nothrow) char16_t[n + 1];
  if (m_pszPath == nullptr) return;
  for (std::size_t i = 0; i <= n; ++i) m_pszPath[i] = path[i];
}

CExchangePath::~CExchangePath() { delete[] m_pszPath; }

char16_t CExchangePath::GetDriveLetter() const {
  if (m_pszPath == nullptr || m_pszPath[0] == 0) return 0;
  return m_pszPath[1] == u':' ? m_pszPath[0] : 0;
}

CExchangePathList::~CExchangePathList() = default;

template <typename Record>
WinError CExchangePathList::Add(const char16_t* path) {
  // A record that cannot be had is left out; the set stays as it was.
  std::unique_ptr<CExchangePath> record(new (std::nothrow) Record(path));
  if (!record) return err::kNotEnoughMemory;
  try {
    records_.push_back(std::move(record));
  } catch (const std::bad_alloc&) {
    return err::kNotEnoughMemory;
  }
  return err::kSuccess;
}

WinError CExchangePathList::AddFilePath(const char16_t* path) { return Add<CExchangeFilePath>(path); }
WinError CExchangePathList::AddDirPath(const char16_t* path) { return Add<CExchangeDirPath>(path); }

template <typename Record>
WinError CExchangePathList::ReadValue(RegKey root, const char16_t* keyPath,
                                      const char16_t* valueName) {
  UniqueKey key;
  if (WinError e = Open(key, registry_, root, keyPath, reg::kRead)) return e;
  // One unit more than the 524 bytes offered, so that data without a
  // terminating zero still ends inside the buffer.
  char16_t text[kValueUnits + 1] = {};
  std::uint32_t size = kValueUnits * sizeof(char16_t);
  std::uint32_t type = 0;
  if (WinError e = registry_.QueryValue(key.get(), valueName, &type, text, &size)) return e;
  key.reset();
  // The data is taken as text as it stands, whatever its type; an odd last
  // byte is dropped and the string ends at its first zero or at the data's end.
  text[size / sizeof(char16_t)] = 0;
  Add<Record>(text);
  return err::kSuccess;
}

WinError CExchangePathList::ReadFilePathValue(RegKey root, const char16_t* keyPath,
                                              const char16_t* valueName) {
  return ReadValue<CExchangeFilePath>(root, keyPath, valueName);
}

WinError CExchangePathList::ReadDirPathValue(RegKey root, const char16_t* keyPath,
                                             const char16_t* valueName) {
  return ReadValue<CExchangeDirPath>(root, keyPath, valueName);
}

void CExchangePathList::ReadExchangePaths() {
  struct Read {
    const char16_t* key;
    const char16_t* value;
    bool file;
  };
  static constexpr Read kReads[] = {
      {u"System\\CurrentControlSet\\Services\\MSExchangeIS\\ParametersPrivate", u"DB Path", true},
      {u"System\\CurrentControlSet\\Services\\MSExchangeIS\\ParametersPublic", u"DB Path", true},
      {u"System\\CurrentControlSet\\Services\\MSExchangeIS\\ParametersSystem", u"DB Log Path", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeIS\\ParametersSystem", u"IMAP4 Protocol Log Path", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeIS\\ParametersSystem", u"NNTP Protocol Log Path", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeIS\\ParametersSystem", u"POP3 Protocol Log Path", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeDS\\Parameters", u"Database Log files path", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeDS\\Parameters", u"DSA Database file", true},
      {u"System\\CurrentControlSet\\Services\\MSExchangeDS\\Parameters", u"DSA Hierarchy table file", true},
      {u"System\\CurrentControlSet\\Services\\MSExchangeDS\\Parameters", u"DSA Temporary file", true},
      {u"System\\CurrentControlSet\\Services\\MSExchangeDS\\Parameters", u"DSA Working directory", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeMTA\\Parameters", u"MTA Database Path", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeCCMC\\Parameters", u"Connector Store Path", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeSA\\Parameters", u"LogDirectory", false},
      {u"System\\CurrentControlSet\\Services\\MSExchangeWEB\\Parameters", u"RFC1967SaveDirectory", false},
  };
  for (const Read& r : kReads) {
    if (r.file)
      ReadFilePathValue(reg::kLocalMachine, r.key, r.value);
    else
      ReadDirPathValue(reg::kLocalMachine, r.key, r.value);
  }
}

std::size_t CExchangePathList::CollectDriveLetters(char16_t* letters) const {
  std::size_t n = 0;
  for (const auto& record : records_) {
    char16_t letter = record->GetDriveLetter();
    bool seen = false;
    for (std::size_t i = 0; i < n && !seen; ++i) seen = letters[i] == letter;
    if (!seen) letters[n++] = letter;
  }
  return n;
}

}  // namespace talv
