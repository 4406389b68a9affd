#!/usr/bin/env bash
# Two computers syncing through one shared store, each a scripts/simulated-computer: its own
# host name, machine id, HOME and bindfs view of the store, so that a lock one takes through the
# kernel is invisible to the other, as between hosts on SMB or sshfs.
# Usage: two_computers_e2e.sh <orvu> <scripts/simulated-computer>
set -uo pipefail
orvu=$1 computer=$2
reason=$("$computer" --check) || { echo "SKIP: $reason" && exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export ORVU_LOCAL_LEASE_MS=2000
failures=0
check() { # what, then a command that must succeed
    if "${@:2}" >/dev/null 2>&1; then echo "ok: $1"; else echo "FAIL: $1" && ((failures++)); fi
}
on() { # computer, then the tool's arguments; the tool's pid is in $root/<computer>/pid
    HOME=$root/$1 XDG_DATA_HOME=$root/$1/data XDG_CONFIG_HOME=$root/$1/config "$computer" \
        "computer-$1" "$root/$1/machine-id" "$root/store" "$root/$1/view" "$root/$1/pid" \
        "$orvu" --server "file://$root/$1/view" "${@:2}"
}
sync_on() { on "$1" sync "$root/$1/folder" --json --resolve keep-both; }
start_slow_sync() { # computer, milliseconds per file; returns once it has pushed one
    ORVU_LOCAL_TRANSFER_DELAY_MS=$2 sync_on "$1" >"$root/$1/out" 2>&1 &
    for _ in $(seq 200); do grep -q '"push"' "$root/$1/out" && return; sleep 0.05; done
}
write_files() { # computer, prefix, count
    for i in $(seq "$3"); do echo "$2 $i from $1" >"$root/$1/folder/$2-$i.txt"; done
}
# After a sync on each side, both folders are equal and hold `count` files named prefix*.
converged() { # prefix, count
    sync_on a && sync_on b && sync_on a && diff -r -x .orvu "$root/a/folder" "$root/b/folder" &&
        test "$(find "$root/a/folder" -name "$1*" | wc -l)" = "$2"
}

mkdir -p "$root/store"
for c in a b; do
    mkdir -p "$root/$c/view" "$root/$c/folder"
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$root/$c/machine-id"
    on "$c" login --email ada@example.org --json >/dev/null 2>&1
    on "$c" login --verify "$(on "$c" admin mail ada@example.org)" --json >/dev/null
    check "computer $c joins the repo" on "$c" init "$root/$c/folder" --repo notes --json
done

# A computer killed mid-sync frees the repo within the lease, and nothing it sent is lost.
write_files a killed 20
start_slow_sync a 200
kill -9 "$(cat "$root/a/pid")" && wait
killed=$(date +%s%N)
write_files b left 3
check "a killed computer's lock clears by itself" sync_on b
check "... within the lease" test $((($(date +%s%N) - killed) / 1000000)) -lt 6000
check "a killed sync loses nothing" converged "[kl]" 23

# A computer stopped (a laptop asleep) past the lease blocks nobody; when it wakes up its
# commit is refused instead of replacing the other's, and nothing of either side is lost.
write_files a slept 20
write_files b awake 5
start_slow_sync a 200
kill -STOP "$(cat "$root/a/pid")"
check "a sleeping computer's lock clears by itself" sync_on b
kill -CONT "$(cat "$root/a/pid")" && wait
check "the woken sync gives up and says so" grep -q 'stopped holding the repo' "$root/a/out"
check "a sleeping computer loses nothing" converged "[sa][lw]" 25

for round in 1 2 3; do
    write_files a "round$round-a" 30
    write_files b "round$round-b" 30
    sync_on a >/dev/null & sync_on b >/dev/null & wait
done
check "concurrent pushes lose nothing" converged round 180
exit $((failures > 0))
