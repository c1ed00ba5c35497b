#!/usr/bin/env bash
# Runs quillmere-check against quillmere-server through a dual-stack home router built from Linux
# network namespaces: IPv4 through NAT with port forwards, IPv6 routed without NAT through a
# firewall that drops what comes in unless a pinhole lets it through.
#
#   internet   quillmere-server on 198.51.100.1 and 2001:db8:ffff::1, port 80 ("checkserver");
#      |       routes 2001:db8:100::/56 to the router
#   router     wan 203.0.113.2 and 2001:db8:ff00::2; br-lan 192.168.77.1 and 2001:db8:100:1::1;
#      |       masquerades IPv4 and forwards the ports a case asks for; forwards IPv6 as it is,
#      |       inbound only through the pinholes a case opens
#   pc 192.168.77.10, 2001:db8:100:1::10 (runs quillmere-check)
#   laptop 192.168.77.30, no global IPv6 address
#
# The cases: both families open; IPv6 closed by the router's firewall; IPv6 open where IPv4 is
# not; a computer without IPv6; -6 alone; --service against a real TCP server, forwarded and not;
# and --watch over a forward that is removed while it runs, with --on-change.
#
# Usage: [TIMING_RUNS=N] dual_stack.sh QUILLMERE_CHECK QUILLMERE_SERVER
# Needs root, `ip netns` (iproute2), nft (nftables), socat, jq and sysctl (procps); where one is
# missing every case is reported SKIPPED and the script exits 77.
# Exit status: 0 every case passed, 1 a case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=dual_stack
readonly case_names=(
    "both families open"
    "ipv6 closed by the firewall"
    "ipv6 open, ipv4 not forwarded"
    "computer without ipv6"
    "ipv6 alone (-6)"
    "service forwarded"
    "service not forwarded"
    "watch a forward removed"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

[ $# -eq 2 ] || { say "usage: $0 QUILLMERE_CHECK QUILLMERE_SERVER" >&2; exit 64; }
check_bin=$1
server_bin=$2
for bin in "$check_bin" "$server_bin"; do
    [ -x "$bin" ] || { say "$0: not an executable program: $bin" >&2; exit 64; }
done

prepare nft:nftables socat:socat jq:jq ss:iproute2

# --- The network --------------------------------------------------------------------------------

readonly ns_inet=$run_id-internet ns_router=$run_id-router ns_pc=$run_id-pc ns_laptop=$run_id-laptop
for ns in "$ns_inet" "$ns_router" "$ns_pc" "$ns_laptop"; do new_namespace "$ns"; done

readonly pc4=192.168.77.10 pc6=2001:db8:100:1::10 external4=203.0.113.2

ip -n "$ns_inet" link add isp type veth peer name wan netns "$ns_router"
ip -n "$ns_router" link add br-lan type bridge
ip -n "$ns_router" link add lan-pc type veth peer name eth0 netns "$ns_pc"
ip -n "$ns_router" link add lan-laptop type veth peer name eth0 netns "$ns_laptop"
ip -n "$ns_router" link set lan-pc master br-lan
ip -n "$ns_router" link set lan-laptop master br-lan

# nodad: the addresses are usable at once, not after duplicate address detection.
ip -n "$ns_inet" addr add 198.51.100.1/24 dev isp
ip -n "$ns_inet" addr add 203.0.113.1/24 dev isp
ip -n "$ns_inet" addr add 2001:db8:ffff::1/64 dev isp nodad
ip -n "$ns_inet" addr add 2001:db8:ff00::1/64 dev isp nodad
ip -n "$ns_inet" link set isp up
ip -n "$ns_inet" route add 2001:db8:100::/56 via 2001:db8:ff00::2

ip -n "$ns_router" addr add "$external4/24" dev wan
ip -n "$ns_router" addr add 2001:db8:ff00::2/64 dev wan nodad
ip -n "$ns_router" addr add 192.168.77.1/24 dev br-lan
ip -n "$ns_router" addr add 2001:db8:100:1::1/64 dev br-lan nodad
for dev in wan br-lan lan-pc lan-laptop; do ip -n "$ns_router" link set "$dev" up; done
ip -n "$ns_router" route add default via 203.0.113.1
ip -n "$ns_router" -6 route add default via 2001:db8:ff00::1
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1
in_ns "$ns_router" sysctl -qw net.ipv6.conf.all.forwarding=1

ip -n "$ns_pc" addr add "$pc4/24" dev eth0
ip -n "$ns_pc" addr add "$pc6/64" dev eth0 nodad
ip -n "$ns_laptop" addr add 192.168.77.30/24 dev eth0
for ns in "$ns_pc" "$ns_laptop"; do
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add default via 192.168.77.1
done
ip -n "$ns_pc" -6 route add default via 2001:db8:100:1::1

# Both hosts name the server "checkserver"; the laptop, with no global IPv6 address, gets only
# its IPv4 address from the name, as a host without IPv6 does.
for ns in "$ns_pc" "$ns_laptop"; do
    printf '198.51.100.1 checkserver\n2001:db8:ffff::1 checkserver\n' | namespace_etc_file "$ns" hosts
done

nft_error=$(in_ns "$ns_router" nft add table ip probe 2>&1) ||
    skip_all "nftables does not work here: ${nft_error//$'\n'/ }"
in_ns "$ns_router" nft delete table ip probe
in_ns "$ns_router" nft -f - <<'EOF'
table ip quillmere {
    chain port_forwards { }
    chain prerouting {
        type nat hook prerouting priority dstnat; policy accept;
        iifname "wan" jump port_forwards
    }
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "wan" ip saddr 192.168.77.0/24 masquerade
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        ct state established,related accept
        iifname "br-lan" oifname "wan" accept
        iifname "wan" oifname "br-lan" ct status dnat accept
    }
}
table ip6 quillmere6 {
    chain pinholes { }
    chain forward {
        type filter hook forward priority filter; policy drop;
        ct state established,related accept
        iifname "br-lan" oifname "wan" accept
        icmpv6 type { echo-request, destination-unreachable, packet-too-big, time-exceeded, parameter-problem } accept
        iifname "wan" oifname "br-lan" jump pinholes
    }
}
EOF

router_nft() { in_ns "$ns_router" nft "$@"; }
forward() { # PORT: TCP to pc over IPv4
    router_nft flush chain ip quillmere port_forwards
    router_nft add rule ip quillmere port_forwards tcp dport "$1" dnat to "$pc4:$1"
}
no_forwards() { router_nft flush chain ip quillmere port_forwards; }
pinhole() { # PORT: TCP to pc over IPv6
    router_nft flush chain ip6 quillmere6 pinholes
    router_nft add rule ip6 quillmere6 pinholes ip6 daddr "$pc6" tcp dport "$1" accept
}
no_pinholes() { router_nft flush chain ip6 quillmere6 pinholes; }

start_check_server "$ns_inet" "$server_bin" 198.51.100.1 '[2001:db8:ffff::1]'

# --- One check ----------------------------------------------------------------------------------

last_run() { say "run ${#runs[@]}"; }

# Runs quillmere-check --json (with --text: without it) on HOST_NS with ARGS against
# "checkserver". Sets out, status and seconds.
run_on() { # HOST_NS [--text] ARGS...
    local ns=$1 started=${EPOCHREALTIME/./} format=(--json)
    shift
    if [ "$1" = --text ]; then
        format=()
        shift
    fi
    status=0
    timeout -k 2 40 ip netns exec "$ns" "$check_bin" --server checkserver --timeout 10 \
        --no-router "${format[@]}" "$@" >"$work/out" 2>"$work/err" || status=$?
    out=$(<"$work/out")
    seconds=$(seconds_since "$started")
    runs+=("$(printf '%-28s exit %d  %5ss' "$*" "$status" "$seconds")")
    cp "$work/out" "$work/out.${#runs[@]}"
    cp "$work/err" "$work/err.${#runs[@]}"
}
run_check() { run_on "$ns_pc" "$@"; }

expect_line() { # LINE: a whole line of the last run's stdout
    grep -qxF -- "$1" <<<"$out" || problem "$(last_run): no line: $1"
}

expect_contains() { # FILTER TEXT: the string FILTER gives contains TEXT
    local value
    value=$(json_value "$1")
    [[ "$value" == *"$2"* ]] || problem "$(last_run): $1 is $value, expected it to contain: $2"
}

failure_details() {
    say "    --- quillmere-server stderr (last lines)"
    tail -n 5 "$server_err" | sed 's/^/    /'
}

# --- The cases ----------------------------------------------------------------------------------

# 1. IPv4 forwarded to pc and an IPv6 pinhole to pc: both open, and the IPv6 line names the
#    address the server reached.
begin_case
forward 4711
pinhole 4711
run_check 4711
expect_status 0
expect_json .family '"ipv4"'
expect_json .verdict '"open-this-computer"'
expect_json .externalIp.address "\"$external4\""
expect_json .ipv6.verdict '"open-this-computer"'
expect_json .ipv6.exitStatus 0
expect_json .ipv6.externalIp.address "\"$pc6\""
expect_json .ipv6.status.text '"Your port is OPEN on this computer over IPv6!"'
run_check --text 4711
expect_status 0
expect_line "Status: Your port is OPEN on this computer!"
expect_line "IPv6: Your port is OPEN on this computer over IPv6! ($pc6)"
end_case

# 2. IPv4 forwarded, no pinhole: IPv4 open; IPv6 not open, and the text points at the router's
#    IPv6 firewall, not at forwarding.
begin_case
forward 4712
no_pinholes
run_check 4712
expect_status 0
expect_json .verdict '"open-this-computer"'
expect_json .ipv6.verdict '"not-open"'
expect_json .ipv6.exitStatus 2
expect_contains .ipv6.info "router's IPv6 firewall"
expect_contains .ipv6.info "pinhole"
end_case

# 3. Not forwarded over IPv4, pinhole open: the exit status is IPv4's, IPv6 is open, and the
#    text says IPv6 is the way in for somebody behind carrier-grade NAT or DS-Lite.
begin_case
no_forwards
pinhole 4713
run_check --text 4713
expect_status 2
expect_line "Status: Your port is NOT OPEN or not reachable!"
expect_line "IPv6: Your port is OPEN on this computer over IPv6! ($pc6)"
grep -q "^Note: Reachable over IPv6 only.*DS-Lite.*\[$pc6\]:4713\.$" <<<"$out" ||
    problem "$(last_run): no Note: line for a port open over IPv6 only"
end_case

# 4. A computer without a global IPv6 address: IPv6 is not checked, and JSON says why.
begin_case
forward 4714
router_nft flush chain ip quillmere port_forwards
router_nft add rule ip quillmere port_forwards tcp dport 4714 dnat to 192.168.77.30:4714
run_on "$ns_laptop" 4714
expect_status 0
expect_json .verdict '"open-this-computer"'
expect_json .ipv6 null
expect_json .ipv6Skipped '"this computer has no global IPv6 address"'
end_case

# 5. -6 alone: the top level is the IPv6 check's.
begin_case
no_forwards
pinhole 4715
run_check -6 4715
expect_status 0
expect_json .family '"ipv6"'
expect_json .verdict '"open-this-computer"'
expect_json .externalIp.address "\"$pc6\""
expect_json 'has("ipv6")' false
expect_json .router null
end_case

# 6. --service against a real TCP server on pc, forwarded over IPv4 (-4: this case is about the
#    service): reachable, and the program holding the port is named.
begin_case
forward 4716
ip netns exec "$ns_pc" socat TCP-LISTEN:4716,fork,reuseaddr SYSTEM:'echo hello' &
socat_pid=$!
pids+=("$socat_pid")
wait_for_listener "$ns_pc" 4716 || problem "socat did not start listening"
run_check -4 --service 4716
expect_status 0
expect_json .verdict '"reachable"'
expect_json .status.text "\"reachable from the internet: a service accepted the connection at $external4:4716\""
expect_contains .service.heldBy "held by socat (pid $socat_pid"
end_case

# 7. The same service with nothing forwarded: not reachable, exit 2.
begin_case
no_forwards
run_check -4 --service 4716
expect_status 2
expect_json .verdict '"not-reachable"'
stop_process "$socat_pid" 3 || true
# And with the service gone there is nothing to check: a usage error.
run_check -4 --service 4716
expect_status 64
end_case

# 8. --watch every second over a forward that is removed mid-watch: one change line within an
#    interval (plus the check's own time), and --on-change runs once with the right variables.
begin_case
forward 4718
changes=$work/changes
: >"$changes"
watch_started=${EPOCHREALTIME/./}
ip netns exec "$ns_pc" "$check_bin" --server checkserver -4 --watch 1 \
    --on-change "sh -c 'env | grep ^QUILLMERE_ | sort >>\"$changes\"; echo --- >>\"$changes\"'" \
    4718 >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
pids+=("$watch_pid")
runs+=("--watch 1 -4 4718")
for _ in $(seq 100); do
    [ "$(grep -c . "$work/watch.out")" -ge 1 ] && break
    sleep 0.1
done
grep -q "TCP port 4718: open on this computer; external IP $external4" "$work/watch.out" ||
    problem "no start line: $(cat "$work/watch.out")"
no_forwards
removed=${EPOCHREALTIME/./}
# A closed port takes the server's 2 s connect time-out to judge, after at most 1 s of waiting.
for _ in $(seq 100); do
    [ "$(grep -c . "$work/watch.out")" -ge 2 ] && break
    sleep 0.1
done
change_after=$(seconds_since "$removed")
grep -q "TCP port 4718: not open (was open on this computer)" "$work/watch.out" ||
    problem "no change line within 10 s: $(cat "$work/watch.out")"
# Two more checks that find the same (the server logs each): no more lines, no more commands.
checks_then=$(wc -l <"$access_log")
for _ in $(seq 150); do
    [ "$(wc -l <"$access_log")" -ge $((checks_then + 2)) ] && break
    sleep 0.1
done
[ "$(wc -l <"$access_log")" -ge $((checks_then + 2)) ] || problem "the watch stopped checking"
kill -TERM "$watch_pid"
for _ in $(seq 50); do alive "$watch_pid" || break; sleep 0.1; done
status=0
if alive "$watch_pid"; then
    problem "the watch did not end on SIGTERM"
    kill -KILL "$watch_pid"
fi
wait "$watch_pid" || status=$?
pids=("${pids[@]/$watch_pid/}")
[ "$status" -eq 0 ] || problem "the watch ended with status $status on SIGTERM, expected 0"
[ "$(grep -c . "$work/watch.out")" -eq 2 ] || problem "expected 2 lines: $(cat "$work/watch.out")"
[ "$(grep -c -- --- "$changes")" -eq 1 ] || problem "--on-change ran $(grep -c -- --- "$changes") times"
for expected in QUILLMERE_OLD_VERDICT=open-this-computer QUILLMERE_NEW_VERDICT=not-open \
    QUILLMERE_PORT=4718 QUILLMERE_PROTOCOL=tcp "QUILLMERE_NEW_EXTERNAL_IP=$external4"; do
    grep -qxF "$expected" "$changes" || problem "--on-change did not get $expected"
done
runs[0]="--watch 1 -4 4718 (change line ${change_after}s after the forward went)"
cp "$work/watch.out" "$work/out.1"
cp "$work/watch.err" "$work/err.1"
end_case

summary "$passed" "$failed" 0

# A figure, not a test: with TIMING_RUNS=N, the time of a dual-family check against an IPv4 one,
# N of each, both open (the median of each, and their ratio).
if [ "${TIMING_RUNS:-0}" -gt 0 ]; then
    forward 4790
    pinhole 4790
    median_ms() { # ARGS...: runs quillmere-check TIMING_RUNS times, prints the median in ms
        local i times=()
        for ((i = 0; i < TIMING_RUNS; i++)); do
            local started=${EPOCHREALTIME/./}
            run_check "$@" 4790 >/dev/null
            times+=($(((${EPOCHREALTIME/./} - started) / 1000)))
        done
        printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((TIMING_RUNS + 1) / 2))p"
    }
    one=$(median_ms -4)
    both=$(median_ms)
    say "timing: IPv4 only ${one} ms, IPv4 then IPv6 ${both} ms (median of $TIMING_RUNS each), ratio $(awk "BEGIN { printf \"%.2f\", $both / $one }")"
fi
[ "$failed" -eq 0 ]
