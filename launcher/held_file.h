// Holds a file open for reading so that it cannot change between the moment it is judged and
// the moment it is loaded or copied.
#pragma once

#include <windows.h>

// Readers (the signature check, the loader, CopyFileW, a suite library's own read) may open the
// file beside this handle; a writer, a rename or a deletion fails with a sharing violation for
// as long as it is held.
class CHeldFile {
 public:
  explicit CHeldFile(const wchar_t* path)
      : m_file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~CHeldFile() { Release(); }
  CHeldFile(const CHeldFile&) = delete;
  CHeldFile& operator=(const CHeldFile&) = delete;

  // False when the file could not be opened: it is missing, or someone has it open for writing.
  bool IsHeld() const { return m_file != INVALID_HANDLE_VALUE; }

  // True when both files are held and hold the same bytes. Reads both from the start.
  bool HasSameContentAs(const CHeldFile& other) const;

  void Release() {
    if (m_file != INVALID_HANDLE_VALUE) {
      CloseHandle(m_file);
      m_file = INVALID_HANDLE_VALUE;
    }
  }

 private:
  HANDLE m_file;
};
