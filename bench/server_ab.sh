#!/usr/bin/env bash
# Compares builds of quillmere-server side by side: each is started (one after the other, all
# running at once), then bench/server_load runs against each in turn, ROUNDS times, and every run
# prints the rate and the server's CPU time a check (utime + stime from /proc/PID/stat over the
# run, divided by the checks it answered). CPU time a check moves less than the rate on a machine
# shared with other work; compare medians. It never fails on a figure.
#
#   bash bench/server_ab.sh BUILD_DIR SERVER[,OPTION...]...
#
# e.g. bash bench/server_ab.sh build /tmp/before/quillmere-server build/server/quillmere-server
# Settings: ROUNDS=5 DURATION=4 THREADS=1 (the servers' --threads) CONNECTIONS=64. As root with
# unshare it runs in a network namespace of its own, like server_bench.sh.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:?usage: server_ab.sh BUILD_DIR SERVER[,OPTION...]...}
shift
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac
load=$build_dir/bench/server_load
rounds=${ROUNDS:-5} duration=${DURATION:-4} threads=${THREADS:-1} connections=${CONNECTIONS:-64}

if [ -z "${QUILLMERE_BENCH_NETNS:-}" ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
    exec unshare --net -- env QUILLMERE_BENCH_NETNS=1 bash "${BASH_SOURCE[0]}" "$build_dir" "$@"
fi
[ -n "${QUILLMERE_BENCH_NETNS:-}" ] && ip link set lo up

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-ab.XXXXXX")
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$tmp"' EXIT
ports=()
for i in $(seq 0 $(($# - 1))); do
    server=${*:i+1:1}
    IFS=, read -r -a parts <<<"$server"
    "${parts[0]}" --listen 127.0.0.1:0 --allow-private --client-checks 0 --client-rate 0 \
        --client-connections 0 --ping off --max-checks $((connections * 4)) \
        --threads "$threads" "${parts[@]:1}" >/dev/null 2>"$tmp/$i.err" &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q "listening on" "$tmp/$i.err" && break
        sleep 0.1
    done
    ports+=("$(sed -n 's/.*listening on .*:\([0-9]*\)$/\1/p' "$tmp/$i.err" | head -n 1)")
    [ -n "${ports[$i]}" ] || { echo "server_ab: $server did not start" >&2; cat "$tmp/$i.err" >&2; exit 1; }
done

hz=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
for round in $(seq "$rounds"); do
    for i in "${!pids[@]}"; do
        before=$(cpu "${pids[$i]}")
        out=$("$load" "127.0.0.1:${ports[$i]}" --connections "$connections" --duration "$duration" \
            --threads 2 --probe refused --expect-done)
        after=$(cpu "${pids[$i]}")
        awk -v name="${*:i+1:1}" -v round="$round" -v d="$duration" -v ticks=$((after - before)) \
            -v hz="$hz" -v rate="$(sed -n 's/^RESULT .*rate=\([^ ]*\).*/\1/p' <<<"$out")" \
            -v errors="$(sed -n 's/^RESULT .*errors=\([^ ]*\).*/\1/p' <<<"$out")" \
            'BEGIN {printf "%s round %d: %.0f checks/s, %.1f us of server CPU a check, %s errors\n",
                name, round, rate, 1e6 * ticks / hz / (rate * d), errors}'
    done
done
