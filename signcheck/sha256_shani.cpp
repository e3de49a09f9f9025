// SHA-256 block function on the processor's SHA extensions. This file alone is compiled with
// -msha -mssse3 -msse4.1; it runs only after cpuid has reported all three.
#include <immintrin.h>

#include "signcheck/sha256_blocks.h"

namespace {

// Four rounds: the message words plus round constants go in two at a time. state0 holds ABEF,
// state1 CDGH, as the instructions want them.
inline void FourRounds(__m128i& state0, __m128i& state1, __m128i words, const uint32_t* k) {
  __m128i message = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k)));
  state1 = _mm_sha256rnds2_epu32(state1, state0, message);
  message = _mm_shuffle_epi32(message, 0x0E);
  state0 = _mm_sha256rnds2_epu32(state0, state1, message);
}

// Next four schedule words from the previous sixteen: w16 = W[t-16..t-13] up to w4 = W[t-4..t-1].
inline __m128i Schedule(__m128i w16, __m128i w12, __m128i w8, __m128i w4) {
  __m128i partial = _mm_sha256msg1_epu32(w16, w12);
  partial = _mm_add_epi32(partial, _mm_alignr_epi8(w4, w8, 4));
  return _mm_sha256msg2_epu32(partial, w4);
}

inline __m128i LoadWords(const uint8_t* p, __m128i byteSwap) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
}

}  // namespace

void Sha256BlocksHardware(uint32_t state[8], const uint8_t* blocks, size_t blockCount) {
  const __m128i byteSwap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  const uint32_t* k = SHA256_ROUND_CONSTANTS;

  // DCBA, HGFE in memory order -> ABEF, CDGH.
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i state0 = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i state1 = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (size_t b = 0; b < blockCount; ++b, blocks += 64) {
    const __m128i savedAbef = state0;
    const __m128i savedCdgh = state1;

    __m128i w0 = LoadWords(blocks, byteSwap);
    __m128i w1 = LoadWords(blocks + 16, byteSwap);
    __m128i w2 = LoadWords(blocks + 32, byteSwap);
    __m128i w3 = LoadWords(blocks + 48, byteSwap);
    FourRounds(state0, state1, w0, k);
    FourRounds(state0, state1, w1, k + 4);
    FourRounds(state0, state1, w2, k + 8);
    FourRounds(state0, state1, w3, k + 12);
    for (int t = 16; t < 64; t += 16) {
      w0 = Schedule(w0, w1, w2, w3);
      FourRounds(state0, state1, w0, k + t);
      w1 = Schedule(w1, w2, w3, w0);
      FourRounds(state0, state1, w1, k + t + 4);
      w2 = Schedule(w2, w3, w0, w1);
      FourRounds(state0, state1, w2, k + t + 8);
      w3 = Schedule(w3, w0, w1, w2);
      FourRounds(state0, state1, w3, k + t + 12);
    }

    state0 = _mm_add_epi32(state0, savedAbef);
    state1 = _mm_add_epi32(state1, savedCdgh);
  }

  // ABEF, CDGH -> DCBA, HGFE.
  __m128i feba = _mm_shuffle_epi32(state0, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(state1, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
