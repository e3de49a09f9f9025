// What the launcher's tests share: temporary trees, exact registry restoration, the pending
// deletions of the next restart, and the files the doubles write.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The directory of the running test program (build/bin), where the doubles lie.
std::wstring BinaryDirectory();
std::wstring BinaryPath(const wchar_t* name);

std::string ReadFileBytes(const std::wstring& path);  // empty when absent
// What an attempt to change a file gets while someone may hold it: the last errors of writing,
// renaming and deleting it (ERROR_SUCCESS when one succeeded, and then undone where it can be),
// and whether reading it as the verifier does and copying it to copyTarget still worked.
struct CHANGEATTEMPTS {
  DWORD write;
  DWORD rename;
  DWORD remove;
  bool read;
  bool copied;
};
CHANGEATTEMPTS TryToChangeFile(const std::wstring& path, const std::wstring& copyTarget);

// The module paths that the repair double's do505 ran from, one per line "<first> <second>
// <module>" of its log, after checking that each call had the arguments 10050 and 1.
std::vector<std::wstring> Do505Modules(const std::wstring& log);
bool FileExists(const std::wstring& path);
std::string Utf8(const std::wstring& text);

// A fresh directory in the temporary folder, removed with everything in it at the end.
class CScopedTree {
 public:
  CScopedTree();
  ~CScopedTree();
  CScopedTree(const CScopedTree&) = delete;
  CScopedTree& operator=(const CScopedTree&) = delete;

  const std::wstring& Root() const { return m_root; }
  std::wstring Path(const std::wstring& relative) const { return m_root + L"\\" + relative; }
  // Creates the file's directories, then copies source there (or writes an empty file).
  void Place(const std::wstring& relative, const std::wstring& source = std::wstring()) const;

 private:
  std::wstring m_root;
};

// Takes a registry value as it is (or its absence) and puts it back exactly on Restore or at
// the end of scope. view is 0 or a KEY_WOW64_* flag.
class CRegistryValueSnapshot {
 public:
  CRegistryValueSnapshot(HKEY root, const std::wstring& subkey, const std::wstring& value, REGSAM view);
  ~CRegistryValueSnapshot();
  CRegistryValueSnapshot(const CRegistryValueSnapshot&) = delete;
  CRegistryValueSnapshot& operator=(const CRegistryValueSnapshot&) = delete;
  void Restore();

 private:
  HKEY m_root;
  std::wstring m_subkey;
  std::wstring m_value;
  REGSAM m_view;
  bool m_keyExisted = false;
  bool m_valueExisted = false;
  DWORD m_type = REG_NONE;
  std::vector<BYTE> m_data;
};

constexpr const wchar_t* SESSION_MANAGER_KEY = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* PENDING_RENAMES_VALUE = L"PendingFileRenameOperations";

// The files scheduled for deletion at the next restart (renames without a new name), as plain
// paths, read through an open Session Manager key.
std::vector<std::wstring> PendingDeletions(HKEY sessionManager);
