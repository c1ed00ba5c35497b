#!/usr/bin/env bash
# Runs the first-hops probe on a pc behind two routers, built from Linux network namespaces, and
# checks that it finds each router at its time to live, the host at the end of the way, and that
# it keeps to its time bound when a router stays silent:
#
#   pc 192.168.79.10
#      |
#   router1   "lan" 192.168.79.1, "wan" 100.64.79.2  (the home router)
#      |
#   router2   "cust" 100.64.79.1, "core" 198.51.100.2  (the provider's router)
#      |
#   host 198.51.100.1
#
# Plain routing, no NAT: each router forwards, and answers a datagram whose time to live runs out
# with ICMP "time exceeded"; the host answers "port unreachable".
#
# Usage: first_hops.sh QUILLMERE_HOPSPROBE
#
# Needs root, `ip netns` (iproute2), sysctl (procps); the silent-router case also needs nft
# (nftables) and is skipped without it. Where the rest is missing every case is reported SKIPPED
# with the reason and the script exits 77. A run takes about 2 s.
# Exit status: 0 every case passed (or was skipped), 1 a case failed, 77 skipped, 64 wrong
# arguments.
set -euo pipefail

readonly test_name=first_hops
readonly case_names=(
    "hop 1 is the home router"
    "hop 2 is the next router"
    "the host ends the way"
    "every hop answered: no wait"
    "max hops 1 stops at hop 1"
    "a silent router is left out"
    "a silent router costs the bound"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

if [ $# -ne 1 ]; then
    say "usage: $0 QUILLMERE_HOPSPROBE" >&2
    exit 64
fi
probe_bin=$1
[ -x "$probe_bin" ] || { say "$0: not an executable program: $probe_bin" >&2; exit 64; }

# shellcheck disable=SC2119 # nothing beyond what every netns script needs
prepare

# --- The network --------------------------------------------------------------------------------

readonly ns_pc=$run_id-pc ns_r1=$run_id-router1 ns_r2=$run_id-router2 ns_host=$run_id-host
for ns in "$ns_pc" "$ns_r1" "$ns_r2" "$ns_host"; do new_namespace "$ns"; done

ip -n "$ns_pc" link add eth0 type veth peer name lan netns "$ns_r1"
ip -n "$ns_r1" link add wan type veth peer name cust netns "$ns_r2"
ip -n "$ns_r2" link add core type veth peer name eth0 netns "$ns_host"

ip -n "$ns_pc" addr add 192.168.79.10/24 dev eth0
ip -n "$ns_r1" addr add 192.168.79.1/24 dev lan
ip -n "$ns_r1" addr add 100.64.79.2/24 dev wan
ip -n "$ns_r2" addr add 100.64.79.1/24 dev cust
ip -n "$ns_r2" addr add 198.51.100.2/24 dev core
ip -n "$ns_host" addr add 198.51.100.1/24 dev eth0

ip -n "$ns_pc" link set eth0 up
for dev in lan wan; do ip -n "$ns_r1" link set "$dev" up; done
for dev in cust core; do ip -n "$ns_r2" link set "$dev" up; done
ip -n "$ns_host" link set eth0 up

ip -n "$ns_pc" route add default via 192.168.79.1
ip -n "$ns_r1" route add default via 100.64.79.1
ip -n "$ns_r2" route add 192.168.79.0/24 via 100.64.79.2
ip -n "$ns_host" route add default via 198.51.100.2
in_ns "$ns_r1" sysctl -qw net.ipv4.ip_forward=1
in_ns "$ns_r2" sysctl -qw net.ipv4.ip_forward=1
# Each sends as many ICMP errors as the cases ask for, however close together.
for ns in "$ns_r1" "$ns_r2" "$ns_host"; do in_ns "$ns" sysctl -qw net.ipv4.icmp_ratelimit=0; done

# Waits until pc reaches the host through both routers (the veths and neighbours settle): a probe
# with room for every hop sees the host at hop 3.
network_ready() {
    local i
    for i in $(seq 50); do
        run_probe 198.51.100.1 3 500
        grep -qxF "hop 3 198.51.100.1" <<<"$out" && return 0
        sleep 0.1
    done
    return 1
}

# --- One probe ----------------------------------------------------------------------------------

# Runs the probe on pc. Sets out (its stdout) and elapsed_ms (as the program measured it).
run_probe() { # HOST MAX_HOPS TIMEOUT_MS
    out=$(timeout -k 2 10 ip netns exec "$ns_pc" "$probe_bin" "$1" "$2" "$3") || true
    elapsed_ms=$(sed -n 's/^elapsed_ms //p' <<<"$out")
    elapsed_ms=${elapsed_ms:-99999}
}

indent() { # TEXT
    local line
    while IFS= read -r line; do say "    $line"; done <<<"$1"
}

hops_of() { grep '^hop ' <<<"$out" | tr '\n' ' ' | sed 's/ $//'; }

passed=0
failed=0
skipped=0

check() { # NUMBER CONDITION_COMMAND... : PASS when the command succeeds
    local number=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        case_line "$number" PASS "$(printf '%5s ms  %s' "$elapsed_ms" "$(hops_of)")"
    else
        failed=$((failed + 1))
        case_line "$number" FAIL "$(printf '%5s ms  %s' "$elapsed_ms" "$(hops_of)")"
        say "    --- probe output"
        indent "$out"
    fi
}

has_line() { grep -qxF -- "$1" <<<"$out"; }
lacks_hop() { ! grep -q "^hop $1 " <<<"$out"; }
within() { [ "$elapsed_ms" -le "$1" ]; } # MS
between() { [ "$elapsed_ms" -ge "$1" ] && [ "$elapsed_ms" -le "$2" ]; } # MIN_MS MAX_MS

if ! network_ready; then
    say "pc does not reach the host through both routers; the last probe printed:" >&2
    indent "$out" >&2
    exit 1
fi

# 1-4. Three hops, each router and then the host; every one answers, so the probe ends as soon
# as the last answer is in, well before its bound.
run_probe 198.51.100.1 3 1000
check 1 has_line "hop 1 192.168.79.1"
check 2 has_line "hop 2 100.64.79.1"
hop_count() { grep -c '^hop ' <<<"$out"; }
ends_at_host() { has_line "hop 3 198.51.100.1" && [ "$(hop_count)" -eq 3 ]; }
check 3 ends_at_host
check 4 within 500

# 5. One hop asked for, one found.
run_probe 198.51.100.1 1 1000
only_hop_1() { [ "$(hops_of)" = "hop 1 192.168.79.1" ] && within 500; }
check 5 only_hop_1

# 6-7. router2 sends no "time exceeded": its hop is left out, the others stay, and the probe
# waits for it until its bound and no longer.
if ! command -v nft >/dev/null; then
    for number in 6 7; do
        case_line "$number" SKIPPED "(nft not found, Debian package nftables)"
        skipped=$((skipped + 1))
    done
elif ! nft_error=$(in_ns "$ns_r2" nft -f - 2>&1 <<'EOF'
table ip silent {
    chain output {
        type filter hook output priority filter; policy accept;
        icmp type time-exceeded drop
    }
}
EOF
); then
    for number in 6 7; do
        case_line "$number" SKIPPED "(nftables does not work here: ${nft_error//$'\n'/ })"
        skipped=$((skipped + 1))
    done
else
    run_probe 198.51.100.1 3 800
    hop_2_left_out() {
        has_line "hop 1 192.168.79.1" && lacks_hop 2 && has_line "hop 3 198.51.100.1"
    }
    check 6 hop_2_left_out
    check 7 between 750 1300
fi

summary "$passed" "$failed" "$skipped"
[ "$failed" -eq 0 ]
