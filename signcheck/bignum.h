// Unsigned big numbers as arrays of 32-bit digits, least significant digit first, for the RSA
// public operation. No heap: every array is the caller's. No windows.h.
#pragma once

#include <stdint.h>

constexpr uint32_t BIGNUM_DIGIT_BYTES = 4;

// Digits of scratch that BigModExp needs for a modulus of up to `digits` digits
// (the base's power n, a double-length product with one spare digit for division, a divisor n).
constexpr uint32_t BigModExpWorkspaceDigits(uint32_t digits) { return 4 * digits + 1; }

// Reads `length` big-endian bytes into `digits` digits, higher digits zero.
// Requires length <= BIGNUM_DIGIT_BYTES * digits.
void BigFromBytes(uint32_t* number, uint32_t digits, const uint8_t* bytes, uint32_t length);

// Writes the low `length` bytes of the number big-endian, zero bytes above its digits.
// Requires the number to fit in `length` bytes.
void BigToBytes(uint8_t* bytes, uint32_t length, const uint32_t* number, uint32_t digits);

// Number of digits up to the most significant nonzero one (0 for zero).
uint32_t BigSignificantDigits(const uint32_t* number, uint32_t digits);

// Number of bits up to the most significant set one (0 for zero).
uint32_t BigBitLength(const uint32_t* number, uint32_t digits);

// -1, 0 or 1 as a is below, equal to or above b; both have `digits` digits.
int BigCompare(const uint32_t* a, const uint32_t* b, uint32_t digits);

// result = base^exponent mod modulus, all with modulusDigits digits except the exponent.
// Requires modulus[modulusDigits - 1] != 0 and base < modulus. An odd modulus takes Montgomery
// multiplication; an even one (never an RSA key) takes plain multiplication and division.
// workspace holds BigModExpWorkspaceDigits(modulusDigits) digits.
void BigModExp(uint32_t* result, const uint32_t* base, const uint32_t* exponent,
               uint32_t exponentDigits, const uint32_t* modulus, uint32_t modulusDigits,
               uint32_t* workspace);
