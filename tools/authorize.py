#!/usr/bin/env python3
"""Makes machine authorization records: the registry values that bind the internal key class to
one machine through the MD5 digest of its machine identifier text.

The record is "Operator", "IssueDate" and "ExpirationDate" (REG_SZ, each optional) and
"SignData" (REG_BINARY): a PKCS #1 v1.5 type-1 block over the MD5 of the signed message, made
with the authorization private key. The message is rebuilt by the verifier from the values:

    item 10 operator, 11 issue date, 12 expiration date (each only when given), then 14;
    an item is type (u16 LE), length (u16 LE, header included), value;
    text values are UTF-16LE with their terminating zero, item 14 holds the 16-byte digest.

Output forms:
    reg     a Windows registry file for the 64-bit view of HKEY_LOCAL_MACHINE
    values  one line per value: name, type, hexadecimal data (for tests that load values)
"""

import argparse
import hashlib
import re
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from keyfile import load_rsa_key  # noqa: E402

REGISTRY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\TamselMachineSignature"
ITEM_OPERATOR = 10
ITEM_ISSUE_DATE = 11
ITEM_EXPIRATION_DATE = 12
ITEM_MACHINE_ID = 14
ITEM_HEADER_SIZE = 4
MD5_SIZE = 16
MAX_ITEM_LENGTH = 0xFFFF
DATE_PATTERN = re.compile(r"^\d+-\d+-\d+( \d+:\d+:\d+)?$")


def text_item(item_type: int, text: str) -> bytes:
    value = (text + "\0").encode("utf-16-le")
    length = ITEM_HEADER_SIZE + len(value)
    if length > MAX_ITEM_LENGTH:
        raise ValueError(f"item {item_type} is too long")
    return struct.pack("<HH", item_type, length) + value


def build_message(digest: bytes, operator=None, issue_date=None, expiration_date=None) -> bytes:
    message = b""
    for item_type, text in ((ITEM_OPERATOR, operator), (ITEM_ISSUE_DATE, issue_date),
                            (ITEM_EXPIRATION_DATE, expiration_date)):
        if text is not None:
            message += text_item(item_type, text)
    return message + struct.pack("<HH", ITEM_MACHINE_ID, ITEM_HEADER_SIZE + MD5_SIZE) + digest


def sign_block(key, data: bytes) -> bytes:
    """PKCS #1 v1.5 type 1 over the raw data (no DigestInfo), big-endian like the key numbers."""
    padding = key.size - 3 - len(data)
    if padding < 8:
        raise ValueError("data too long for the key")
    block = b"\x00\x01" + b"\xff" * padding + b"\x00" + data
    return pow(int.from_bytes(block, "big"), key.d, key.n).to_bytes(key.size, "big")


def make_record(key, digest: bytes, operator=None, issue_date=None, expiration_date=None,
                signed_bytes: int = MD5_SIZE):
    """The values in registry order as (name, type, data) with type "REG_SZ" or "REG_BINARY"."""
    message = build_message(digest, operator, issue_date, expiration_date)
    message_digest = hashlib.md5(message).digest()[:signed_bytes]
    values = []
    for name, text in (("Operator", operator), ("IssueDate", issue_date),
                       ("ExpirationDate", expiration_date)):
        if text is not None:
            values.append((name, "REG_SZ", (text + "\0").encode("utf-16-le")))
    values.append(("SignData", "REG_BINARY", sign_block(key, message_digest)))
    return values


def format_values(values) -> str:
    return "".join(f"{name} {kind} {data.hex()}\n" for name, kind, data in values)


def _reg_hex(data: bytes) -> str:
    return ",".join(f"{b:02x}" for b in data)


def format_reg(values) -> str:
    lines = ["Windows Registry Editor Version 5.00", "", f"[{REGISTRY_KEY}]"]
    for name, kind, data in values:
        if kind == "REG_SZ":
            text = data.decode("utf-16-le").rstrip("\0").replace("\\", "\\\\").replace('"', '\\"')
            lines.append(f'"{name}"="{text}"')
        else:
            lines.append(f'"{name}"=hex:{_reg_hex(data)}')
    return "\r\n".join(lines) + "\r\n"


def _digest(text: str) -> bytes:
    data = bytes.fromhex(text)
    if len(data) != MD5_SIZE:
        raise argparse.ArgumentTypeError("the digest is 32 hexadecimal digits")
    return data


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("--key", required=True, help="authorization private key (PEM)")
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("--digest", type=_digest, help="MD5 of the machine identifier, in hex")
    target.add_argument("--machine-id", help="the machine identifier text itself")
    parser.add_argument("--operator")
    parser.add_argument("--issue-date")
    parser.add_argument("--expiration-date")
    parser.add_argument("--unchecked-dates", action="store_true",
                        help="take the date texts as given (tests of malformed records)")
    parser.add_argument("--signed-bytes", type=int, default=MD5_SIZE,
                        help="sign only the first N digest bytes (tests of short blocks)")
    parser.add_argument("--format", choices=("reg", "values"), default="reg")
    parser.add_argument("--output", help="file to write (default: standard output)")
    args = parser.parse_args(argv)
    for date in (args.issue_date, args.expiration_date):
        if date is not None and not args.unchecked_dates and not DATE_PATTERN.match(date):
            parser.error(f"{date!r} is not YYYY-MM-DD or YYYY-MM-DD hh:mm:ss")
    if not 1 <= args.signed_bytes <= MD5_SIZE:
        parser.error("--signed-bytes is 1 to 16")

    key = load_rsa_key(args.key)
    if key.d is None:
        parser.error("the key file holds no private key")
    digest = args.digest
    if digest is None:
        digest = hashlib.md5(args.machine_id.encode("latin-1")).digest()
    values = make_record(key, digest, args.operator, args.issue_date, args.expiration_date,
                         args.signed_bytes)
    text = format_values(values) if args.format == "values" else format_reg(values)
    if args.output:
        newline = "" if args.format == "reg" else "\n"
        with open(args.output, "w", encoding="utf-16" if args.format == "reg" else "ascii",
                  newline=newline) as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
