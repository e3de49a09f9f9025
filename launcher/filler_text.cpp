#include "launcher/filler_text.h"

namespace {

constexpr char kParagraph[] =
    "The emergency repair restores the protection of this computer when the suite itself can no "
    "longer start. It runs once, changes nothing that the suite does not own, and leaves the "
    "computer as the suite's own repair leaves it.\n";

constexpr std::array<char, FILLER_TEXT_BYTES> RepeatParagraph() {
  std::array<char, FILLER_TEXT_BYTES> text{};
  for (size_t i = 0; i + 1 < FILLER_TEXT_BYTES; ++i) {
    text[i] = kParagraph[i % (sizeof(kParagraph) - 1)];
  }
  return text;
}

}  // namespace

// Constant-initialised, so the whole text sits in read-only data of the image.
const std::array<char, FILLER_TEXT_BYTES> g_fillerText = RepeatParagraph();
