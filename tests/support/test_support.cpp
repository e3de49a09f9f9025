#include "tests/support/test_support.h"

#include <shlwapi.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr const wchar_t* NT_PATH_PREFIX = L"\\??\\";

void RemoveTree(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") {
        continue;
      }
      std::wstring path = directory + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory.c_str());
}

void CreateDirectories(const std::wstring& directory) {
  size_t slash = directory.find_last_of(L'\\');
  if (slash != std::wstring::npos && slash > 2) {
    CreateDirectories(directory.substr(0, slash));
  }
  CreateDirectoryW(directory.c_str(), nullptr);
}

}  // namespace

std::wstring BinaryDirectory() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  PathRemoveFileSpecW(path);
  return path;
}

std::wstring BinaryPath(const wchar_t* name) { return BinaryDirectory() + L"\\" + name; }

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return bytes;
  }
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
    bytes.append(chunk, read);
  }
  CloseHandle(file);
  return bytes;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Utf8(const std::wstring& text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                  nullptr, nullptr);
  std::string result(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0], bytes,
                      nullptr, nullptr);
  return result;
}

CScopedTree::CScopedTree() {
  static LONG s_sequence = 0;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  PathRemoveBackslashW(temp);
  m_root = std::wstring(temp) + L"\\ostra505-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&s_sequence));
  CreateDirectories(m_root);
}

CScopedTree::~CScopedTree() { RemoveTree(m_root); }

void CScopedTree::Place(const std::wstring& relative, const std::wstring& source) const {
  std::wstring target = Path(relative);
  CreateDirectories(target.substr(0, target.find_last_of(L'\\')));
  if (source.empty()) {
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
  } else {
    CopyFileW(source.c_str(), target.c_str(), FALSE);
  }
}

CRegistryValueSnapshot::CRegistryValueSnapshot(HKEY root, const std::wstring& subkey,
                                               const std::wstring& value, REGSAM view)
    : m_root(root), m_subkey(subkey), m_value(value), m_view(view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(m_root, m_subkey.c_str(), 0, KEY_READ | m_view, &key) != ERROR_SUCCESS) {
    return;
  }
  m_keyExisted = true;
  DWORD size = 0;
  if (RegQueryValueExW(key, m_value.c_str(), nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS) {
    m_data.resize(size);
    m_valueExisted = RegQueryValueExW(key, m_value.c_str(), nullptr, &m_type,
                                      size ? m_data.data() : nullptr, &size) == ERROR_SUCCESS;
    m_data.resize(size);
  }
  RegCloseKey(key);
}

CRegistryValueSnapshot::~CRegistryValueSnapshot() { Restore(); }

void CRegistryValueSnapshot::Restore() {
  if (!m_keyExisted) {
    RegDeleteKeyExW(m_root, m_subkey.c_str(), m_view, 0);
    return;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(m_root, m_subkey.c_str(), 0, KEY_SET_VALUE | m_view, &key) != ERROR_SUCCESS) {
    return;
  }
  if (m_valueExisted) {
    RegSetValueExW(key, m_value.c_str(), 0, m_type, m_data.empty() ? nullptr : m_data.data(),
                   static_cast<DWORD>(m_data.size()));
  } else {
    RegDeleteValueW(key, m_value.c_str());
  }
  RegCloseKey(key);
}

std::vector<std::wstring> PendingDeletions(HKEY sessionManager) {
  std::vector<std::wstring> deletions;
  DWORD size = 0;
  if (RegQueryValueExW(sessionManager, PENDING_RENAMES_VALUE, nullptr, nullptr, nullptr, &size) !=
          ERROR_SUCCESS ||
      size == 0) {
    return deletions;
  }
  std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
  if (RegQueryValueExW(sessionManager, PENDING_RENAMES_VALUE, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS) {
    return deletions;
  }
  // Pairs of source and target; an empty target means deletion.
  std::vector<std::wstring> strings;
  for (size_t at = 0; at < size / sizeof(wchar_t);) {
    std::wstring item(data.c_str() + at);
    strings.push_back(item);
    at += item.size() + 1;
  }
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    std::wstring source = strings[i];
    if (!strings[i + 1].empty() || source.empty()) {
      continue;
    }
    if (source.compare(0, 4, NT_PATH_PREFIX) == 0) {
      source = source.substr(4);
    }
    deletions.push_back(source);
  }
  return deletions;
}

std::vector<std::wstring> Do505Modules(const std::wstring& log) {
  std::vector<std::wstring> modules;
  const std::string text = ReadFileBytes(log);
  const std::string arguments = "10050 1 ";
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    EXPECT_EQ(arguments, line.substr(0, arguments.size()));
    const std::string module = line.substr(std::min(line.size(), arguments.size()));
    const int chars = MultiByteToWideChar(CP_UTF8, 0, module.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, module.c_str(), -1, &wide[0], chars);
    modules.push_back(wide.c_str());
  }
  return modules;
}

namespace {

DWORD LastErrorOf(BOOL succeeded) { return succeeded ? ERROR_SUCCESS : GetLastError(); }

}  // namespace

CHANGEATTEMPTS TryToChangeFile(const std::wstring& path, const std::wstring& copyTarget) {
  CHANGEATTEMPTS attempts = {};
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  attempts.write = LastErrorOf(writer != INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) {
    CloseHandle(writer);
  }
  const std::wstring moved = path + L".moved";
  attempts.rename = LastErrorOf(MoveFileExW(path.c_str(), moved.c_str(), 0));
  if (attempts.rename == ERROR_SUCCESS) {
    MoveFileExW(moved.c_str(), path.c_str(), 0);
  }
  attempts.remove = LastErrorOf(DeleteFileW(path.c_str()));
  HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  attempts.read = reader != INVALID_HANDLE_VALUE;
  if (reader != INVALID_HANDLE_VALUE) {
    CloseHandle(reader);
  }
  attempts.copied = CopyFileW(path.c_str(), copyTarget.c_str(), FALSE) != 0;
  return attempts;
}
