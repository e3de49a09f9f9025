// Turns an address from GetProcAddress (or from a library's entry table) into the typed
// function pointer the call site declares.
#pragma once

#include <windows.h>

// The detour through void(*)() is the one cast between function types that GCC accepts
// silently; the call site stays responsible for the signature it names.
template <typename TFunction>
TFunction ExportAs(FARPROC address) {
  return reinterpret_cast<TFunction>(reinterpret_cast<void (*)()>(address));
}
