// signcheck: asks the launcher's own signature verifier about PE files.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

#include "errobj/errobj.h"
#include "tools/json_line.h"
#include "tools/signcheck_commands.h"

namespace {

const char kUsage[] =
    "usage: signcheck verify FILE... [--json]   verdict of each file's signature\n"
    "       signcheck info FILE... [--json]     image facts the verifier reads\n"
    "       signcheck machineid [--json]        this machine's identifier\n";

}  // namespace

void PrintLine(const std::string& utf8) {
  fwrite(utf8.data(), 1, utf8.size(), stdout);
  fputc('\n', stdout);
}

std::string ThreadErrorText() {
  const wchar_t* text = nullptr;
  FormatThreadError(&text);
  return ToUtf8(text);
}

std::string HexText(const unsigned char* bytes, unsigned length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  bool json = false;
  int fileCount = 0;
  // Files keep their order; --json may stand anywhere after the command.
  for (int i = 2; i < argc; ++i) {
    if (wcscmp(argv[i], L"--json") == 0) {
      json = true;
    } else {
      argv[2 + fileCount++] = argv[i];
    }
  }
  int exitCode = 2;
  if (argc >= 2 && wcscmp(argv[1], L"verify") == 0 && fileCount > 0) {
    exitCode = RunVerify(fileCount, argv + 2, json);
  } else if (argc >= 2 && wcscmp(argv[1], L"info") == 0 && fileCount > 0) {
    exitCode = RunInfo(fileCount, argv + 2, json);
  } else if (argc >= 2 && wcscmp(argv[1], L"machineid") == 0 && fileCount == 0) {
    exitCode = RunMachineId(json);
  } else {
    fputs(kUsage, stderr);
  }
  fflush(stdout);
  return exitCode;
}
