#!/usr/bin/env python3
"""Writes a C++ header of RSA test vectors, made independently of the product's arithmetic.

Crafted type-1 blocks are raised to the private exponent of the test keys (block^d mod n), so the
public operation must give them back. OpenSSL (`openssl pkeyutl -sign`, PKCS#1 v1.5) signs with
each test key, and big-number cases are checked against Python's pow.

    make_rsa_vectors.py TEST_KEY_DIR OUTPUT.h
"""

import os
import random
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from keyfile import RsaKey, load_rsa_key  # noqa: E402

E = 65537
FIELD_1024 = 128
FIELD_4096 = 512
KEY_NAMES = ["BlockKey", "EntryKey", "BoundEntryKey", "ResourceKey", "AuthorizationKey"]


def is_probable_prime(n: int, rng: random.Random) -> bool:
    if n < 4:
        return n in (2, 3)
    if n % 2 == 0:
        return False
    d, s = n - 1, 0
    while d % 2 == 0:
        d //= 2
        s += 1
    for _ in range(40):
        x = pow(rng.randrange(2, n - 1), d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def make_key(bits: int, rng: random.Random) -> RsaKey:
    """A deterministic test-only key whose modulus has exactly `bits` bits."""
    while True:
        half = bits // 2
        p = rng.getrandbits(half) | (3 << (half - 2)) | 1
        q = rng.getrandbits(bits - half) | (3 << (bits - half - 2)) | 1
        if p == q or not is_probable_prime(p, rng) or not is_probable_prime(q, rng):
            continue
        phi = (p - 1) * (q - 1)
        n = p * q
        if n.bit_length() != bits or phi % E == 0:
            continue
        return RsaKey(n, E, pow(E, -1, phi))


def c_bytes(data: bytes) -> str:
    return "{" + ", ".join(f"0x{b:02x}" for b in data) + "}" if data else "{0}"


def c_key(ctype: str, field: int, bits: int, n: int, e: int) -> str:
    return (f"{ctype}{{{bits}, {c_bytes(n.to_bytes(field, 'big'))}, "
            f"{c_bytes(e.to_bytes(field, 'big'))}}}")


def type1_block(k: int, ff_count: int, data: bytes, separator: bool = True, block_type: int = 1,
                lead: int = 0) -> bytes:
    block = bytes([lead, block_type]) + b"\xff" * ff_count + (b"\x00" if separator else b"") + data
    assert len(block) == k, (len(block), k)
    return block


def sign_raw(key: RsaKey, block: bytes, k: int) -> bytes:
    return pow(int.from_bytes(block, "big"), key.d, key.n).to_bytes(k, "big")


def openssl_sign(pem: str, data: bytes) -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "data")
        with open(path, "wb") as f:
            f.write(data)
        return subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", pem, "-in", path,
                               "-pkeyopt", "rsa_padding_mode:pkcs1"],
                              check=True, capture_output=True).stdout


class Writer:
    def __init__(self):
        self.lines = []
        self.count = 0

    def array(self, data: bytes) -> str:
        name = f"kBytes{self.count}"
        self.count += 1
        self.lines.append(f"const uint8_t {name}[] = {c_bytes(data)};")
        return name


def main() -> int:
    key_dir, output = sys.argv[1], sys.argv[2]
    rng = random.Random(4096_1024)
    w = Writer()
    keys = {name: load_rsa_key(os.path.join(key_dir, name + ".pem")) for name in KEY_NAMES}
    block_key, entry_key = keys["BlockKey"], keys["EntryKey"]
    tiny = make_key(216, rng)  # a 27-byte modulus: the smallest block with 16 data bytes

    # 1024-bit size key records, by index.
    keys1024 = [
        ("entry", c_key("RSAKEY1024", FIELD_1024, 1024, entry_key.n, E)),
        ("tiny", c_key("RSAKEY1024", FIELD_1024, 216, tiny.n, E)),
        ("zero modulus", c_key("RSAKEY1024", FIELD_1024, 1024, 0, E)),
        ("bits above field", c_key("RSAKEY1024", FIELD_1024, 1032, entry_key.n, E)),
        ("modulus longer than bits", c_key("RSAKEY1024", FIELD_1024, 1016, entry_key.n, E)),
    ]
    keys4096 = [
        ("block", c_key("RSAKEY4096", FIELD_4096, 4096, block_key.n, E)),
        ("bits 4088", c_key("RSAKEY4096", FIELD_4096, 4088, block_key.n, E)),
        ("zero modulus, bits 4088", c_key("RSAKEY4096", FIELD_4096, 4088, 0, E)),
        ("zero modulus", c_key("RSAKEY4096", FIELD_4096, 4096, 0, E)),
    ]
    K1024 = {name: i for i, (name, _) in enumerate(keys1024)}
    K4096 = {name: i for i, (name, _) in enumerate(keys4096)}

    cases = []  # (name, size, key index, input, capacity, code, data)

    def case(name, size, key, signature, capacity, code, data=b""):
        cases.append((name, size, key, signature, capacity, code, data))

    data16 = bytes(rng.getrandbits(8) for _ in range(16))
    data17 = bytes(rng.getrandbits(8) for _ in range(17))
    data47 = bytes(rng.getrandbits(8) for _ in range(47))

    t = K1024["tiny"]
    case("eight FF bytes exactly (d + 11 = k)", 1024, t,
         sign_raw(tiny, type1_block(27, 8, data16), 27), 16, 0, data16)
    case("seven FF bytes", 1024, t, sign_raw(tiny, type1_block(27, 7, data17), 27), 32, 1025)
    case("seven FF bytes and data over capacity: length wins", 1024, t,
         sign_raw(tiny, type1_block(27, 7, data17), 27), 16, 1030)
    case("d = 0: separator is the last byte", 1024, t,
         sign_raw(tiny, type1_block(27, 24, b""), 27), 16, 0, b"")
    case("no separator", 1024, t,
         sign_raw(tiny, type1_block(27, 25, b"", separator=False), 27), 16, 1025)
    case("block type 2", 1024, t,
         sign_raw(tiny, type1_block(27, 8, data16, block_type=2), 27), 16, 1025)
    case("leading byte not zero", 1024, t,
         sign_raw(tiny, type1_block(27, 8, data16, lead=1), 27), 16, 1025)

    e = K1024["entry"]
    case("MD5-sized data", 1024, e, sign_raw(entry_key, type1_block(128, 109, data16), 128), 16, 0,
         data16)
    case("17 data bytes, capacity 16", 1024, e,
         sign_raw(entry_key, type1_block(128, 108, data17), 128), 16, 1030)
    # A signature whose top byte is zero, as 128 bytes and as the 127 without it.
    for counter in range(100000):
        data = counter.to_bytes(16, "big")
        signature = sign_raw(entry_key, type1_block(128, 109, data), 128)
        if signature[0] == 0:
            break
    case("leading zero byte given (128 bytes)", 1024, e, signature, 16, 0, data)
    case("leading zero byte dropped (127 bytes)", 1024, e, signature[1:], 16, 0, data)
    case("129-byte input", 1024, e, b"\x00" + signature, 16, 1030)
    case("input equal to the modulus", 1024, e, entry_key.n.to_bytes(128, "big"), 16, 1025)
    case("input above the modulus", 1024, e, (entry_key.n + 1).to_bytes(128, "big"), 16, 1025)
    case("all-zero input: block all zero", 1024, e, bytes(128), 16, 1025)
    case("empty input: block all zero", 1024, e, b"", 16, 1025)
    case("zero modulus", 1024, K1024["zero modulus"], signature, 16, 1025)
    case("bit count above the field", 1024, K1024["bits above field"], signature, 16, 1030)
    case("modulus longer than the bit count", 1024, K1024["modulus longer than bits"],
         signature[1:], 16, 1025)

    b = K4096["block"]
    block47 = type1_block(512, 512 - 3 - 47, data47)
    signature4096 = sign_raw(block_key, block47, 512)
    case("4096: 47 data bytes", 4096, b, signature4096, 47, 0, data47)
    case("4096: 47 data bytes, capacity 46", 4096, b, signature4096, 46, 1030)
    case("4096: bits 4088", 4096, K4096["bits 4088"], signature4096, 47, 1030)
    case("4096: bits 4088 checked before the zero modulus", 4096, K4096["zero modulus, bits 4088"],
         signature4096, 47, 1030)
    case("4096: zero modulus", 4096, K4096["zero modulus"], signature4096, 47, 1025)
    case("4096: input equal to the modulus", 4096, b, block_key.n.to_bytes(512, "big"), 47, 1025)
    case("4096: all-zero input", 4096, b, bytes(512), 47, 1025)
    case("4096: signed by openssl", 4096, b,
         openssl_sign(os.path.join(key_dir, "BlockKey.pem"), data47), 47, 0, data47)

    # One byte of a valid block flipped at a time, then signed again. Every byte of the 1024-bit
    # block; for the 4096-bit one the header, a spread of the FF run, the separator and the data.
    flips = []  # (size, position, signature)
    md5_block = type1_block(128, 109, data16)
    for position in range(128):
        flipped = bytearray(md5_block)
        flipped[position] ^= 0x01
        flips.append((1024, position, sign_raw(entry_key, bytes(flipped), 128)))
    separator4096 = 512 - 48
    positions4096 = (list(range(0, 12)) + list(range(12, separator4096, 61)) +
                     [separator4096 - 1, separator4096, separator4096 + 1, 511])
    for position in positions4096:
        flipped = bytearray(block47)
        flipped[position] ^= 0x01
        value = int.from_bytes(flipped, "big")
        signature = (value.to_bytes(512, "big") if value >= block_key.n
                     else sign_raw(block_key, bytes(flipped), 512))
        flips.append((4096, position, signature))

    # OpenSSL signatures with each of the five keys, for the compiled-in key records.
    compiled = []
    for name in KEY_NAMES:
        data = data47 if name == "BlockKey" else data16
        compiled.append((name, openssl_sign(os.path.join(key_dir, name + ".pem"), data), data))

    # Modular exponentiation against pow: odd and even moduli, small and full sizes.
    bignum = []
    for digits in (1, 2, 3, 5, 8, 32, 33, 128):
        for odd in (True, False):
            for exponent_kind in ("zero", "one", "65537", "random"):
                # Top digits of every length, so that division normalises by every shift.
                bits = 32 * digits - rng.randrange(0, 31)
                n = rng.getrandbits(bits) | (1 << (bits - 1))
                n = n | 1 if odd else n & ~1
                base = rng.randrange(0, n)
                exponent = {"zero": 0, "one": 1, "65537": E,
                            "random": rng.getrandbits(32 * min(digits, 4))}[exponent_kind]
                bignum.append((f"{digits} digits, {'odd' if odd else 'even'}, e {exponent_kind}",
                               digits, n, base, exponent, pow(base, exponent, n)))
    # The add-back step of long division is rare on random numbers; this modulus and base force
    # it when the base is brought into the Montgomery domain (found by a search over patterns).
    n, base = 0x80000001ffffffffffffffff, 0x80000001ffffffff00000000
    for exponent in (1, E):
        bignum.append((f"long division adds back, e {exponent}", 3, n, base, exponent,
                       pow(base, exponent, n)))

    out = ["// Generated by make_rsa_vectors.py; do not edit.", "#pragma once", "",
           "#include <stdint.h>", "", '#include "signcheck/rsa.h"', "",
           "struct RSACASE {", "  const char* name;", "  uint32_t size;  // 1024 or 4096",
           "  uint32_t key;   // index into TEST_KEYS_1024 or TEST_KEYS_4096",
           "  const uint8_t* input;", "  uint32_t inputLength;", "  uint32_t capacity;",
           "  uint32_t code;", "  const uint8_t* data;", "  uint32_t dataLength;", "};", "",
           "struct RSAFLIP {", "  uint32_t size;", "  uint32_t position;",
           "  const uint8_t* input;", "};", "",
           "struct COMPILEDKEYSIGNATURE {", "  const char* key;", "  const uint8_t* input;",
           "  uint32_t inputLength;", "  const uint8_t* data;", "  uint32_t dataLength;", "};", "",
           "struct BIGNUMCASE {", "  const char* name;", "  uint32_t digits;",
           "  const uint8_t* modulus;  // each 4 * digits bytes, big-endian",
           "  const uint8_t* base;", "  const uint8_t* exponent;", "  const uint8_t* expected;",
           "};", ""]
    out.append("const RSAKEY1024 TEST_KEYS_1024[] = {")
    out += [f"    {record},  // {name}" for name, record in keys1024]
    out.append("};")
    out.append("const RSAKEY4096 TEST_KEYS_4096[] = {")
    out += [f"    {record},  // {name}" for name, record in keys4096]
    out.append("};")

    rows = []
    for name, size, key, signature, capacity, code, data in cases:
        rows.append(f'    {{"{name}", {size}, {key}, {w.array(signature)}, {len(signature)}, '
                    f"{capacity}, {code}, {w.array(data)}, {len(data)}}},")
    rows.append("};")
    rows.append(f"const uint8_t FLIP_DATA_1024[] = {c_bytes(data16)};")
    rows.append(f"const uint8_t FLIP_DATA_4096[] = {c_bytes(data47)};")
    rows.append(f"constexpr uint32_t FLIP_DATA_START_1024 = {128 - 16};")
    rows.append(f"constexpr uint32_t FLIP_DATA_START_4096 = {512 - 47};")
    rows.append("const RSAFLIP RSA_FLIPS[] = {")
    rows += [f"    {{{size}, {position}, {w.array(signature)}}}," for size, position, signature in flips]
    rows.append("};")
    rows.append("const COMPILEDKEYSIGNATURE COMPILED_KEY_SIGNATURES[] = {")
    rows += [f'    {{"{name}", {w.array(s)}, {len(s)}, {w.array(d)}, {len(d)}}},'
             for name, s, d in compiled]
    rows.append("};")
    rows.append("const BIGNUMCASE BIGNUM_CASES[] = {")
    for name, digits, n, base, exponent, expected in bignum:
        size = 4 * digits
        arrays = [w.array(v.to_bytes(size, "big")) for v in (n, base, exponent, expected)]
        rows.append(f'    {{"{name}", {digits}, {", ".join(arrays)}}},')
    rows.append("};")

    out += w.lines + ["", "const RSACASE RSA_CASES[] = {"] + rows
    with open(output, "w", encoding="ascii") as f:
        f.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
