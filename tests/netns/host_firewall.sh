#!/usr/bin/env bash
# Runs quillmere-check on a computer whose firewall is plain nftables, in network namespaces:
#
#   internet   198.51.100.1 (quillmere-server, port 80) on veth "isp"
#      |
#   pc         eth0 198.51.100.10, default route via 198.51.100.1; table inet host_fw with an
#              input chain that drops the checked port (an explicit rule, before an accepting
#              policy, so that a rule appended after it would never be reached)
#
# As root (CAP_NET_ADMIN) quillmere-check lists the ruleset and names the chain in its command;
# as an unprivileged user it cannot, and says "a firewall on this computer". Either way the
# kernel's counters show the probe arrive and go no further.
#
# Usage: host_firewall.sh BUILD_DIR
#        host_firewall.sh QUILLMERE_CHECK QUILLMERE_SERVER
#
# Needs root, `ip netns`, nft, setpriv and jq; where one is missing every case is SKIPPED with
# the reason (exit 77). Exit status: 0 every case passed, 1 a case failed, 77 skipped, 64 wrong
# arguments.
set -euo pipefail

readonly test_name=host_firewall
readonly case_names=(
    "nftables drops, seen as root"
    "nftables drops, unprivileged"
    "the nft command opens the port"
)
# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

programs_from_arguments "$@"

prepare nft:nftables jq:jq setpriv:util-linux ss:iproute2

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

port=25565
nft_error=$(in_ns "$ns_pc" nft -f - 2>&1 <<EOF_NFT
table inet host_fw {
    chain in_rules {
        type filter hook input priority filter; policy accept;
        tcp dport $port drop
    }
}
EOF_NFT
) || skip_all "nftables does not work here: ${nft_error//$'\n'/ }"

start_check_server "$ns_inet" "$server_bin" 198.51.100.1

last_run() { say "run ${#runs[@]}"; }

# Runs quillmere-check --json --no-router ARGS on the pc (with --as-nobody first: as user 65534).
run_check() { # [--as-nobody] ARGS...
    local started=${EPOCHREALTIME/./} as=()
    if [ "$1" = --as-nobody ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        shift
    fi
    status=0
    timeout -k 2 40 ip netns exec "$ns_pc" "${as[@]}" "$check_bin" --server 198.51.100.1 \
        --timeout 10 --json -4 --no-router "$@" >"$work/out" 2>"$work/err" || status=$?
    out=$(<"$work/out")
    runs+=("$(printf '%-28s exit %d  %5ss' "${as[*]:+nobody }$*" "$status" \
        "$(seconds_since "$started")")")
    cp "$work/out" "$work/out.${#runs[@]}"
    cp "$work/err" "$work/err.${#runs[@]}"
}

fix="sudo nft insert rule inet host_fw in_rules tcp dport $port accept"

# 1. As root: nftables is found, its chain named in the command, and the probe's SYNs seen to
#    arrive and go no further.
begin_case
run_check "$port"
expect_status 2
expect_json .firewall.found '"nftables"'
expect_json .firewall.blocks true
expect_json .firewall.fix "\"$fix\""
end_case

# 2. As an unprivileged user: the ruleset is out of reach, the counters are not.
begin_case
run_check --as-nobody "$port"
expect_status 2
expect_json .firewall.found '"unknown"'
expect_json .firewall.blocks true
expect_json .firewall.fix null
end_case

# 3. The command, run as given (this is root already), opens the port in spite of the drop rule.
begin_case
# shellcheck disable=SC2086 # the command's words, split on purpose
fix_error=$(in_ns "$ns_pc" ${fix#sudo } 2>&1) || problem "the command failed: $fix_error"
run_check "$port"
expect_status 0
expect_json .firewall.blocks false
end_case

summary "$passed" "$failed" 0
[ "$failed" -eq 0 ]
