#!/usr/bin/env bash
# Runs signcheck_bench.exe and `openssl dgst` on the same 256 MiB file in the page cache and prints
# one JSON object with both sets of figures and their ratios (ours / openssl's).
#   tests/bench/run_bench.sh [BUILD_DIR]
# openssl is timed as a whole process; the benchmark times inside its process.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
export WINE_BUILD_DIR=$build
bytes=$((256 * 1024 * 1024))

file=$(mktemp "${TMPDIR:-/tmp}/signcheck_bench.XXXXXX")
trap 'rm -f "$file"' EXIT
head -c "$bytes" /dev/urandom >"$file"
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

windows_path="Z:${file//\//\\}"
ours=$("$root/scripts/wine-run" "$build/bin/signcheck_bench.exe" "$windows_path")

python3 - "$bytes" "$openssl_sha256" "$openssl_md5" "$ours" "$openssl_rsa" <<'PY'
import json, sys
size, sha_s, md5_s, ours, rsa = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), \
    json.loads(sys.argv[4]), sys.argv[5]
result = dict(ours)
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
