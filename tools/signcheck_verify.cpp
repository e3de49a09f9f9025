#include <stdint.h>

#include <vector>

#include "signcheck/signcheck.h"
#include "tools/json_line.h"
#include "tools/signcheck_commands.h"

namespace {

const char* LevelName(int32_t level) {
  switch (level) {
    case TRUST_NONE: return "none";
    case TRUST_INVALID: return "invalid";
    case TRUST_EXPIRED: return "expired";
    case TRUST_VALID: return "valid";
    default: return "unknown";
  }
}

const char* KindName(int32_t kind) {
  switch (kind) {
    case SIGKIND_RECORD1: return "machine-bound certificate record";
    case SIGKIND_RECORD2: return "certificate record type 2";
    case SIGKIND_RECORD3: return "certificate record type 3";
    case SIGKIND_RESOURCE: return "signature resource";
    case SIGKIND_TRAILING: return "trailing block";
    default: return "unknown kind";
  }
}

struct VERIFICATION {
  int result = 0;
  int32_t level = TRUST_NONE;
  VERIFYINFO info = {};
  std::vector<uint8_t> buffer;
  std::string error;
};

// Verifies with the usual 8192-byte buffer; an entry longer than that is tried once more with
// a buffer of the length needed, as a caller of the verifier may.
VERIFICATION VerifyOne(const wchar_t* path) {
  VERIFICATION v;
  v.buffer.resize(SIGNCHECK_WORK_BUFFER_SIZE);
  for (int attempt = 0; attempt < 2; ++attempt) {
    v.info = VERIFYINFO{};
    v.info.buffer = v.buffer.data();
    v.info.bufferSize = uint32_t(v.buffer.size());
    v.level = TRUST_NONE;
    v.result = VerifyFileSignature(path, &v.info, &v.level);
    if (v.result || v.info.sign.status != SIGSTATUS_BUFFER_TOO_SMALL || attempt > 0) break;
    v.buffer.resize(v.info.entryLength);
  }
  if (!v.result) v.error = ThreadErrorText();
  return v;
}

}  // namespace

int RunVerify(int fileCount, wchar_t** files, bool json) {
  int exitCode = 0;
  for (int i = 0; i < fileCount; ++i) {
    const VERIFICATION v = VerifyOne(files[i]);
    if (!v.result) exitCode = 1;
    const SIGNINFO& sign = v.info.sign;
    if (json) {
      CJsonLine line;
      line.String("file", files[i]);
      line.Number("result", v.result);
      line.Number("level", v.level);
      line.String("levelName", std::string(LevelName(v.level)));
      line.Number("kind", sign.kind);
      line.Number("status", sign.status);
      line.Unsigned("entryLength", v.info.entryLength);
      line.String("text4", sign.text4);
      line.String("text5", sign.text5);
      line.String("text6", sign.text6);
      line.String("text7", sign.text7);
      line.Unsigned("value8", sign.value8);
      line.Unsigned("expiry", sign.expiry);
      if (v.result) {
        line.Null("error");
      } else {
        line.String("error", v.error);
      }
      PrintLine(line.Finish());
    } else if (v.result) {
      std::string text = ToUtf8(files[i]) + ": " + LevelName(v.level);
      if (sign.status == SIGSTATUS_FOUND) text += std::string(" (") + KindName(sign.kind) + ")";
      PrintLine(text);
    } else {
      PrintLine(ToUtf8(files[i]) + ": no verdict: " + v.error);
    }
  }
  return exitCode;
}
