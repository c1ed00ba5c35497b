#!/usr/bin/env bash
# Takes docs/screenshot-nat.png: the findings window after a check and "Find NAT type", against
# quillmere-server's check and STUN listener on loopback (127.0.0.1:3478, alternate 127.0.0.2).
#
#   sudo bash tools/screenshot-nat.sh [BUILD_DIR] [OUTPUT]
#
# Everything runs in a network namespace of its own with only loopback in it (so nothing reaches
# a real router and port 3478 is free), on an Xvfb display, driven by xdotool. Needs root (ip
# netns), Xvfb, xdotool and ImageMagick's import. The clicks go to places in the windows as laid
# out by the program: the main window at the screen's top-left corner, the findings window beside
# it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
output=${2:-$root/docs/screenshot-nat.png}
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
case "$output" in /*) ;; *) output="$PWD/$output" ;; esac
for tool in Xvfb xdotool import ip; do
    command -v "$tool" >/dev/null || { echo "screenshot-nat: $tool is missing" >&2; exit 1; }
done

ns=qm-natshot-$$
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip -n "$ns" link set lo up
in_ns() { ip netns exec "$ns" "$@"; }

display=
for n in $(seq 90 120); do
    [ -e "/tmp/.X$n-lock" ] || { display=:$n; break; }
done
[ -n "$display" ] || { echo "screenshot-nat: no free display" >&2; exit 1; }
# Started straight from ip netns exec (which becomes the program), so that $! is the program.
ip netns exec "$ns" Xvfb "$display" -screen 0 1280x640x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
ip netns exec "$ns" "$build/server/quillmere-server" --listen 127.0.0.1:18080 --allow-private \
    --stun-listen 127.0.0.1:3478 --stun-alternate 127.0.0.2 >"$work/server.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do
    in_ns xdotool getmouselocation >/dev/null 2>&1 && break
    sleep 0.1
done

# Settings of its own, in English, and the server named by the environment.
ip netns exec "$ns" env HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" LANG=C.UTF-8 \
    QUILLMERE_CHECK_SERVER=127.0.0.1:18080 "$build/ui/quillmere" >"$work/quillmere.log" 2>&1 &
pids+=($!)

window_of() {
    local id
    for _ in $(seq 100); do
        id=$(in_ns xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1) || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    echo "screenshot-nat: no window named $1" >&2
    return 1
}
click_in() { # window x y
    in_ns xdotool mousemove --window "$1" "$2" "$3" click 1
}
# Waits until the server's log has a line matching $1, for at most 10 s.
await_log() {
    for _ in $(seq 100); do
        grep -q "$1" "$work/server.log" && return 0
        sleep 0.1
    done
    echo "screenshot-nat: the server logged no $1" >&2
    return 1
}

main=$(window_of 'Quillmere by .* version')
sleep 1
# Port 25565 over TCP, then Check Me. The window moves its top edge once activated: places are
# the window's own.
click_in "$main" 414 35
in_ns xdotool key End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
in_ns xdotool type --delay 80 25565
click_in "$main" 230 110
await_log 'outcome='
sleep 2 # the router lookup (nothing answers in the namespace) and the way in from the LAN
click_in "$main" 230 136 # Router...
findings=$(window_of '^Quillmere Router$')
sleep 1
click_in "$findings" 48 322 # Find NAT type, below the sections above as they stand here
await_log 'protocol=stun'
sleep 1
in_ns import -window "$findings" "$output"
echo "$output"
