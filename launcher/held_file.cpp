#include "launcher/held_file.h"

#include <string.h>

#include <vector>

namespace {

constexpr DWORD COMPARE_CHUNK_SIZE = 32768;

bool ReadChunk(HANDLE file, BYTE* chunk, DWORD length) {
  DWORD read = 0;
  return ReadFile(file, chunk, length, &read, nullptr) && read == length;
}

}  // namespace

bool CHeldFile::HasSameContentAs(const CHeldFile& other) const {
  LARGE_INTEGER size = {};
  LARGE_INTEGER otherSize = {};
  const LARGE_INTEGER start = {};
  if (!IsHeld() || !other.IsHeld() || !GetFileSizeEx(m_file, &size) ||
      !GetFileSizeEx(other.m_file, &otherSize) || size.QuadPart != otherSize.QuadPart ||
      !SetFilePointerEx(m_file, start, nullptr, FILE_BEGIN) ||
      !SetFilePointerEx(other.m_file, start, nullptr, FILE_BEGIN)) {
    return false;
  }
  std::vector<BYTE> chunk(COMPARE_CHUNK_SIZE);
  std::vector<BYTE> otherChunk(COMPARE_CHUNK_SIZE);
  for (LONGLONG left = size.QuadPart; left > 0;) {
    const DWORD length = left < COMPARE_CHUNK_SIZE ? DWORD(left) : COMPARE_CHUNK_SIZE;
    if (!ReadChunk(m_file, chunk.data(), length) ||
        !ReadChunk(other.m_file, otherChunk.data(), length) ||
        memcmp(chunk.data(), otherChunk.data(), length) != 0) {
      return false;
    }
    left -= length;
  }
  return true;
}
