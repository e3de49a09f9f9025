// Modular exponentiation: Montgomery multiplication with separate multiply and reduce steps and a
// dedicated squaring; long division only to enter the Montgomery domain.
#include "signcheck/bignum.h"

#include <string.h>

namespace {

constexpr uint32_t DIGIT_BITS = 32;

inline uint32_t Low(uint64_t v) { return uint32_t(v); }
inline uint32_t High(uint64_t v) { return uint32_t(v >> DIGIT_BITS); }

// Leading zero bits of a nonzero digit.
int LeadingZeros(uint32_t x) {
  int zeros = 0;
  for (int step = 16; step > 0; step >>= 1) {
    if ((x >> (DIGIT_BITS - step)) == 0) {
      zeros += step;
      x <<= step;
    }
  }
  return zeros;
}

// product[0 .. 2n-1] = a * b.
void Multiply(uint32_t* product, const uint32_t* a, const uint32_t* b, uint32_t n) {
  memset(product, 0, 2 * n * sizeof(uint32_t));
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t carry = 0;
    const uint64_t ai = a[i];
    uint32_t* row = product + i;
    for (uint32_t j = 0; j < n; ++j) {
      uint64_t s = ai * b[j] + row[j] + carry;
      row[j] = Low(s);
      carry = High(s);
    }
    row[n] = carry;
  }
}

// product[0 .. 2n-1] = a * a: each cross product once, doubled, then the squares added.
void Square(uint32_t* product, const uint32_t* a, uint32_t n) {
  memset(product, 0, 2 * n * sizeof(uint32_t));
  for (uint32_t i = 0; i + 1 < n; ++i) {
    uint32_t carry = 0;
    const uint64_t ai = a[i];
    for (uint32_t j = i + 1; j < n; ++j) {
      uint64_t s = ai * a[j] + product[i + j] + carry;
      product[i + j] = Low(s);
      carry = High(s);
    }
    product[i + n] = carry;
  }
  for (uint32_t i = 2 * n - 1; i > 0; --i) product[i] = product[i] << 1 | product[i - 1] >> 31;
  product[0] <<= 1;
  uint32_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t s = uint64_t(a[i]) * a[i] + product[2 * i] + carry;
    product[2 * i] = Low(s);
    s = uint64_t(product[2 * i + 1]) + High(s);
    product[2 * i + 1] = Low(s);
    carry = High(s);
  }
}

// a -= b over n digits; returns the borrow.
uint32_t Subtract(uint32_t* a, const uint32_t* b, uint32_t n) {
  uint32_t borrow = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t d = uint64_t(a[i]) - b[i] - borrow;
    a[i] = Low(d);
    borrow = High(d) & 1;
  }
  return borrow;
}

// -modulus[0]^-1 mod 2^32 for an odd modulus, by Newton's iteration (3 -> 6 -> 12 -> 24 -> 48 bits).
uint32_t MontgomeryFactor(uint32_t modulus0) {
  uint32_t x = modulus0;
  for (int i = 0; i < 4; ++i) x *= 2 - modulus0 * x;
  return 0u - x;
}

// result = t / 2^(32n) mod modulus, for t = product[0 .. 2n-1] < modulus * 2^(32n).
void MontgomeryReduce(uint32_t* result, uint32_t* t, const uint32_t* modulus, uint32_t n,
                      uint32_t factor) {
  uint32_t top = 0;  // the carry out of t[i + n], owed to t[i + n + 1]
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t u = uint32_t(t[i] * factor);
    uint32_t carry = 0;
    uint32_t* row = t + i;
    for (uint32_t j = 0; j < n; ++j) {
      uint64_t s = u * modulus[j] + row[j] + carry;
      row[j] = Low(s);
      carry = High(s);
    }
    uint64_t s = uint64_t(row[n]) + carry + top;
    row[n] = Low(s);
    top = High(s);
  }
  // t / 2^(32n) < 2 * modulus: at most one subtraction.
  if (top != 0 || BigCompare(t + n, modulus, n) >= 0) Subtract(t + n, modulus, n);
  memcpy(result, t + n, n * sizeof(uint32_t));
}

// result = u mod v, with u = dividend[0 .. uDigits-1], uDigits >= n, v with n significant digits.
// The dividend is destroyed and needs room for uDigits + 1 digits; normalized holds n digits.
// Long division after Knuth (algorithm D), keeping only the remainder.
void Remainder(uint32_t* result, uint32_t* dividend, uint32_t uDigits, const uint32_t* v,
               uint32_t n, uint32_t* normalized) {
  if (n == 1) {
    uint64_t r = 0;
    for (uint32_t i = uDigits; i-- > 0;) r = ((r << DIGIT_BITS) | dividend[i]) % v[0];
    result[0] = uint32_t(r);
    return;
  }
  const int shift = LeadingZeros(v[n - 1]);
  auto shifted = [shift](uint32_t high, uint32_t low) {
    return uint32_t(((uint64_t(high) << DIGIT_BITS) | low) >> (DIGIT_BITS - shift));
  };
  for (uint32_t i = n - 1; i > 0; --i) normalized[i] = shifted(v[i], v[i - 1]);
  normalized[0] = v[0] << shift;
  uint32_t* u = dividend;
  u[uDigits] = shifted(0, u[uDigits - 1]);
  for (uint32_t i = uDigits - 1; i > 0; --i) u[i] = shifted(u[i], u[i - 1]);
  u[0] <<= shift;

  const uint64_t base = uint64_t(1) << DIGIT_BITS;
  const uint32_t vTop = normalized[n - 1];
  const uint32_t vNext = normalized[n - 2];
  for (uint32_t j = uDigits - n + 1; j-- > 0;) {
    const uint64_t numerator = (uint64_t(u[j + n]) << DIGIT_BITS) | u[j + n - 1];
    uint64_t qhat = numerator / vTop;
    uint64_t rhat = numerator % vTop;
    while (qhat >= base || qhat * vNext > ((rhat << DIGIT_BITS) | u[j + n - 2])) {
      --qhat;
      rhat += vTop;
      if (rhat >= base) break;
    }
    int64_t borrow = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t p = qhat * normalized[i];
      const int64_t t = int64_t(u[i + j]) - borrow - int64_t(Low(p));
      u[i + j] = uint32_t(t);
      borrow = int64_t(High(p)) - (t >> DIGIT_BITS);
    }
    const int64_t t = int64_t(u[j + n]) - borrow;
    u[j + n] = uint32_t(t);
    if (t < 0) {  // qhat was one too large: add the divisor back
      uint32_t carry = 0;
      for (uint32_t i = 0; i < n; ++i) {
        const uint64_t s = uint64_t(u[i + j]) + normalized[i] + carry;
        u[i + j] = Low(s);
        carry = High(s);
      }
      u[j + n] += carry;
    }
  }
  for (uint32_t i = 0; i + 1 < n; ++i) {
    result[i] = uint32_t(((uint64_t(u[i + 1]) << DIGIT_BITS) | u[i]) >> shift);
  }
  result[n - 1] = u[n - 1] >> shift;
}

}  // namespace

void BigFromBytes(uint32_t* number, uint32_t digits, const uint8_t* bytes, uint32_t length) {
  memset(number, 0, digits * sizeof(uint32_t));
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t position = length - 1 - i;  // byte significance
    number[position / BIGNUM_DIGIT_BYTES] |= uint32_t(bytes[i]) << (8 * (position % BIGNUM_DIGIT_BYTES));
  }
}

void BigToBytes(uint8_t* bytes, uint32_t length, const uint32_t* number, uint32_t digits) {
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t position = length - 1 - i;
    const uint32_t digit = position / BIGNUM_DIGIT_BYTES;
    bytes[i] = digit < digits ? uint8_t(number[digit] >> (8 * (position % BIGNUM_DIGIT_BYTES))) : 0;
  }
}

uint32_t BigSignificantDigits(const uint32_t* number, uint32_t digits) {
  while (digits > 0 && number[digits - 1] == 0) --digits;
  return digits;
}

uint32_t BigBitLength(const uint32_t* number, uint32_t digits) {
  const uint32_t significant = BigSignificantDigits(number, digits);
  if (significant == 0) return 0;
  return significant * DIGIT_BITS - LeadingZeros(number[significant - 1]);
}

int BigCompare(const uint32_t* a, const uint32_t* b, uint32_t digits) {
  for (uint32_t i = digits; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

void BigModExp(uint32_t* result, const uint32_t* base, const uint32_t* exponent,
               uint32_t exponentDigits, const uint32_t* modulus, uint32_t n, uint32_t* workspace) {
  uint32_t* power = workspace;            // n digits: the base, in Montgomery form when odd
  uint32_t* product = power + n;          // 2n + 1 digits
  uint32_t* normalized = product + 2 * n + 1;  // n digits

  const uint32_t exponentBits = BigBitLength(exponent, exponentDigits);
  if (exponentBits == 0) {  // x^0 = 1, which is 0 modulo 1
    memset(result, 0, n * sizeof(uint32_t));
    result[0] = (n == 1 && modulus[0] == 1) ? 0 : 1;
    return;
  }

  const bool montgomery = (modulus[0] & 1) != 0;
  const uint32_t factor = montgomery ? MontgomeryFactor(modulus[0]) : 0;
  if (montgomery) {  // base * 2^(32n) mod modulus
    memset(product, 0, n * sizeof(uint32_t));
    memcpy(product + n, base, n * sizeof(uint32_t));
    Remainder(power, product, 2 * n, modulus, n, normalized);
  } else {
    memcpy(power, base, n * sizeof(uint32_t));
  }
  auto reduce = [&](uint32_t* out) {
    if (montgomery) {
      MontgomeryReduce(out, product, modulus, n, factor);
    } else {
      Remainder(out, product, 2 * n, modulus, n, normalized);
    }
  };

  memcpy(result, power, n * sizeof(uint32_t));
  for (uint32_t bit = exponentBits - 1; bit-- > 0;) {
    Square(product, result, n);
    reduce(result);
    if ((exponent[bit / DIGIT_BITS] >> (bit % DIGIT_BITS)) & 1) {
      Multiply(product, result, power, n);
      reduce(result);
    }
  }
  if (montgomery) {  // leave the Montgomery domain: multiply by 1
    memset(product, 0, 2 * n * sizeof(uint32_t));
    memcpy(product, result, n * sizeof(uint32_t));
    MontgomeryReduce(result, product, modulus, n, factor);
  }
}
