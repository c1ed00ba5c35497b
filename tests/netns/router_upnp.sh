#!/usr/bin/env bash
# Runs quillmere-check against a real UPnP IGD / NAT-PMP router (Debian's miniupnpd, nftables
# build) in Linux network namespaces, and checks what it reports about the router and its
# diagnosis for each kind of home network:
#
#   internet   bridge "ix": 198.51.100.1 (quillmere-server, port 80) and 1.2.3.1, the gateway
#      |       of everything on the internet side
#      +------------------------+---------------------------+
#      |  (plain)               |  (carrier)                |  (double)
#      |                     cgn 1.2.3.5                 outer 1.2.3.6
#      |                     an ISP's NAT, inside        another home router, inside
#      |                     100.64.7.1/24               192.168.1.1/24
#      |                        |                           |
#   router  "wan" 1.2.3.4, or 100.64.7.2 behind cgn, or 192.168.1.2 behind outer: the WAN link
#      |    is made again for each set-up. "br-lan" 192.168.77.1; masquerades the LAN; miniupnpd
#      |    on br-lan (UPnP IGD on port 5000, NAT-PMP) keeps its rules in table inet filter
#      |
#   pc 192.168.77.10 (runs quillmere-check)      dvr 192.168.77.20 (maps ports of its own)
#
# 1.2.3.4 stands for an ordinary internet address: miniupnpd reports no external address and
# refuses mappings while its WAN address is private, shared (100.64.0.0/10) or documentation.
# The namespaces reach nothing outside themselves, and pc and dvr ask the router for names.
#
# Usage: router_upnp.sh BUILD_DIR
#        router_upnp.sh QUILLMERE_CHECK QUILLMERE_SERVER
#
# Needs root, `ip netns` (iproute2), nft (nftables), socat, sysctl (procps), miniupnpd
# (miniupnpd-nftables), upnpc (miniupnpc), natpmpc and jq. Where one is missing every case is
# reported SKIPPED with the reason and the script exits 77. A run takes about 35 s.
# Exit status: 0 every case passed, 1 a case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=router_upnp
readonly case_names=(
    "upnp mapping to pc"
    "upnp mapping held by dvr"
    "not mapped, forward, unforward"
    "forward refused: dvr holds port"
    "carrier-grade nat"
    "double nat"
    "no upnp or nat-pmp on router"
    "nat-pmp and pcp, no upnp"
    "mapped to pc, pc drops the port"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

programs_from_arguments "$@"

prepare nft:nftables socat:socat ss:iproute2 miniupnpd:miniupnpd-nftables upnpc:miniupnpc \
    natpmpc:natpmpc jq:jq

# --- The network --------------------------------------------------------------------------------

readonly ns_inet=$run_id-internet ns_cgn=$run_id-cgn ns_outer=$run_id-outer
readonly ns_router=$run_id-router ns_pc=$run_id-pc ns_dvr=$run_id-dvr
for ns in "$ns_inet" "$ns_cgn" "$ns_outer" "$ns_router" "$ns_pc" "$ns_dvr"; do
    new_namespace "$ns"
done

require_nftables "$ns_router"

# The internet: one bridge that every WAN link plugs into.
add_internet_bridge "$ns_inet" 198.51.100.1/24 1.2.3.1/24

# cgn and outer: a NAT each, between the internet and their "inside" link, which exists while
# the router's WAN is plugged into it. Nothing from the internet gets through to the inside.
add_upstream_nat "$ns_inet" "$ns_cgn" 1.2.3.5 cgn
add_upstream_nat "$ns_inet" "$ns_outer" 1.2.3.6 outer

# The LAN. Multicast snooping off, so SSDP searches reach the router whatever the bridge has
# learned about group members.
ip -n "$ns_router" link add br-lan type bridge mcast_snooping 0
ip -n "$ns_router" addr add 192.168.77.1/24 dev br-lan
add_lan_host "$ns_router" "$ns_pc" 192.168.77.10 lan-pc
add_lan_host "$ns_router" "$ns_dvr" 192.168.77.20 lan-dvr
ip -n "$ns_router" link set br-lan up
# Every router answers each expired probe: by default the kernel sends a host one ICMP error a
# second after a burst of six, and the router also refuses pc's name lookups with ICMP errors,
# so a first hop would now and then go missing.
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0

# The router's rules, with a chain case_input for what a case adds to what it takes in.
add_miniupnpd_router_rules "$ns_router"

wan_setup=

# Plugs the router's WAN into the internet (plain), behind cgn (carrier) or behind outer
# (double). The link is made anew with the same MAC address, and every neighbour table is
# flushed, so no side keeps talking to the old link.
connect_wan() { # plain|carrier|double
    case $1 in
        plain) replace_wan_link "$ns_router" "$ns_inet" r-wan 1.2.3.4 1.2.3.1 ix ;;
        carrier) replace_wan_link "$ns_router" "$ns_cgn" inside 100.64.7.2 100.64.7.1 ;;
        double) replace_wan_link "$ns_router" "$ns_outer" inside 192.168.1.2 192.168.1.1 ;;
    esac
    for ns in "$ns_inet" "$ns_cgn" "$ns_outer" "$ns_router" "$ns_pc" "$ns_dvr"; do
        ip -n "$ns" neigh flush all
    done
    wan_setup=$1
}

# --- miniupnpd ----------------------------------------------------------------------------------

readonly daemon_conf=$work/miniupnpd.conf daemon_log=$work/miniupnpd.log
readonly igd_url=http://192.168.77.1:5000/rootDesc.xml
daemon_pid=

# Stops miniupnpd, if it runs, and empties its chains: a restart begins with no mappings.
stop_daemon() { stop_miniupnpd "$ns_router"; }

# Starts miniupnpd in the router, in the foreground (-d) so that it is our child, and waits
# until it listens. Its rules name wan by interface index: it is started after each new link.
start_daemon() { # UPNP: yes|no
    local sockets=(udp:5351)
    [ "$1" = no ] || sockets+=(tcp:5000)
    write_miniupnpd_conf "$1" 3f1c0a52-7d4e-4b8a-9c61-5a2e7b0d9e11 notify_interval=60
    start_miniupnpd "$ns_router" "--- miniupnpd, upnp=$1, wan $wan_setup" "${sockets[@]}"
}

# The router as each case wants it: its WAN set-up, and miniupnpd with UPnP and NAT-PMP (full),
# NAT-PMP only (natpmp) or not at all (none). Always a fresh daemon, so no mapping is left over.
router_setup() { # plain|carrier|double full|natpmp|none
    stop_daemon
    [ "$wan_setup" = "$1" ] || connect_wan "$1"
    case $2 in
        full) start_daemon yes || problem "bed: miniupnpd did not start" ;;
        natpmp) start_daemon no || problem "bed: miniupnpd did not start" ;;
        none) ;;
    esac
}

# The router's own clients, run on a LAN host. upnpc goes straight to the description URL,
# except where a case proves that SSDP discovery works.
upnpc_on() { # NS ARGS...
    local ns=$1
    shift
    timeout 10 ip netns exec "$ns" upnpc -u "$igd_url" "$@" 2>&1
}

# "ADDRESS:PORT 'DESCRIPTION'" of the router's mapping of external TCP port PORT, or nothing.
upnp_mapping() { # PORT
    upnpc_on "$ns_pc" -l | sed -n "s/^ *[0-9][0-9]* TCP *$1->\([0-9.:]*\) *\('[^']*'\).*/\1 \2/p"
}

# Maps TCP port PORT to the host NS itself, as a program on it would (secure mode allows only
# that).
upnp_map() { # NS ADDRESS PORT DESCRIPTION
    upnpc_on "$1" -e "$4" -a "$2" "$3" "$3" TCP 3600 >"$work/upnpc.out" ||
        problem "bed: upnpc -a on ${1#"$run_id"-} failed: $(tail -n 2 "$work/upnpc.out" | tr '\n' ' ')"
    [ "$(upnp_mapping "$3")" = "$2:$3 '$4'" ] ||
        problem "bed: the router did not list the mapping of $3 to $2: $(upnp_mapping "$3")"
}


# --- The check server ---------------------------------------------------------------------------

start_check_server "$ns_inet" "$server_bin" 198.51.100.1

# --- One check ----------------------------------------------------------------------------------

# Runs quillmere-check on pc (see run_router_check in netns_lib.sh).
run_check() { run_router_check "$ns_pc" "$@"; }

last_run() { say "run ${#runs[@]}"; }

# What every check that found miniupnpd on the plain WAN reports about the router.
expect_router_upnp() {
    expect_json .router.found true
    expect_json .router.via '"upnp"'
    expect_json .router.address '"192.168.77.1"'
    expect_json .router.localAddress '"192.168.77.10"'
    expect_json .router.externalAddress '"1.2.3.4"'
}

expect_mapping() { # ADDRESS PORT DESCRIPTION THIS_COMPUTER
    local lease
    expect_json .router.mapping.internalClient "\"$1\""
    expect_json .router.mapping.internalPort "$2"
    expect_json .router.mapping.description "\"$3\""
    expect_json .router.mapping.thisComputer "$4"
    lease=$(json_value .router.mapping.leaseSeconds)
    if ! [[ "$lease" =~ ^[0-9]+$ ]] || [ "$lease" -lt 3000 ] || [ "$lease" -gt 3600 ]; then
        problem "$(last_run): .router.mapping.leaseSeconds is $lease, expected 3000..3600"
    fi
}

failure_details() {
    say "    --- miniupnpd (last lines)"
    tail -n 15 "$daemon_log" 2>/dev/null | sed 's/^/    /'
    say "    --- quillmere-server stderr (last lines)"
    tail -n 5 "$server_err" | sed 's/^/    /'
}

# The stock miniupnpd behind another NAT: its IGD answers, with no external address.
expect_no_external_address() {
    upnpc_on "$ns_pc" -s >"$work/upnpc.out" || true
    if ! grep -q "ExternalIPAddress" "$work/upnpc.out" ||
        grep -q "ExternalIPAddress = [0-9]" "$work/upnpc.out"; then
        problem "bed: upnpc -s expected an IGD without an external address:" \
            "$(tail -n 3 "$work/upnpc.out" | tr '\n' ' ')"
    fi
}

# --- The cases ----------------------------------------------------------------------------------

# 1. pc mapped the port over UPnP (found by an SSDP search, as any program finds it): open here,
#    and the router names this computer.
begin_case
router_setup plain full
timeout 10 ip netns exec "$ns_pc" upnpc -l >"$work/upnpc.out" 2>&1 || true
grep -qxF "Found valid IGD : http://192.168.77.1:5000/ctl/IPConn" "$work/upnpc.out" ||
    problem "bed: upnpc's SSDP search found no IGD: $(tail -n 3 "$work/upnpc.out" | tr '\n' ' ')"
upnp_map "$ns_pc" 192.168.77.10 4701 "quillmere test"
run_check 4701
expect_status 0
expect_json .verdict '"open-this-computer"'
expect_router_upnp
expect_mapping 192.168.77.10 4701 "quillmere test" true
expect_diagnosis forwarded-here
diagnosis_text=$(jq -r .diagnosis.text <<<"$out" 2>/dev/null || true)
# Without --json: the same diagnosis, and the router's facts, on lines of their own.
run_check --text 4701
expect_status 0
router_line=$(text_line "Router: ")
[[ "$router_line" == *192.168.77.1\ * && "$router_line" == *192.168.77.10:4701* ]] ||
    problem "$(last_run): no Router: line naming 192.168.77.1 and 192.168.77.10:4701: $router_line"
if [ -z "$diagnosis_text" ] || [ "$(text_line "Diagnosis: ")" != "Diagnosis: $diagnosis_text" ]; then
    problem "$(last_run): the Diagnosis: line is not the JSON's text ($diagnosis_text)"
fi
end_case

# 2. The dvr holds the port and takes the probe: open on another device, and the router says
#    which one and what it called the mapping.
begin_case
router_setup plain full
ip netns exec "$ns_dvr" socat -u TCP-LISTEN:4702,reuseaddr OPEN:/dev/null &
pids+=("$!")
wait_for_listener "$ns_dvr" 4702 || problem "bed: the dvr's listener did not start"
upnp_map "$ns_dvr" 192.168.77.20 4702 "DVR remote view"
run_check 4702
expect_status 1
expect_json .verdict '"open-other-device"'
expect_router_upnp
expect_mapping 192.168.77.20 4702 "DVR remote view" false
expect_diagnosis forwarded-elsewhere
end_case

# 3. Nothing maps the port: not open, not forwarded. --forward maps it to this computer and
#    checks again; --unforward takes the mapping away without a check.
begin_case
router_setup plain full
run_check 4703
expect_status 2
expect_json .verdict '"not-open"'
expect_router_upnp
expect_json .router.mapping null
expect_diagnosis not-forwarded
run_check --forward 4703
expect_status 0
expect_json .verdict '"open-this-computer"'
expect_json .forward.ok true
expect_json .forward.mapping.internalClient '"192.168.77.10"'
expect_json .forward.mapping.thisComputer true
[[ "$(upnp_mapping 4703)" == "192.168.77.10:4703 "* ]] ||
    problem "after --forward the router maps 4703 to '$(upnp_mapping 4703)', expected 192.168.77.10:4703"
run_check --unforward 4703
expect_status 0
expect_json .forward.ok true
[ -z "$(upnp_mapping 4703)" ] || problem "after --unforward the router still maps 4703: $(upnp_mapping 4703)"
end_case

# 4. --forward for a port the dvr holds: refused as a conflict that names the dvr, and the dvr's
#    mapping stays as it was.
begin_case
router_setup plain full
upnp_map "$ns_dvr" 192.168.77.20 4704 "DVR remote view"
run_check --forward 4704
expect_status 5
expect_json .forward.ok false
expect_json .forward.conflict true
expect_text .forward.error
expect_json .forward.mapping.internalClient '"192.168.77.20"'
expect_json .forward.mapping.description '"DVR remote view"'
[ "$(upnp_mapping 4704)" = "192.168.77.20:4704 'DVR remote view'" ] ||
    problem "the dvr's mapping changed to '$(upnp_mapping 4704)'"
end_case

# 5. The router's WAN is in the ISP's shared space (100.64.0.0/10) behind the ISP's NAT: the
#    stock miniupnpd reports no external address, and the hop after the router is the carrier's.
begin_case
router_setup carrier full
expect_no_external_address
run_check 4705
expect_status 2
expect_json .verdict '"not-open"'
expect_json .router.found true
expect_json .router.via '"upnp"'
[[ "$(json_value .router.externalAddress)" =~ ^(null|\"\")$ ]] ||
    problem "$(last_run): .router.externalAddress is $(json_value .router.externalAddress), expected none"
expect_json .externalIp.address '"1.2.3.5"'
expect_json '[.router.hops[] | select(.ttl <= 2) | .address]' '["192.168.77.1","100.64.7.1"]'
expect_diagnosis carrier-nat
end_case

# 6. The router's WAN is private, behind another home router: the same from miniupnpd, but the
#    hop after the router is a private address.
begin_case
router_setup double full
expect_no_external_address
run_check 4706
expect_status 2
expect_json .verdict '"not-open"'
expect_json .router.found true
expect_json .router.via '"upnp"'
[[ "$(json_value .router.externalAddress)" =~ ^(null|\"\")$ ]] ||
    problem "$(last_run): .router.externalAddress is $(json_value .router.externalAddress), expected none"
expect_json .externalIp.address '"1.2.3.6"'
expect_json '[.router.hops[] | select(.ttl <= 2) | .address]' '["192.168.77.1","192.168.1.1"]'
expect_diagnosis double-nat
end_case

# 7. Nothing on the router speaks UPnP or NAT-PMP: no router, and asking costs the check at most
#    2.5 s; first with the router refusing NAT-PMP (ICMP port unreachable), then with it dropping
#    SSDP and NAT-PMP without a word, which leaves the client only its own time bounds. The
#    router resets the probe, so the check itself ends at once and hides no wait for the router.
expect_no_router() {
    expect_status 2
    expect_json .verdict '"not-open"'
    expect_json .router.found false
    expect_json .router.via null
    expect_json .router.mapping null
    expect_diagnosis no-router
    [ "$elapsed_ms" -le $((without_router_ms + 2500)) ] ||
        problem "$(last_run): asking the router made the check" \
            "$((elapsed_ms - without_router_ms)) ms longer than with --no-router, more than 2500"
}
begin_case
router_setup plain none
in_ns "$ns_router" nft add rule inet filter case_input iifname wan tcp dport 4707 reject with tcp reset
run_check --no-router 4707
expect_status 2
without_router_ms=$elapsed_ms
run_check 4707
expect_no_router
in_ns "$ns_router" nft add rule inet filter case_input iifname br-lan udp dport '{ 1900, 5351 }' drop
run_check 4707
in_ns "$ns_router" nft flush chain inet filter case_input
expect_no_router
end_case

# 8. UPnP off, NAT-PMP on: pc mapped the port with natpmpc. miniupnpd answers PCP on the same
#    port, so the router is found over PCP (its best protocol after UPnP), and NAT-PMP gives its
#    WAN address; neither can tell whose mapping a port has.
begin_case
router_setup plain natpmp
timeout 10 ip netns exec "$ns_pc" natpmpc -a 4708 4708 tcp 3600 >"$work/natpmpc.out" 2>&1 || true
grep -qF "Mapped public port 4708 protocol TCP to local port 4708" "$work/natpmpc.out" ||
    problem "bed: natpmpc could not map 4708: $(tail -n 3 "$work/natpmpc.out" | tr '\n' ' ')"
run_check 4708
expect_status 0
expect_json .verdict '"open-this-computer"'
expect_json .router.found true
expect_json .router.via '"pcp"'
expect_json .router.pcp.present true
expect_json .router.address '"192.168.77.1"'
expect_json .router.externalAddress '"1.2.3.4"'
expect_diagnosis forwarded-here
end_case

# 9. The router maps the port to pc, but pc's own firewall drops it.
begin_case
router_setup plain full
upnp_map "$ns_pc" 192.168.77.10 4709 "quillmere test"
in_ns "$ns_pc" nft -f - <<'EOF'
table inet host {
    chain input {
        type filter hook input priority filter; policy accept;
        tcp dport 4709 drop
    }
}
EOF
run_check 4709
in_ns "$ns_pc" nft delete table inet host
expect_status 2
expect_json .verdict '"not-open"'
expect_router_upnp
expect_mapping 192.168.77.10 4709 "quillmere test" true
# The probe arrived and went no further: pc's firewall, which root can read, is named, and no
# control port is tried.
expect_diagnosis blocked-by-this-computer
expect_json .firewall.blocks true
expect_json .firewall.found '"nftables"'
expect_json .controlPort null
end_case

stop_daemon
summary "$passed" "$failed" 0
[ "$failed" -eq 0 ]
