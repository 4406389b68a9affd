#!/usr/bin/env bash
# Two computers syncing through one shared store folder. Each orvu-local runs in its own UTS
# and mount namespace with its own host name, machine id and HOME, and sees the store through
# its own bindfs view, so a lock taken through the kernel on one view is invisible on the
# other, as between two hosts on SMB or sshfs.
# Usage: two_computers_e2e.sh <orvu> <scripts/simulated-computer>
set -uo pipefail
orvu=$1 computer=$2
reason=$("$computer" --check) || { echo "SKIP: $reason" && exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export ORVU_LOCAL_LEASE_MS=2000
mkdir -p "$root/store"
for c in a b; do
    mkdir -p "$root/$c/home" "$root/$c/view" "$root/$c/folder"
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$root/$c/machine-id"
done
failures=0
check() { # description, then the command that must succeed
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAIL: $what" && failures=$((failures + 1)); fi
}

# Runs the tool as computer $1 (see scripts/simulated-computer); its pid is in $root/$1/pid.
on() {
    HOME=$root/$1/home XDG_DATA_HOME=$root/$1/home/data XDG_CONFIG_HOME=$root/$1/home/config \
        "$computer" "computer-$1" "$root/$1/machine-id" "$root/store" "$root/$1/view" \
        "$root/$1/pid" "$orvu" --server "file://$root/$1/view" "${@:2}"
}
sync_on() { on "$1" sync "$root/$1/folder" --json --resolve keep-both; }
# Starts a slow sync of computer $1 in the background and returns once it has pushed a file.
start_slow_sync() {
    : >"$root/$1/out"
    ORVU_LOCAL_TRANSFER_DELAY_MS=$2 sync_on "$1" >"$root/$1/out" 2>&1 &
    for _ in $(seq 200); do grep -q '"type":"push"' "$root/$1/out" && return; sleep 0.05; done
}
write_files() { # computer, prefix, count
    for i in $(seq "$3"); do echo "$2 $i from $1" >"$root/$1/folder/$2-$i.txt"; done
}
same_folders() { diff -r --exclude=.orvu "$root/a/folder" "$root/b/folder" >/dev/null; }
count_files() { find "$root/$1/folder" -name "$2*.txt" | wc -l; }
settle() { sync_on a >/dev/null && sync_on b >/dev/null && sync_on a >/dev/null; }

for c in a b; do
    on "$c" login --email ada@example.org --json >/dev/null
    on "$c" login --verify "$(on "$c" admin mail ada@example.org)" --json >/dev/null
    check "computer $c joins the repo" on "$c" init "$root/$c/folder" --repo notes --json
done

# While one computer syncs, the other is told who holds the repo; once it is killed, the repo
# is free again within the lease, and nothing it was sending is lost.
write_files a killed 20
start_slow_sync a 700
busy=$(sync_on b)
check "a held repo names the computer that holds it" \
    grep -q 'Another sync of this repo is still running on computer-a' <<<"$busy"
kill -9 "$(cat "$root/a/pid")"
killed=$(date +%s%N)
wait
write_files b after-kill 3
check "the killed computer's lock clears by itself" sync_on b
check "... within the lease" test $((($(date +%s%N) - killed) / 1000000)) -lt 5000
settle
check "a killed sync loses nothing" test "$(count_files b killed)" -eq 20
check "both folders end identical after the kill" same_folders

# A computer stopped (a laptop asleep) past the lease blocks nobody; when it wakes up its
# commit is refused instead of overwriting the other's, and nothing of either side is lost.
write_files a slept 20
write_files b awake 5
start_slow_sync a 200
kill -STOP "$(cat "$root/a/pid")"
check "a sleeping computer's lock clears by itself" sync_on b
kill -CONT "$(cat "$root/a/pid")"
wait
check "the woken sync gives up and says so" grep -q 'stopped holding the repo' "$root/a/out"
settle
check "nothing of either side is lost" \
    test "$(count_files b slept)$(count_files a awake)" = 205
check "both folders end identical after the sleep" same_folders

# Pushes from both computers at once lose nothing.
for round in 1 2 3; do
    write_files a "round$round-a" 30
    write_files b "round$round-b" 30
    sync_on a >/dev/null &
    sync_on b >/dev/null &
    wait
done
settle
check "concurrent pushes lose nothing" test "$(count_files a round)$(count_files b round)" = 180180
check "both folders end identical after concurrent pushes" same_folders
exit $((failures > 0))
