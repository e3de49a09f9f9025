#!/usr/bin/env python3
"""Signs PE images with the suite's three signature containers, for tests and releases.

Uses nothing but Python's standard library (hashlib and pow for RSA), so it shares no code with
the verifier it is checked against. Every command reads IN and writes OUT (they may be the same
file). Signing times are fixed unless given, so that outputs are reproducible.

Containers:
  trailing   a 664-byte block ("olWc" ... "=82b") with a 4096-bit RSA signature over SHA-256,
             inserted just before the certificate table, or appended to a file without one
  entry      an own certificate-table entry (type 0xF000) with a signature record of type 1-3
             and attributes, RSA-1024 over MD5; the header CheckSum is set to match
  resource   the 128-byte RCDATA 729 resource, filled in place with an RSA-1024 signature

Helpers for tests:
  add-cert   appends a raw certificate-table entry of any type
  flip       flips one byte of a file
  checksum   prints the image checksum as the verifier computes it

Keys default to tests/keys/<KeyName>.pem beside this tool (test keys only); a release passes
--key with the maker's private key.
"""

import argparse
import array
import hashlib
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import keyfile  # noqa: E402

DEFAULT_KEY_DIR = Path(__file__).resolve().parent.parent / "tests" / "keys"

CHECKSUM_FIELD = 64          # in the optional header
CHECKSUM_SIZE = 4
DIRECTORY_ENTRY_SIZE = 8
CERT_ALIGNMENT = 8
CERT_TYPE_OWN = 0xF000
CERT_REVISION = 0x0100
WALK_CHUNK = 32768           # the verifier's digest walk reads in chunks of this size
DRIVER_HEADER_OFFSET = 128
DRIVER_HEADER_SIZE = 144
DRIVER_HEADER_MAGIC = 0x82C8851F
SUBSYSTEM_NATIVE = 1
RT_RCDATA = 10
SIGNATURE_RESOURCE_ID = 729
SIGNATURE_RESOURCE_SIZE = 128
TRAILING_BLOCK_SIZE = 664
TRAILING_MAGIC = b"olWc"
TRAILING_END_MAGIC = b"=82b"
TRAILING_NAME_SIZE = 128
TRAILING_SIGNATURE_OFFSET = 144
TRAILING_SIGNATURE_SIZE = 512
DEFAULT_TIME = 1767225600    # 2026-01-01 00:00:00 UTC
# DigestInfo header as the verifier expects it before the SHA-256 digest.
DIGEST_INFO_PREFIX = bytes.fromhex("302d300906052b0e03021a05000420")
ATTRIBUTE_FILLER = 12        # an attribute type the verifier ignores
MAX_ATTRIBUTE_VALUE = 0xFFFF - 4  # the attribute length field is 16 bits, header included


class SignerError(Exception):
    pass


def align(value, alignment=CERT_ALIGNMENT):
    return (value + alignment - 1) // alignment * alignment


class Image:
    """The header facts of a PE image held in memory."""

    def __init__(self, data):
        self.data = bytearray(data)
        d = self.data
        if len(d) < 64 or d[:2] != b"MZ":
            raise SignerError("not a PE file (no MZ)")
        self.lfanew = struct.unpack_from("<i", d, 60)[0]
        if self.lfanew <= 0 or d[self.lfanew:self.lfanew + 4] != b"PE\0\0":
            raise SignerError("not a PE file (no PE signature)")
        self.section_count, = struct.unpack_from("<H", d, self.lfanew + 6)
        self.optional_size, = struct.unpack_from("<H", d, self.lfanew + 20)
        self.optional = self.lfanew + 24
        magic, = struct.unpack_from("<H", d, self.optional)
        if magic == 0x10B:
            self.pe32plus = False
            resource_dir, cert_dir = 112, 128
        elif magic == 0x20B:
            self.pe32plus = True
            resource_dir, cert_dir = 128, 144
        else:
            raise SignerError("unsupported optional header magic %#x" % magic)
        self.checksum_offset = self.optional + CHECKSUM_FIELD
        self.cert_dir_offset = self.optional + cert_dir
        self.resource_dir_offset = self.optional + resource_dir
        self.subsystem, = struct.unpack_from("<H", d, self.optional + 68)
        self.section_table = self.optional + self.optional_size

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def put_u32(self, offset, value):
        struct.pack_into("<I", self.data, offset, value & 0xFFFFFFFF)

    @property
    def cert_table(self):
        return self.u32(self.cert_dir_offset), self.u32(self.cert_dir_offset + 4)

    def set_cert_table(self, offset, size):
        self.put_u32(self.cert_dir_offset, offset)
        self.put_u32(self.cert_dir_offset + 4, size)

    def sections(self):
        for i in range(self.section_count):
            h = self.section_table + 40 * i
            name = bytes(self.data[h:h + 8])
            vsize, va, raw_size, raw_pointer = struct.unpack_from("<IIII", self.data, h + 8)
            yield name, va, vsize, raw_size, raw_pointer

    def rva_to_offset(self, rva):
        for _, va, vsize, raw_size, raw_pointer in self.sections():
            if va <= rva < va + max(vsize, raw_size):
                return raw_pointer + rva - va
        raise SignerError("RVA %#x lies in no section" % rva)

    def cert_entries(self):
        """(file offset, dwLength, type) of every certificate-table entry."""
        offset, size = self.cert_table
        entries = []
        position = offset
        while offset and position < offset + size:
            length, _, cert_type = struct.unpack_from("<IHH", self.data, position)
            entries.append((position, length, cert_type))
            if length == 0:
                raise SignerError("certificate entry of length 0")
            position += align(length)
        return entries

    def driver_range_applies(self):
        """The trailing-block digest zero-fills the driver header area of 32-bit native images
        that carry its marker and a section named exactly INIT."""
        if self.pe32plus or self.subsystem != SUBSYSTEM_NATIVE or self.lfanew < 272:
            return False
        if self.u32(DRIVER_HEADER_OFFSET) != DRIVER_HEADER_MAGIC:
            return False
        return any(name[:5] == b"INIT\0" for name, *_ in self.sections())

    def signature_resource(self):
        """(file offset of the resource root, file offset of the 729 data) or None."""
        rva = self.u32(self.resource_dir_offset)
        if rva == 0:
            return None
        root = self.rva_to_offset(rva)

        def find(directory, wanted):
            named, ids = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
                if name & 0x80000000:
                    continue
                if wanted is None or name == wanted:
                    return target
            return None

        types = find(root, RT_RCDATA)
        if types is None or not types & 0x80000000:
            return None
        ids = find(root + (types & 0x7FFFFFFF), SIGNATURE_RESOURCE_ID)
        if ids is None or not ids & 0x80000000:
            return None
        language = find(root + (ids & 0x7FFFFFFF), None)
        if language is None or language & 0x80000000:
            return None
        data_rva, data_size = struct.unpack_from("<II", self.data, root + language)
        if data_size != SIGNATURE_RESOURCE_SIZE:
            return None
        return root, self.rva_to_offset(data_rva)


def pieces_without(data, ranges):
    """Yields the stretches of data between the sorted (offset, length) ranges."""
    position = 0
    for offset, length in ranges:
        yield data[position:offset]
        position = offset + length
    yield data[position:]


def own_entry_ranges(image):
    return [(offset, align(length)) for offset, length, t in image.cert_entries()
            if t == CERT_TYPE_OWN]


def entry_digest(image, attributes):
    """MD5 over the file without CheckSum, directory entry and own entries, then attributes."""
    ranges = [(image.checksum_offset, CHECKSUM_SIZE), (image.cert_dir_offset, DIRECTORY_ENTRY_SIZE)]
    ranges += own_entry_ranges(image)
    md5 = hashlib.md5()
    for piece in pieces_without(bytes(image.data), ranges):
        md5.update(piece)
    md5.update(attributes)
    return md5.digest()


def image_checksum(image):
    """The verifier's checksum: 16-bit words counted from the start of each piece the digest
    walk hands over (gaps cut into chunks, read ranges whole), the last odd byte added once."""
    data = bytes(image.data)
    ranges = [(image.checksum_offset, CHECKSUM_SIZE, False),
              (image.cert_dir_offset, DIRECTORY_ENTRY_SIZE, True)]
    ranges += [(offset, length, True) for offset, length in own_entry_ranges(image)]
    pieces = []
    position = 0
    for offset, length, summed in ranges + [(len(data), None, None)]:
        gap = offset - position
        chunk = gap % WALK_CHUNK or WALK_CHUNK
        while gap > 0:
            pieces.append(data[position:position + chunk])
            position += chunk
            gap -= chunk
            chunk = WALK_CHUNK
        if length is None:
            break
        if summed:
            pieces.append(data[offset:offset + length])
        position = offset + length
    total = 0
    odd = 0
    for piece in pieces:
        even = len(piece) // 2 * 2
        words = array.array("H", piece[:even])
        if sys.byteorder != "little":
            words.byteswap()
        total += sum(words)
        if len(piece) % 2:
            odd = piece[-1]
    while total > 0xFFFF:
        total = (total & 0xFFFF) + ((total >> 16) & 0xFFFF) + ((total >> 32) & 0xFFFF) + (total >> 48)
    return (((odd + total) & 0xFFFF) + len(data)) & 0xFFFFFFFF


def resource_digest(image, root):
    data = bytes(image.data)
    covered = bytearray(data[:root])
    covered[image.checksum_offset:image.checksum_offset + CHECKSUM_SIZE] = bytes(CHECKSUM_SIZE)
    covered[image.cert_dir_offset:image.cert_dir_offset + DIRECTORY_ENTRY_SIZE] = \
        bytes(DIRECTORY_ENTRY_SIZE)
    return hashlib.md5(covered).digest()


def trailing_digest(image, block_offset):
    covered = bytearray(image.data[:block_offset + TRAILING_BLOCK_SIZE])
    if image.driver_range_applies():
        covered[DRIVER_HEADER_OFFSET:DRIVER_HEADER_OFFSET + DRIVER_HEADER_SIZE] = \
            bytes(DRIVER_HEADER_SIZE)
    covered[image.checksum_offset:image.checksum_offset + CHECKSUM_SIZE] = bytes(CHECKSUM_SIZE)
    covered[image.cert_dir_offset:image.cert_dir_offset + DIRECTORY_ENTRY_SIZE] = \
        bytes(DIRECTORY_ENTRY_SIZE)
    signature = block_offset + TRAILING_SIGNATURE_OFFSET
    covered[signature:signature + TRAILING_SIGNATURE_SIZE] = bytes(TRAILING_SIGNATURE_SIZE)
    return hashlib.sha256(covered).digest()


def rsa_sign(key, message):
    """PKCS #1 v1.5 type-1 block around message, raised to the private exponent."""
    size = key.size
    if len(message) > size - 11:
        raise SignerError("message too long for the key")
    block = b"\x00\x01" + b"\xff" * (size - 3 - len(message)) + b"\x00" + message
    return pow(int.from_bytes(block, "big"), key.d, key.n).to_bytes(size, "big")


def load_key(args, default_name, bits):
    path = args.key or DEFAULT_KEY_DIR / (default_name + ".pem")
    key = keyfile.load_rsa_key(str(path))
    if key.d is None:
        raise SignerError("%s holds no private key" % path)
    if key.bits != bits:
        raise SignerError("%s is a %d-bit key; %d bits are needed" % (path, key.bits, bits))
    return key


def signed_payload(args, digest, default_prefix=b""):
    """What the signature carries: the prefix and the digest, unless a defect option changes
    the prefix or cuts or zero-extends the whole to a given length."""
    prefix = default_prefix if args.signed_prefix is None else bytes.fromhex(args.signed_prefix)
    payload = prefix + digest
    if args.signed_length is not None:
        if args.signed_length < 0:
            raise SignerError("--signed-length is not negative")
        payload = payload[:args.signed_length].ljust(args.signed_length, b"\0")
    return payload


def write_digest(args, digest, extra=""):
    if args.digest_out:
        Path(args.digest_out).write_text(digest.hex() + extra + "\n", encoding="ascii")


def table_at_end(image):
    """The certificate table's place, padding the file to 8 bytes when it has none yet."""
    offset, size = image.cert_table
    if offset == 0 or size == 0:
        offset = align(len(image.data))
        image.data.extend(bytes(offset - len(image.data)))
        return offset, 0
    if offset + size != len(image.data):
        raise SignerError("the certificate table is not at the end of the file")
    return offset, size


def append_entry(image, entry, padding_byte=0):
    """Appends a certificate entry with its padding and updates the directory entry."""
    offset, size = table_at_end(image)
    padded = bytearray(entry) + bytes(align(len(entry)) - len(entry))
    if padding_byte and len(padded) > len(entry):
        padded[-1] = padding_byte
    image.data.extend(padded)
    image.set_cert_table(offset, size + len(padded))
    return offset + size


# --- commands -------------------------------------------------------------------------------

def utf16_text(text):
    return text.encode("utf-16-le") + b"\0\0"


def attribute(attribute_type, value):
    return struct.pack("<HH", attribute_type, 4 + len(value)) + value


def build_attributes(args):
    attributes = b""
    for number in (4, 5, 6, 7):
        text = getattr(args, "text%d" % number)
        if text is not None:
            attributes += attribute(number, utf16_text(text))
    if args.value8 is not None:
        attributes += attribute(8, struct.pack("<Q", args.value8))
    if args.expiry is not None:
        attributes += attribute(9, struct.pack("<Q", args.expiry))
    for raw in args.attribute:
        type_text, _, hex_text = raw.partition(":")
        attributes += attribute(int(type_text, 0), bytes.fromhex(hex_text))
    return attributes


def command_entry(args):
    image = Image(Path(args.input).read_bytes())
    key = load_key(args, "BoundEntryKey" if args.record_type == 1 else "EntryKey", 1024)
    attributes = build_attributes(args)
    if args.filler:
        if args.filler > MAX_ATTRIBUTE_VALUE:
            raise SignerError("--filler is at most %d bytes" % MAX_ATTRIBUTE_VALUE)
        attributes += attribute(ATTRIBUTE_FILLER, bytes(args.filler))
    element_length = 4 + key.size
    start = table_at_end(image)
    start = start[0] + start[1]
    if args.padding is not None:
        # A filler attribute sets the entry's end so that `padding` bytes follow it.
        base = 8 + element_length + len(attributes) + 5
        filler = 5 + (CERT_ALIGNMENT - (start + base + args.padding) % CERT_ALIGNMENT) % CERT_ALIGNMENT
        attributes += attribute(ATTRIBUTE_FILLER, bytes(filler - 4))
    length = 8 + element_length + len(attributes)
    entry = bytearray(struct.pack("<IHHHH", length, CERT_REVISION, CERT_TYPE_OWN,
                                  args.record_type, element_length))
    entry += bytes(key.size) + attributes
    entry_offset = append_entry(image, entry, args.padding_byte)
    image.data.extend(bytes((i * 11 + 7) & 0xFF for i in range(args.tail)))
    digest = entry_digest(image, attributes)
    signature = rsa_sign(key, signed_payload(args, digest))
    if args.corrupt_signature:
        signature = bytes([signature[0] ^ 0x01]) + signature[1:]
    image.data[entry_offset + 12:entry_offset + 12 + key.size] = signature
    checksum = image_checksum(image)
    image.put_u32(image.checksum_offset, checksum + 1 if args.wrong_checksum else checksum)
    Path(args.output).write_bytes(image.data)
    write_digest(args, digest, " %08x" % checksum)


def command_trailing(args):
    image = Image(Path(args.input).read_bytes())
    key = load_key(args, "BlockKey", 4096)
    offset, size = image.cert_table
    if offset and size:
        if offset + size != len(image.data):
            raise SignerError("the certificate table is not at the end of the file")
        block_offset = offset
    else:
        # On an 8-byte boundary, so that a certificate table added later follows the block.
        block_offset = align(len(image.data))
        image.data.extend(bytes(block_offset - len(image.data)))
    name = utf16_text((args.name or Path(args.output).name)[:TRAILING_NAME_SIZE // 2 - 1])
    block = bytearray(TRAILING_BLOCK_SIZE)
    block[0:4] = b"XlWc" if args.bad_magic else TRAILING_MAGIC
    block[4:4 + len(name)] = name
    struct.pack_into("<HHII", block, 132, args.key_version, 0, args.time, 0)
    block[660:664] = b"=82X" if args.bad_end_magic else TRAILING_END_MAGIC
    image.data[block_offset:block_offset] = block
    if offset and size:
        image.set_cert_table(offset + TRAILING_BLOCK_SIZE, size)
    digest = trailing_digest(image, block_offset)
    signature = rsa_sign(key, signed_payload(args, digest, DIGEST_INFO_PREFIX))
    if args.corrupt_signature:
        signature = bytes([signature[0] ^ 0x01]) + signature[1:]
    start = block_offset + TRAILING_SIGNATURE_OFFSET
    image.data[start:start + TRAILING_SIGNATURE_SIZE] = signature
    Path(args.output).write_bytes(image.data)
    write_digest(args, digest)


def command_resource(args):
    image = Image(Path(args.input).read_bytes())
    key = load_key(args, "ResourceKey", 1024)
    found = image.signature_resource()
    if not found:
        raise SignerError("no 128-byte RCDATA 729 resource to sign into")
    root, data_offset = found
    digest = resource_digest(image, root)
    signature = rsa_sign(key, digest)
    if args.corrupt_signature:
        signature = bytes([signature[0] ^ 0x01]) + signature[1:]
    image.data[data_offset:data_offset + SIGNATURE_RESOURCE_SIZE] = signature
    Path(args.output).write_bytes(image.data)
    write_digest(args, digest)


def command_add_cert(args):
    image = Image(Path(args.input).read_bytes())
    content = bytes((i * 7 + 1) & 0xFF for i in range(args.content_length))
    entry = struct.pack("<IHH", 8 + len(content), args.revision, args.type) + content
    append_entry(image, entry)
    Path(args.output).write_bytes(image.data)


def command_flip(args):
    data = bytearray(Path(args.input).read_bytes())
    if not 0 <= args.offset < len(data):
        raise SignerError("offset %d outside the file" % args.offset)
    data[args.offset] ^= args.mask
    Path(args.output).write_bytes(data)


def command_checksum(args):
    print("%08x" % image_checksum(Image(Path(args.input).read_bytes())))


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)

    def with_io(name, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("input", help="PE image to read")
        sub.add_argument("output", help="file to write (may be the input)")
        return sub

    def with_payload(sub, default_prefix):
        sub.add_argument("--signed-prefix", metavar="HEX",
                         help="defect: sign these bytes before the digest (default: %s)"
                         % default_prefix)
        sub.add_argument("--signed-length", type=int, metavar="N",
                         help="defect: cut the signed prefix and digest to N bytes, or extend "
                         "them with zero bytes to N")

    def with_key(sub, default_key):
        sub.add_argument("--key", help="PEM private key (default: tests/keys/%s)" % default_key)
        sub.add_argument("--digest-out", metavar="FILE",
                         help="write the hex digest that was signed to FILE")
        sub.add_argument("--corrupt-signature", action="store_true",
                         help="defect: flip a bit of the signature after signing")

    sub = with_io("trailing", "add a trailing signature block (SHA-256, RSA-4096)")
    with_key(sub, "BlockKey.pem")
    sub.add_argument("--key-version", type=int, default=1,
                     help="key version in the block (default 1; 2 is a defect: unknown key)")
    sub.add_argument("--time", type=int, default=DEFAULT_TIME,
                     help="time stamp, seconds since 1970 UTC (default %d)" % DEFAULT_TIME)
    sub.add_argument("--name", help="file name stored in the block (default: output name)")
    sub.add_argument("--bad-magic", action="store_true", help="defect: wrong start magic")
    sub.add_argument("--bad-end-magic", action="store_true", help="defect: wrong end magic")
    with_payload(sub, "the SHA-1-named DigestInfo header")
    sub.set_defaults(run=command_trailing)

    sub = with_io("entry", "add an own certificate entry (type 0xF000; MD5, RSA-1024)")
    with_key(sub, "EntryKey.pem; BoundEntryKey.pem for record type 1")
    sub.add_argument("--record-type", type=int, choices=(1, 2, 3), required=True,
                     help="1: machine-bound record; 2, 3: plain records")
    for number in (4, 5, 6, 7):
        sub.add_argument("--text%d" % number, metavar="TEXT", help="text attribute %d" % number)
    sub.add_argument("--value8", type=lambda v: int(v, 0), help="64-bit value of attribute 8")
    sub.add_argument("--expiry", type=lambda v: int(v, 0),
                     help="expiry as a FILETIME (100 ns since 1601 UTC); 0 never expires")
    sub.add_argument("--attribute", action="append", default=[], metavar="TYPE:HEX",
                     help="an extra raw attribute (repeatable)")
    sub.add_argument("--padding", type=int, choices=range(8), metavar="N",
                     help="make the entry end N bytes before an 8-byte boundary (filler attribute)")
    sub.add_argument("--padding-byte", type=lambda v: int(v, 0), default=0,
                     help="defect: value of the last padding byte (default 0)")
    sub.add_argument("--tail", type=int, default=0, metavar="N",
                     help="append N bytes of overlay after the certificate table")
    sub.add_argument("--wrong-checksum", action="store_true",
                     help="defect: header CheckSum one above the right value")
    sub.add_argument("--filler", type=int, default=0, metavar="N",
                     help="add an ignored attribute of N zero bytes (e.g. a long entry)")
    with_payload(sub, "none")
    sub.set_defaults(run=command_entry)

    sub = with_io("resource", "sign into the 128-byte RCDATA 729 placeholder (MD5, RSA-1024)")
    with_key(sub, "ResourceKey.pem")
    sub.set_defaults(run=command_resource)

    sub = with_io("add-cert", "append a raw certificate-table entry (for tests)")
    sub.add_argument("--type", type=lambda v: int(v, 0), required=True,
                     help="wCertificateType, e.g. 2 or 0xF000")
    sub.add_argument("--revision", type=lambda v: int(v, 0), default=CERT_REVISION)
    sub.add_argument("--content-length", type=int, default=24, help="bytes after the header")
    sub.set_defaults(run=command_add_cert)

    sub = with_io("flip", "flip bits of one byte (defect: a changed covered byte)")
    sub.add_argument("--offset", type=lambda v: int(v, 0), required=True)
    sub.add_argument("--mask", type=lambda v: int(v, 0), default=0x01)
    sub.set_defaults(run=command_flip)

    sub = commands.add_parser("checksum", help="print the verifier's image checksum")
    sub.add_argument("input")
    sub.set_defaults(run=command_checksum)

    args = parser.parse_args(argv)
    try:
        args.run(args)
    except (SignerError, OSError, ValueError, struct.error) as error:
        print("signer: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
