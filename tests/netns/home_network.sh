#!/usr/bin/env bash
# Runs quillmere-check against quillmere-server through a real NAT router, built from Linux
# network namespaces, and checks the verdict of each kind of home network set-up:
#
#   internet   198.51.100.1 (quillmere-server, port 80) and 203.0.113.1 on veth "isp"
#      |
#   router     "wan" 203.0.113.2, "br-lan" 192.168.77.1; masquerades the LAN, forwards the ports
#      |       each case asks for, drops whatever else comes in on wan, answers echo requests
#      |
#   pc 192.168.77.10 (runs quillmere-check)      dvr 192.168.77.20 (a listener of its own)
#
# The internet namespace has no route to 192.168.77.0/24: every packet of a check crosses the
# NAT, as it does at home.
#
# Usage: home_network.sh BUILD_DIR
#        home_network.sh QUILLMERE_CHECK QUILLMERE_SERVER
#
# Needs root, `ip netns` (iproute2), nft (nftables), socat and sysctl (procps). Where one is
# missing every case is reported SKIPPED with the reason and the script exits 77; it never
# reports a pass it did not see. A run takes about 25 s, most of it the program's own waits.
# Exit status: 0 every case passed, 1 a case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=home_network
readonly case_names=(
    "tcp forwarded to pc"
    "udp forwarded to pc"
    "tcp forwarded to dvr"
    "tcp not forwarded"
    "udp not forwarded"
    "router ignores pings"
    "check server unreachable"
    "port held by another program"
    "server stops on SIGTERM"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

programs_from_arguments "$@"

prepare nft:nftables socat:socat ss:iproute2

# --- The network --------------------------------------------------------------------------------

readonly ns_inet=$run_id-internet ns_router=$run_id-router ns_pc=$run_id-pc ns_dvr=$run_id-dvr
for ns in "$ns_inet" "$ns_router" "$ns_pc" "$ns_dvr"; do new_namespace "$ns"; done

# The veth ends are made inside the namespaces, so their names can never meet another run's.
ip -n "$ns_inet" link add isp type veth peer name wan netns "$ns_router"
ip -n "$ns_router" link add br-lan type bridge
ip -n "$ns_router" link add lan-pc type veth peer name eth0 netns "$ns_pc"
ip -n "$ns_router" link add lan-dvr type veth peer name eth0 netns "$ns_dvr"
ip -n "$ns_router" link set lan-pc master br-lan
ip -n "$ns_router" link set lan-dvr master br-lan

ip -n "$ns_inet" addr add 198.51.100.1/24 dev isp
ip -n "$ns_inet" addr add 203.0.113.1/24 dev isp
ip -n "$ns_inet" link set isp up

ip -n "$ns_router" addr add 203.0.113.2/24 dev wan
ip -n "$ns_router" addr add 192.168.77.1/24 dev br-lan
for dev in wan br-lan lan-pc lan-dvr; do ip -n "$ns_router" link set "$dev" up; done
ip -n "$ns_router" route add default via 203.0.113.1
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1

for host in "$ns_pc:192.168.77.10" "$ns_dvr:192.168.77.20"; do
    ns=${host%%:*}
    ip -n "$ns" addr add "${host#*:}/24" dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add default via 192.168.77.1
done

# The router's rules. Three chains are the knobs the cases turn: port_forwards holds the DNAT
# rules, wan_echo accepts or drops echo requests on wan, outage cuts off the server when it holds
# a rule. Echo requests are decided before the conntrack rule: the server pings with one ICMP
# identifier, so a new ping would otherwise pass as "established" for 30 s after the last one.
nft_error=$(in_ns "$ns_router" nft add table ip probe 2>&1) ||
    skip_all "nftables does not work here: ${nft_error//$'\n'/ }"
in_ns "$ns_router" nft delete table ip probe
in_ns "$ns_router" nft -f - <<'EOF'
table ip quillmere {
    counter to_server { }

    chain port_forwards { }
    chain wan_echo {
        accept
    }
    chain outage { }

    chain prerouting {
        type nat hook prerouting priority dstnat; policy accept;
        iifname "wan" jump port_forwards
    }
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "wan" ip saddr 192.168.77.0/24 masquerade
    }
    chain input {
        type filter hook input priority filter; policy accept;
        iifname != "wan" accept
        icmp type echo-request jump wan_echo
        ct state established,related accept
        drop
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        jump outage
        ct state established,related accept
        iifname "br-lan" oifname "wan" ip daddr 198.51.100.1 tcp dport 80 ct state new counter name "to_server"
        iifname "br-lan" oifname "wan" accept
        iifname "wan" oifname "br-lan" ct status dnat accept
    }
}
EOF

router_nft() { in_ns "$ns_router" nft "$@"; }

forward() { # PROTOCOL PORT LAN_ADDRESS
    router_nft flush chain ip quillmere port_forwards
    router_nft add rule ip quillmere port_forwards "$1" dport "$2" dnat to "$3:$2"
}

no_forwards() { router_nft flush chain ip quillmere port_forwards; }

wan_echo() { # accept|drop
    router_nft flush chain ip quillmere wan_echo
    router_nft add rule ip quillmere wan_echo "$1"
}

server_contacts() { # how many connections the LAN has opened to the check server
    router_nft list counter ip quillmere to_server | sed -n 's/.*packets \([0-9]*\).*/\1/p'
}


# --- The check server ---------------------------------------------------------------------------

start_check_server "$ns_inet" "$server_bin" 198.51.100.1

log_lines() { wc -l <"$access_log"; }

# --- One check ----------------------------------------------------------------------------------

# Runs quillmere-check on pc. Sets out (stdout), err (stderr), status and seconds.
run_check() { # PROTOCOL PORT TIMEOUT_SECONDS
    local started=${EPOCHREALTIME/./} ended
    status=0
    # A hard stop well past the check's own time-out keeps a broken run from hanging the suite.
    timeout -k 2 $(($3 + 8)) ip netns exec "$ns_pc" "$check_bin" --server 198.51.100.1 \
        --protocol "$1" --timeout "$3" "$2" >"$work/out" 2>"$work/err" || status=$?
    ended=${EPOCHREALTIME/./}
    out=$(<"$work/out")
    err=$(<"$work/err")
    seconds=$(seconds_since "$started")
    elapsed_ms=$(((ended - started) / 1000))
}

problems=()
problem() { problems+=("$*"); }

expect_status() { # EXIT_STATUS
    [ "$status" -eq "$1" ] || problem "exit status $status, expected $1"
}

expect_line() { # LINE: a whole line of quillmere-check's stdout
    grep -qxF -- "$1" <<<"$out" || problem "no line: $1"
}

expect_err_line() { # LINE: a whole line of quillmere-check's stderr
    grep -qxF -- "$1" <<<"$err" || problem "no line on stderr: $1"
}

# The access log lines the server wrote since BEFORE lines; waits a little for the one a check
# ends with, since the reply may reach the program before the line reaches the file.
new_log_lines() { # BEFORE
    local i
    for i in $(seq 30); do
        [ "$(log_lines)" -gt "$1" ] && break
        sleep 0.1
    done
    tail -n +"$(($1 + 1))" "$access_log"
}

# Exactly one new access log line, holding each FIELD=VALUE given.
expect_log() { # BEFORE FIELD=VALUE...
    local lines count field
    lines=$(new_log_lines "$1")
    shift
    count=$(grep -c . <<<"$lines" || true)
    if [ "$count" -ne 1 ]; then
        problem "the access log got $count lines, expected 1: ${lines//$'\n'/ | }"
        return
    fi
    for field in "$@"; do
        [[ " $lines " == *" $field "* ]] || problem "access log line lacks $field: $lines"
    done
}

passed=0
failed=0
case_number=0

begin_case() {
    case_number=$((case_number + 1))
    problems=()
}

end_case() {
    local verdict
    verdict=$(sed -n 's/^Status: //p' <<<"$out" | head -n 1)
    if [ ${#problems[@]} -eq 0 ]; then
        passed=$((passed + 1))
        case_line "$case_number" PASS "$(printf 'exit %d  %5ss  "%s"' "$status" "$seconds" "$verdict")"
    else
        failed=$((failed + 1))
        case_line "$case_number" FAIL "$(printf 'exit %d  %5ss  "%s"' "$status" "$seconds" "$verdict")"
        printf '    %s\n' "${problems[@]}"
        say "    --- quillmere-check stdout"
        sed 's/^/    /' "$work/out"
        say "    --- quillmere-check stderr"
        sed 's/^/    /' "$work/err"
        say "    --- quillmere-server stderr (last lines)"
        tail -n 5 "$server_err" | sed 's/^/    /'
    fi
}

# --- The texts quillmere-check prints (engine/verdict.h, engine/checkengine.cpp) ----------------

readonly open_here="Status: Your port is OPEN on this computer!"
readonly open_elsewhere="Status: Your port is OPEN on another device!"
readonly not_open="Status: Your port is NOT OPEN or not reachable!"
readonly no_result="Status: Could not connect to the Dunmoor servers. Your port is not open or not reachable."
readonly udp_open="Info: This means that our server sent a UDP packet to your computer and it got there as it should. Everything is working as it should and your UDP port is forwarded correctly."
readonly udp_closed="Info: This means that our server sent a UDP packet to your computer but your computer never got it. Most likely your port is not forwarded correctly."
readonly tcp_open="Info: This means that our server was able to establish a direct connection to your computer and send it data. Everything is working as it should and your TCP port is forwarded correctly."
readonly tcp_closed="Info: This means that our server was not able to make a TCP connection to your network. Your TCP port is not forwarded properly or the device it is forwarded to is not responding."
readonly other_device="Info: This means that our server was able to establish a direct connection to some device on your network, but the data it sent did not arrive at this computer in time. Your port is forwarded correctly and may be forwarded to either this computer or another device on your network. This may happen even when the port is forwarded to this computer due to network load."
readonly ping_ok="Ping: We were able to ping your router."
readonly ping_failed="Ping: We were not able to ping your router."
readonly external_ip="External IP: Your external IP address is: 203.0.113.2"
readonly external_ip_unknown="External IP: We were not able to determine your external IP address."

locked_status() { say "Status: Port $1 could not be checked. Please close any applications that may be using this port and try again."; }
locked_info() { say "Info: Try closing all applications that could be using port $1 and try again."; }
locked_message() { say "Could not test port $1 because some other application has that port locked. Please close any applications that may be using this port and try again."; }

# --- The cases ----------------------------------------------------------------------------------

# 1. TCP forwarded to this computer.
begin_case
forward tcp 4711 192.168.77.10
before=$(log_lines)
contacts_before=$(server_contacts)
run_check tcp 4711 15
# The counter case 8 relies on must see this check's connection.
[ "$(server_contacts)" -gt "$contacts_before" ] ||
    problem "the router's count of connections to the check server did not move"
expect_status 0
expect_line "$open_here"
expect_line "$tcp_open"
expect_line "$ping_ok"
expect_line "$external_ip"
expect_log "$before" client=203.0.113.2 port=4711 protocol=tcp outcome=open ping=ok
end_case

# 2. UDP forwarded to this computer: the verdict comes after the program's 5 s wait.
begin_case
forward udp 4712 192.168.77.10
before=$(log_lines)
run_check udp 4712 15
expect_status 0
expect_line "$open_here"
expect_line "$udp_open"
expect_line "$ping_ok"
expect_line "$external_ip"
[ "$elapsed_ms" -ge 4700 ] || problem "took ${seconds}s, less than the 5 s wait for the datagram"
expect_log "$before" client=203.0.113.2 port=4712 protocol=udp outcome=sent ping=ok
end_case

# 3. TCP forwarded to the dvr, which takes the probe: open, but on another device.
begin_case
ip netns exec "$ns_dvr" socat -u TCP-LISTEN:4713,reuseaddr "OPEN:$work/dvr.received,creat,append" &
pids+=("$!")
wait_for_listener "$ns_dvr" 4713 || problem "the dvr's listener did not start"
forward tcp 4713 192.168.77.20
before=$(log_lines)
run_check tcp 4713 15
expect_status 1
expect_line "$open_elsewhere"
expect_line "$other_device"
expect_line "$ping_ok"
expect_line "$external_ip"
grep -qi dunmoor "$work/dvr.received" 2>/dev/null || problem "the probe never reached the dvr"
expect_log "$before" client=203.0.113.2 port=4713 protocol=tcp outcome=open ping=ok
end_case

# 4. TCP, nothing forwarded: the router drops the probe.
begin_case
no_forwards
before=$(log_lines)
run_check tcp 4714 15
expect_status 2
expect_line "$not_open"
expect_line "$tcp_closed"
expect_line "$ping_ok"
expect_line "$external_ip"
expect_log "$before" client=203.0.113.2 port=4714 protocol=tcp outcome=timeout ping=ok
end_case

# 5. UDP, nothing forwarded.
begin_case
no_forwards
before=$(log_lines)
run_check udp 4715 15
expect_status 2
expect_line "$not_open"
expect_line "$udp_closed"
expect_line "$ping_ok"
expect_line "$external_ip"
expect_log "$before" client=203.0.113.2 port=4715 protocol=udp outcome=sent ping=ok
end_case

# 6. The router ignores echo requests on wan: only the ping line changes.
begin_case
forward tcp 4716 192.168.77.10
wan_echo drop
before=$(log_lines)
run_check tcp 4716 15
wan_echo accept
expect_status 0
expect_line "$open_here"
expect_line "$tcp_open"
expect_line "$ping_failed"
expect_line "$external_ip"
expect_log "$before" client=203.0.113.2 port=4716 protocol=tcp outcome=open ping=none
end_case

# 7. The router drops everything to the check server: no result once --timeout has run out.
begin_case
forward tcp 4717 192.168.77.10
router_nft add rule ip quillmere outage ip daddr 198.51.100.1 drop
before=$(log_lines)
run_check tcp 4717 3
router_nft flush chain ip quillmere outage
expect_status 3
expect_line "$no_result"
expect_line "$ping_failed"
expect_line "$external_ip_unknown"
if [ "$elapsed_ms" -lt 2700 ] || [ "$elapsed_ms" -gt 4500 ]; then
    problem "took ${seconds}s, expected about the 3 s of --timeout"
fi
sleep 0.5
[ "$(log_lines)" -eq "$before" ] || problem "the server logged a check: $(tail -n 1 "$access_log")"
end_case

# 8. Another program on pc holds the port: the check stops before asking the server anything.
begin_case
forward tcp 4718 192.168.77.10
ip netns exec "$ns_pc" socat -u TCP-LISTEN:4718,reuseaddr OPEN:/dev/null &
pids+=("$!")
wait_for_listener "$ns_pc" 4718 || problem "the program holding port 4718 did not start"
before=$(log_lines)
contacts_before=$(server_contacts)
run_check tcp 4718 15
expect_status 4
expect_line "$(locked_status 4718)"
expect_line "$(locked_info 4718)"
expect_err_line "$(locked_message 4718)"
sleep 1 # time enough for a request that did go out to be logged
[ "$(log_lines)" -eq "$before" ] || problem "the server logged a check: $(tail -n 1 "$access_log")"
[ "$(server_contacts)" -eq "$contacts_before" ] ||
    problem "pc opened a connection to the check server"
end_case

# 9. The server ends on SIGTERM once its connections are done, which is at once here.
case_number=$((case_number + 1))
started=${EPOCHREALTIME/./}
if stop_process "$server_pid" 5; then
    passed=$((passed + 1))
    case_line "$case_number" PASS "$(printf '%5ss' "$(seconds_since "$started")")"
else
    failed=$((failed + 1))
    case_line "$case_number" FAIL "$(printf '%5ss' "$(seconds_since "$started")")"
    say "    still running 5 s after SIGTERM, ended with SIGKILL; its stderr:"
    sed 's/^/    /' "$server_err"
fi

summary "$passed" "$failed" 0
[ "$failed" -eq 0 ]
