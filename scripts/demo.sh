#!/usr/bin/env bash
# Lays out a demonstration suite installation in a Wine prefix of its own (build/demo-prefix),
# runs the launcher there three times and says in plain words what happened each time:
# the trusted run, a run with the base library altered by one byte, and a run with an unsigned
# repair library.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
bash scripts/setup-platform.sh

if [ ! -f build/CMakeCache.txt ]; then
  cmake --preset default >/dev/null
fi
cmake --build --preset default -- --no-print-directory -s >/dev/null

export WINEPREFIX="$root/build/demo-prefix"
run() { "$root/scripts/wine-run" "$@"; }
drive_c="$WINEPREFIX/drive_c"
run --prepare
# One wineserver for the whole demonstration: a new one counts as a restart and would carry
# out scheduled deletions before they could be shown.
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT

app_paths='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\kordel.exe'
session_manager='HKLM\System\CurrentControlSet\Control\Session Manager'
suite="$drive_c/Suite"
demo=build/bin/demo
log_unix="$drive_c/demo.log"

echo "Laying out the demonstration suite in $WINEPREFIX:"
rm -rf "$suite"
mkdir -p "$suite/vellis"
: >"$suite/Kordel.exe"
cp build/bin/ostra505.exe "$suite/vellis/ostra505.exe"
run reg add "$app_paths" /v Path /d 'C:\Suite' /reg:32 /f >/dev/null
echo '  C:\Suite\Kordel.exe           the suite main program (a stand-in; the launcher finds the suite by it)'
echo '  C:\Suite\TamselBase.dll       the demonstration base library, signed with the test keys; it'
echo '                                trusts a file that the launcher'"'"'s own verifier finds signed'
echo '  C:\Suite\vellis\ostra505.exe  the launcher'
echo '  C:\Suite\vellis\ostra505.dll  the demonstration repair library; do505 says when it runs'
echo '  App Paths\kordel.exe "Path" = C:\Suite  (32-bit registry view)'

pending() { run reg query "$session_manager" /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' | grep -o 'REG_MULTI_SZ.*' || true; }

# Runs the launcher once with the given base and repair libraries, and tells what they noted.
demo_run() {
  local title=$1 base=$2 repair=$3 status=0 before after
  cp "$base" "$suite/TamselBase.dll"
  cp "$repair" "$suite/vellis/ostra505.dll"
  rm -f "$log_unix"
  before=$(pending)
  OSTRA505_DEMO_LOG='C:\demo.log' run 'C:\Suite\vellis\ostra505.exe' || status=$?
  after=$(pending)
  echo
  echo "== $title"
  echo "Ran C:\\Suite\\vellis\\ostra505.exe: exit code $status."
  local bound=no called=no
  if [ -s "$log_unix" ]; then
    while IFS= read -r line; do
      echo "  $line"
      case $line in
        *"was bound"*) bound=yes ;;
        "do505 was called"*) called=yes ;;
      esac
    done < <(tr -d '\r' <"$log_unix")
  fi
  if [ $bound = no ]; then
    echo "  TamselBase.dll was not loaded: the launcher's own signature check refused it."
  fi
  if [ $called = no ]; then
    echo "  The trust gate refused the repair library, so it was not loaded and do505 was not called."
  fi
  if [ "$before" = "$after" ]; then
    echo "  No deletion was scheduled (the launcher runs from its \\vellis\\ folder)."
  else
    echo "  A deletion at the next restart was scheduled."
  fi
  if [ -n "${4:-}" ]; then
    echo "  Why: $4"
    # The same verifier as a command-line tool, asked about the file in question.
    echo "  signcheck.exe says: $(run "$root/build/bin/signcheck.exe" verify "$5" | tr -d '\r')"
  fi
}

altered=$(mktemp --suffix=.dll)
trap 'rm -f "$altered"; wineserver -k 2>/dev/null || true' EXIT
size=$(stat -c %s "$demo/TamselBase.dll")
offset=$((size / 2))
python3 tools/signer.py flip --offset "$offset" "$demo/TamselBase.dll" "$altered" >/dev/null

demo_run "The trusted run: both libraries signed with the test keys" \
  "$demo/TamselBase.dll" "$demo/ostra505.dll"
demo_run "The base library altered by one byte (offset $offset)" \
  "$altered" "$demo/ostra505.dll" \
  "the launcher recomputed the SHA-256 digest of TamselBase.dll; it no longer matches the one in
       its trailing signature block, so the verifier gives the file level 1 (a signature that
       does not verify) and the launcher does not load it. With no base library, nobody can
       vouch for the repair library." \
  'C:\Suite\TamselBase.dll'
demo_run "An unsigned repair library" \
  "$demo/TamselBase.dll" "$demo/unsigned/ostra505.dll" \
  "the base library was loaded and asked, found no maker's signature on ostra505.dll and said no." \
  'C:\Suite\vellis\ostra505.dll'

# Leave the demonstration prefix as it was, so the next run starts alike.
run reg delete "$session_manager" /v PendingFileRenameOperations /f >/dev/null 2>&1 || true
