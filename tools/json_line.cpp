#include "tools/json_line.h"

#include <windows.h>

#include <stdio.h>

std::string ToUtf8(const wchar_t* text) {
  if (text == nullptr || *text == 0) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string out(size_t(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  out.resize(size_t(bytes) - 1);
  return out;
}

std::string JsonQuote(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

void CJsonLine::Key(const char* key) {
  if (!m_body.empty()) m_body += ",";
  m_body += JsonQuote(key) + ":";
}

void CJsonLine::String(const char* key, const std::string& utf8) {
  Key(key);
  m_body += JsonQuote(utf8);
}

void CJsonLine::String(const char* key, const wchar_t* textOrNull) {
  if (textOrNull == nullptr) {
    Null(key);
  } else {
    String(key, ToUtf8(textOrNull));
  }
}

void CJsonLine::Number(const char* key, int64_t value) {
  Key(key);
  m_body += std::to_string(value);
}

void CJsonLine::Unsigned(const char* key, uint64_t value) {
  Key(key);
  m_body += std::to_string(value);
}

void CJsonLine::Boolean(const char* key, bool value) {
  Key(key);
  m_body += value ? "true" : "false";
}

void CJsonLine::Null(const char* key) {
  Key(key);
  m_body += "null";
}

void CJsonLine::Raw(const char* key, const std::string& json) {
  Key(key);
  m_body += json;
}
