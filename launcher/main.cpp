#include <windows.h>

#include "launcher/filler_text.h"
#include "launcher/launcher.h"
#include "trust/trust.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // A read the optimiser must keep, so the filler text stays in the image.
  static_cast<void>(*static_cast<const volatile char*>(g_fillerText.data()));
  return RunRepairLaunch(IsRepairLibraryTrusted);
}
