#!/usr/bin/env python3
"""Runs signcheck.exe under Wine the way a person would and checks what it prints and answers.

    signcheck_cli_test.py {verify,info,machineid,usage,authorization} --tool EXE --wine-run SCRIPT
                          --signer PY [--authorize PY --authorization-key PEM]

Runs in the build's bin directory, so file names are given relative to it. Each command starts
the tool once per form (--json and plain); every file goes into the same process. Expected
values come from the signer (an independent implementation) or from Python's hashlib.
"""

import argparse
import hashlib
import importlib
import json
import subprocess
import sys
import tempfile
from pathlib import Path

# Exit codes of the tool.
EXIT_ALL_VERDICTS = 0
EXIT_SOME_FAILED = 1
EXIT_USAGE = 2
HUMAN_LINE_LIMIT = 200  # "short lines": a verdict or an error record fits one terminal line
WORK_BUFFER_SIZE = 8192
AUTHORIZATION_KEY = r"HKLM\SOFTWARE\TamselMachineSignature"

TRUST_NONE, TRUST_INVALID, TRUST_EXPIRED, TRUST_VALID = range(4)
LEVEL_NAMES = {TRUST_NONE: "none", TRUST_INVALID: "invalid", TRUST_EXPIRED: "expired",
               TRUST_VALID: "valid"}
KIND_RECORD1, KIND_RECORD2, KIND_RECORD3, KIND_RESOURCE, KIND_TRAILING = range(5)
STATUS_FOUND, STATUS_NONE = 0, 1

S = "signcheck/"       # fixtures of the image tests
C = "signcheck_cli/"   # fixtures of these tests
MISSING = C + "no_such_file.dll"
NOT_AN_IMAGE = S + "entry.dll.digest"

# file, level, kind, status: the decision table over the signer's fixtures.
VERDICTS = [
    (S + "trailing.exe", TRUST_VALID, KIND_TRAILING, STATUS_FOUND),
    (S + "trailing_cert.exe", TRUST_VALID, KIND_TRAILING, STATUS_FOUND),
    (S + "trailing64.exe", TRUST_VALID, KIND_TRAILING, STATUS_FOUND),
    (S + "driver_init_signed.sys", TRUST_VALID, KIND_TRAILING, STATUS_FOUND),
    # A block with an unknown key version counts as absent, like one with a wrong magic.
    (S + "trailing_v2.exe", TRUST_NONE, KIND_RECORD1, STATUS_NONE),
    (C + "trailing_corrupt.exe", TRUST_INVALID, KIND_TRAILING, STATUS_FOUND),
    # The block comes first: the valid entry behind it is never looked at.
    (C + "trailing_over_entry.dll", TRUST_INVALID, KIND_TRAILING, STATUS_FOUND),
    # A block with a wrong magic is no block either; the image has no other container.
    (S + "trailing_magic.exe", TRUST_NONE, KIND_RECORD1, STATUS_NONE),
    (S + "entry_pad5.dll", TRUST_VALID, KIND_RECORD3, STATUS_FOUND),
    (S + "entry_oddtail.dll", TRUST_VALID, KIND_RECORD2, STATUS_FOUND),
    (S + "entry64.exe", TRUST_VALID, KIND_RECORD2, STATUS_FOUND),
    (S + "entry.dll", TRUST_EXPIRED, KIND_RECORD2, STATUS_FOUND),
    (C + "expired.dll", TRUST_EXPIRED, KIND_RECORD2, STATUS_FOUND),
    (S + "entry_badpad.dll", TRUST_INVALID, KIND_RECORD3, STATUS_FOUND),
    (C + "wrong_checksum.dll", TRUST_INVALID, KIND_RECORD2, STATUS_FOUND),
    # Machine-bound record on a machine without an authorization.
    (C + "bound.dll", TRUST_NONE, KIND_RECORD1, STATUS_FOUND),
    (C + "long_entry.dll", TRUST_VALID, KIND_RECORD2, STATUS_FOUND),
    (S + "resource.dll", TRUST_VALID, KIND_RESOURCE, STATUS_FOUND),
    (C + "resource_corrupt.dll", TRUST_INVALID, KIND_RESOURCE, STATUS_FOUND),
    # The unsigned placeholder is still a signature resource, and it does not verify.
    (S + "fixture_dll.dll", TRUST_INVALID, KIND_RESOURCE, STATUS_FOUND),
    (S + "fixture_exe.exe", TRUST_NONE, KIND_RECORD1, STATUS_NONE),
]
# Files that get no verdict, with a text the error record must hold.
FAILURES = [
    (MISSING, "CreateFile()失败"),
    (NOT_AN_IMAGE, "文件缺失"),
    # Read after the retry, but too long for the digest walk.
    (C + "huge_entry.dll", "跳过块的长度超过缓冲区大小"),
]
# Attributes the signer wrote (tests/signcheck/CMakeLists.txt and ours).
ATTRIBUTES = {
    S + "entry.dll": {"text4": "Tamsel", "text5": "测试签名", "text6": None, "text7": None,
                      "value8": 0x1122334455667788, "expiry": 0x01DC000000000000},
    S + "entry64.exe": {"text4": None, "text6": "x64", "value8": 0, "expiry": 0},
    C + "expired.dll": {"text4": None, "expiry": 0x01D0000000000000},
}
VERIFY_KEYS = ["file", "result", "level", "levelName", "kind", "status", "entryLength",
               "text4", "text5", "text6", "text7", "value8", "expiry", "error"]
INFO_KEYS = ["file", "checksumFieldOffset", "certDirEntryOffset", "certTableOffset",
             "certTableSize", "checksum", "resourceRootOffset", "isPE32Plus", "isNative",
             "hasInitSection", "driverHeaderOffset", "headersEnd", "certEntries",
             "hasTrailingBlock", "hasSignatureResource", "computedChecksum", "error"]
INFO_FILES = [S + "trailing.exe", S + "trailing_cert.exe", S + "trailing64.exe",
              S + "driver_init_signed.sys", S + "driver_noinit_signed.sys", S + "entry.dll",
              S + "entry_pad5.dll", S + "entry_oddtail.dll", C + "long_entry.dll",
              C + "wrong_checksum.dll", S + "resource.dll", S + "fixture_exe.exe"]


class Checker:
    def __init__(self, args):
        self.args = args
        self.failures = []
        sys.path.insert(0, str(Path(args.signer).resolve().parent))
        self.signer = importlib.import_module(Path(args.signer).stem)

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)

    def equal(self, actual, expected, what):
        self.expect(actual == expected, f"{what}: {actual!r}, expected {expected!r}")

    def run(self, *arguments, program=None):
        """One tool process (or another program under Wine): (exit code, stdout lines, stderr)."""
        done = subprocess.run([self.args.wine_run, program or self.args.tool, *arguments],
                              capture_output=True, timeout=600)
        return done.returncode, done.stdout.decode("utf-8").splitlines(), \
            done.stderr.decode("utf-8", "replace")

    def json_lines(self, lines, keys, what):
        objects = []
        for line in lines:
            try:
                obj = json.loads(line)
            except json.JSONDecodeError:
                self.failures.append(f"{what}: not JSON: {line!r}")
                continue
            self.equal(list(obj), keys, f"{what}: keys of {obj.get('file', line)}")
            objects.append(obj)
        return objects

    def human_lines(self, lines, count, what):
        self.equal(len(lines), count, f"{what}: number of lines")
        for line in lines:
            self.expect(0 < len(line) <= HUMAN_LINE_LIMIT and "{" not in line,
                        f"{what}: not a short readable line: {line!r}")

    # --- verify ---------------------------------------------------------------------------

    def check_verify(self):
        files = [f for f, *_ in VERDICTS] + [f for f, _ in FAILURES]
        code, lines, _ = self.run("verify", *files, "--json")
        self.equal(code, EXIT_SOME_FAILED, "verify with unreadable files: exit code")
        objects = self.json_lines(lines, VERIFY_KEYS, "verify --json")
        self.equal([o["file"] for o in objects], files, "verify --json: files in order")
        by_file = {o["file"]: o for o in objects}
        for path, level, kind, status in VERDICTS:
            o = by_file.get(path, {})
            got = (o.get("result"), o.get("level"), o.get("levelName"), o.get("kind"),
                   o.get("status"), o.get("error"))
            self.equal(got, (1, level, LEVEL_NAMES[level], kind, status, None), path)
        for path, text in FAILURES:
            o = by_file.get(path, {})
            self.equal(o.get("result"), 0, f"{path}: result")
            self.expect(text in (o.get("error") or ""), f"{path}: error {o.get('error')!r}"
                        f" does not name {text!r}")
        for path, attributes in ATTRIBUTES.items():
            for key, value in attributes.items():
                self.equal(by_file.get(path, {}).get(key), value, f"{path}: {key}")
        self.check_entry_lengths(by_file)

        good = [S + "trailing.exe", S + "entry.dll", S + "fixture_exe.exe"]
        code, lines, _ = self.run("verify", *good)
        self.equal(code, EXIT_ALL_VERDICTS, "verify where every file gets a verdict: exit code")
        self.human_lines(lines, len(good), "verify")
        for path, line in zip(good, lines):
            self.expect(line.startswith(path + ": "), f"verify: {line!r} does not name {path}")
        self.expect(len(lines) > 1 and "expired" in lines[1], f"verify: {lines!r} does not say expired")

    def check_entry_lengths(self, by_file):
        """entryLength is the bytes read: the first own entry with its padding."""
        for path in (S + "entry_pad5.dll", C + "long_entry.dll", S + "trailing.exe"):
            image = self.signer.Image(Path(path).read_bytes())
            own = [length for _, length, t in image.cert_entries() if t == self.signer.CERT_TYPE_OWN]
            is_entry = by_file.get(path, {}).get("kind") in (KIND_RECORD2, KIND_RECORD3)
            expected = self.signer.align(own[0]) if own and is_entry else 0
            self.equal(by_file.get(path, {}).get("entryLength"), expected, f"{path}: entryLength")
        long_length = by_file.get(C + "long_entry.dll", {}).get("entryLength", 0)
        self.expect(long_length > WORK_BUFFER_SIZE,
                    f"long_entry.dll: entry of {long_length} bytes does not need the retry")

    # --- info -----------------------------------------------------------------------------

    def expected_info(self, path):
        signer = self.signer
        image = signer.Image(Path(path).read_bytes())
        table_offset, table_size = image.cert_table
        resource = image.signature_resource()
        driver = image.u32(signer.DRIVER_HEADER_OFFSET) == signer.DRIVER_HEADER_MAGIC \
            and image.lfanew >= signer.DRIVER_HEADER_OFFSET + signer.DRIVER_HEADER_SIZE
        has_init = any(name[:5] == b"INIT\0" for name, *_ in image.sections())
        return {
            "file": path,
            "checksumFieldOffset": image.checksum_offset,
            "certDirEntryOffset": image.cert_dir_offset,
            "certTableOffset": table_offset,
            "certTableSize": table_size,
            "checksum": image.u32(image.checksum_offset),
            "resourceRootOffset": resource[0] if resource else 0,
            "isPE32Plus": image.pe32plus,
            "isNative": image.subsystem == signer.SUBSYSTEM_NATIVE,
            "hasInitSection": driver and image.subsystem == signer.SUBSYSTEM_NATIVE and has_init,
            "driverHeaderOffset": signer.DRIVER_HEADER_OFFSET if driver else 0,
            "certEntries": [{"offset": offset - table_offset, "length": length, "type": t,
                             "index": i}
                            for i, (offset, length, t) in enumerate(image.cert_entries())],
            "hasTrailingBlock": "trailing" in path or path.endswith("_signed.sys"),
            "hasSignatureResource": resource is not None,
            "computedChecksum": signer.image_checksum(image),
            "error": None,
        }

    def check_info(self):
        code, lines, _ = self.run("info", *INFO_FILES, "--json")
        self.equal(code, EXIT_ALL_VERDICTS, "info on images: exit code")
        objects = self.json_lines(lines, INFO_KEYS, "info --json")
        self.equal([o["file"] for o in objects], INFO_FILES, "info --json: files in order")
        for o in objects:
            expected = self.expected_info(o["file"])
            for key, value in expected.items():
                self.equal(o.get(key), value, f"{o['file']}: {key}")
            # The section table is read only when a resource or an INIT section is looked for.
            image = self.signer.Image(Path(o["file"]).read_bytes())
            self.expect(o["headersEnd"] in (image.section_table,
                                            image.section_table + 40 * image.section_count),
                        f"{o['file']}: headersEnd {o['headersEnd']}")
        # A wrong CheckSum is what info must show next to the computed one.
        wrong = next((o for o in objects if o["file"] == C + "wrong_checksum.dll"), {})
        self.equal(wrong.get("checksum"), (wrong.get("computedChecksum", 0) + 1) & 0xFFFFFFFF,
                   "wrong_checksum.dll: header checksum against the computed one")

        # The image opens, but its checksum walk fails: no number may stand for it.
        huge = C + "huge_entry.dll"
        code, lines, _ = self.run("info", huge, "--json")
        self.equal(code, EXIT_ALL_VERDICTS, "info on an image whose walk fails: exit code")
        o = (self.json_lines(lines, INFO_KEYS, "info --json") or [{}])[0]
        self.equal(o.get("computedChecksum"), None, f"{huge}: computedChecksum")
        self.expect("跳过块的长度超过缓冲区大小" in (o.get("error") or ""),
                    f"{huge}: error {o.get('error')!r}")

        files = [S + "entry.dll", huge, MISSING]
        code, lines, _ = self.run("info", *files)
        self.equal(code, EXIT_SOME_FAILED, "info with a missing file: exit code")
        self.human_lines(lines, len(files), "info")
        checksum = self.expected_info(files[0])["checksum"]
        self.expect(len(lines) == 3 and "checksum 0x%08X (computed 0x%08X)" % (checksum, checksum)
                    in lines[0], f"info: {lines[:1]!r} does not show both checksums")
        self.expect(len(lines) == 3 and "(not computed)" in lines[1],
                    f"info: {lines[1:2]!r} shows a checksum that was not computed")

    # --- machineid ------------------------------------------------------------------------

    def check_machineid(self):
        code, lines, _ = self.run("machineid", "--json")
        self.equal(code, EXIT_ALL_VERDICTS, "machineid --json: exit code")
        objects = self.json_lines(lines, ["machineId", "machineIdMd5", "error"], "machineid")
        self.equal(len(objects), 1, "machineid --json: one object")
        if objects:
            o = objects[0]
            identifier = o["machineId"] or ""
            self.expect(identifier != "", "machineid: empty identifier")
            self.equal(o["machineIdMd5"], hashlib.md5(identifier.encode("latin-1")).hexdigest(),
                       "machineIdMd5")
            self.equal(o["error"], None, "machineid: error")
        code, lines, _ = self.run("machineid")
        self.equal(code, EXIT_ALL_VERDICTS, "machineid: exit code")
        self.human_lines(lines, 2, "machineid")
        if objects and len(lines) == 2:
            self.expect(objects[0]["machineId"] in lines[0] and
                        objects[0]["machineIdMd5"] in lines[1], f"machineid: {lines!r}")

    # --- usage ----------------------------------------------------------------------------

    def check_usage(self):
        for arguments in ([], ["verify"], ["info", "--json"], ["machineid", S + "entry.dll"],
                          ["sign", S + "entry.dll"]):
            code, lines, error = self.run(*arguments)
            self.equal(code, EXIT_USAGE, f"signcheck {' '.join(arguments)}: exit code")
            self.equal(lines, [], f"signcheck {' '.join(arguments)}: standard output")
            self.expect(error.startswith("usage: signcheck"),
                        f"signcheck {' '.join(arguments)}: no usage text: {error!r}")

    # --- machine authorization, installed as the README says -----------------------------

    def check_authorization(self):
        """A machine-bound record verifies once this machine's authorization is imported into
        the 64-bit view, and no longer after it is deleted. The key is real, so it must not
        exist beforehand, and it is deleted again on every path."""
        registry = (AUTHORIZATION_KEY, "/reg:64")
        code, _, _ = self.run("query", *registry, program="reg")
        if code == 0:
            self.failures.append(f"{AUTHORIZATION_KEY} exists already; not touching it")
            return
        code, lines, _ = self.run("machineid", "--json")
        digest = json.loads(lines[0])["machineIdMd5"] if code == 0 and lines else None
        if digest is None:
            self.failures.append("authorization: no machine identifier")
            return
        bound = C + "bound.dll"
        with tempfile.TemporaryDirectory() as directory:
            record = str(Path(directory) / "machine.reg")
            subprocess.run([sys.executable, self.args.authorize, "--key",
                            self.args.authorization_key, "--digest", digest, "--operator", "Ops",
                            "--issue-date", "2026-01-01", "--output", record], check=True)
            try:
                code, _, error = self.run("import", record, "/reg:64", program="reg")
                self.equal(code, 0, f"reg import: {error.strip()}")
                code, lines, _ = self.run("verify", bound, "--json")
                o = json.loads(lines[0]) if lines else {}
                self.equal((code, o.get("level"), o.get("kind"), o.get("status")),
                           (EXIT_ALL_VERDICTS, TRUST_VALID, KIND_RECORD1, STATUS_FOUND),
                           f"{bound} with the authorization")
            finally:
                code, _, error = self.run("delete", *registry, "/f", program="reg")
                self.equal(code, 0, f"reg delete: {error.strip()}")
        code, lines, _ = self.run("verify", bound, "--json")
        o = json.loads(lines[0]) if lines else {}
        self.equal(o.get("level"), TRUST_NONE, f"{bound} after the authorization is deleted")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command",
                        choices=("verify", "info", "machineid", "usage", "authorization"))
    parser.add_argument("--tool", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--signer", required=True)
    parser.add_argument("--authorize", help="tools/authorize.py (authorization only)")
    parser.add_argument("--authorization-key", help="its private key (authorization only)")
    args = parser.parse_args()
    checker = Checker(args)
    getattr(checker, "check_" + args.command)()
    for failure in checker.failures:
        print("FAIL", failure)
    print(f"signcheck {args.command}: {len(checker.failures)} failure(s)")
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main())
