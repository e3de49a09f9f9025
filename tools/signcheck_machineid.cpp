#include <stdint.h>

#include <string>
#include <vector>

#include "machineid/machineid.h"
#include "signcheck/md5.h"
#include "tools/json_line.h"
#include "tools/signcheck_commands.h"

int RunMachineId(bool json) {
  std::vector<char> buffer(MACHINEID_BUFFER_SIZE, 0);
  const int32_t length = GetMachineId(buffer.data());
  if (length <= 0) {
    const std::string reason = length == 0 ? "no piece of the identifier could be read"
                                           : "the identifier does not fit its buffer";
    if (json) {
      CJsonLine line;
      line.Null("machineId");
      line.Null("machineIdMd5");
      line.String("error", reason);
      PrintLine(line.Finish());
    } else {
      PrintLine("no machine identifier: " + reason);
    }
    return 1;
  }
  const std::string text(buffer.data(), size_t(length));
  uint8_t digest[MD5_DIGEST_SIZE];
  Md5Buffer(digest, text.data(), uint32_t(length));
  const std::string hex = HexText(digest, MD5_DIGEST_SIZE);
  if (json) {
    CJsonLine line;
    line.String("machineId", text);
    line.String("machineIdMd5", hex);
    line.Null("error");
    PrintLine(line.Finish());
  } else {
    PrintLine("machine identifier: " + text);
    PrintLine("MD5: " + hex);
  }
  return 0;
}
