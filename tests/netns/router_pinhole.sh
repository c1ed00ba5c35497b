#!/usr/bin/env bash
# Runs quillmere-check against a real UPnP IGDv2 router with IPv6 on (Debian's miniupnpd,
# nftables build) in Linux network namespaces, and opens and closes pinholes in its IPv6
# firewall with --forward -6 and --unforward -6:
#
#   internet   "isp": 198.51.100.1 and 2001:db8:ffff::1 (quillmere-server, port 80, named
#      |       "checkserver"), 1.2.3.1 and 2001:db8:ff00::1; routes 2001:db8:100::/56 to the router
#   router     "wan" 1.2.3.4 and 2001:db8:ff00::2; "br-lan" 192.168.77.1 and 2001:db8:100:1::1.
#      |       Masquerades IPv4, routes IPv6 as it is. Its forward chain drops every new inbound
#      |       connection, IPv4 and IPv6 alike, except what miniupnpd's chain lets in. miniupnpd on
#      |       br-lan: UPnP IGDv2 on port 5000 over IPv4 and IPv6 (SSDP on ff02::c too), in its
#      |       secure mode: a pinhole only for the address that asks for it; PCP on UDP 5351
#      |       (the last case turns UPnP off, so that PCP is the only way to a pinhole).
#   pc 192.168.77.10, 2001:db8:100:1::10 (runs quillmere-check; keeps its state in the run's
#      scratch folder)
#
# Usage: router_pinhole.sh BUILD_DIR
#        router_pinhole.sh QUILLMERE_CHECK QUILLMERE_SERVER
#
# Needs root, `ip netns` (iproute2), nft (nftables), miniupnpd (miniupnpd-nftables), jq and
# sysctl (procps). Where one is missing every case is reported SKIPPED with the reason and the
# script exits 77. Exit status: 0 every case passed, 1 a case failed, 77 skipped, 64 wrong
# arguments.
set -euo pipefail

readonly test_name=router_pinhole
readonly case_names=(
    "ipv6 closed, router takes pinholes"
    "forward -6 opens a pinhole"
    "unforward -6 closes it"
    "forward -6, text lines"
    "unforward -6 with nothing kept"
    "pcp: forward -6, unforward -6"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

programs_from_arguments "$@"

prepare nft:nftables ss:iproute2 miniupnpd:miniupnpd-nftables jq:jq

# --- The network --------------------------------------------------------------------------------

readonly ns_inet=$run_id-internet ns_router=$run_id-router ns_pc=$run_id-pc
for ns in "$ns_inet" "$ns_router" "$ns_pc"; do new_namespace "$ns"; done

require_nftables "$ns_router"

readonly pc4=192.168.77.10 pc6=2001:db8:100:1::10 router6=2001:db8:100:1::1

ip -n "$ns_inet" link add isp type veth peer name wan netns "$ns_router"
ip -n "$ns_router" link add br-lan type bridge mcast_snooping 0
ip -n "$ns_router" link add lan-pc type veth peer name eth0 netns "$ns_pc"
ip -n "$ns_router" link set lan-pc master br-lan

# nodad: the addresses are usable at once, not after duplicate address detection.
ip -n "$ns_inet" addr add 198.51.100.1/24 dev isp
ip -n "$ns_inet" addr add 1.2.3.1/24 dev isp
ip -n "$ns_inet" addr add 2001:db8:ffff::1/64 dev isp nodad
ip -n "$ns_inet" addr add 2001:db8:ff00::1/64 dev isp nodad
ip -n "$ns_inet" link set isp up
ip -n "$ns_inet" route add 2001:db8:100::/56 via 2001:db8:ff00::2

ip -n "$ns_router" addr add 1.2.3.4/24 dev wan
ip -n "$ns_router" addr add 2001:db8:ff00::2/64 dev wan nodad
ip -n "$ns_router" addr add 192.168.77.1/24 dev br-lan
ip -n "$ns_router" addr add "$router6/64" dev br-lan nodad
for dev in wan br-lan lan-pc; do ip -n "$ns_router" link set "$dev" up; done
ip -n "$ns_router" route add default via 1.2.3.1
ip -n "$ns_router" -6 route add default via 2001:db8:ff00::1
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1

ip -n "$ns_pc" addr add "$pc4/24" dev eth0
ip -n "$ns_pc" addr add "$pc6/64" dev eth0 nodad
ip -n "$ns_pc" link set eth0 up
ip -n "$ns_pc" route add default via 192.168.77.1
# The default IPv6 route goes through the router's link-local address, as a route learned from
# its advertisements does: the program searches for the router on that route's interface.
router_ll=
for _ in $(seq 50); do
    router_ll=$(ip -n "$ns_router" -6 -o addr show dev br-lan scope link |
        sed -n 's/.* inet6 \(fe80::[0-9a-f:]*\)\/64.*/\1/p')
    [ -n "$router_ll" ] && break
    sleep 0.1
done
[ -n "$router_ll" ] || { say "the router's br-lan has no link-local address" >&2; exit 1; }
ip -n "$ns_pc" -6 route add default via "$router_ll" dev eth0
printf '198.51.100.1 checkserver\n2001:db8:ffff::1 checkserver\n' |
    namespace_etc_file "$ns_pc" hosts
namespace_etc_file "$ns_pc" resolv.conf <<<"nameserver 192.168.77.1"

# The router's rules. miniupnpd adds its own to the three empty chains: its forward chain (in
# this inet table, for IPv4 mappings and IPv6 pinholes alike) is the only way in from wan.
in_ns "$ns_router" nft -f - <<'EOF'
table inet filter {
    chain miniupnpd { }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }

    chain prerouting {
        type nat hook prerouting priority dstnat; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        jump postrouting_miniupnpd
        oifname "wan" ip saddr 192.168.77.0/24 masquerade
    }
    chain input {
        type filter hook input priority filter; policy accept;
        iifname != "wan" accept
        ct state established,related accept
        icmp type echo-request accept
        icmpv6 type { nd-neighbor-solicit, nd-neighbor-advert, echo-request, packet-too-big } accept
        drop
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        ct state established,related accept
        icmpv6 type { destination-unreachable, packet-too-big, time-exceeded, parameter-problem } accept
        iifname "wan" jump miniupnpd
        iifname "br-lan" oifname "wan" accept
    }
}
EOF

start_check_server "$ns_inet" "$server_bin" 198.51.100.1 '[2001:db8:ffff::1]'

# --- miniupnpd ----------------------------------------------------------------------------------

readonly daemon_conf=$work/miniupnpd.conf daemon_log=$work/miniupnpd.log
daemon_pid=

# Starts miniupnpd in the router with UPnP on or off (PCP, on UDP 5351, answers over IPv4 and
# IPv6 either way), in the foreground (-d) so that it is our child, and waits until it listens;
# a running one is stopped first, with its chain emptied.
start_daemon() { # UPNP: yes|no
    local sockets=(udp:5351)
    [ "$1" = no ] || sockets+=(tcp:5000)
    stop_miniupnpd "$ns_router"
    # No ipv6_listening_ip: with it, the daemon's HTTP stops answering over IPv4.
    write_miniupnpd_conf "$1" 5b2e8c31-0d4f-4a7e-8e12-2f9c6a1d7b40 ext_ifname6=wan \
        ipv6_disable=no notify_interval=60
    start_miniupnpd "$ns_router" "--- miniupnpd, upnp=$1" "${sockets[@]}" && return 0
    say "miniupnpd did not start; its output:" >&2
    sed 's/^/    /' "$daemon_log" >&2
    exit 1
}
start_daemon yes

# The rules miniupnpd's chain holds for pc's IPv6 address and PORT: a pinhole, or nothing.
# miniupnpd matches the destination address as raw bytes of the IPv6 header (@nh,192,128),
# which nft lists in hex.
readonly pc6_hex=0x20010db8010000010000000000000010
pinhole_rules() { # PORT
    in_ns "$ns_router" nft list chain inet filter miniupnpd |
        grep -F "$pc6_hex" | grep -E "dport $1( |$)" || true
}

# --- One check ----------------------------------------------------------------------------------

readonly state_home=$work/state

last_run() { say "run ${#runs[@]}"; }

# Runs quillmere-check --json (with --text: without it) on pc with ARGS against "checkserver",
# its state folder in the run's scratch folder. Sets out, status and seconds.
run_check() { # [--text] ARGS...
    local started=${EPOCHREALTIME/./} format=(--json)
    if [ "$1" = --text ]; then
        format=()
        shift
    fi
    wait_quiet "$ns_pc"
    status=0
    # A hard stop past two checks' own time-outs and the router's bounds.
    timeout -k 2 40 ip netns exec "$ns_pc" env XDG_STATE_HOME="$state_home" "$check_bin" \
        --server checkserver --timeout 10 --no-firewall --no-hairpin "${format[@]}" "$@" \
        >"$work/out" 2>"$work/err" || status=$?
    out=$(<"$work/out")
    seconds=$(seconds_since "$started")
    runs+=("$(printf '%-28s exit %d  %5ss' "$*" "$status" "$seconds")")
    cp "$work/out" "$work/out.${#runs[@]}"
    cp "$work/err" "$work/err.${#runs[@]}"
}

failure_details() {
    say "    --- miniupnpd chain"
    in_ns "$ns_router" nft list chain inet filter miniupnpd 2>&1 | sed 's/^/    /'
    say "    --- miniupnpd (last lines)"
    tail -n 15 "$daemon_log" 2>/dev/null | sed 's/^/    /'
    say "    --- quillmere-server stderr (last lines)"
    tail -n 5 "$server_err" | sed 's/^/    /'
}

# --- The cases ----------------------------------------------------------------------------------

# 1. Both families, nothing let in: IPv6 not open, and the IPv6 object's router part says the
#    router's firewall takes pinholes (found by the search over IPv6) and has none for the port.
begin_case
run_check 4721
expect_status 2
expect_json .ipv6.verdict '"not-open"'
expect_json .ipv6.router.pinholeAllowed true
expect_json .ipv6.router.via '"upnp"'
expect_json .ipv6.router.pinhole null
# The IPv4 side found the same router, over IPv4.
expect_json .router.via '"upnp"'
expect_json .router.address '"192.168.77.1"'
end_case

# 2. --forward -6: the first check finds the port closed, the router opens a pinhole for pc's
#    global address (its secure mode takes the request only from that address), and the second
#    check finds it open; the pinhole's ID is kept for its owner only.
begin_case
run_check --forward -6 4722
expect_status 0
expect_json .family '"ipv6"'
expect_json .firstCheck.verdict '"not-open"'
expect_json .verdict '"open-this-computer"'
expect_json .forward.kind '"pinhole"'
expect_json .forward.via '"upnp"'
expect_json .forward.ok true
expect_json .forward.pinhole.internalAddress "\"$pc6\""
expect_text .forward.pinhole.uniqueId
expect_json .router.pinholeAllowed true
[ -n "$(pinhole_rules 4722)" ] || problem "$(last_run): miniupnpd's chain has no pinhole for 4722"
state_file=$state_home/quillmere/mappings.json
if [ ! -f "$state_file" ]; then
    problem "$(last_run): no $state_file"
elif [ "$(stat -c %a "$state_file")" != 600 ]; then
    problem "$(last_run): $state_file has mode $(stat -c %a "$state_file"), expected 600"
fi
end_case

# 3. --unforward -6 in a later run removes it by the ID kept: the rule is gone and the port is
#    closed over IPv6 again.
begin_case
run_check --unforward 4722 -6
expect_status 0
expect_json .forward.kind '"pinhole"'
expect_json .forward.removing true
expect_json .forward.ok true
[ -z "$(pinhole_rules 4722)" ] ||
    problem "$(last_run): miniupnpd's chain still lets 4722 in: $(pinhole_rules 4722)"
run_check -6 4722
expect_status 2
expect_json .verdict '"not-open"'
end_case

# 4. The same without --json: a Forward: line for the pinhole, then the second check's lines.
begin_case
run_check --text --forward -6 4724
expect_status 0
grep -q "^Forward: the IPv6 pinhole for port 4724/tcp is open (over UPnP): the router lets connections in to $pc6 (pinhole [0-9]*, lease 3600 s)$" <<<"$out" ||
    problem "$(last_run): no Forward: line for the pinhole"
grep -qxF "Status: Your port is OPEN on this computer over IPv6!" <<<"$out" ||
    problem "$(last_run): no Status: line for the second check"
run_check --text --unforward 4724 -6
expect_status 0
grep -qxF "Forward: the IPv6 pinhole for port 4724/tcp is closed (over UPnP)" <<<"$out" ||
    problem "$(last_run): no Forward: line for the removal"
[ -z "$(pinhole_rules 4724)" ] || problem "$(last_run): miniupnpd's chain still lets 4724 in"
end_case

# 5. --unforward -6 for a port no run made a pinhole for: a clear refusal, nothing removed.
begin_case
run_check --unforward 4725 -6
expect_status 5
expect_json .forward.ok false
expect_json .forward.kind '"pinhole"'
[[ "$(json_value .forward.error)" == *"no pinhole this computer made"* ]] ||
    problem "$(last_run): .forward.error is $(json_value .forward.error)"
end_case

# 6. A router with UPnP off and PCP on: the pinhole is a PCP MAP sent over IPv6 to the router
#    of the default IPv6 route (its link-local address), for pc's global address; its nonce is
#    kept, and --unforward -6 deletes it with that nonce.
begin_case
start_daemon no
run_check --forward -6 --via pcp 4726
expect_status 0
expect_json .firstCheck.verdict '"not-open"'
expect_json .verdict '"open-this-computer"'
expect_json .forward.kind '"pinhole"'
expect_json .forward.via '"pcp"'
expect_json .forward.pinhole.internalAddress "\"$pc6\""
expect_text .forward.pinhole.nonce
[ -n "$(pinhole_rules 4726)" ] || problem "$(last_run): miniupnpd's chain has no pinhole for 4726"
run_check --unforward 4726 -6
expect_status 0
expect_json .forward.via '"pcp"'
expect_json .forward.ok true
[ -z "$(pinhole_rules 4726)" ] ||
    problem "$(last_run): miniupnpd's chain still lets 4726 in: $(pinhole_rules 4726)"
end_case

summary "$passed" "$failed" 0
[ "$failed" -eq 0 ]
