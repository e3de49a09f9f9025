// The records of the process-wide error facility, shared byte for byte by every module of the
// process that carries it. Independently built modules read and write them, so every size and
// offset is pinned. All of it lives in the process heap.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

static_assert(sizeof(void*) == 4, "the shared error records are those of a 32-bit process");

constexpr size_t ERRINFO_MESSAGE_SOURCE_CCH = 32;  // 31 characters and the terminator
constexpr size_t ERRINFO_SOURCE_FILE_CCH = 32;     // 31 characters and the terminator
constexpr size_t ERRINFO_MESSAGE_CCH = 256;        // 255 characters and the terminator
constexpr size_t ERRINFO_TEXT_BUFFER_CCH = 384;    // 383 characters and the terminator

// One thread's most recent failure. Texts are UTF-16 and zero-terminated.
struct THREADERRORINFO {
  int32_t flag;      // 1 when the message was cut or the caller's text did not fit
  uint32_t code;     // last Win32 error, errno or the application code
  int32_t category;  // THREADERRORTYPE
  wchar_t messageSource[ERRINFO_MESSAGE_SOURCE_CCH];  // module searched for the system text
  wchar_t sourceFile[ERRINFO_SOURCE_FILE_CCH];        // after the last backslash
  int32_t line;
  wchar_t message[ERRINFO_MESSAGE_CCH];
  SYSTEMTIME time;  // UTC, taken when the report is complete
  wchar_t textBuffer[ERRINFO_TEXT_BUFFER_CCH];  // caller's text while reporting; the record line
};

static_assert(sizeof(THREADERRORINFO) == 1440, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, flag) == 0, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, code) == 4, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, category) == 8, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, messageSource) == 12, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, sourceFile) == 76, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, line) == 140, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, message) == 144, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, time) == 656, "THREADERRORINFO layout");
static_assert(offsetof(THREADERRORINFO, textBuffer) == 672, "THREADERRORINFO layout");

// One thread's node in the circular doubly linked list of the shared block.
struct ERROBJNODE {
  DWORD threadId;  // owner's Win32 thread id; 0 in the head
  DWORD reserved;  // never written or read
  THREADERRORINFO record;
  ERROBJNODE* next;  // the head's next is the newest node
  ERROBJNODE* prev;
};

static_assert(sizeof(ERROBJNODE) == 1456, "ERROBJNODE layout");
static_assert(offsetof(ERROBJNODE, threadId) == 0, "ERROBJNODE layout");
static_assert(offsetof(ERROBJNODE, reserved) == 4, "ERROBJNODE layout");
static_assert(offsetof(ERROBJNODE, record) == 8, "ERROBJNODE layout");
static_assert(offsetof(ERROBJNODE, next) == 1448, "ERROBJNODE layout");
static_assert(offsetof(ERROBJNODE, prev) == 1452, "ERROBJNODE layout");

// The block all managers of the process attach to; its address is published in a local atom.
struct ERROBJSHARED {
  HANDLE mutex;      // the process's manager mutex, valid for every module
  DWORD tlsIndex;    // caches each thread's node; TLS_OUT_OF_INDEXES when none
  ERROBJNODE head;   // sentinel; an empty list points at itself
  ERROBJNODE* cursor;  // next node of a list walk, so the visited node may be freed
  uint32_t referenceCount;  // attached managers
};

static_assert(sizeof(ERROBJSHARED) == 1472, "ERROBJSHARED layout");
static_assert(offsetof(ERROBJSHARED, mutex) == 0, "ERROBJSHARED layout");
static_assert(offsetof(ERROBJSHARED, tlsIndex) == 4, "ERROBJSHARED layout");
static_assert(offsetof(ERROBJSHARED, head) == 8, "ERROBJSHARED layout");
static_assert(offsetof(ERROBJSHARED, cursor) == 1464, "ERROBJSHARED layout");
static_assert(offsetof(ERROBJSHARED, referenceCount) == 1468, "ERROBJSHARED layout");
