// The helper DLLs errobj_peer_a.dll and errobj_peer_b.dll, each with its own manager, loaded
// into the test executable for as long as the object lives.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "errobj/Interface/DUZA.h"
#include "errobj/errobj.h"

class CPeerModule {
 public:
  explicit CPeerModule(const wchar_t* name) : m_module(LoadLibraryW(name)) {
    if (m_module == nullptr) {
      ADD_FAILURE() << "cannot load " << name << ", error " << GetLastError();
      return;
    }
    SharedBlock = Resolve<ERROBJSHARED* (*)()>("PeerSharedBlock");
    ThreadErrorInfo = Resolve<ERROBJNODE* (*)()>("PeerThreadErrorInfo");
    ReportAppError = Resolve<THREADERRORTYPE (*)(uint32_t, const wchar_t*)>("PeerReportAppError");
    FormatThreadError = Resolve<uint32_t (*)(const wchar_t**)>("PeerFormatThreadError");
  }
  ~CPeerModule() { Unload(); }
  CPeerModule(const CPeerModule&) = delete;
  CPeerModule& operator=(const CPeerModule&) = delete;

  bool Loaded() const { return m_module != nullptr && SharedBlock != nullptr &&
                               ThreadErrorInfo != nullptr && ReportAppError != nullptr &&
                               FormatThreadError != nullptr; }
  void Unload() {
    if (m_module != nullptr) FreeLibrary(m_module);
    m_module = nullptr;
  }

  ERROBJSHARED* (*SharedBlock)() = nullptr;
  ERROBJNODE* (*ThreadErrorInfo)() = nullptr;
  THREADERRORTYPE (*ReportAppError)(uint32_t code, const wchar_t* text) = nullptr;
  uint32_t (*FormatThreadError)(const wchar_t** text) = nullptr;

 private:
  template <typename F>
  F Resolve(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
  }

  HMODULE m_module;
};
