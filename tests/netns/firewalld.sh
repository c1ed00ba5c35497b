#!/usr/bin/env bash
# Runs quillmere-check on a computer whose firewall is a real firewalld, in network namespaces:
#
#   internet   198.51.100.1 (quillmere-server, port 80) on veth "isp"
#      |
#   pc         eth0 198.51.100.10, default route via 198.51.100.1; firewalld (default zone
#              "public": ssh and dhcpv6-client only) on a system bus of this run's own
#
# firewalld runs in the pc's network namespace (and, through `ip netns exec`, a mount namespace
# of its own) with its configuration copied to this run's scratch folder (--system-config), so
# that neither the machine's firewall rules nor its /etc/firewalld are touched. Its system bus
# is a dbus-daemon of this run (--config-file, with the system bus's policies), reached through
# DBUS_SYSTEM_BUS_ADDRESS by firewalld, firewall-cmd, quillmere-check and tst_firewalld alike.
# polkit does not run on that bus: firewalld then lets root do anything and refuses the rest.
#
# Usage: firewalld.sh BUILD_DIR
#        firewalld.sh QUILLMERE_CHECK QUILLMERE_SERVER TST_FIREWALLD
#
# Needs root, `ip netns`, nft, firewalld, firewall-cmd, dbus-daemon, setpriv and jq; where one is
# missing every case is SKIPPED with the reason (exit 77). Exit status: 0 every case passed, 1 a
# case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=firewalld
readonly case_names=(
    "firewalld found over the bus"
    "firewalld rejects the probe"
    "an unprivileged user sees it"
    "the fix command opens the port"
    "the window's allow opens a port"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

case $# in
    1)
        check_bin=$1/cli/quillmere-check
        server_bin=$1/server/quillmere-server
        client_test=$1/tests/firewall/tst_firewalld
        ;;
    3)
        check_bin=$1
        server_bin=$2
        client_test=$3
        ;;
    *)
        say "usage: $0 BUILD_DIR | QUILLMERE_CHECK QUILLMERE_SERVER TST_FIREWALLD" >&2
        exit 64
        ;;
esac
for bin in "$check_bin" "$server_bin" "$client_test"; do
    [ -x "$bin" ] || { say "$0: not an executable program: $bin" >&2; exit 64; }
done

prepare nft:nftables firewalld:firewalld firewall-cmd:firewalld dbus-daemon:dbus jq:jq \
    setpriv:util-linux ss:iproute2

# --- The network --------------------------------------------------------------------------------

ns_inet=$run_id-inet
ns_pc=$run_id-pc
new_namespace "$ns_inet"
new_namespace "$ns_pc"
ip link add isp netns "$ns_inet" type veth peer name eth0 netns "$ns_pc"
ip -n "$ns_inet" addr add 198.51.100.1/24 dev isp
ip -n "$ns_inet" link set isp up
ip -n "$ns_pc" addr add 198.51.100.10/24 dev eth0
ip -n "$ns_pc" link set eth0 up
ip -n "$ns_pc" route add default via 198.51.100.1

nft_error=$(in_ns "$ns_pc" nft add table ip probe 2>&1) ||
    skip_all "nftables does not work here: ${nft_error//$'\n'/ }"
in_ns "$ns_pc" nft delete table ip probe

start_check_server "$ns_inet" "$server_bin" 198.51.100.1

# --- The pc's system bus and firewalld -----------------------------------------------------------

bus_socket=$work/system_bus_socket
chmod 755 "$work" # the unprivileged user's check reaches the bus through it
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$bus_socket
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
CONF
ip netns exec "$ns_pc" dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile \
    >"$work/dbus.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$bus_socket" ] && break; sleep 0.1; done
[ -S "$bus_socket" ] || { say "dbus-daemon did not start:" >&2; cat "$work/dbus.log" >&2; exit 1; }
chmod 666 "$bus_socket"

cp -r /etc/firewalld "$work/etc-firewalld"
ip netns exec "$ns_pc" firewalld --nofork --nopid --system-config "$work/etc-firewalld" \
    --log-target file --log-file "$work/firewalld.log" >"$work/firewalld.out" 2>&1 &
firewalld_pid=$!
pids+=("$firewalld_pid")
state=
for _ in $(seq 300); do
    state=$(in_ns "$ns_pc" firewall-cmd --state 2>/dev/null) && [ "$state" = running ] && break
    alive "$firewalld_pid" || break
    sleep 0.1
done
if [ "$state" != running ]; then
    say "firewalld did not start in the namespace (state: ${state:-none}); its log:" >&2
    tail -n 20 "$work/firewalld.log" "$work/firewalld.out" >&2 2>/dev/null || true
    exit 1
fi

# --- One check ----------------------------------------------------------------------------------

last_run() { say "run ${#runs[@]}"; }

# Runs quillmere-check --json ARGS on the pc (with --as-nobody first: as user 65534).
run_check() { # [--as-nobody] ARGS...
    local started=${EPOCHREALTIME/./} as=()
    if [ "$1" = --as-nobody ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        shift
    fi
    status=0
    timeout -k 2 40 ip netns exec "$ns_pc" "${as[@]}" "$check_bin" --server 198.51.100.1 \
        --timeout 10 --json -4 "$@" >"$work/out" 2>"$work/err" || status=$?
    out=$(<"$work/out")
    runs+=("$(printf '%-28s exit %d  %5ss' "${as[*]:+nobody }$*" "$status" \
        "$(seconds_since "$started")")")
    cp "$work/out" "$work/out.${#runs[@]}"
    cp "$work/err" "$work/err.${#runs[@]}"
}

expect_contains() { # FILTER TEXT: the string FILTER gives contains TEXT
    local value
    value=$(json_value "$1")
    [[ "$value" == *"$2"* ]] || problem "$(last_run): $1 is $value, expected it to contain: $2"
}

failure_details() {
    say "    --- firewalld log (last lines)"
    tail -n 5 "$work/firewalld.log" 2>/dev/null | sed 's/^/    /'
    say "    --- nft ruleset of the pc: input chains"
    in_ns "$ns_pc" nft list chain inet firewalld filter_INPUT 2>&1 | head -n 20 | sed 's/^/    /'
}

port=25565
fix="sudo firewall-cmd --permanent --add-port=$port/tcp && sudo firewall-cmd --reload"

# --- The cases ----------------------------------------------------------------------------------

# 1. The look finds firewalld over the bus, in the default zone ("public": eth0 is in no zone of
#    its own), and gives its command.
begin_case
run_check --no-router "$port"
expect_status 2
expect_json .firewall.found '"firewalld"'
expect_json .firewall.fix "\"$fix\""
end_case

# 2. firewalld rejects the SYN (icmpx admin-prohibited): the counters see it arrive and go no
#    further, and the diagnosis (no router answers in this network) is that this computer
#    blocks it, with firewalld's command as the next step.
begin_case
run_check "$port"
expect_status 2
expect_json .firewall.blocks true
expect_contains .firewall.evidence "went no further"
expect_json .diagnosis.code '"blocked-by-this-computer"'
expect_contains .diagnosis.headline "This computer's firewall (firewalld, zone public) blocks"
expect_contains .diagnosis.nextStep "$fix"
end_case

# 3. The same as an unprivileged user: the counters need no root, and firewalld, which refuses
#    this user even a look (no polkit here), is still found; its command then names no zone.
begin_case
run_check --as-nobody --no-router "$port"
expect_status 2
expect_json .firewall.found '"firewalld"'
expect_json .firewall.blocks true
expect_json .firewall.fix "\"$fix\""
end_case

# 4. The fix, run as given (without sudo: this is root already), opens the port for good: the
#    check after a reload finds it open, and the firewall cleared.
begin_case
fix_error=$(in_ns "$ns_pc" bash -c "${fix//sudo /}" 2>&1) || problem "the fix failed: $fix_error"
run_check --no-router "$port"
expect_status 0
expect_json .verdict '"open-this-computer"'
expect_json .firewall.blocks false
expect_json .firewall.fix null
[ "$(in_ns "$ns_pc" firewall-cmd --permanent --query-port="$port/tcp" 2>&1)" = yes ] ||
    problem "the port is not in firewalld's permanent configuration"
end_case

# 5. FirewalldClient, as the window's "Allow in firewall" uses it, against this firewalld: addPort
#    for the session and on the zone's permanent configuration (tst_firewalld's realFirewalld).
#    Both hold, and the port is open from outside.
begin_case
allow_port=25566
status=0
QUILLMERE_FIREWALLD_BUS=$DBUS_SYSTEM_BUS_ADDRESS QUILLMERE_FIREWALLD_PORT=$allow_port \
    timeout -k 2 60 ip netns exec "$ns_pc" "$client_test" realFirewalld >"$work/out" 2>&1 ||
    status=$?
runs+=("$(printf '%-28s exit %d' "tst_firewalld realFirewalld" "$status")")
cp "$work/out" "$work/out.${#runs[@]}"
: >"$work/err.${#runs[@]}"
[ "$status" -eq 0 ] || problem "tst_firewalld realFirewalld failed"
grep -q '^PASS   : TestFirewalld::realFirewalld()' "$work/out" ||
    problem "realFirewalld did not pass (skipped?)"
[ "$(in_ns "$ns_pc" firewall-cmd --query-port="$allow_port/tcp" 2>&1)" = yes ] ||
    problem "the port is not open in the running firewalld"
[ "$(in_ns "$ns_pc" firewall-cmd --permanent --query-port="$allow_port/tcp" 2>&1)" = yes ] ||
    problem "the port is not in firewalld's permanent configuration"
run_check --no-router "$allow_port"
expect_status 0
end_case

summary "$passed" "$failed" 0
[ "$failed" -eq 0 ]
