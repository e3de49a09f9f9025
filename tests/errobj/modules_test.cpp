// The test executable's own manager and the two helper DLLs' managers share the process's
// one block.
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "errobj/errobj.h"
#include "errobj/errobj_manager.h"
#include "isolated_platform.h"
#include "peer_modules.h"

namespace {

// How many handles of the process refer to the object behind a handle.
ULONG HandleCount(HANDLE handle) {
  struct BASICINFORMATION {
    ULONG attributes;
    ACCESS_MASK grantedAccess;
    ULONG handleCount;
    ULONG pointerCount;
    ULONG reserved[10];
  } info = {};
  using QueryObject = NTSTATUS(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  ULONG length = 0;
  if (query == nullptr || query(handle, 0, &info, sizeof(info), &length) != 0) return 0;
  return info.handleCount;
}

TEST(Modules, ShareOneBlockPublishedUnderTheProcessesAtom) {
  ERROBJSHARED* block = g_ErrObjManager.GetSharedBlock();
  ASSERT_NE(nullptr, block);
  ASSERT_EQ(1u, block->referenceCount);
  std::wostringstream name;
  name << ErrObjAtomPrefix(GetCurrentProcessId()) << std::hex
       << reinterpret_cast<uintptr_t>(block);
  EXPECT_EQ(std::vector<std::wstring>{name.str()},
            AtomsWithPrefix(ErrObjAtomPrefix(GetCurrentProcessId())));

  CPeerModule a(L"errobj_peer_a.dll");
  ASSERT_TRUE(a.Loaded());
  EXPECT_EQ(block, a.SharedBlock());
  EXPECT_EQ(2u, block->referenceCount);
  CPeerModule b(L"errobj_peer_b.dll");
  ASSERT_TRUE(b.Loaded());
  EXPECT_EQ(block, b.SharedBlock());
  EXPECT_EQ(3u, block->referenceCount);
  EXPECT_EQ(1u, HandleCount(block->mutex)) << "a later module kept its own mutex handle";

  // Written through one module, read through the others.
  EXPECT_EQ(THREADERROR_APP, a.ReportAppError(77, L"from a|module"));
  ERROBJNODE* node = GetThreadErrorInfo();
  EXPECT_EQ(node, a.ThreadErrorInfo());
  EXPECT_EQ(node, b.ThreadErrorInfo());
  const wchar_t* line = nullptr;
  EXPECT_EQ(77u, b.FormatThreadError(&line));
  const std::wstring expected = L"|PeerModule|7||APP|77|from a module";
  ASSERT_NE(nullptr, line);
  EXPECT_EQ(expected, std::wstring(line).substr(wcslen(line) - expected.size()));
  const wchar_t* ownLine = nullptr;
  EXPECT_EQ(77u, FormatThreadError(&ownLine));
  EXPECT_EQ(std::wstring(line), ownLine);

  b.Unload();
  EXPECT_EQ(2u, block->referenceCount);
  a.Unload();
  EXPECT_EQ(1u, block->referenceCount);
  EXPECT_EQ(block, g_ErrObjManager.GetSharedBlock());
  EXPECT_EQ(std::vector<std::wstring>{name.str()},
            AtomsWithPrefix(ErrObjAtomPrefix(GetCurrentProcessId())));
  EXPECT_EQ(node, GetThreadErrorInfo());
}

}  // namespace
