#!/usr/bin/env bash
# Builds the launcher, its tools and its tests for 32-bit Windows and runs every test under Wine.
# Installs what is missing first (as root on a fresh Debian 12 machine). Exits 0 only when all pass.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup-platform.sh

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! cmake --preset default >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
cmake --build --preset default -- --no-print-directory -s
ctest --preset default
