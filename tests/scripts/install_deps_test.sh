#!/usr/bin/env bash
# scripts/install-deps.sh while another program holds the package manager's
# locks. Nothing is installed: stand-ins for apt-get, dpkg-query and id on
# PATH report every package missing and behave as apt does with its locks,
# which the test holds with flock: "apt-get update" fails at once while the
# lists lock is held; "apt-get install" waits for dpkg's lock only as long as
# DPkg::Lock::Timeout allows.
#   install_deps_test.sh PATH/TO/install-deps.sh
set -uo pipefail
script="$1"
work="$(mktemp -d)"
holders=()
# Ends the lock holders; a lock is free once its holder has gone.
release() {
  for pid in "${holders[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  holders=()
}
trap 'release; rm -rf "$work"' EXIT

mkdir -p "$work/bin" "$work/locks"
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
exit 1
STUB
cat >"$work/bin/id" <<'STUB'
#!/bin/sh
echo 0
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
# Logs each call; fails as apt does when a lock is held, or, installing with
# FAKE_APT_FAIL set, as apt does for a package it does not know.
echo "$*" >>"$FAKE_APT_LOG"
timeout=0
while [ $# -gt 0 ]; do
  case "$1" in
    -o) case "$2" in DPkg::Lock::Timeout=*) timeout="${2#*=}" ;; esac; shift 2 ;;
    update) lock=lists; wait_s=0; shift ;;
    install) lock=dpkg; wait_s="$timeout"; shift ;;
    *) shift ;;
  esac
done
if ! flock -w "$wait_s" "$FAKE_APT_LOCKS/$lock" true; then
  echo "E: Could not get lock /var/lib/$lock/lock. It is held by process 1 (apt-get)" >&2
  echo "E: Unable to lock directory /var/lib/$lock/" >&2
  exit 100
fi
if [ "$lock" = dpkg ] && [ -n "${FAKE_APT_FAIL:-}" ]; then
  echo "E: Unable to locate package $FAKE_APT_FAIL" >&2
  exit 100
fi
exit 0
STUB
chmod +x "$work/bin/"*
touch "$work/locks/lists" "$work/locks/dpkg"
mkfifo "$work/never"

passed=0
failed=0
check() {  # NAME CONDITION...
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name" >&2; fi
}

# Holds lock NAME for SECONDS in a background shell that starts no other
# process (it waits with read on a pipe that never gets data). Returns once
# the lock is held, however long a loaded machine takes to get there.
hold() {
  local ready="$work/held-$1"
  rm -f "$ready"
  ( exec 9>>"$work/locks/$1"; flock 9; : >"$ready"; read -r -t "$2" <>"$work/never" ) &
  holders+=($!)
  while [ ! -e "$ready" ]; do sleep 0.05; done
}

# Runs the script with the stand-ins and a lock bound of BOUND seconds;
# sets rc, seconds and calls (the stand-in apt-get's log lines).
run_script() {
  local bound="$1" start
  : >"$work/apt.log"
  start=$(date +%s)
  PATH="$work/bin:$PATH" FAKE_APT_LOG="$work/apt.log" FAKE_APT_LOCKS="$work/locks" VELTO_APT_LOCK_WAIT="$bound" \
    bash "$script" build >"$work/out" 2>&1
  rc=$?
  seconds=$(( $(date +%s) - start ))
  mapfile -t calls <"$work/apt.log"
}

# The lists lock of "apt-get update", held for 3 s: the script waits for it.
hold lists 3
run_script 60
check "waits for the lists lock" [ "$rc" -eq 0 ]
check "tries update again" [ "$(grep -c ' update ' "$work/apt.log")" -ge 2 ]
check "says it waits" grep -q "waiting up to 60 s" "$work/out"
check "installs after the update" [ "$(grep -c ' install ' "$work/apt.log")" -eq 1 ]

# dpkg's lock, held for 3 s: apt is told to wait for it.
hold dpkg 3
run_script 60
check "waits for dpkg's lock" [ "$rc" -eq 0 ]
check "passes the bound to apt" grep -q '^-o DPkg::Lock::Timeout=[0-9]* install ' "$work/apt.log"

# A lock held longer than the bound: the script gives up with apt's status.
hold lists 20
run_script 3
check "gives up after the bound" [ "$rc" -eq 100 ]
check "gives up in time" [ "$seconds" -le 10 ]
check "shows apt's error" grep -q "Could not get lock" "$work/out"
release

# Another failure is not waited for.
FAKE_APT_FAIL=cmake run_script 60
check "fails on another error" [ "$rc" -eq 100 ]
check "fails at once" [ "$seconds" -le 2 ]
check "shows that error" grep -q "Unable to locate package cmake" "$work/out"
check "no second try" [ "${#calls[@]}" -eq 2 ]

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
