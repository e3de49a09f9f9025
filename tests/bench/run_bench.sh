#!/usr/bin/env bash
# Runs signcheck_bench.exe and `openssl dgst` on the same 256 MiB file in the page cache and prints
# one JSON object with both sets of figures and their ratios (ours / openssl's).
#   tests/bench/run_bench.sh [BUILD_DIR]
# The file is a real image: the fixture DLL with random overlay, signed by tools/signer.py with a
# trailing block at its very end, so that every digest walk covers the whole file. openssl and
# `signcheck verify` are timed as whole processes (the latter with Wine's process start-up, about
# 0.4 s); the benchmark times inside its process.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
export WINE_BUILD_DIR=$build
bytes=$((256 * 1024 * 1024))
trailing_block=664
base=$build/bin/signcheck/fixture_dll.dll

work=$(mktemp -d "${TMPDIR:-/tmp}/signcheck_bench.XXXXXX")
trap 'rm -rf "$work"; "$root/scripts/wine-server" stop' EXIT
# One persistent wineserver, as in a test run, so that a whole-process time is not a server's
# start-up. Do not run the benchmark while tests run: this restarts their server.
"$root/scripts/wine-server" start
file=$work/big.dll
small=$work/small.dll
python3 "$root/tools/signer.py" trailing "$base" "$small"
# base + overlay ends on an 8-byte boundary, so the block lands at bytes - 664 exactly.
{ cat "$base"; head -c $((bytes - trailing_block - $(stat -c %s "$base"))) /dev/urandom; } \
  >"$work/unsigned.dll"
python3 "$root/tools/signer.py" trailing "$work/unsigned.dll" "$file"
rm -f "$work/unsigned.dll"
[ "$(stat -c %s "$file")" -eq "$bytes" ] || { echo "run_bench: $file is not $bytes bytes" >&2; exit 1; }
cat "$file" >/dev/null  # into the page cache

seconds_of() {  # whole-process wall time of a command, in seconds
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", (e - s) / 1e9 }'
}
openssl_sha256=$(seconds_of openssl dgst -sha256 "$file")
openssl_md5=$(seconds_of openssl dgst -md5 "$file")
# openssl's own RSA verify figures, machine-readable: +F2:index:bits:sign/s:verify/s
openssl_rsa=$(openssl speed -mr -seconds 1 rsa1024 rsa4096 2>/dev/null | grep '^+F2:' || true)

windows_path() { local p="Z:${1//\//\\}"; printf '%s' "$p"; }
ours=$("$root/scripts/wine-run" "$build/bin/signcheck_bench.exe" "$(windows_path "$file")" \
  "$(windows_path "$small")")
# One whole-process verification of the same file, Wine's start-up included.
verify_s=$(seconds_of "$root/scripts/wine-run" "$build/bin/signcheck.exe" verify \
  "$(windows_path "$file")")

python3 - "$bytes" "$openssl_sha256" "$openssl_md5" "$ours" "$openssl_rsa" "$verify_s" <<'PY'
import json, sys
size, sha_s, md5_s, ours, rsa = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), \
    json.loads(sys.argv[4]), sys.argv[5]
result = dict(ours)
result["signcheckVerifySeconds"] = round(float(sys.argv[6]), 2)
result["opensslSha256Seconds"] = round(sha_s, 2)
result["opensslMd5Seconds"] = round(md5_s, 2)
result["opensslSha256MBps"] = round(size / 1e6 / sha_s, 1)
result["opensslMd5MBps"] = round(size / 1e6 / md5_s, 1)
for line in rsa.splitlines():
    fields = line.split(":")
    bits, verify_per_s = int(fields[2]), float(fields[4])
    result[f"opensslRsa{bits}Us"] = round(1e6 / verify_per_s, 1)
# Every throughput figure against openssl's digest of the same kind (the resource walk is MD5).
against = {"sha256": result["opensslSha256MBps"], "md5": result["opensslMd5MBps"],
           "resource": result["opensslMd5MBps"]}
for key, value in ours.items():
    kind = next((k for k in against if key.startswith(k)), None)
    if key.endswith("MBps") and kind:
        result[key[:-len("MBps")] + "Ratio"] = round(value / against[kind], 2)
print(json.dumps(result))
PY
