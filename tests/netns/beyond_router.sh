#!/usr/bin/env bash
# Runs quillmere-check through a real UPnP IGD router (Debian's miniupnpd, nftables build) in
# Linux network namespaces, for what stops a forwarded port beyond the router: this computer's
# own firewall (dropping, resetting, or answering ICMP administratively prohibited), a port
# blocked before the router (an ISP's filter), and the way back in from the LAN (hairpin NAT).
#
#   internet   bridge "ix": 198.51.100.1 and 2001:db8:ffff::1 (quillmere-server, port 80,
#      |       "checkserver" to pc), 1.2.3.1 and 2001:db8:ff00::1, the gateways
#   router     "wan" 1.2.3.4 and 2001:db8:ff00::2 (a netdev ingress table on it stands in for
#      |       the ISP's filter), "br-lan" 192.168.77.1 and 2001:db8:100:1::1; masquerades the
#      |       LAN's IPv4; miniupnpd on br-lan (UPnP IGD on port 5000, NAT-PMP) keeps its rules
#      |       in table inet filter; routes IPv6 as it is, inbound only as a case allows
#   pc 192.168.77.10, and 2001:db8:100:1::10 in the IPv6 case only (runs quillmere-check; a
#      table inet host of its own is its firewall)
#
# What each case asserts: the server's account of its probe (the access log's probe= and icmp=,
# and "probe" in quillmere-check's JSON) always; the findings that need more of the program
# (this computer's firewall, the control port, the hairpin probe) only when the check's JSON has
# their key. A case whose own asserts hold but that lacks such a key is reported SKIPPED with
# what it needs, and does not fail the run. Each run line gives the check's wall time; where the
# program has --no-control-port and --no-hairpin, a case runs once more without them and prints
# the time they added.
#
# Usage: beyond_router.sh BUILD_DIR
#        beyond_router.sh QUILLMERE_CHECK QUILLMERE_SERVER
#
# Needs root, `ip netns` (iproute2), nft (nftables), socat, sysctl (procps), setpriv
# (util-linux), miniupnpd (miniupnpd-nftables), upnpc (miniupnpc) and jq. Where one is missing
# every case is reported SKIPPED with the reason and the script exits 77.
# Exit status: 0 no case failed, 1 a case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=beyond_router
readonly case_names=(
    "pc drops the port"
    "pc drops it, check as nobody"
    "pc resets the port"
    "pc answers admin-prohibited"
    "isp drops the port"
    "hairpin: dnat from lan + masq"
    "hairpin: dnat from lan only"
    "hairpin: dnat only on wan"
    "pc answers admin-prohibited, v6"
    "pc rejects, nft's default"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

programs_from_arguments "$@"

prepare nft:nftables socat:socat ss:iproute2 setpriv:util-linux miniupnpd:miniupnpd-nftables \
    upnpc:miniupnpc jq:jq

# --- The network --------------------------------------------------------------------------------

readonly ns_inet=$run_id-internet ns_router=$run_id-router ns_pc=$run_id-pc
for ns in "$ns_inet" "$ns_router" "$ns_pc"; do
    new_namespace "$ns"
done

require_nftables "$ns_router"

add_internet_bridge "$ns_inet" 198.51.100.1/24 1.2.3.1/24 2001:db8:ffff::1/64 2001:db8:ff00::1/64

ip -n "$ns_router" link add wan type veth peer name r-wan netns "$ns_inet"
ip -n "$ns_inet" link set r-wan master ix
ip -n "$ns_inet" link set r-wan up
ip -n "$ns_router" addr add 1.2.3.4/24 dev wan
ip -n "$ns_router" addr add 2001:db8:ff00::2/64 dev wan nodad
ip -n "$ns_router" link set wan up
ip -n "$ns_router" route add default via 1.2.3.1
ip -n "$ns_router" -6 route add default via 2001:db8:ff00::1
ip -n "$ns_inet" route add 2001:db8:100::/56 via 2001:db8:ff00::2

# The LAN, a bridge in the router. Bridged frames must not pass the IP hooks (where the host has
# br_netfilter loaded), or the router's rules would see pc's LAN traffic twice.
ip -n "$ns_router" link add br-lan type bridge mcast_snooping 0
ip -n "$ns_router" addr add 192.168.77.1/24 dev br-lan
ip -n "$ns_router" addr add 2001:db8:100:1::1/64 dev br-lan nodad
add_lan_host "$ns_router" "$ns_pc" 192.168.77.10 lan-pc
printf '198.51.100.1 checkserver\n2001:db8:ffff::1 checkserver\n' |
    namespace_etc_file "$ns_pc" hosts
ip -n "$ns_router" link set br-lan up
for setting in net.bridge.bridge-nf-call-iptables net.bridge.bridge-nf-call-ip6tables \
    net.bridge.bridge-nf-call-arptables; do
    in_ns "$ns_router" sysctl -qw "$setting=0" 2>/dev/null || true
done
# Every ICMP error goes out: the kernel's rate limit would now and then hold back the one a
# case is about.
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0 \
    net.ipv6.conf.all.forwarding=1 net.ipv6.icmp.ratelimit=0
in_ns "$ns_pc" sysctl -qw net.ipv4.icmp_ratelimit=0 net.ipv6.icmp.ratelimit=0

# The router's rules, as in router_upnp.sh, with a chain of each hook for the case at hand
# (case_prerouting, case_postrouting, case_forward; flushed after each case). miniupnpd adds its
# own rules to the three miniupnpd chains.
in_ns "$ns_router" nft -f - <<'EOF'
table inet filter {
    chain miniupnpd { }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
    chain case_prerouting { }
    chain case_postrouting { }
    chain case_forward { }

    chain prerouting {
        type nat hook prerouting priority dstnat; policy accept;
        jump case_prerouting
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        jump case_postrouting
        jump postrouting_miniupnpd
        oifname "wan" ip saddr 192.168.77.0/24 masquerade
    }
    chain input {
        type filter hook input priority filter; policy accept;
        iifname != "wan" accept
        ct state established,related accept
        icmp type echo-request accept
        icmpv6 type { nd-neighbor-solicit, nd-neighbor-advert } accept
        drop
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        ct state established,related accept
        icmpv6 type { destination-unreachable, packet-too-big, time-exceeded } accept
        jump case_forward
        iifname "wan" jump miniupnpd
        iifname "br-lan" oifname "wan" accept
    }
}
EOF

# --- miniupnpd ----------------------------------------------------------------------------------

readonly daemon_conf=$work/miniupnpd.conf daemon_log=$work/miniupnpd.log
readonly igd_url=http://192.168.77.1:5000/rootDesc.xml
daemon_pid=

stop_daemon() { stop_miniupnpd "$ns_router"; }

# A fresh miniupnpd for each case, so that no mapping is left over from the one before.
start_daemon() {
    stop_daemon
    write_miniupnpd_conf yes 6b0d2f3e-91a4-4c57-8e2b-0f7a3c5d1e29 notify_interval=60
    start_miniupnpd "$ns_router" "--- miniupnpd for case $((case_number))" tcp:5000 ||
        problem "bed: miniupnpd did not start"
}

upnpc_on_pc() { # ARGS...
    timeout 10 ip netns exec "$ns_pc" upnpc -u "$igd_url" "$@" 2>&1
}

# Every TCP mapping the router lists, as "EXTERNAL->ADDRESS:PORT", one a line.
upnp_mappings() {
    upnpc_on_pc -l | sed -n 's/^ *[0-9][0-9]* TCP *\([0-9]*->[0-9.:]*\) .*/\1/p'
}

# Maps TCP port PORT to pc, as a program on pc would.
upnp_map_pc() { # PORT
    upnpc_on_pc -e "quillmere test" -a 192.168.77.10 "$1" "$1" TCP 3600 >"$work/upnpc.out" ||
        problem "bed: upnpc -a $1 failed: $(tail -n 2 "$work/upnpc.out" | tr '\n' ' ')"
    grep -qxF "$1->192.168.77.10:$1" <<<"$(upnp_mappings)" ||
        problem "bed: the router does not list the mapping of $1 to pc"
}

# --- The check server ---------------------------------------------------------------------------

start_check_server "$ns_inet" "$server_bin" '[2001:db8:ffff::1]' 198.51.100.1

# The access log's line for the probe of TCP port PORT written after line FROM, once it is there
# (the server writes it as it answers; the log may trail by a moment); nothing after 5 s.
probe_log_line() { # PORT FROM
    local i line
    for i in $(seq 50); do
        line=$(tail -n +"$(($2 + 1))" "$access_log" | grep " port=$1 protocol=tcp " | tail -n 1) &&
            [ -n "$line" ] && { say "$line"; return 0; }
        sleep 0.1
    done
}

# --- One check ----------------------------------------------------------------------------------

# The features a case would also check, when the program reports them, and the time they added.
needs=()
timings=()

# Whether the program knows a command-line option (the options of the later additions). The help
# is read whole first: a grep -q in a pipe can end it early, and pipefail would take the SIGPIPE
# for an unknown option.
check_help=$("$check_bin" --help 2>&1 || true)
if grep -q -- --no-control-port <<<"$check_help" && grep -q -- --no-hairpin <<<"$check_help"; then
    has_feature_switches=yes
else
    has_feature_switches=
fi

check_server=198.51.100.1 # by address: the check runs over IPv4 only

# Runs quillmere-check --json on pc with ARGS (with --nobody: as user and group 65534, which
# holds no capability). Sets out, status, seconds, elapsed_ms and log_before (the access log's length
# before the run), and adds a line to this case's runs.
run_check() { # [--nobody] ARGS...
    local started ended as=()
    if [ "$1" = --nobody ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        shift
    fi
    wait_quiet "$ns_pc"
    log_before=$(wc -l <"$access_log")
    status=0
    started=${EPOCHREALTIME/./}
    timeout -k 2 40 ip netns exec "$ns_pc" "${as[@]}" "$check_bin" --server "$check_server" \
        --timeout 10 --json "$@" >"$work/out" 2>"$work/err" || status=$?
    ended=${EPOCHREALTIME/./}
    out=$(<"$work/out")
    seconds=$(seconds_since "$started")
    elapsed_ms=$(((ended - started) / 1000))
    runs+=("$(printf '%-34s exit %d  %5ss  probe %s, diagnosis %s' "${as[0]:+(nobody) }$*" \
        "$status" "$seconds" "$(json_value .probe)" "$(json_value .diagnosis.code)")")
    cp "$work/out" "$work/out.${#runs[@]}"
    cp "$work/err" "$work/err.${#runs[@]}"
}

last_run() { say "run ${#runs[@]}"; }

# The server's probe of PORT in the last run ended as WORD (its access log line ends in
# " probe=WORD", and ICMP, when given, follows as " icmp=ICMP"), and the check's JSON says so.
expect_probe() { # PORT WORD [ICMP]
    local line ending=" probe=$2"
    [ $# -lt 3 ] || ending+=" icmp=$3"
    line=$(probe_log_line "$1" "$log_before")
    [[ "$line" == *"$ending" ]] ||
        problem "$(last_run): the server's log line for port $1 does not end in '$ending': ${line:-(none)}"
    expect_json .probe "\"$2\""
}

# FILTER is JSON when the check's JSON has the top-level KEY; otherwise the case needs FEATURE.
expect_with() { # KEY FEATURE FILTER JSON
    if [ "$(json_value "has(\"$1\")")" = true ]; then
        expect_json "$3" "$4"
    else
        needs+=("$2")
    fi
}

# What the later parts of the program say of this computer's firewall when it stopped the probe.
expect_blocked_here() {
    expect_with firewall "this computer's firewall" .diagnosis.code '"blocked-by-this-computer"'
    expect_with firewall "this computer's firewall" .firewall.blocks true
    expect_with firewall "this computer's firewall" '.firewall.found != null' true
    expect_with firewall "this computer's firewall" '.firewall.evidence | type' '"string"'
}

expect_hairpin() { # works|timed-out|refused PORT
    expect_with hairpin "the hairpin probe" .hairpin.result "\"$1\""
    expect_with hairpin "the hairpin probe" .hairpin.lanAddress "\"192.168.77.10:$2\""
}

# Where the program has the switches: the same check without the control port and the hairpin
# probe, for the time they add.
time_without_additions() { # ARGS...
    [ -n "$has_feature_switches" ] || return 0
    local with_ms=$elapsed_ms
    run_check --no-control-port --no-hairpin "$@"
    timings+=("added by the control port and the hairpin probe: $((with_ms - elapsed_ms)) ms")
}

failure_details() {
    say "    --- access log (last lines)"
    tail -n 6 "$access_log" | sed 's/^/    /'
    say "    --- miniupnpd (last lines)"
    tail -n 10 "$daemon_log" 2>/dev/null | sed 's/^/    /'
}

skipped=0

# A case passes when its asserts hold; when they hold but it lacks a feature, it is SKIPPED
# with what it needs. The router and pc are put back as they were either way.
begin_beyond_case() {
    begin_case
    needs=()
    timings=()
}

end_beyond_case() {
    local missing
    in_ns "$ns_pc" nft delete table inet host 2>/dev/null || true
    in_ns "$ns_router" nft delete table netdev isp 2>/dev/null || true
    for chain in case_prerouting case_postrouting case_forward; do
        in_ns "$ns_router" nft flush chain inet filter "$chain"
    done
    if [ ${#problems[@]} -gt 0 ] || [ ${#needs[@]} -eq 0 ]; then
        end_case
    else
        missing=$(printf '%s\n' "${needs[@]}" | sort -u | paste -sd, - | sed 's/,/, /g')
        case_line "$case_number" SKIPPED "(needs $missing; the probe's asserts passed)" \
            "$(printf '%5ss' "$(seconds_since "$case_started")")"
        printf '    %s\n' "${runs[@]}"
        skipped=$((skipped + 1))
    fi
    [ ${#timings[@]} -eq 0 ] || printf '    %s\n' "${timings[@]}"
}

# pc's own firewall: one rule for PORT in an input chain of its own.
pc_firewall() { # RULE
    in_ns "$ns_pc" nft -f - <<EOF
table inet host {
    chain input {
        type filter hook input priority filter; policy accept;
        $1
    }
}
EOF
}

# --- The cases ----------------------------------------------------------------------------------

# 1. The router forwards the port to pc, and pc drops it: the probe times out.
begin_beyond_case
start_daemon
upnp_map_pc 4801
pc_firewall "tcp dport 4801 drop"
run_check 4801
expect_status 2
expect_json .verdict '"not-open"'
expect_probe 4801 timed-out
expect_blocked_here
end_beyond_case

# 2. The same, checked by a user without privileges, who cannot read the firewall's rules.
begin_beyond_case
start_daemon
upnp_map_pc 4802
pc_firewall "tcp dport 4802 drop"
run_check --nobody 4802
[ "$(in_ns "$ns_pc" setpriv --reuid=65534 --regid=65534 --clear-groups id -u)" = 65534 ] ||
    problem "bed: setpriv did not make the check run as user 65534"
expect_status 2
expect_json .verdict '"not-open"'
expect_probe 4802 timed-out
expect_blocked_here
end_beyond_case

# 3. pc answers the probe with a TCP reset while the check's listener is open.
begin_beyond_case
start_daemon
upnp_map_pc 4803
pc_firewall "tcp dport 4803 reject with tcp reset"
run_check 4803
expect_status 2
expect_json .verdict '"not-open"'
expect_probe 4803 refused
expect_blocked_here
end_beyond_case

# 4. pc answers with ICMP administratively prohibited, as firewalld does: the connect ends at
#    once, and the server names the ICMP message.
begin_beyond_case
start_daemon
upnp_map_pc 4804
pc_firewall "tcp dport 4804 reject with icmpx admin-prohibited"
run_check 4804
expect_status 2
expect_json .verdict '"not-open"'
expect_probe 4804 unreachable "3/13 (administratively prohibited)"
expect_blocked_here
end_beyond_case

# 5. The router forwards the port to pc, but a filter in front of the router (here an ingress
#    rule on its WAN) drops that port only: the probe times out, a control port gets through,
#    and its mapping is gone afterwards.
begin_beyond_case
start_daemon
upnp_map_pc 4805
in_ns "$ns_router" nft -f - <<'EOF'
table netdev isp {
    chain ingress {
        type filter hook ingress device "wan" priority -500; policy accept;
        tcp dport 4805 drop
    }
}
EOF
run_check 4805
expect_status 2
expect_json .verdict '"not-open"'
expect_probe 4805 timed-out
expect_with controlPort "the control port" .diagnosis.code '"blocked-upstream"'
expect_with controlPort "the control port" .controlPort.open true
expect_with controlPort "the control port" .controlPort.removed true
expect_with controlPort "the control port" \
    '.controlPort.port >= 49152 and .controlPort.port <= 65535' true
if [ "$(json_value 'has("controlPort")')" = true ]; then
    # The server reached the control port, and the router keeps no mapping but the case's own.
    control=$(json_value .controlPort.port)
    control_line=$(probe_log_line "$control" "$log_before")
    [[ "$control_line" == *" probe=connected" ]] ||
        problem "$(last_run): the server's probe of control port $control: ${control_line:-(none)}"
    leftover=$(upnp_mappings | grep -vxF "4805->192.168.77.10:4805" || true)
    [ -z "$leftover" ] || problem "$(last_run): the router still lists: ${leftover//$'\n'/ }"
fi
time_without_additions 4805
end_beyond_case

# 6-8. The way back in from the LAN. The router forwards the port to pc (miniupnpd's rule, which
#    acts on what comes in on wan); the check finds it open and then tries EXTERNAL:PORT once
#    from pc. With DNAT from the LAN and a masquerade for LAN-to-LAN, the connection comes back
#    to pc through the router; with the DNAT alone, pc gets its own address as the source and
#    drops it (half hairpin); with no rule for the LAN, the router itself answers and refuses.
hairpin_rules() { # full|dnat|none PORT
    case $1 in
        full | dnat)
            in_ns "$ns_router" nft add rule inet filter case_prerouting iifname br-lan \
                ip daddr 1.2.3.4 tcp dport "$2" dnat ip to 192.168.77.10
            in_ns "$ns_router" nft add rule inet filter case_forward iifname br-lan \
                oifname br-lan ct status dnat accept
            ;;&
        full)
            in_ns "$ns_router" nft add rule inet filter case_postrouting iifname br-lan \
                oifname br-lan ip saddr 192.168.77.0/24 ct status dnat masquerade
            ;;
    esac
}

# What a connection from pc to 1.2.3.4:PORT meets, with a listener on pc: works, refused or
# timed-out (within 2 s).
bed_hairpin() { # PORT
    local listener result=timed-out
    ip netns exec "$ns_pc" socat -u TCP-LISTEN:"$1",reuseaddr OPEN:/dev/null &
    listener=$!
    pids+=("$listener")
    wait_for_listener "$ns_pc" "$1" || problem "bed: the listener on $1 did not start"
    if in_ns "$ns_pc" timeout 2 bash -c "exec 3<>/dev/tcp/1.2.3.4/$1" 2>"$work/connect.err"; then
        result=works
    elif grep -q "refused" "$work/connect.err"; then
        result=refused
    fi
    stop_process "$listener" 3 || true
    say "$result"
}

hairpin_case() { # full|dnat|none PORT EXPECTED
    begin_beyond_case
    start_daemon
    upnp_map_pc "$2"
    hairpin_rules "$1" "$2"
    run_check "$2"
    expect_status 0
    expect_json .verdict '"open-this-computer"'
    expect_probe "$2" connected
    expect_hairpin "$3" "$2"
    # The bed itself: once the check has closed the port, a listener of the bed's own meets what
    # the program's hairpin probe should have met.
    local seen
    seen=$(bed_hairpin "$2")
    [ "$seen" = "$3" ] || problem "bed: a connection to 1.2.3.4:$2 from pc $seen, expected $3"
    time_without_additions "$2"
    end_beyond_case
}

hairpin_case full 4806 works
hairpin_case dnat 4807 timed-out
hairpin_case none 4808 refused

# 9. Over IPv6, with no NAT: the router lets the port through to pc, and pc answers with
#    ICMPv6 administratively prohibited, which the server reads from its error queue too.
begin_beyond_case
ip -n "$ns_pc" addr add 2001:db8:100:1::10/64 dev eth0 nodad
ip -n "$ns_pc" -6 route add default via 2001:db8:100:1::1
in_ns "$ns_router" nft add rule inet filter case_forward iifname wan oifname br-lan \
    ip6 daddr 2001:db8:100:1::10 tcp dport 4809 accept
pc_firewall "tcp dport 4809 reject with icmpx admin-prohibited"
check_server=checkserver
run_check -6 4809
check_server=198.51.100.1
ip -n "$ns_pc" -6 route del default via 2001:db8:100:1::1 2>/dev/null || true
ip -n "$ns_pc" addr del 2001:db8:100:1::10/64 dev eth0
expect_status 2
expect_json .verdict '"not-open"'
expect_json .family '"ipv6"'
expect_probe 4809 unreachable "1/1 (administratively prohibited)"
[[ "$(probe_log_line 4809 "$log_before")" == *" client=2001:db8:100:1::10 "* ]] ||
    problem "$(last_run): the server did not probe pc's IPv6 address"
end_beyond_case

# 10. pc rejects the port with nftables' plain "reject": ICMP port unreachable, which the
#     system reports to the connect as a refusal; the server must still tell it from a reset.
begin_beyond_case
start_daemon
upnp_map_pc 4810
pc_firewall "tcp dport 4810 reject"
run_check 4810
expect_status 2
expect_json .verdict '"not-open"'
expect_probe 4810 unreachable "3/3 (port unreachable)"
expect_blocked_here
end_beyond_case

stop_daemon
summary "$passed" "$failed" "$skipped"
[ "$failed" -eq 0 ]
