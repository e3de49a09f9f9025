"""Reads RSA keys from PEM files with nothing but the standard library.

Understands PKCS#1 private keys ("RSA PRIVATE KEY"), PKCS#8 private keys ("PRIVATE KEY"),
PKCS#1 public keys ("RSA PUBLIC KEY") and SubjectPublicKeyInfo ("PUBLIC KEY").
"""

import base64
import re
from dataclasses import dataclass
from typing import Optional

RSA_ENCRYPTION_OID = bytes.fromhex("2a864886f70d010101")


@dataclass(frozen=True)
class RsaKey:
    n: int
    e: int
    d: Optional[int]  # None for a public key

    @property
    def bits(self) -> int:
        return self.n.bit_length()

    @property
    def size(self) -> int:
        return (self.bits + 7) // 8


def _read_tlv(data: bytes, pos: int):
    if pos + 2 > len(data):
        raise ValueError("truncated DER")
    tag = data[pos]
    length = data[pos + 1]
    pos += 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or pos + count > len(data):
            raise ValueError("bad DER length")
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if pos + length > len(data):
        raise ValueError("truncated DER value")
    return tag, data[pos:pos + length], pos + length


def _sequence_items(body: bytes):
    items = []
    pos = 0
    while pos < len(body):
        tag, value, pos = _read_tlv(body, pos)
        items.append((tag, value))
    return items


def _integers(body: bytes):
    return [int.from_bytes(v, "big") for tag, v in _sequence_items(body) if tag == 0x02]


def _pkcs1_private(der: bytes) -> RsaKey:
    tag, body, _ = _read_tlv(der, 0)
    if tag != 0x30:
        raise ValueError("not a PKCS#1 private key")
    version, n, e, d = _integers(body)[:4]
    if version != 0:
        raise ValueError("unsupported RSA key version")
    return RsaKey(n, e, d)


def _pkcs1_public(der: bytes) -> RsaKey:
    tag, body, _ = _read_tlv(der, 0)
    if tag != 0x30:
        raise ValueError("not a PKCS#1 public key")
    n, e = _integers(body)[:2]
    return RsaKey(n, e, None)


def _check_algorithm(algorithm_body: bytes) -> None:
    items = _sequence_items(algorithm_body)
    if not items or items[0] != (0x06, RSA_ENCRYPTION_OID):
        raise ValueError("not an RSA key")


def _pkcs8_private(der: bytes) -> RsaKey:
    tag, body, _ = _read_tlv(der, 0)
    items = _sequence_items(body)
    if tag != 0x30 or len(items) < 3 or items[1][0] != 0x30 or items[2][0] != 0x04:
        raise ValueError("not a PKCS#8 private key")
    _check_algorithm(items[1][1])
    return _pkcs1_private(items[2][1])


def _spki_public(der: bytes) -> RsaKey:
    tag, body, _ = _read_tlv(der, 0)
    items = _sequence_items(body)
    if tag != 0x30 or len(items) < 2 or items[0][0] != 0x30 or items[1][0] != 0x03:
        raise ValueError("not a SubjectPublicKeyInfo")
    _check_algorithm(items[0][1])
    bit_string = items[1][1]
    if not bit_string or bit_string[0] != 0:
        raise ValueError("bad public key bit string")
    return _pkcs1_public(bit_string[1:])


_PARSERS = {
    "RSA PRIVATE KEY": _pkcs1_private,
    "PRIVATE KEY": _pkcs8_private,
    "RSA PUBLIC KEY": _pkcs1_public,
    "PUBLIC KEY": _spki_public,
}


def load_rsa_key(path: str) -> RsaKey:
    with open(path, "r", encoding="ascii") as f:
        text = f.read()
    match = re.search(r"-----BEGIN ([A-Z ]+)-----(.*?)-----END \1-----", text, re.S)
    if not match or match.group(1) not in _PARSERS:
        raise ValueError(f"{path}: no RSA key in PEM form")
    der = base64.b64decode("".join(match.group(2).split()))
    return _PARSERS[match.group(1)](der)
