#!/usr/bin/env bash
# Desktop figures of the running app, in a headless desktop (Xvfb 1280×800 and the trayer tray
# host) on the offline tool, as medians over RUNS starts:
#   embed_ms     start → tray icon embedded and viewable (goal ≤ 100 ms)
#   rss_mib      resident memory 10 s after start, signed in with 20 bound repos (goal ≤ 40)
#   cpu_ms/min   CPU time over the idle minute that follows (goal ≤ 5)
#   wakeups/min  context switches of all threads over that minute (goal ≤ 2)
#   panel_ms     click on the icon → panel painted, with 20 repos (goal ≤ 50)
#
#   bench/desktop/run.sh [RUNS=5] [IDLE_WINDOW_S=60]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
runs=${1:-5} window=${2:-60}
if [ -z "${ORVU_BENCH_INSIDE:-}" ]; then
    cmake --build --preset default --target orvutray orvu_local >/dev/null
    n=80; while [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    exec env ORVU_BENCH_INSIDE=1 "$root/scripts/headless-desktop" --display :$n -- "$0" "$@"
fi
app=$root/build/default/bin/orvutray
orvu=$root/build/default/share/orvutray/orvu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -O2 -o "$work/traywait" "$here/traywait.c" -lX11
gcc -O2 -o "$work/panelwait" "$here/panelwait.c" -lX11

# Signed in, with 20 repos of one file each, bound and synced.
"$orvu" admin seed-demo >/dev/null
"$orvu" login --email demo@orvu.io --json >/dev/null 2>&1
"$orvu" login --verify "$("$orvu" admin mail demo@orvu.io)" --json >/dev/null
for i in $(seq 20); do
    folder=$HOME/repos/r$i
    "$orvu" init "$folder" --repo "r$i" --json >/dev/null
    echo "file $i" >"$folder/readme.txt"
    "$orvu" sync "$folder" --json --resolve keep-both >/dev/null
done
mkdir -p "$XDG_CONFIG_HOME/Orvu"
python3 - "$HOME/repos" >"$XDG_CONFIG_HOME/Orvu/OrvuTray.conf" <<'PY'
import json, os, sys
root = sys.argv[1]
bindings = [{"repoId": json.load(open(f"{root}/r{i}/.orvu/config"))["repoId"], "slug": f"r{i}",
             "displayName": f"r{i}", "folderPath": f"{root}/r{i}", "needsRelink": False}
            for i in range(1, 21)]
value = json.dumps(bindings).replace('"', '\\"')
print(f'[General]\nio.orvu.tray.repoBindings="@ByteArray({value})"')
print("io.orvu.tray.repoBindings.migrated=true\nio.orvu.tray.userEmail=demo@orvu.io")
PY

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
for run in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$work/traywait" "$work/tray" 10 "$app" &
    traywait=$!
    until [ -s "$work/tray" ]; do sleep 0.05; done
    read -r pid _ embed icon <"$work/tray"
    rm "$work/tray"
    idle=$(python3 "$here/idlewatch.py" "$pid" "$start" 10 "$window")
    rss=$(echo "$idle" | sed -nE 's/^t10 .* rss_kb=([0-9]+).*/\1/p')
    ctxsw=$(echo "$idle" | sed -nE 's/^win ctxsw_all=([0-9]+).*/\1/p')
    cpu_ns=$(echo "$idle" | sed -nE 's/^win .*run_ns_all=([0-9]+).*/\1/p')
    eval "$(xwininfo -id "$icon" | awk '/Absolute upper-left X/ {print "x=" $4} /Absolute upper-left Y/ {print "y=" $4}')"
    read -r _ painted < <("$work/panelwait" $((x + 8)) $((y + 8)) 360)
    xdotool click 1
    kill "$pid"
    wait "$traywait"
    echo "run $run: embed_ms=$embed rss_mib=$((rss / 1024)) cpu_ms/min=$((cpu_ns * 60 / window / 1000000)) wakeups/min=$((ctxsw * 60 / window)) panel_ms=$painted"
    echo "$embed $rss $cpu_ns $ctxsw $painted" >>"$work/figures"
    sleep 1
done
col() { awk -v c="$1" '{print $c}' "$work/figures" | median; }
echo "median of $runs: embed_ms=$(col 1) rss_mib=$(awk "BEGIN {printf \"%.1f\", $(col 2) / 1024}")" \
    "cpu_ms/min=$(awk "BEGIN {printf \"%.2f\", $(col 3) * 60 / $window / 1e6}")" \
    "wakeups/min=$(awk "BEGIN {printf \"%.1f\", $(col 4) * 60 / $window}") panel_ms=$(col 5)"
