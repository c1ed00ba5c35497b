# shellcheck shell=bash
# Shared by the scripts in this folder: the report lines, skipping, namespaces, the processes a
# script starts, and removing all of it on every way out. The sourcing script sets test_name and
# case_names first.

export LC_ALL=C # EPOCHREALTIME with a '.', and plain tool messages

# Every namespace of this run is named $run_id-…; the random part keeps apart runs whose shells
# have the same number in different PID namespaces.
run_id=qm-$$-$(printf '%04x' "$RANDOM")
readonly run_id
namespaces=() # made by this run, deleted on exit
etc_dirs=()   # /etc/netns/NAME folders made by this run, removed on exit
made_etc_netns= # "yes" when this run made /etc/netns itself
pids=()       # started by this run, ended on exit
work=         # this run's scratch folder

say() { printf '%s\n' "$*"; }

# shellcheck disable=SC2154 # test_name and case_names come from the sourcing script
summary() { # PASSED FAILED SKIPPED
    say "$test_name: $1 passed, $2 failed, $3 skipped"
}

# shellcheck disable=SC2154
case_line() { # NUMBER PASS|FAIL|SKIPPED DETAILS...
    local number=$1 result=$2
    shift 2
    printf 'case %d %-32s %-4s %s\n' "$number" "${case_names[$((number - 1))]}" "$result" "$*"
}

skip_all() { # REASON
    local i
    for i in "${!case_names[@]}"; do
        printf 'case %d %-32s SKIPPED (%s)\n' "$((i + 1))" "${case_names[$i]}" "$1"
    done
    summary 0 0 "${#case_names[@]}"
    exit 77
}

# Whether PID is running: a child that ended but was not waited for yet does not count.
alive() { # PID
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# Ends PID, a child of this shell, and takes it off pids (once waited for, its number may be
# given to someone else's process): SIGTERM, then SIGKILL once SECONDS have passed. Fails when it
# took SIGKILL.
stop_process() { # PID SECONDS
    local i pid ended=1 kept=()
    for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
    pids=("${kept[@]}")
    kill "$1" 2>/dev/null
    for ((i = 0; i < $2 * 10; i++)); do
        alive "$1" || { ended=0; break; }
        sleep 0.1
    done
    [ "$ended" -eq 0 ] || kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return "$ended"
}

cleanup() {
    local status=$? pid ns dir
    set +e
    trap - EXIT INT TERM HUP
    while [ ${#pids[@]} -gt 0 ]; do stop_process "${pids[0]}" 3; done
    # Anything still inside one of our namespaces was started by this run (nobody else knows
    # their names): nothing may outlive it.
    for ns in "${namespaces[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null
    done
    for dir in "${etc_dirs[@]}"; do rm -rf "$dir"; done
    # /etc/netns itself only when this run made it and nobody else has put anything there.
    [ -n "$made_etc_netns" ] && rmdir /etc/netns 2>/dev/null
    [ -n "$work" ] && rm -rf "$work"
    exit "$status"
}

# Skips every case unless this machine lets us make network namespaces; then sets up the clean-up
# and the scratch folder.
prepare() { # REQUIRED_COMMAND:DEBIAN_PACKAGE...
    local need probe_error
    [ "$(id -u)" -eq 0 ] || skip_all "needs root"
    for need in ip:iproute2 sysctl:procps timeout:coreutils "$@"; do
        command -v "${need%%:*}" >/dev/null ||
            skip_all "${need%%:*} not found (Debian package ${need#*:})"
    done
    trap cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    if ! probe_error=$(ip netns add "$run_id-probe" 2>&1); then
        skip_all "ip netns is not allowed here: ${probe_error//$'\n'/ }"
    fi
    ip netns del "$run_id-probe"
    work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-$test_name.XXXXXX")
}

new_namespace() { # NAME
    ip netns add "$1"
    namespaces+=("$1")
    ip -n "$1" link set lo up
}

# Gives NS a file of its own in place of /etc/FILE, for what runs there through `ip netns exec`
# (which mounts /etc/netns/NS/FILE over it): a resolv.conf, say, so that name lookups stay
# inside the namespaces. The content comes on stdin.
namespace_etc_file() { # NS FILE
    [ -d /etc/netns ] || { mkdir /etc/netns && made_etc_netns=yes; }
    if [ ! -d "/etc/netns/$1" ]; then
        mkdir "/etc/netns/$1"
        etc_dirs+=("/etc/netns/$1")
    fi
    cat >"/etc/netns/$1/$2"
}

# Skips every case unless nftables works in NS (the kernel or a container may not offer it).
require_nftables() { # NS
    local nft_error
    nft_error=$(in_ns "$1" nft add table ip probe 2>&1) ||
        skip_all "nftables does not work here: ${nft_error//$'\n'/ }"
    in_ns "$1" nft delete table ip probe
}

# For commands in the foreground. Programs left running are started with `ip netns exec` itself,
# so that $! is the program and not a subshell around it, and ending it ends the program.
in_ns() { # NS COMMAND...
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

# Tenths of a second since START (a value of ${EPOCHREALTIME/./}), as "S.T".
seconds_since() { # START
    local now=${EPOCHREALTIME/./}
    printf '%d.%d' $(((now - $1) / 1000000)) $(((now - $1) / 100000 % 10))
}

# Waits until something listens on PORT (tcp) in NS.
wait_for_listener() { # NS PORT
    local i
    for i in $(seq 50); do
        [ -n "$(in_ns "$1" ss -Hltn "sport = :$2")" ] && return 0
        sleep 0.1
    done
    return 1
}

# Starts quillmere-server (SERVER_BIN) in NS on port 80 of each ADDRESS (IPv6 ones in brackets)
# for the checks of a run: no per-client limits, since every check comes from one address, and a
# short connect time-out, so a port nobody forwards is judged quickly. Sets access_log,
# server_err and server_pid; ends the script when the server does not start.
start_check_server() { # NS SERVER_BIN ADDRESS...
    local ns=$1 bin=$2 address listens=()
    shift 2
    for address in "$@"; do listens+=(--listen "$address:80"); done
    access_log=$work/access.log
    server_err=$work/server.err
    ip netns exec "$ns" "$bin" "${listens[@]}" --allow-private --connect-timeout 2 \
        --client-checks 0 --client-rate 0 --client-connections 0 \
        >"$access_log" 2>"$server_err" &
    server_pid=$!
    pids+=("$server_pid")
    for _ in $(seq 50); do
        grep -qF "quillmere-server: listening on ${!#}:80" "$server_err" && break
        alive "$server_pid" || break
        sleep 0.1
    done
    if ! grep -qF "quillmere-server: listening on ${!#}:80" "$server_err"; then
        say "quillmere-server did not start; its stderr:" >&2
        sed 's/^/    /' "$server_err" >&2
        exit 1
    fi
}

# --- Checks of a case, for scripts that run quillmere-check --json ------------------------------
# The script defines last_run (which run a problem belongs to) and sets out and status.

problems=()
problem() { problems+=("$*"); }

# FILTER applied to the last check's JSON, compact (strings keep their quotes); "(no JSON)"
# when stdout is not JSON.
json_value() { # FILTER
    local value
    value=$(jq -c "$1" <<<"$out" 2>/dev/null) && [ -n "$value" ] || value="(no JSON)"
    say "$value"
}

expect_status() { # EXIT_STATUS
    [ "$status" -eq "$1" ] || problem "$(last_run): exit status $status, expected $1"
}

# FILTER gives exactly JSON (compact: '"upnp"', 'true', 'null').
expect_json() { # FILTER JSON
    local value
    value=$(json_value "$1")
    [ "$value" = "$2" ] || problem "$(last_run): $1 is $value, expected $2"
}

# FILTER gives a string that is not empty.
expect_text() { # FILTER
    local value
    value=$(json_value "$1")
    [[ "$value" == \"?* ]] || problem "$(last_run): $1 is $value, expected a text"
}

# The diagnosis is CODE, with a text.
expect_diagnosis() { # CODE
    expect_json .diagnosis.code "\"$1\""
    expect_text .diagnosis.text
}

# A whole line of the last check's stdout that begins with PREFIX; nothing when there is none.
text_line() { # PREFIX
    grep -m 1 -F -- "$1" <<<"$out" | grep -m 1 "^$1" || true
}

# --- Cases made of runs of quillmere-check ------------------------------------------------------
# A script keeps each run's stdout and stderr as $work/out.N and $work/err.N and a line about it
# in runs; it may define failure_details to print more when a case fails.

passed=0
failed=0
case_number=0
runs=()

begin_case() {
    case_number=$((case_number + 1))
    problems=()
    runs=()
    case_started=${EPOCHREALTIME/./}
}

end_case() {
    local i result=PASS
    [ ${#problems[@]} -eq 0 ] || result=FAIL
    case_line "$case_number" "$result" "$(printf '%5ss' "$(seconds_since "$case_started")")"
    printf '    %s\n' "${runs[@]}"
    if [ "$result" = PASS ]; then
        passed=$((passed + 1))
        return
    fi
    failed=$((failed + 1))
    printf '    problem: %s\n' "${problems[@]}"
    for i in "${!runs[@]}"; do
        say "    --- run $((i + 1)): stdout"
        sed 's/^/    /' "$work/out.$((i + 1))"
        say "    --- run $((i + 1)): stderr"
        sed 's/^/    /' "$work/err.$((i + 1))"
    done
    if declare -F failure_details >/dev/null; then failure_details; fi
}

# Runs quillmere-check (check_bin) --json (with --text: without it) in NS with ARGS, against the
# check server at 198.51.100.1, once the LAN of NS has gone quiet. Sets out (stdout), status,
# seconds and elapsed_ms, keeps stdout and stderr for the report as $work/out.N and $work/err.N,
# and adds a line to this case's runs.
run_router_check() { # NS [--text] ARGS...
    local ns=$1 started=${EPOCHREALTIME/./} ended format=(--json) shown
    shift
    if [ "$1" = --text ]; then
        format=()
        shift
    fi
    wait_quiet "$ns"
    status=0
    # A hard stop past the check's own time-out (twice, for --forward's second check) and the
    # router's bounds keeps a broken run from hanging the suite.
    timeout -k 2 30 ip netns exec "$ns" "$check_bin" --server 198.51.100.1 --timeout 10 \
        "${format[@]}" "$@" >"$work/out" 2>"$work/err" || status=$?
    ended=${EPOCHREALTIME/./}
    out=$(<"$work/out")
    seconds=$(seconds_since "$started")
    elapsed_ms=$(((ended - started) / 1000))
    if [ ${#format[@]} -eq 0 ]; then shown="(text output)"; else shown=$(json_value .diagnosis.code); fi
    runs+=("$(printf '%-22s exit %d  %5ss  %s' "$*" "$status" "$seconds" "$shown")")
    cp "$work/out" "$work/out.$((${#runs[@]}))"
    cp "$work/err" "$work/err.$((${#runs[@]}))"
}

# Datagrams NAMESPACE received that went nowhere it counts (IP InReceives less InDelivers and
# ForwDatagrams), so far.
vanished_so_far() { # NAMESPACE
    # shellcheck disable=SC2016 # awk's fields, not the shell's
    ip netns exec "$1" awk '/^Ip: [0-9]/ { print $4 - $10 - $7 }' /proc/net/snmp
}

# Waits, at most 10 s, for a second in which nothing NAMESPACE received went nowhere. The
# firewall evidence reads such counts around a check, and a burst of LAN multicast that nobody
# there joined (a router's SSDP NOTIFYs as its daemon starts) makes it "cannot tell"; a check
# that should see the probe dropped waits for the LAN to go quiet, as a home LAN mostly is.
wait_quiet() { # NAMESPACE
    local i before after
    before=$(vanished_so_far "$1")
    for i in $(seq 10); do
        sleep 1
        after=$(vanished_so_far "$1")
        [ "$after" = "$before" ] && return 0
        before=$after
    done
    say "    (the LAN of $1 did not go quiet within 10 s)"
}

# The programs a script runs, from its arguments: a build folder, or the two programs. Sets
# check_bin and server_bin; anything else ends the script with a usage error (64).
programs_from_arguments() { # BUILD_DIR | QUILLMERE_CHECK QUILLMERE_SERVER
    case $# in
        1)
            check_bin=$1/cli/quillmere-check
            server_bin=$1/server/quillmere-server
            ;;
        2)
            check_bin=$1
            server_bin=$2
            ;;
        *)
            say "usage: $0 BUILD_DIR | QUILLMERE_CHECK QUILLMERE_SERVER" >&2
            exit 64
            ;;
    esac
    local bin
    for bin in "$check_bin" "$server_bin"; do
        [ -x "$bin" ] || { say "$0: not an executable program: $bin" >&2; exit 64; }
    done
}

# --- miniupnpd in a router namespace ------------------------------------------------------------
# For scripts whose router runs Debian's miniupnpd (nftables build) with its rules in the three
# chains miniupnpd, prerouting_miniupnpd and postrouting_miniupnpd of table inet filter. The
# script sets daemon_conf and daemon_log (files in $work) and daemon_pid (empty while none runs).

# Writes daemon_conf for a daemon on wan and br-lan with UPnP on or off (NAT-PMP and PCP always
# on) that lets the LAN 192.168.77.0/24 map ports 1024-65535 and nothing else; each LINE is added
# to it (notify_interval=60, say).
write_miniupnpd_conf() { # UPNP:yes|no UUID [LINE...]
    local upnp=$1 uuid=$2
    shift 2
    {
        say "ext_ifname=wan"
        say "listening_ip=br-lan"
        say "http_port=5000"
        say "enable_upnp=$upnp"
        say "enable_natpmp=yes"
        say "secure_mode=yes"
        say "system_uptime=no"
        [ $# -eq 0 ] || printf '%s\n' "$@"
        say "uuid=$uuid"
        say "upnp_table_name=filter"
        say "upnp_nat_table_name=filter"
        say "upnp_forward_chain=miniupnpd"
        say "upnp_nat_chain=prerouting_miniupnpd"
        say "upnp_nat_postrouting_chain=postrouting_miniupnpd"
        say "allow 1024-65535 192.168.77.0/24 1024-65535"
        say "deny 0-65535 0.0.0.0/0 0-65535"
    } >"$daemon_conf"
}

# Stops miniupnpd in NS, if it runs, and empties its chains: a restart begins with no mappings.
stop_miniupnpd() { # NS
    if [ -n "$daemon_pid" ]; then
        stop_process "$daemon_pid" 3 || say "miniupnpd took SIGKILL" >>"$daemon_log"
        daemon_pid=
    fi
    local chain
    for chain in miniupnpd prerouting_miniupnpd postrouting_miniupnpd; do
        in_ns "$1" nft flush chain inet filter "$chain"
    done
}

# Starts miniupnpd in NS with daemon_conf, in the foreground (-d) so that it is our child, after
# LOG_LINE in daemon_log (which set-up the output that follows comes from), and waits until it
# listens on every SOCKET (tcp:PORT or udp:PORT). Sets daemon_pid; fails when it ends or does
# not listen within 5 s.
start_miniupnpd() { # NS LOG_LINE SOCKET...
    local ns=$1 socket listening i
    say "$2" >>"$daemon_log"
    shift 2
    ip netns exec "$ns" miniupnpd -f "$daemon_conf" -d -P "$work/miniupnpd.pid" \
        >>"$daemon_log" 2>&1 &
    daemon_pid=$!
    pids+=("$daemon_pid")
    for i in $(seq 50); do
        listening=yes
        for socket in "$@"; do
            [ -n "$(in_ns "$ns" ss -Hl"${socket:0:1}"n "sport = :${socket#*:}")" ] ||
                { listening=; break; }
        done
        [ -n "$listening" ] && return 0
        alive "$daemon_pid" || break
        sleep 0.1
    done
    return 1
}

# --- A home router between the internet and a LAN -----------------------------------------------
# For scripts that build the internet as one bridge "ix" with the gateway 1.2.3.1, and a router
# whose LAN is the bridge "br-lan", 192.168.77.1/24.

# The internet in NS: one bridge, ix, that every WAN link plugs into, with each ADDRESS (IPv6 ones
# without duplicate address detection, so that they are usable at once).
add_internet_bridge() { # NS ADDRESS/PREFIX...
    local ns=$1 address
    shift
    ip -n "$ns" link add ix type bridge
    for address in "$@"; do
        if [[ "$address" == *:* ]]; then
            ip -n "$ns" addr add "$address" dev ix nodad
        else
            ip -n "$ns" addr add "$address" dev ix
        fi
    done
    ip -n "$ns" link set ix up
}

# NS as a NAT on the internet (INET_NS), with ADDRESS/24 on its link "outside", whose peer
# PORT_NAME plugs into ix, and 1.2.3.1 as its gateway. It masquerades what goes out from its
# "inside" link (made by whoever plugs into it), and nothing from the internet gets through to
# the inside.
add_upstream_nat() { # INET_NS NS ADDRESS PORT_NAME
    local inet_ns=$1 ns=$2 address=$3 port_name=$4
    ip -n "$inet_ns" link add "$port_name" type veth peer name outside netns "$ns"
    ip -n "$inet_ns" link set "$port_name" master ix
    ip -n "$inet_ns" link set "$port_name" up
    ip -n "$ns" addr add "$address/24" dev outside
    ip -n "$ns" link set outside up
    ip -n "$ns" route add default via 1.2.3.1
    in_ns "$ns" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0
    in_ns "$ns" nft -f - <<'EOF'
table ip nat {
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "outside" masquerade
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        ct state established,related accept
        iifname "inside" oifname "outside" accept
    }
}
EOF
}

# A host NS on the router's LAN: its eth0, with ADDRESS/24 and the router as its gateway, is the
# peer of PORT_NAME on br-lan in ROUTER_NS. Reverse lookups of mapped addresses go to the router,
# where nothing answers them, instead of to this machine's name server.
add_lan_host() { # ROUTER_NS NS ADDRESS PORT_NAME
    local router_ns=$1 ns=$2 address=$3 port_name=$4
    ip -n "$router_ns" link add "$port_name" type veth peer name eth0 netns "$ns"
    ip -n "$router_ns" link set "$port_name" master br-lan
    ip -n "$router_ns" link set "$port_name" up
    ip -n "$ns" addr add "$address/24" dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add default via 192.168.77.1
    namespace_etc_file "$ns" resolv.conf <<<"nameserver 192.168.77.1"
}

# The rules of a router in NS that runs miniupnpd. miniupnpd adds its own to the three empty
# chains, which are reached by a jump from the base chains: the forward chain lets mapped ports
# in, the prerouting one sends them to their LAN device, and the masquerade comes after
# miniupnpd's postrouting rules. case_input holds the rules a case adds to what the router
# itself takes in.
add_miniupnpd_router_rules() { # NS
    in_ns "$1" nft -f - <<'EOF'
table inet filter {
    chain miniupnpd { }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
    chain case_input { }

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
        jump case_input
        iifname != "wan" accept
        ct state established,related accept
        icmp type echo-request accept
        drop
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        ct state established,related accept
        iifname "wan" jump miniupnpd
        iifname "br-lan" oifname "wan" accept
    }
}
EOF
}

# Makes the router's WAN link anew, with the same MAC address each time: "wan" in ROUTER_NS,
# with ADDRESS/24 and a default route via GATEWAY, and its peer PEER in PEER_NS, plugged into
# BRIDGE there when one is named (GATEWAY is on the bridge) or else given GATEWAY/24 itself. An
# old wan link goes first.
replace_wan_link() { # ROUTER_NS PEER_NS PEER ADDRESS GATEWAY [BRIDGE]
    local router_ns=$1 peer_ns=$2 peer=$3 address=$4 gateway=$5 bridge=${6:-}
    ip -n "$router_ns" link del wan 2>/dev/null || true
    ip -n "$router_ns" link add wan address 02:00:00:00:77:02 type veth peer name "$peer" \
        netns "$peer_ns"
    if [ -n "$bridge" ]; then
        ip -n "$peer_ns" link set "$peer" master "$bridge"
    else
        ip -n "$peer_ns" addr add "$gateway/24" dev "$peer"
    fi
    ip -n "$peer_ns" link set "$peer" up
    ip -n "$router_ns" addr add "$address/24" dev wan
    ip -n "$router_ns" link set wan up
    ip -n "$router_ns" route add default via "$gateway"
}
