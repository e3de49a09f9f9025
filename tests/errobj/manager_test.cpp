// Managers made with the isolated platform: a block, atom and mutex of their own, faults on
// demand. Every test must leave no atom and no mutex behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "errobj/errobj.h"
#include "errobj/errobj_manager.h"
#include "errobj/errobj_report.h"
#include "isolated_platform.h"
#include "thread_support.h"

namespace {

constexpr DWORD kLastErrorMarker = 0xDEADBEEF;
constexpr wchar_t kFallbackText[] =
    L"0|2008-10-08|15:04:02|ROVevAvu|1||MEM|1|获取错误对象的TLS地址失败";

std::vector<ERROBJNODE*> Nodes(ERROBJSHARED* block) {
  std::vector<ERROBJNODE*> nodes;
  for (ERROBJNODE* n = block->head.next; n != &block->head; n = n->next) nodes.push_back(n);
  return nodes;
}

template <typename T>
bool Contains(const std::vector<T>& values, const T& value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

struct ObserverLog {
  int calls = 0;
  uint32_t code = 0;
  std::wstring text;
};
ObserverLog g_observed;

void Observe(uint32_t code, const wchar_t* text) {
  ++g_observed.calls;
  g_observed.code = code;
  g_observed.text = text;
}

class IsolatedManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    CIsolatedPlatform::Reset();
    m_prefix = ErrObjAtomPrefix(CIsolatedPlatform::ProcessId());
    ASSERT_TRUE(AtomsWithPrefix(m_prefix).empty());
  }
  void TearDown() override {
    EXPECT_TRUE(AtomsWithPrefix(m_prefix).empty()) << "an atom was left behind";
    EXPECT_FALSE(ManagerMutexExists(CIsolatedPlatform::ProcessId())) << "a mutex handle leaked";
    SetErrorObserver(nullptr);
  }

  static std::unique_ptr<CErrObjManager> Make() {
    return std::make_unique<CErrObjManager>(CIsolatedPlatform::Table());
  }

  std::wstring BlockAtomName(const ERROBJSHARED* block) const {
    std::wostringstream name;
    name << m_prefix << std::hex << reinterpret_cast<uintptr_t>(block);
    return name.str();
  }

  std::wstring m_prefix;
};

TEST_F(IsolatedManagerTest, FirstManagerCreatesAndPublishesTheBlockAndTheLastFreesIt) {
  auto first = Make();
  ERROBJSHARED* block = first->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(1u, block->referenceCount);
  ASSERT_EQ(1u, CIsolatedPlatform::Log().createdMutexes.size());
  const HANDLE mutex = CIsolatedPlatform::Log().createdMutexes[0];
  EXPECT_EQ(mutex, block->mutex);
  const DWORD tlsIndex = block->tlsIndex;
  EXPECT_NE(TLS_OUT_OF_INDEXES, tlsIndex);
  EXPECT_EQ(0u, block->head.threadId);
  EXPECT_EQ(&block->head, block->head.next);
  EXPECT_EQ(&block->head, block->head.prev);
  EXPECT_EQ(&block->head, block->cursor);
  const THREADERRORINFO zero = {};
  EXPECT_EQ(0, memcmp(&zero, &block->head.record, sizeof(zero)));
  // Exactly the prefix and the address in lower-case hexadecimal, as the table stores it.
  EXPECT_EQ(std::vector<std::wstring>{BlockAtomName(block)}, AtomsWithPrefix(m_prefix));
  EXPECT_TRUE(ManagerMutexExists(CIsolatedPlatform::ProcessId()));

  auto second = Make();
  EXPECT_EQ(block, second->GetSharedBlock());
  EXPECT_EQ(2u, block->referenceCount);
  ISOLATEDLOG log = CIsolatedPlatform::Log();
  ASSERT_EQ(2u, log.createdMutexes.size());
  EXPECT_TRUE(Contains(log.closedHandles, log.createdMutexes[1])) << "own handle kept";
  EXPECT_EQ(mutex, block->mutex);
  EXPECT_EQ(1u, AtomsWithPrefix(m_prefix).size());

  second.reset();
  EXPECT_EQ(1u, block->referenceCount);
  EXPECT_EQ(1u, AtomsWithPrefix(m_prefix).size());
  EXPECT_FALSE(Contains(CIsolatedPlatform::Log().freedBlocks, static_cast<void*>(block)));

  EXPECT_EQ(THREADERROR_APP, ReportAppErrorTo(*first, L"f", 1, 5, L"t"));
  ASSERT_EQ(1u, Nodes(block).size());
  ERROBJNODE* node = Nodes(block)[0];

  first.reset();
  log = CIsolatedPlatform::Log();
  EXPECT_TRUE(AtomsWithPrefix(m_prefix).empty());
  EXPECT_EQ(std::vector<DWORD>{tlsIndex}, log.freedTlsIndexes);
  EXPECT_TRUE(Contains(log.closedHandles, mutex));
  EXPECT_TRUE(Contains(log.freedBlocks, static_cast<void*>(node)));
  EXPECT_TRUE(Contains(log.freedBlocks, static_cast<void*>(block)));
}

// Atoms that carry the prefix but publish no address of ours.
TEST_F(IsolatedManagerTest, StrangerAtomsNeitherAttachNorHideTheBlock) {
  const struct {
    const char* name;
    std::wstring text;
  } cases[] = {
      {"not hexadecimal", L"not-hex"},
      {"hexadecimal followed by more", L"12zz"},
      {"address 0", L"0"},
      {"more than 8 digits", L"123456789"},
      {"written with 0x", L"0x1234"},
      {"more than 30 characters", std::wstring(31, L'a')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring planted = m_prefix + c.text;
    const ATOM atom = AddAtomW(planted.c_str());
    ASSERT_NE(0, atom);

    auto first = Make();
    ERROBJSHARED* block = first->GetSharedBlock();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(1u, block->referenceCount);
    std::vector<std::wstring> atoms = AtomsWithPrefix(m_prefix);
    std::sort(atoms.begin(), atoms.end());
    std::vector<std::wstring> expected = {planted, BlockAtomName(block)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, atoms);

    auto second = Make();
    EXPECT_EQ(block, second->GetSharedBlock());
    second.reset();
    first.reset();
    EXPECT_EQ(std::vector<std::wstring>{planted}, AtomsWithPrefix(m_prefix));
    DeleteAtom(atom);
  }
}

TEST_F(IsolatedManagerTest, FailedConstructionLeavesTheManagerAbsentAndCleansUp) {
  const struct {
    const char* name;
    std::function<void(ISOLATEDFAULTS&)> fault;
    size_t blocksFreed;
    size_t tlsIndexesFreed;
  } cases[] = {
      {"mutex not created", [](ISOLATEDFAULTS& f) { f.createMutexFails = true; }, 0, 0},
      {"no heap block", [](ISOLATEDFAULTS& f) { f.blockAllocationFails = true; }, 0, 0},
      {"no TLS slot", [](ISOLATEDFAULTS& f) { f.tlsAllocFails = true; }, 1, 0},
      {"atom not added", [](ISOLATEDFAULTS& f) { f.addAtomFails = true; }, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CIsolatedPlatform::Reset();
    c.fault(CIsolatedPlatform::Faults());
    SetErrorObserver(&Observe);
    g_observed = ObserverLog();
    {
      auto manager = Make();
      EXPECT_EQ(nullptr, manager->GetSharedBlock());
      EXPECT_EQ(nullptr, manager->GetThreadErrorInfo());

      SetLastError(kLastErrorMarker);
      EXPECT_EQ(THREADERROR_MEM, ReportSysErrorTo(*manager, L"f", 1, nullptr, L"t"));
      EXPECT_EQ(kLastErrorMarker, GetLastError());
      EXPECT_EQ(0, g_observed.calls);
      EXPECT_EQ(THREADERROR_MEM, ReportAppErrorTo(*manager, L"f", 1, 9, L"t"));
      EXPECT_EQ(kLastErrorMarker, GetLastError());
      EXPECT_EQ(1, g_observed.calls);
      EXPECT_EQ(1u, g_observed.code);
      EXPECT_EQ(std::wstring(kFallbackText), g_observed.text);
      const wchar_t* text = nullptr;
      EXPECT_EQ(1u, FormatThreadErrorOf(*manager, &text));
      EXPECT_EQ(std::wstring(kFallbackText), text);

      EXPECT_TRUE(AtomsWithPrefix(m_prefix).empty());
      EXPECT_FALSE(ManagerMutexExists(CIsolatedPlatform::ProcessId()));
    }
    const ISOLATEDLOG log = CIsolatedPlatform::Log();
    EXPECT_EQ(c.blocksFreed, log.freedBlocks.size());
    EXPECT_EQ(c.tlsIndexesFreed, log.freedTlsIndexes.size());
    for (HANDLE mutex : log.createdMutexes) EXPECT_TRUE(Contains(log.closedHandles, mutex));

    CIsolatedPlatform::Reset();
    EXPECT_NE(nullptr, Make()->GetSharedBlock()) << "a later manager could not start";
  }
}

TEST_F(IsolatedManagerTest, BlockWhoseAtomCannotBeRemovedStaysAndCanBeAttachedAgain) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  ReportAppErrorTo(*manager, L"f", 1, 5, L"kept");
  ERROBJNODE* node = manager->GetThreadErrorInfo();

  CIsolatedPlatform::Faults().deleteAtomFails = true;
  manager.reset();
  EXPECT_EQ(std::vector<std::wstring>{BlockAtomName(block)}, AtomsWithPrefix(m_prefix));
  EXPECT_TRUE(CIsolatedPlatform::Log().freedBlocks.empty());
  EXPECT_TRUE(CIsolatedPlatform::Log().freedTlsIndexes.empty());
  EXPECT_TRUE(ManagerMutexExists(CIsolatedPlatform::ProcessId()));
  EXPECT_EQ(0u, block->referenceCount);

  CIsolatedPlatform::Faults().deleteAtomFails = false;
  auto later = Make();
  EXPECT_EQ(block, later->GetSharedBlock());
  EXPECT_EQ(1u, block->referenceCount);
  EXPECT_EQ(node, later->GetThreadErrorInfo());
  EXPECT_EQ(std::wstring(L"kept"), node->record.message);
}

TEST_F(IsolatedManagerTest, FirstLookupAddsOneNodeAtTheFrontAndLaterOnesUseTheSlot) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  CGate done;
  CTestThread other([&] {
    ReportAppErrorTo(*manager, L"f", 1, 1, L"other");
    done.Pass();
  });
  while (Nodes(block).empty()) Sleep(1);
  ERROBJNODE* otherNode = Nodes(block)[0];

  const ISOLATEDLOG before = CIsolatedPlatform::Log();
  EXPECT_EQ(THREADERROR_APP, ReportAppErrorTo(*manager, L"f", 2, 2, L"first"));
  ISOLATEDLOG after = CIsolatedPlatform::Log();
  std::vector<ERROBJNODE*> nodes = Nodes(block);
  ASSERT_EQ(2u, nodes.size());
  EXPECT_EQ(otherNode, nodes[1]);
  EXPECT_EQ(GetCurrentThreadId(), nodes[0]->threadId);
  EXPECT_EQ(std::wstring(L"first"), nodes[0]->record.message);
  EXPECT_EQ(before.waits + 1, after.waits);
  EXPECT_EQ(before.nodeAllocations + 1, after.nodeAllocations);

  EXPECT_EQ(THREADERROR_APP, ReportAppErrorTo(*manager, L"f", 3, 3, L"second"));
  const wchar_t* text = nullptr;
  FormatThreadErrorOf(*manager, &text);
  EXPECT_EQ(after.waits, CIsolatedPlatform::Log().waits) << "a later lookup took the mutex";
  EXPECT_EQ(nodes, Nodes(block));
  EXPECT_EQ(std::wstring(L"second"), nodes[0]->record.message);

  done.Open();
  EXPECT_TRUE(other.Join());
}

TEST_F(IsolatedManagerTest, EndedThreadsNodeIsFreedByAnotherThreadsFirstLookup) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  ReportAppErrorTo(*manager, L"f", 1, 1, L"main");
  ERROBJNODE* mainNode = manager->GetThreadErrorInfo();

  // Started first, so that its id differs from the ended thread's.
  CGate go;
  ERROBJNODE* laterNode = nullptr;
  CTestThread later([&] {
    go.Pass();
    laterNode = manager->GetThreadErrorInfo();
  });
  CTestThread ended([&] { ReportAppErrorTo(*manager, L"f", 1, 1, L"ended"); });
  ASSERT_TRUE(ended.Join());
  ASSERT_EQ(2u, Nodes(block).size());
  ERROBJNODE* endedNode = Nodes(block)[0];

  go.Open();
  ASSERT_TRUE(later.Join());
  EXPECT_EQ((std::vector<ERROBJNODE*>{laterNode, mainNode}), Nodes(block));
  EXPECT_TRUE(Contains(CIsolatedPlatform::Log().freedBlocks, static_cast<void*>(endedNode)));
}

TEST_F(IsolatedManagerTest, NodeCarryingTheThreadsIdIsTakenOverWithItsRecord) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  CGate done;
  CTestThread earlier([&] {
    ReportAppErrorTo(*manager, L"f", 1, 1, L"earlier report");
    done.Pass();
  });
  while (Nodes(block).empty()) Sleep(1);
  ERROBJNODE* node = Nodes(block)[0];
  // As if this thread had received the id of the thread that made the node.
  node->threadId = GetCurrentThreadId();

  EXPECT_EQ(node, manager->GetThreadErrorInfo());
  EXPECT_EQ(std::wstring(L"earlier report"), node->record.message);
  EXPECT_EQ(1, CIsolatedPlatform::Log().nodeAllocations);
  done.Open();
  EXPECT_TRUE(earlier.Join());
}

TEST_F(IsolatedManagerTest, NodeOfAThreadThatCannotBeQueriedIsKept) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  CTestThread ended([&] { ReportAppErrorTo(*manager, L"f", 1, 1, L"ended"); });
  ASSERT_TRUE(ended.Join());
  ERROBJNODE* endedNode = Nodes(block)[0];

  CIsolatedPlatform::Faults().openThreadError = ERROR_ACCESS_DENIED;
  ASSERT_NE(nullptr, manager->GetThreadErrorInfo());
  EXPECT_EQ(endedNode, Nodes(block)[1]);
  EXPECT_EQ(std::vector<std::wstring>{L"****** 其它错误 ******\n"},
            CIsolatedPlatform::Log().debugTexts);
}

TEST_F(IsolatedManagerTest, NodeAllocationFailureStaysBoundedAndHoldsNothing) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  CIsolatedPlatform::Faults().nodeAllocationFails = true;
  const ISOLATEDLOG before = CIsolatedPlatform::Log();

  SetLastError(kLastErrorMarker);
  EXPECT_EQ(THREADERROR_MEM, ReportAppErrorTo(*manager, L"f", 1, 5, L"t"));
  EXPECT_EQ(kLastErrorMarker, GetLastError());
  const ISOLATEDLOG log = CIsolatedPlatform::Log();
  EXPECT_EQ(1, log.nodeAllocations) << "the out-of-memory report allocated again";
  // The lookup and the nested one of its out-of-memory report, each released.
  EXPECT_EQ(before.waits + 2, log.waits);
  EXPECT_EQ(before.mutexReleases + 2, log.mutexReleases);
  EXPECT_TRUE(Nodes(block).empty());
  DWORD wait = WAIT_FAILED;
  CTestThread([&] {
    wait = WaitForSingleObject(block->mutex, 0);
    if (wait == WAIT_OBJECT_0) ReleaseMutex(block->mutex);
  }).Join();
  EXPECT_EQ(WAIT_OBJECT_0, wait) << "the mutex was left held";

  CIsolatedPlatform::Faults().nodeAllocationFails = false;
  EXPECT_EQ(THREADERROR_APP, ReportAppErrorTo(*manager, L"f", 1, 5, L"t"));
  EXPECT_EQ(1u, Nodes(block).size());
}

TEST_F(IsolatedManagerTest, NodeThatCannotBeCachedIsFreed) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  CIsolatedPlatform::Faults().tlsSetValueFails = true;
  const ISOLATEDLOG before = CIsolatedPlatform::Log();
  EXPECT_EQ(THREADERROR_MEM, ReportAppErrorTo(*manager, L"f", 1, 5, L"t"));
  const ISOLATEDLOG log = CIsolatedPlatform::Log();
  EXPECT_TRUE(Nodes(block).empty());
  EXPECT_EQ(1, log.nodeAllocations);
  EXPECT_EQ(1u, log.freedBlocks.size());
  EXPECT_EQ(before.waits + 1, log.waits);
  EXPECT_EQ(before.mutexReleases + 1, log.mutexReleases);
}

TEST_F(IsolatedManagerTest, AbandonedMutexIsHandedBackAndTheLookupYieldsNothing) {
  auto manager = Make();
  ERROBJSHARED* block = manager->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  // A thread that ends while owning the mutex leaves it abandoned.
  DWORD taken = WAIT_FAILED;
  ASSERT_TRUE(CTestThread([&] { taken = WaitForSingleObject(block->mutex, 0); }).Join());
  ASSERT_EQ(WAIT_OBJECT_0, taken);

  SetLastError(kLastErrorMarker);
  EXPECT_EQ(THREADERROR_MEM, ReportAppErrorTo(*manager, L"f", 1, 5, L"t"));
  EXPECT_EQ(kLastErrorMarker, GetLastError());
  EXPECT_TRUE(Nodes(block).empty());
  DWORD wait = WAIT_FAILED;
  CTestThread([&] {
    wait = WaitForSingleObject(block->mutex, 0);
    if (wait == WAIT_OBJECT_0) ReleaseMutex(block->mutex);
  }).Join();
  EXPECT_EQ(WAIT_OBJECT_0, wait) << "the mutex was left held";

  EXPECT_EQ(THREADERROR_APP, ReportAppErrorTo(*manager, L"f", 1, 5, L"t"));
}

TEST_F(IsolatedManagerTest, ConstructionAfterAnAbandonedWaitAttachesAndReleases) {
  auto first = Make();
  ERROBJSHARED* block = first->GetSharedBlock();
  ASSERT_NE(nullptr, block);
  DWORD taken = WAIT_FAILED;
  ASSERT_TRUE(CTestThread([&] { taken = WaitForSingleObject(block->mutex, 0); }).Join());
  ASSERT_EQ(WAIT_OBJECT_0, taken);

  auto second = Make();
  EXPECT_EQ(block, second->GetSharedBlock());
  EXPECT_EQ(2u, block->referenceCount);
  DWORD wait = WAIT_FAILED;
  CTestThread([&] {
    wait = WaitForSingleObject(block->mutex, 0);
    if (wait == WAIT_OBJECT_0) ReleaseMutex(block->mutex);
  }).Join();
  EXPECT_EQ(WAIT_OBJECT_0, wait) << "the mutex was left held";
}

}  // namespace
