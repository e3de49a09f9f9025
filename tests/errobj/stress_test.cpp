// Many threads report through two modules while threads start and end; bounded by iteration
// counts, with a hang guard that fails instead of stalling.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "errobj/errobj.h"
#include "errobj/errobj_manager.h"
#include "peer_modules.h"
#include "thread_support.h"

namespace {

constexpr int kThreadsPerWave = 8;
constexpr int kWaves = 3;
constexpr int kReportsPerThread = 40;
constexpr int kSystemErrorEvery = 8;

std::wstring ReportText(DWORD threadId, int n) {
  return L"tid=" + std::to_wstring(threadId) + L" n=" + std::to_wstring(n);
}

struct WORKER {
  CPeerModule* peer;
  DWORD threadId = 0;
  bool ownRecordHeld = false;
};

DWORD WINAPI Work(void* context) {
  auto* worker = static_cast<WORKER*>(context);
  const DWORD self = GetCurrentThreadId();
  worker->threadId = self;
  for (int n = 0; n < kReportsPerThread; ++n) {
    const std::wstring text = ReportText(self, n);
    if (n % kSystemErrorEvery == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      ReportSysError(L"stress", n, nullptr, L"%ls", text.c_str());
    } else if (n % 2 == 0) {
      ReportAppError(L"stress", n, self, L"%ls", text.c_str());
    } else {
      worker->peer->ReportAppError(self, text.c_str());
    }
  }
  const std::wstring last = ReportText(self, kReportsPerThread - 1);
  ERROBJNODE* node = GetThreadErrorInfo();
  worker->ownRecordHeld = node != nullptr && node == worker->peer->ThreadErrorInfo() &&
                          node->threadId == self && last == node->record.message &&
                          node->record.code == self;
  return 0;
}

std::vector<ERROBJNODE*> LockedNodes(ERROBJSHARED* block) {
  std::vector<ERROBJNODE*> nodes;
  if (WaitForSingleObject(block->mutex, kHangGuardMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the block's mutex could not be taken";
    return nodes;
  }
  for (ERROBJNODE* n = block->head.next; n != &block->head; n = n->next) nodes.push_back(n);
  ReleaseMutex(block->mutex);
  return nodes;
}

TEST(Stress, ThreadsReportThroughTwoModulesWhileThreadsComeAndGo) {
  ERROBJSHARED* block = g_ErrObjManager.GetSharedBlock();
  ASSERT_NE(nullptr, block);
  CPeerModule peer(L"errobj_peer_a.dll");
  ASSERT_TRUE(peer.Loaded());
  std::set<DWORD> stressIds;

  for (int wave = 0; wave < kWaves; ++wave) {
    SCOPED_TRACE(testing::Message() << "wave " << wave);
    WORKER workers[kThreadsPerWave];
    HANDLE threads[kThreadsPerWave];
    for (int i = 0; i < kThreadsPerWave; ++i) {
      workers[i].peer = &peer;
      threads[i] = CreateThread(nullptr, 0, &Work, &workers[i], 0, nullptr);
      ASSERT_NE(nullptr, threads[i]);
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(kThreadsPerWave, threads, TRUE, kHangGuardMs))
        << "the threads did not finish: deadlock?";
    // Ended, but their handles are open: the nodes stay and can be checked.
    for (const WORKER& w : workers) {
      EXPECT_TRUE(w.ownRecordHeld) << "thread " << w.threadId;
      stressIds.insert(w.threadId);
      int found = 0;
      for (ERROBJNODE* n : LockedNodes(block)) {
        if (n->threadId != w.threadId) continue;
        ++found;
        EXPECT_EQ(ReportText(w.threadId, kReportsPerThread - 1), n->record.message);
      }
      EXPECT_EQ(1, found) << "thread " << w.threadId;
    }
    for (HANDLE t : threads) CloseHandle(t);
  }

  // A new thread's first lookup sweeps the nodes of every ended thread; what stays belongs to
  // the threads still alive.
  CGate reported;
  CGate done;
  DWORD sweeperId = 0;
  CTestThread sweeper([&] {
    sweeperId = GetCurrentThreadId();
    ReportAppError(L"stress", 1, 1, L"sweep");
    reported.Open();
    done.Pass();
  });
  ASSERT_TRUE(reported.Pass());
  bool sweeperFound = false;
  for (ERROBJNODE* n : LockedNodes(block)) {
    sweeperFound |= n->threadId == sweeperId;
    EXPECT_TRUE(n->threadId == sweeperId || n->threadId == GetCurrentThreadId())
        << "node of ended thread " << n->threadId << " survived the sweep"
        << (stressIds.count(n->threadId) != 0 ? " (a stress thread)" : "");
  }
  EXPECT_TRUE(sweeperFound);
  done.Open();
  EXPECT_TRUE(sweeper.Join());
}

}  // namespace
