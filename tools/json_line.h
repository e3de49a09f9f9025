// One JSON object per line, built field by field, for the command-line tool's --json output.
#pragma once

#include <stdint.h>

#include <string>

// UTF-16 to UTF-8.
std::string ToUtf8(const wchar_t* text);

class CJsonLine {
 public:
  void String(const char* key, const std::string& utf8);
  void String(const char* key, const wchar_t* textOrNull);  // null prints null
  void Number(const char* key, int64_t value);
  void Unsigned(const char* key, uint64_t value);
  void Boolean(const char* key, bool value);
  void Null(const char* key);
  // A value that is already JSON (an array or object made by another CJsonLine).
  void Raw(const char* key, const std::string& json);
  std::string Finish() const { return "{" + m_body + "}"; }

 private:
  void Key(const char* key);
  std::string m_body;
};

// Quotes and escapes a UTF-8 text for JSON.
std::string JsonQuote(const std::string& utf8);
