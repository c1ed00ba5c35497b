#!/usr/bin/env bash
# Checks quillmere-server's ping of the requester, with each way it can send echo requests:
#
#   server   198.51.100.1, quillmere-server on port 8080
#      |     veth
#   client   198.51.100.2, sends check requests by hand (bash's /dev/tcp) and answers echo
#            requests, or ignores them (net.ipv4.icmp_echo_ignore_all=1)
#
# With --ping datagram the server runs as nobody, with net.ipv4.ping_group_range opened in its
# namespace: only the unprivileged ICMP datagram socket can ping from there. With --ping raw it
# runs as root. With --ping off the reply must never claim a ping, whatever the client does.
# Every request is a UDP check, which the server answers without waiting on a connect.
#
# Usage: icmp_ping.sh BUILD_DIR
#        icmp_ping.sh QUILLMERE_SERVER
#        icmp_ping.sh QUILLMERE_CHECK QUILLMERE_SERVER   (as home_network.sh; the first is unused)
#
# Needs root, `ip netns` (iproute2), sysctl (procps) and setpriv (util-linux); without them every
# case is reported SKIPPED with the reason and the script exits 77. Exit status: 0 every case passed, 1 a case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=icmp_ping
readonly case_names=(
    "datagram, client answers"
    "datagram, client ignores pings"
    "raw, client answers"
    "raw, client ignores pings"
    "off, client answers"
    "servers stop on SIGTERM"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

case $# in
    1) if [ -d "$1" ]; then server_bin=$1/server/quillmere-server; else server_bin=$1; fi ;;
    2) server_bin=$2 ;;
    *)
        say "usage: $0 BUILD_DIR | QUILLMERE_SERVER" >&2
        exit 64
        ;;
esac
[ -x "$server_bin" ] || { say "$0: not an executable program: $server_bin" >&2; exit 64; }

prepare setpriv:util-linux

readonly ns_server=$run_id-pingsrv ns_client=$run_id-pingcli
readonly port=8080

new_namespace "$ns_server"
new_namespace "$ns_client"
ip -n "$ns_server" link add eth0 type veth peer name eth0 netns "$ns_client"
ip -n "$ns_server" addr add 198.51.100.1/24 dev eth0
ip -n "$ns_client" addr add 198.51.100.2/24 dev eth0
ip -n "$ns_server" link set eth0 up
ip -n "$ns_client" link set eth0 up

# Every group may open ICMP datagram sockets, in the server's namespace only.
in_ns "$ns_server" sysctl -qw net.ipv4.ping_group_range="0 2147483647"

# Whether nobody can run the server from where it lies (a build tree under a private home may
# not be reachable); datagram mode is then tried as root, and the case lines say so.
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if "${as_nobody[@]}" test -x "$server_bin" 2>/dev/null; then
    datagram_user=nobody
else
    datagram_user=root
fi

server_pid=
access_log=$work/access.log
server_err=$work/server.err
stop_failures=()

start_server() { # PING_MODE USER
    local runner=()
    [ "$2" = nobody ] && runner=("${as_nobody[@]}")
    ip netns exec "$ns_server" "${runner[@]}" "$server_bin" --listen "198.51.100.1:$port" \
        --allow-private --ping "$1" --client-checks 0 --client-rate 0 --client-connections 0 \
        >"$access_log" 2>"$server_err" &
    server_pid=$!
    pids+=("$server_pid")
    for _ in $(seq 50); do
        grep -qF "quillmere-server: listening on 198.51.100.1:$port" "$server_err" && return 0
        alive "$server_pid" || break
        sleep 0.1
    done
    say "quillmere-server --ping $1 did not start; its stderr:" >&2
    sed 's/^/    /' "$server_err" >&2
    exit 1
}

stop_server() { # PING_MODE
    stop_process "$server_pid" 5 || stop_failures+=("--ping $1: still running 5 s after SIGTERM")
}

# Sends one UDP check for PORT from the client, as quillmere-check would, and sets reply.
request_check() { # PORT
    local request
    request="GET /portcheck3.cgi?port=$1&protocol=udp&version=0 HTTP/1.0"$'\r\n'
    request+="Host: 198.51.100.1:$port"$'\r\n'"User-Agent: Quillmere/1.0"$'\r\n'$'\r\n'
    # shellcheck disable=SC2016 # the inner script expands its own arguments
    reply=$(timeout -k 2 20 ip netns exec "$ns_client" bash -c \
        'exec 3<>"/dev/tcp/$1/$2" && printf "%s" "$3" >&3 && cat <&3' \
        request 198.51.100.1 "$port" "$request") || true
}

passed=0
failed=0
case_number=0
problems=()
problem() { problems+=("$*"); }

contains() { [[ "${reply,,}" == *"${1,,}"* ]]; }

run_case() { # PORT CLIENT_ANSWERS(0|1) EXPECTED_PING_FIELD NOTE [PING_MODE_WORD]
    local started seconds line before
    case_number=$((case_number + 1))
    problems=()
    # The server names at start-up the way it pings ("IPv4: ping through … raw …"), or why it
    # cannot ("IPv4: no ping (datagram socket: …)").
    if [ -n "${5:-}" ] && ! grep -qiE -- "IPv4: ping through .*$5" "$server_err"; then
        problem "quillmere-server does not say it pings IPv4 through a $5 socket:" \
            "$(tr '\n' ' ' <"$server_err")"
    fi
    in_ns "$ns_client" sysctl -qw net.ipv4.icmp_echo_ignore_all=$((1 - $2))
    before=$(wc -l <"$access_log")
    started=${EPOCHREALTIME/./}
    request_check "$1"
    seconds=$(seconds_since "$started")

    contains "200 OK" || problem "the reply is no 200 OK"
    contains "-done-" || problem "the reply has no -done-"
    contains "-ip:198.51.100.2-" || problem "the reply does not name 198.51.100.2"
    if [ "$3" = ok ]; then
        contains "-ping ok" || problem "the reply lacks -ping ok"
    else
        contains "-ping ok" && problem "the reply says -ping ok"
    fi
    for _ in $(seq 30); do
        [ "$(wc -l <"$access_log")" -gt "$before" ] && break
        sleep 0.1
    done
    line=$(tail -n +"$((before + 1))" "$access_log")
    [[ " $line " == *" port=$1 "* ]] || problem "no access log line for port $1: $line"
    [[ " $line " == *" ping=$3 "* ]] || problem "the access log line lacks ping=$3: $line"

    if [ ${#problems[@]} -eq 0 ]; then
        passed=$((passed + 1))
        case_line "$case_number" PASS "$(printf '%5ss  ping=%s%s' "$seconds" "$3" "$4")"
    else
        failed=$((failed + 1))
        case_line "$case_number" FAIL "$(printf '%5ss%s' "$seconds" "$4")"
        printf '    %s\n' "${problems[@]}"
        say "    --- reply"
        printf '%s\n' "$reply" | tr -d '\r' | sed 's/^/    /'
        say "    --- quillmere-server stderr"
        sed 's/^/    /' "$server_err"
    fi
}

start_server datagram "$datagram_user"
run_case 4711 1 ok " (server as $datagram_user)" datagram
run_case 4712 0 none " (server as $datagram_user)"
stop_server datagram

start_server raw root
run_case 4713 1 ok "" raw
run_case 4714 0 none ""
stop_server raw

start_server off root
run_case 4715 1 off ""
stop_server off

case_number=$((case_number + 1))
if [ ${#stop_failures[@]} -eq 0 ]; then
    passed=$((passed + 1))
    case_line "$case_number" PASS
else
    failed=$((failed + 1))
    case_line "$case_number" FAIL
    printf '    %s\n' "${stop_failures[@]}"
fi

summary "$passed" "$failed" 0
[ "$failed" -eq 0 ]
