#!/usr/bin/env bash
# Lays out a demonstration suite installation in a Wine prefix of its own (build/demo-prefix),
# runs the launcher there and says what happened.
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
# out the scheduled deletions before they could be shown.
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT

app_paths='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\kordel.exe'
session_manager='HKLM\System\CurrentControlSet\Control\Session Manager'
log_unix="$drive_c/Suite/do505.log"

echo "Laying out the demonstration suite in $WINEPREFIX:"
mkdir -p "$drive_c/Suite/vellis" "$drive_c/users/Public/Downloads"
: >"$drive_c/Suite/Kordel.exe"
cp build/bin/ostra505.exe "$drive_c/Suite/vellis/ostra505.exe"
cp build/bin/repair_double.dll "$drive_c/Suite/vellis/ostra505.dll"
cp build/bin/ostra505.exe "$drive_c/users/Public/Downloads/ostra505.exe"
run reg add "$app_paths" /v Path /d 'C:\Suite' /reg:32 /f >/dev/null
echo '  C:\Suite\Kordel.exe                     (the suite main program, a stand-in)'
echo '  C:\Suite\vellis\ostra505.exe            (the launcher)'
echo '  C:\Suite\vellis\ostra505.dll            (a demonstration repair library; it logs each do505 call)'
echo '  App Paths\kordel.exe "Path" = C:\Suite  (32-bit registry view)'

pending() { run reg query "$session_manager" /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' | grep -o 'REG_MULTI_SZ.*' || true; }

# The paths in a PendingFileRenameOperations listing, one per line (its entries contain no
# blanks here).
pending_paths() { printf '%s' "${1#REG_MULTI_SZ}" | sed 's/\\0/\n/g' | sed 's/^ *//; s/^\\??\\//' | grep -v '^$' || true; }

# Runs the launcher from a Windows path and reports what a user could see.
demo_run() {
  local launcher=$1
  rm -f "$log_unix"
  local before after status=0
  before=$(pending)
  OSTRA505_DOUBLE_DO505_LOG='C:\Suite\do505.log' run "$launcher" || status=$?
  after=$(pending)
  echo
  echo "Ran $launcher: exit code $status."
  if [ -s "$log_unix" ]; then
    echo "  The repair library was trusted and loaded."
    while read -r first second module; do
      echo "  do505 was called with $first and $second, from $module."
    done < <(tr -d '\r' <"$log_unix")
  else
    echo "  The trust gate refused the repair library, so it was not loaded and do505 was not called."
    echo "  (Under Wine there is no self-protection driver, and the route through the suite base"
    echo "  library TamselBase.dll is not built yet; until it is, the gate says no.)"
  fi
  if [ "$before" != "$after" ]; then
    local path
    for path in $(pending_paths "$after"); do
      grep -qxF -- "$path" <(pending_paths "$before") && continue
      echo "  Its deletion at the next restart was scheduled: $path"
    done
  else
    echo "  No deletion was scheduled."
  fi
}

demo_run 'C:\Suite\vellis\ostra505.exe'
demo_run 'C:\users\Public\Downloads\ostra505.exe'

# Leave the demonstration prefix as it was, so the next run starts alike.
run reg delete "$session_manager" /v PendingFileRenameOperations /f >/dev/null 2>&1 || true
