#!/bin/bash
# window_memory.sh QUILLMERE QUILLMERE-SERVER [RUNS]: the resident memory (VmRSS) of the window at
# start and after one check of an open port, in a network namespace with loopback only (no
# router answers), under Xvfb, driven with xdotool. Needs root, Xvfb, xdotool and imagemagick
# (apt-get install xvfb xdotool imagemagick). A figure, not a test.
set -u
app=$1 server=$2 runs=${3:-3}
ns=qm-winmem-$$
ip netns add $ns; ip -n $ns link set lo up
trap 'ip netns del $ns 2>/dev/null; kill $xpid 2>/dev/null' EXIT
Xvfb :77 -screen 0 1280x1024x24 >/dev/null 2>&1 & xpid=$!
sleep 1
for r in $(seq "$runs"); do
  home=$(mktemp -d)
  mkdir -p $home/.config/Quillmere
  ip netns exec $ns "$server" --listen 127.0.0.1:18777 --allow-private >/dev/null 2>&1 & spid=$!
  sleep 0.5
  ip netns exec $ns env HOME=$home XDG_CONFIG_HOME=$home/.config DISPLAY=:77 QUILLMERE_CHECK_SERVER=127.0.0.1:18777 "$app" >/dev/null 2>&1 & apid=$!
  sleep 4
  # the first start asks about the check server: accept it
  DISPLAY=:77 xdotool key Return >/dev/null 2>&1; sleep 1
  start=$(awk '/VmRSS/{print $2}' /proc/$apid/status)
  wid=$(DISPLAY=:77 xdotool search --pid $apid --onlyvisible --name . 2>/dev/null | head -1)
  DISPLAY=:77 xdotool mousemove --window $wid 432 35 click --repeat 3 1 type 8080 >/dev/null 2>&1
  DISPLAY=:77 xdotool mousemove --window $wid 240 110 click 1 >/dev/null 2>&1
  sleep 12
  after=$(awk '/VmRSS/{print $2}' /proc/$apid/status)
  DISPLAY=:77 import -window root /tmp/window-memory-$r.png 2>/dev/null
  echo "run $r: start ${start} KiB, after check ${after} KiB"
  kill $apid $spid; wait $apid $spid 2>/dev/null
  rm -rf $home
done
