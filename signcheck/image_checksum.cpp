// The image checksum, summed over the chunks of the own-entry digest walk.
#include "signcheck/byteorder.h"
#include "signcheck/image.h"

int ChecksumUpdate(void* context, const void* data, uint32_t length) {
  IMAGEOBJ* image = static_cast<IMAGEOBJ*>(context);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // Summing 32-bit words instead of 16-bit ones folds to the same result: both sums agree
  // modulo 0xFFFF and are zero only for zero data.
  uint64_t sum = image->checksumSum;
  uint32_t i = 0;
  for (; i + 4 <= length; i += 4) sum += DecodeLe32(bytes + i);
  if (i + 2 <= length) {
    sum += DecodeLe16(bytes + i);
    i += 2;
  }
  image->checksumSum = sum;
  if (length % 2 != 0) image->checksumOddByte = bytes[length - 1];
  return 1;
}

uint32_t ChecksumFinish(const IMAGEOBJ* image, uint64_t fileSize) {
  uint64_t sum = image->checksumSum;
  while (sum > 0xFFFF) {
    sum = (sum & 0xFFFF) + ((sum >> 16) & 0xFFFF) + ((sum >> 32) & 0xFFFF) + (sum >> 48);
  }
  // The odd byte joins after the fold; its carry out of 16 bits is dropped.
  return ((image->checksumOddByte + static_cast<uint32_t>(sum)) & 0xFFFF) +
         static_cast<uint32_t>(fileSize);
}
