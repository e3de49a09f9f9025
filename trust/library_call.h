// Calls into a suite library's code, contained.
#pragma once

#include "common/compiler.h"

// Runs call() under a structured-exception guard. The library may raise a structured exception
// (whatever compiler built it) or, when built like this program, throw; either way the call
// ends as a failure and nothing passes into the caller. Returns true when call() returned.
template <typename CALL>
bool CallIntoLibrary(CALL call) {
  struct CALLFRAME {
    CALL* call;
    bool returned;
  } frame = {&call, false};
  const bool unraised = RunGuarded(
      [](void* argument) {
        CALLFRAME* f = static_cast<CALLFRAME*>(argument);
        // Caught here, below the guard's own frame, which a C++ unwinder cannot pass.
        try {
          (*f->call)();
          f->returned = true;
        } catch (...) {
        }
      },
      &frame);
  return unraised && frame.returned;
}
