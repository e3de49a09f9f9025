// Helpers shared by the error-facility tests.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "errobj/Interface/DUZA.h"
#include "errobj/errobj_manager.h"

// The calling thread's record through the test executable's own manager.
inline THREADERRORINFO& ThreadRecord() {
  ERROBJNODE* node = GetThreadErrorInfo();
  if (node == nullptr) {
    ADD_FAILURE() << "the thread has no record";
    static THREADERRORINFO none;
    return none;
  }
  return node->record;
}

// The first line of the text the system gives for a code, looked up independently of the
// facility (the module, if any, loaded normally); "无系统错误信息" when there is none.
inline std::wstring SystemTextOracle(DWORD code, const wchar_t* module) {
  HMODULE handle = module != nullptr ? LoadLibraryW(module) : nullptr;
  wchar_t* buffer = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                FORMAT_MESSAGE_FROM_SYSTEM | (handle != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0);
  std::wstring text = L"无系统错误信息";
  if (FormatMessageW(flags, handle, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr) != 0) {
    text = buffer;
    text = text.substr(0, text.find_first_of(L"\r\n"));
    LocalFree(buffer);
  }
  if (handle != nullptr) FreeLibrary(handle);
  return text;
}
