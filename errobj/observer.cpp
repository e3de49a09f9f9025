#include "errobj/observer.h"

#include <atomic>

#include "errobj/errobj.h"
#include "errobj/errobj_report.h"

namespace {

std::atomic<ERROROBSERVER> g_observer{nullptr};

}  // namespace

void SetErrorObserver(ERROROBSERVER observer) { g_observer.store(observer); }

void NotifyErrorObserver(CErrObjManager& manager) {
  const ERROROBSERVER observer = g_observer.load();
  if (observer == nullptr) return;
  const wchar_t* text = nullptr;
  const uint32_t code = FormatThreadErrorOf(manager, &text);
  try {
    observer(code, text);
  } catch (...) {
    // No exception leaves a report; the record already holds the failure.
  }
}
