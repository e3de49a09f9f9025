// Worker threads for the tests: a body run on a Win32 thread, joined with a generous bound so
// that a hang fails the test instead of stalling the run. The handle is closed on join, since
// under Wine an ended thread's id counts as gone only once no handle to it remains.
#pragma once

#include <windows.h>

#include <functional>

constexpr DWORD kHangGuardMs = 120000;

class CTestThread {
 public:
  explicit CTestThread(std::function<void()> body) : m_body(std::move(body)) {
    m_handle = CreateThread(nullptr, 0, &CTestThread::Run, this, 0, &m_id);
  }
  ~CTestThread() { Join(); }
  CTestThread(const CTestThread&) = delete;
  CTestThread& operator=(const CTestThread&) = delete;

  bool Started() const { return m_handle != nullptr; }
  DWORD Id() const { return m_id; }
  HANDLE Handle() const { return m_handle; }

  // True when the thread ended within the bound; the handle is closed either way.
  bool Join() {
    if (m_handle == nullptr) return true;
    const bool ended = WaitForSingleObject(m_handle, kHangGuardMs) == WAIT_OBJECT_0;
    CloseHandle(m_handle);
    m_handle = nullptr;
    return ended;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<CTestThread*>(self)->m_body();
    return 0;
  }

  std::function<void()> m_body;
  HANDLE m_handle = nullptr;
  DWORD m_id = 0;
};

// A manual-reset event the main thread uses to hold a worker at a point.
class CGate {
 public:
  CGate() : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~CGate() { CloseHandle(m_event); }
  CGate(const CGate&) = delete;
  CGate& operator=(const CGate&) = delete;
  void Open() { SetEvent(m_event); }
  bool Pass() { return WaitForSingleObject(m_event, kHangGuardMs) == WAIT_OBJECT_0; }

 private:
  HANDLE m_event;
};
