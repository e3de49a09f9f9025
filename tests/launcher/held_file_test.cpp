// A temporary copy runs only when, once held, it still holds the bytes that were judged.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/held_file.h"
#include "tests/support/test_support.h"

namespace {

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr));
  CloseHandle(file);
}

TEST(HeldFile, ComparesTheWholeContentOfTwoHeldFiles) {
  // Longer than one comparison chunk, so a difference behind the first chunk counts too.
  const std::string judged(70000, 'x');
  std::string changedLate = judged;
  changedLate[69999] = 'y';
  struct CASE {
    const char* name;
    std::string copy;
    bool same;
  };
  const CASE cases[] = {
      {"identical", judged, true},
      {"one byte changed behind the first chunk", changedLate, false},
      {"one byte shorter", judged.substr(0, judged.size() - 1), false},
      {"empty", std::string(), false},
  };
  CScopedTree tree;
  WriteBytes(tree.Path(L"judged.dll"), judged);
  for (const CASE& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(tree.Path(L"copy.dll"), c.copy);
    CHeldFile original(tree.Path(L"judged.dll").c_str());
    CHeldFile copy(tree.Path(L"copy.dll").c_str());
    EXPECT_EQ(c.same, copy.HasSameContentAs(original));
    // Asked twice, the answer stands: each comparison reads from the start.
    EXPECT_EQ(c.same, copy.HasSameContentAs(original));
  }
}

TEST(HeldFile, AFileThatIsNotHeldNeverCompares) {
  CScopedTree tree;
  WriteBytes(tree.Path(L"judged.dll"), "MZ");
  CHeldFile original(tree.Path(L"judged.dll").c_str());
  CHeldFile missing(tree.Path(L"missing.dll").c_str());
  EXPECT_FALSE(missing.HasSameContentAs(original));
  EXPECT_FALSE(original.HasSameContentAs(missing));
}

}  // namespace
