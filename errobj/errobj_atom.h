// The local atom that publishes the shared block's address to every module of the process:
// "{A0972F10-452C-4cd1-904E-B50E394EDE34}-<pid>-1830B7BD-F7A3-4c4d-989B-C004DE465EDE:" followed
// by the address in lower-case hexadecimal (no prefix, no leading zeros).
#pragma once

#include <windows.h>

#include "errobj/Interface/DUZA.h"
#include "errobj/errobj_platform.h"

// Scans the string atoms in ascending order for the first one that carries the process's
// prefix followed by an address: 1 to 8 hexadecimal digits and nothing else, not zero. Atoms
// with the prefix but other text are passed over, so a stranger's atom cannot hide the block.
bool FindErrObjBlock(const ERROBJPLATFORM& platform, DWORD processId, ERROBJSHARED** block);

// Publishes the block's address. True when the result is a string atom.
bool AddErrObjAtom(const ERROBJPLATFORM& platform, DWORD processId, const ERROBJSHARED* block);

// Deletes the atom that publishes this block, and only that one: deleting another atom with
// the prefix would leave this block's address published after the block is freed.
bool RemoveErrObjAtom(const ERROBJPLATFORM& platform, DWORD processId, const ERROBJSHARED* block);
