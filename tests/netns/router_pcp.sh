#!/usr/bin/env bash
# Runs quillmere-check against a real PCP server (RFC 6887) in Linux network namespaces:
# Debian's miniupnpd (nftables build) with UPnP off and NAT-PMP on, which answers PCP on the same
# port (5351), so that PCP is the router's best way to map a port. Checks presence, MAP and its
# lifetime bounds, the nonce kept between runs and the removal with it, a removal with another
# nonce, and a router whose WAN address is reserved.
#
#   internet   bridge "ix": 198.51.100.1 (quillmere-server, port 80) and 1.2.3.1
#      |
#      +------------------------+
#      |  (plain)               |  (carrier)
#      |                     cgn 1.2.3.5, an ISP's NAT, inside 100.64.7.1/24
#      |                        |
#   router  "wan" 1.2.3.4, or 100.64.7.2 behind cgn. "br-lan" 192.168.77.1; masquerades the LAN;
#      |    miniupnpd on br-lan: PCP and NAT-PMP, no UPnP
#   pc 192.168.77.10 (runs quillmere-check, with XDG_STATE_HOME in the run's scratch folder)
#
# Never send the daemon a PCP MAP for a port its permission rules deny: miniupnpd 2.3.1 can then
# spin at 100 % CPU and stop answering. Every port below is in the allow rule (1024-65535 for
# the LAN), and no case asks for another.
#
# Usage: router_pcp.sh BUILD_DIR
#        router_pcp.sh QUILLMERE_CHECK QUILLMERE_SERVER
#
# Needs root, `ip netns` (iproute2), nft (nftables), socat, sysctl (procps), miniupnpd
# (miniupnpd-nftables) and jq. Where one is missing every case is reported SKIPPED with the
# reason and the script exits 77. The namespaces use names of their own run; still, run it only
# as other netns beds are run (one at a time).
# Exit status: 0 every case passed, 1 a case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=router_pcp
readonly case_names=(
    "pcp present, not forwarded"
    "forward, lifetime bounds, unforward"
    "unforward with another nonce"
    "reserved wan: NO_RESOURCES"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

programs_from_arguments "$@"

prepare nft:nftables socat:socat ss:iproute2 miniupnpd:miniupnpd-nftables jq:jq

# --- The network --------------------------------------------------------------------------------

readonly ns_inet=$run_id-internet ns_cgn=$run_id-cgn ns_router=$run_id-router ns_pc=$run_id-pc
for ns in "$ns_inet" "$ns_cgn" "$ns_router" "$ns_pc"; do
    new_namespace "$ns"
done

require_nftables "$ns_router"

# The internet: one bridge that every WAN link plugs into.
add_internet_bridge "$ns_inet" 198.51.100.1/24 1.2.3.1/24

# cgn: the ISP's NAT, between the internet and its "inside" link, which exists while the
# router's WAN is plugged into it. Nothing from the internet gets through to the inside.
add_upstream_nat "$ns_inet" "$ns_cgn" 1.2.3.5 cgn

# The LAN. Multicast snooping off, so SSDP searches reach the router whatever the bridge has
# learned about group members.
ip -n "$ns_router" link add br-lan type bridge mcast_snooping 0
ip -n "$ns_router" addr add 192.168.77.1/24 dev br-lan
add_lan_host "$ns_router" "$ns_pc" 192.168.77.10 lan-pc
ip -n "$ns_router" link set br-lan up
# Every router answers each expired probe: by default the kernel sends a host one ICMP error a
# second after a burst of six, and the router also refuses pc's name lookups with ICMP errors,
# so a first hop would now and then go missing.
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0

# The router's rules, with a chain case_input for what a case adds to what it takes in.
add_miniupnpd_router_rules "$ns_router"

wan_setup=

# Plugs the router's WAN into the internet (plain) or behind cgn (carrier). The link is made
# anew with the same MAC address, and every neighbour table is
# flushed, so no side keeps talking to the old link.
connect_wan() { # plain|carrier
    case $1 in
        plain) replace_wan_link "$ns_router" "$ns_inet" r-wan 1.2.3.4 1.2.3.1 ix ;;
        carrier) replace_wan_link "$ns_router" "$ns_cgn" inside 100.64.7.2 100.64.7.1 ;;
    esac
    for ns in "$ns_inet" "$ns_cgn" "$ns_router" "$ns_pc"; do
        ip -n "$ns" neigh flush all
    done
    wan_setup=$1
}

# --- miniupnpd ----------------------------------------------------------------------------------

readonly daemon_conf=$work/miniupnpd.conf daemon_log=$work/miniupnpd.log
# The bounds the daemon puts on a mapping's lifetime. 120 s is also the shortest RFC 6887 lets a
# server give; with a longer min_lifetime, miniupnpd 2.3.1 was seen to raise a 60 s lease to 120 s
# only, and to leave 200 s as it was.
readonly min_lifetime=120 max_lifetime=900
daemon_pid=

# Stops miniupnpd, if it runs, and empties its chains: a restart begins with no mappings.
stop_daemon() { stop_miniupnpd "$ns_router"; }

# Starts miniupnpd in the router with UPnP off, in the foreground (-d) so that it is our child,
# and waits until it listens on 5351.
start_daemon() {
    write_miniupnpd_conf no 3f1c0a52-7d4e-4b8a-9c61-5a2e7b0d9e12 \
        "min_lifetime=$min_lifetime" "max_lifetime=$max_lifetime"
    start_miniupnpd "$ns_router" "--- miniupnpd, wan $wan_setup" udp:5351
}

router_setup() { # plain|carrier
    stop_daemon
    [ "$wan_setup" = "$1" ] || connect_wan "$1"
    start_daemon || problem "bed: miniupnpd did not start"
}

# The router's port forward of TCP port PORT, as miniupnpd wrote it: "192.168.77.10:PORT", or
# nothing.
router_forward() { # PORT
    in_ns "$ns_router" nft list chain inet filter prerouting_miniupnpd |
        sed -n "s/.* dport $1 .*dnat.* to \([0-9.]*:[0-9]*\).*/\1/p" | head -n 1
}

# The nonces quillmere-check keeps, and the file's mode.
export XDG_STATE_HOME=$work/state
readonly state_file=$XDG_STATE_HOME/quillmere/mappings.json
stored_nonce() { # PORT
    jq -r --argjson port "$1" \
        '.mappings[] | select(.via == "pcp" and .externalPort == $port) | .nonce' \
        "$state_file" 2>/dev/null || true
}

# --- The check server ---------------------------------------------------------------------------

start_check_server "$ns_inet" "$server_bin" 198.51.100.1

# --- One check ----------------------------------------------------------------------------------

# Runs quillmere-check on pc (see run_router_check in netns_lib.sh).
run_check() { run_router_check "$ns_pc" "$@"; }

last_run() { say "run ${#runs[@]}"; }

# shellcheck disable=SC2317 # called by end_case in netns_lib.sh
failure_details() {
    say "    --- miniupnpd (last lines)"
    tail -n 15 "$daemon_log" 2>/dev/null | sed 's/^/    /'
    say "    --- the router's forwards"
    in_ns "$ns_router" nft list chain inet filter prerouting_miniupnpd | sed 's/^/    /'
    say "    --- quillmere-check stderr (last lines)"
    tail -n 5 "$work/err" 2>/dev/null | sed 's/^/    /'
    say "    --- quillmere-server stderr (last lines)"
    tail -n 5 "$server_err" | sed 's/^/    /'
}

# --- The cases ----------------------------------------------------------------------------------

# 1. PCP answers the ANNOUNCE: the router is found over PCP, with its version and epoch, and
#    NAT-PMP's answer gives the external address. Nothing maps the port.
begin_case
router_setup plain
run_check 4801
expect_status 2
expect_json .verdict '"not-open"'
expect_json .router.found true
expect_json .router.via '"pcp"'
expect_json .router.address '"192.168.77.1"'
expect_json .router.externalAddress '"1.2.3.4"'
expect_json .router.pcp.present true
expect_json .router.pcp.version 2
[[ "$(json_value .router.pcp.epoch)" =~ ^[0-9]+$ ]] ||
    problem "$(last_run): .router.pcp.epoch is $(json_value .router.pcp.epoch), expected a number"
expect_diagnosis not-forwarded
run_check --text 4801
[[ "$(text_line "Router: ")" == "Router: 192.168.77.1 over PCP"* ]] ||
    problem "$(last_run): the Router: line does not say PCP: $(text_line "Router: ")"
end_case

# 2. --forward maps the port over PCP (a lease under the daemon's min_lifetime gets that, one
#    over its max_lifetime that), keeps the nonce in a private file, and --unforward in a later
#    run removes the mapping with it.
begin_case
router_setup plain
run_check --forward --lease 60 4802
expect_status 0
expect_json .verdict '"open-this-computer"'
expect_json .forward.ok true
expect_json .forward.mapping.internalClient '"192.168.77.10"'
expect_json .forward.mapping.leaseSeconds "$min_lifetime"
[ "$(router_forward 4802)" = "192.168.77.10:4802" ] ||
    problem "after --forward the router forwards 4802 to '$(router_forward 4802)'"
run_check --forward --via pcp --lease 7200 4803
expect_status 0
expect_json .forward.mapping.leaseSeconds "$max_lifetime"
[[ "$(stored_nonce 4802)" =~ ^[0-9a-f]{24}$ ]] || problem "no nonce kept for 4802: $(stored_nonce 4802)"
[ "$(stored_nonce 4802)" != "$(stored_nonce 4803)" ] || problem "4802 and 4803 share a nonce"
[ "$(stat -c %a "$state_file" 2>/dev/null)" = 600 ] ||
    problem "$state_file has mode $(stat -c %a "$state_file" 2>/dev/null), expected 600"
run_check --unforward 4802
expect_status 0
expect_json .forward.ok true
[ -z "$(router_forward 4802)" ] || problem "after --unforward the router still forwards 4802"
[ -z "$(stored_nonce 4802)" ] || problem "after --unforward the nonce of 4802 is still kept"
[ "$(router_forward 4803)" = "192.168.77.10:4803" ] || problem "--unforward 4802 took 4803 too"
run_check --unforward 4803
expect_status 0
[ -z "$(router_forward 4803)" ] || problem "after --unforward the router still forwards 4803"
end_case

# 3. A removal with another nonce than the mapping's: the daemon refuses it (NOT_AUTHORIZED),
#    the mapping stays, and so does the stored nonce.
begin_case
router_setup plain
run_check --forward 4804
expect_json .forward.ok true
real_nonce=$(stored_nonce 4804)
jq '(.mappings[] | select(.externalPort == 4804) | .nonce) = "0123456789abcdef01234567"' \
    "$state_file" >"$work/state.json" && cat "$work/state.json" >"$state_file"
run_check --unforward 4804
expect_status 5
expect_json .forward.ok false
[[ "$(json_value .forward.error)" == *NOT_AUTHORIZED* ]] ||
    problem "$(last_run): .forward.error does not name NOT_AUTHORIZED: $(json_value .forward.error)"
[ "$(router_forward 4804)" = "192.168.77.10:4804" ] || problem "the refused removal took the mapping"
[ "$(stored_nonce 4804)" = 0123456789abcdef01234567 ] || problem "the refused removal dropped the nonce"
# With the right nonce it goes.
jq --arg nonce "$real_nonce" '(.mappings[] | select(.externalPort == 4804) | .nonce) = $nonce' \
    "$state_file" >"$work/state.json" && cat "$work/state.json" >"$state_file"
run_check --unforward 4804
expect_status 0
[ -z "$(router_forward 4804)" ] || problem "the router still forwards 4804"
end_case

# 4. The router's WAN is in the ISP's shared space behind the ISP's NAT: the daemon answers
#    PCP but maps nothing (NO_RESOURCES), and the diagnosis says to ask the ISP.
begin_case
router_setup carrier
run_check --forward 4805
expect_status 5
expect_json .router.via '"pcp"'
expect_json .forward.ok false
[[ "$(json_value .forward.error)" == *NO_RESOURCES* ]] ||
    problem "$(last_run): .forward.error does not name NO_RESOURCES: $(json_value .forward.error)"
expect_diagnosis carrier-nat
[[ "$(json_value .diagnosis.nextStep)" == *"Ask your ISP for a public address or a mapping"* ]] ||
    problem "$(last_run): the next step is $(json_value .diagnosis.nextStep)"
[ -z "$(stored_nonce 4805)" ] || problem "a nonce was kept for a mapping that was not made"
end_case

stop_daemon
summary "$passed" "$failed" 0
[ "$failed" -eq 0 ]
