// Counts the error reports a piece of code makes, through the facility's observer.
#pragma once

#include <stdint.h>

#include <string>

#include "errobj/errobj.h"

class CReportCounter {
 public:
  CReportCounter() {
    s_count = 0;
    s_code = 0;
    s_text.clear();
    SetErrorObserver(Observe);
  }
  ~CReportCounter() { SetErrorObserver(nullptr); }
  int count() const { return s_count; }
  uint32_t code() const { return s_code; }
  const std::wstring& text() const { return s_text; }

 private:
  static void Observe(uint32_t code, const wchar_t* text) {
    ++s_count;
    s_code = code;
    s_text = text;
  }
  static inline int s_count = 0;
  static inline uint32_t s_code = 0;
  static inline std::wstring s_text;
};
