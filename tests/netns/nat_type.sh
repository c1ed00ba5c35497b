#!/usr/bin/env bash
# Finds the NAT type behind each kind of home router, built from Linux network namespaces, with
# two STUN servers of the RFC 5780 kind (coturn, and quillmere-server's STUN listener) and three
# clients: coturn's turnutils_natdiscovery, Debian's `stun` (stun-client, RFC 3489's tests) and
# quillmere-check --nat.
#
#   stun host  "isp": 198.51.100.1 and 198.51.100.2 (the two addresses a STUN server needs to
#      |       tell mapping and filtering apart; ports 3478 and 3479), 203.0.113.1 (the router's
#      |       gateway); routes 192.0.2.0/24 to the router
#   router     "wan" 203.0.113.2, "br-lan" 192.168.77.1 and 192.0.2.1; one nftables set-up at a
#      |       time (below), drops whatever else comes in on wan
#   pc         192.168.77.10 behind the NAT, or 192.0.2.10 (a public address) with no NAT
#
# The set-ups, and the behaviour every client must find behind each (RFC 4787's words; "none":
# the address the server sees is the pc's own):
#
#   masquerade                       mapping endpoint-independent, filtering address-and-port-dependent
#   masquerade random                mapping address-and-port-dependent, filtering address-and-port-dependent
#   snat + 1:1 dnat of UDP to pc     mapping endpoint-independent, filtering endpoint-independent
#   snat + replies from any port of  mapping endpoint-independent, filtering address-dependent
#     an address pc sent to
#   no NAT, pc on a public address   mapping none, filtering endpoint-independent
#   masquerade, UDP dropped          nothing answers over UDP: no mapping or filtering told;
#                                    Nintendo F where the server answers STUN over TCP
#
# Each case is a set-up against one server. The third-party clients come first and vouch for the
# bed; then quillmere-check --nat --json, whose "nat" object must say the same, with the NAT type
# and Nintendo letter that follow. Last, quillmere-server with one address (no --stun-alternate),
# against which quillmere-check must tell what it can without the behaviour tests, and name the
# rest in "limits". The run ends with the table of what each client found and how long each
# --nat run took (a figure only: no case depends on it).
#
# Where quillmere-check has no --nat, the cases test the third-party clients only and say so
# (SKIPPED, with what they need, once their own asserts hold). Where quillmere-server has no
# --stun-listen, the cases against it are skipped. So the bed is of use before the program is.
#
# Usage: nat_type.sh BUILD_DIR
#        nat_type.sh QUILLMERE_CHECK QUILLMERE_SERVER
#
# Needs root, `ip netns` (iproute2), nft (nftables), sysctl (procps), jq, turnserver and
# turnutils_natdiscovery (coturn), stun (stun-client). Where one is missing every case is
# reported SKIPPED with the reason and the script exits 77.
# Exit status: 0 no case failed, 1 a case failed, 77 skipped, 64 wrong arguments.
set -euo pipefail

readonly test_name=nat_type
readonly setups=(masquerade random fullcone seen-address public udp-blocked)
readonly servers=(coturn quillmere quillmere-1)
declare -A setup_title=(
    [masquerade]="masquerade"
    [random]="masquerade random"
    [fullcone]="snat + 1:1 dnat udp"
    [seen-address]="snat + seen-address set"
    [public]="no NAT, public pc"
    [udp-blocked]="udp blocked"
)
declare -A server_title=([coturn]="coturn" [quillmere]="quillmere-server"
    [quillmere-1]="quillmere 1 addr")
case_names=()
for server in "${servers[@]}"; do
    for setup in "${setups[@]}"; do case_names+=("${setup_title[$setup]} / ${server_title[$server]}"); done
done
readonly case_names

# The behaviour behind each set-up: mapping and filtering, in the words of quillmere-check's JSON.
declare -A want_mapping=(
    [masquerade]=endpoint-independent
    [random]=address-and-port-dependent
    [fullcone]=endpoint-independent
    [seen-address]=endpoint-independent
    [public]=none
    [udp-blocked]=blocked
)
declare -A want_filtering=(
    [masquerade]=address-and-port-dependent
    [random]=address-and-port-dependent
    [fullcone]=endpoint-independent
    [seen-address]=address-dependent
    [public]=endpoint-independent
    [udp-blocked]=blocked
)
# What the consoles' rules make of it: the type, and the Nintendo letters allowed (a dependent
# mapping is C or D, by whether the program can predict the next port).
declare -A want_type=(
    [masquerade]=moderate
    [random]=strict
    [fullcone]=open
    [seen-address]=moderate
    [public]=open
    [udp-blocked]=strict
)
declare -A want_nintendo=(
    [masquerade]=B
    [random]="C D"
    [fullcone]=A
    [seen-address]=A
    [public]=A
    [udp-blocked]=F
)
# What quillmere-check can tell against a STUN server with one address ("null": not told, and
# "limits" must say why). Such a server names no OTHER-ADDRESS (RFC 5780, 7.4); the client finds
# its other port only when an answer to a change of port gets through the router, and a second
# port alone tells neither an endpoint-independent mapping from an address-dependent one nor
# the filtering from another address. So behind these routers it tells the external address,
# whether the port was kept, and no NAT (the address it sees is its own), which is open whatever
# the filtering.
declare -A one_mapping=(
    [masquerade]=null
    [random]=null
    [fullcone]=null
    [seen-address]=null
    [public]=none
    [udp-blocked]=null
)
declare -A one_type=(
    [masquerade]=null
    [random]=null
    [fullcone]=null
    [seen-address]=null
    [public]=open
    [udp-blocked]=null
)

# Whether the router keeps the pc's port: a masquerade or snat keeps it while no other
# connection holds it; "masquerade random" picks a new one for each destination.
declare -A want_port_kept=(
    [masquerade]=true
    [random]=false
    [fullcone]=true
    [seen-address]=true
    [public]=true
)

# shellcheck source=tests/netns/netns_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns_lib.sh"

programs_from_arguments "$@"

prepare nft:nftables jq:jq ss:iproute2 turnserver:coturn turnutils_natdiscovery:coturn \
    stun:stun-client

# Which of the later additions the programs have. Their help is read whole first: a grep -q in
# a pipe can end it early, and pipefail would take the SIGPIPE for an unknown option.
check_help=$("$check_bin" --help 2>&1 || true)
server_help=$("$server_bin" --help 2>&1 || true)
has_nat=
grep -q -- '--nat\b' <<<"$check_help" && grep -q -- '--stun\b' <<<"$check_help" && has_nat=yes
has_stun_listen=
grep -q -- '--stun-listen' <<<"$server_help" && grep -q -- '--stun-alternate' <<<"$server_help" &&
    has_stun_listen=yes
[ -n "$has_nat" ] ||
    say "quillmere-check has no --nat: the cases test the third-party clients only"
[ -n "$has_stun_listen" ] ||
    say "quillmere-server has no --stun-listen: the cases against it are skipped"

# --- The network --------------------------------------------------------------------------------

readonly ns_stun=$run_id-stun ns_router=$run_id-router ns_pc=$run_id-pc
for ns in "$ns_stun" "$ns_router" "$ns_pc"; do new_namespace "$ns"; done

nft_error=$(in_ns "$ns_router" nft add table ip probe 2>&1) ||
    skip_all "nftables does not work here: ${nft_error//$'\n'/ }"
in_ns "$ns_router" nft delete table ip probe

readonly stun_primary=198.51.100.1 stun_alternate=198.51.100.2
readonly router_wan=203.0.113.2 pc_private=192.168.77.10 pc_public=192.0.2.10

# The veth ends are made inside the namespaces, so their names can never meet another run's.
ip -n "$ns_stun" link add isp type veth peer name wan netns "$ns_router"
ip -n "$ns_stun" addr add "$stun_primary/24" dev isp
ip -n "$ns_stun" addr add "$stun_alternate/24" dev isp
ip -n "$ns_stun" addr add 203.0.113.1/24 dev isp
ip -n "$ns_stun" link set isp up
ip -n "$ns_stun" route add 192.0.2.0/24 via "$router_wan"

# The LAN, a bridge in the router. Bridged frames must not pass the IP hooks (where the host has
# br_netfilter loaded), or the router's rules would see pc's LAN traffic twice.
ip -n "$ns_router" link add br-lan type bridge
ip -n "$ns_router" link add lan-pc type veth peer name eth0 netns "$ns_pc"
ip -n "$ns_router" link set lan-pc master br-lan
ip -n "$ns_router" addr add "$router_wan/24" dev wan
ip -n "$ns_router" addr add 192.168.77.1/24 dev br-lan
ip -n "$ns_router" addr add 192.0.2.1/24 dev br-lan
for dev in wan br-lan lan-pc; do ip -n "$ns_router" link set "$dev" up; done
ip -n "$ns_router" route add default via 203.0.113.1
in_ns "$ns_router" sysctl -qw net.ipv4.ip_forward=1
if in_ns "$ns_router" test -e /proc/sys/net/bridge/bridge-nf-call-iptables; then
    in_ns "$ns_router" sysctl -qw net.bridge.bridge-nf-call-iptables=0
fi
ip -n "$ns_pc" link set eth0 up

# pc behind the NAT (private) or with a public address of its own and no NAT (public).
pc_address() { # private|public
    local address=$pc_private gateway=192.168.77.1
    if [ "$1" = public ]; then address=$pc_public gateway=192.0.2.1; fi
    ip -n "$ns_pc" addr flush dev eth0
    ip -n "$ns_pc" addr add "$address/24" dev eth0
    ip -n "$ns_pc" route add default via "$gateway"
    pc_now=$address
}

# The router's rules for SETUP, in place of the last set-up's. Whatever comes in on wan that is
# neither a reply nor let in by the set-up is dropped, in the router or on the way to pc.
router_setup() { # SETUP
    local prerouting='' postrouting='' extra='' forward_first=''
    case $1 in
        masquerade)
            postrouting="oifname \"wan\" ip saddr 192.168.77.0/24 masquerade"
            ;;
        random)
            postrouting="oifname \"wan\" ip saddr 192.168.77.0/24 masquerade random"
            ;;
        fullcone)
            postrouting="oifname \"wan\" ip saddr 192.168.77.0/24 snat to $router_wan"
            prerouting="iifname \"wan\" ip daddr $router_wan meta l4proto udp dnat to $pc_private"
            ;;
        seen-address)
            # Each (destination address, external port) pc sent from: learnt after the snat,
            # where the source is the router's, and let in from any port of that address to
            # the same port of pc (the snat keeps it).
            postrouting="oifname \"wan\" ip saddr 192.168.77.0/24 snat to $router_wan"
            prerouting="iifname \"wan\" ip daddr $router_wan ip saddr . udp dport @sent_to dnat to $pc_private"
            extra="
    set sent_to {
        type ipv4_addr . inet_service
        flags dynamic, timeout
        timeout 2m
    }
    chain learn {
        type filter hook postrouting priority srcnat + 10; policy accept;
        oifname \"wan\" ip saddr $router_wan meta l4proto udp update @sent_to { ip daddr . udp sport }
    }"
            ;;
        public) ;; # routed as it is
        udp-blocked)
            postrouting="oifname \"wan\" ip saddr 192.168.77.0/24 masquerade"
            forward_first="iifname \"br-lan\" oifname \"wan\" meta l4proto udp drop"
            ;;
    esac
    in_ns "$ns_router" nft delete table ip natbed 2>/dev/null || true
    in_ns "$ns_router" nft -f - <<EOF
table ip natbed {$extra
    chain prerouting {
        type nat hook prerouting priority dstnat; policy accept;
        $prerouting
    }
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        $postrouting
    }
    chain input {
        type filter hook input priority filter; policy accept;
        iifname != "wan" accept
        ct state established,related accept
        drop
    }
    chain forward {
        type filter hook forward priority filter; policy drop;
        $forward_first
        ct state established,related accept
        iifname "br-lan" oifname "wan" accept
        iifname "wan" oifname "br-lan" ct status dnat accept
        iifname "wan" oifname "br-lan" ip daddr 192.0.2.0/24 accept
    }
}
EOF
}

# --- The STUN servers ---------------------------------------------------------------------------

server_pid=
server_log=$work/server.log
: >"$server_log"

# Waits until the STUN host has UDP listeners on both ports of each ADDRESS.
wait_for_stun_listeners() { # ADDRESS...
    local address port missing
    for _ in $(seq 100); do
        missing=
        for address in "$@"; do
            for port in 3478 3479; do
                [ -n "$(in_ns "$ns_stun" ss -Hlun src "$address:$port")" ] ||
                    missing=yes
            done
        done
        [ -z "$missing" ] && return 0
        alive "$server_pid" || return 1
        sleep 0.1
    done
    return 1
}

start_server() { # coturn|quillmere|quillmere-1
    local command addresses=("$stun_primary" "$stun_alternate")
    if [ "$1" = coturn ]; then
        command=(turnserver -n --stun-only -L "$stun_primary" -L "$stun_alternate"
            --listening-port 3478 --alt-listening-port 3479 --no-cli --no-tls --no-dtls
            --log-file=stdout --simple-log --pidfile="$work/turnserver.pid"
            --userdb="$work/turndb")
    elif [ "$1" = quillmere ]; then
        # No per-client limit: every request of the run comes from the router's one address.
        command=("$server_bin" --stun-listen "$stun_primary:3478" --stun-alternate "$stun_alternate"
            --stun-rate 0)
    else
        command=("$server_bin" --stun-listen "$stun_primary:3478" --stun-rate 0)
        addresses=("$stun_primary")
    fi
    server_log_from=$(($(wc -l <"$server_log") + 1))
    say "--- ${command[*]}" >>"$server_log"
    ip netns exec "$ns_stun" "${command[@]}" >>"$server_log" 2>&1 &
    server_pid=$!
    pids+=("$server_pid")
    wait_for_stun_listeners "${addresses[@]}"
}

stop_server() {
    [ -n "$server_pid" ] || return 0
    stop_process "$server_pid" 3 || say "took SIGKILL" >>"$server_log"
    server_pid=
}

# --- The clients --------------------------------------------------------------------------------

# Each run's stdout and stderr are kept as $work/out.N and $work/err.N (end_case prints them when
# a case fails), with a line in runs.
run_on_pc() { # LABEL SECONDS COMMAND...
    local label=$1 limit=$2 started ended
    shift 2
    status=0
    started=${EPOCHREALTIME/./}
    timeout -k 2 "$limit" ip netns exec "$ns_pc" "$@" >"$work/out" 2>"$work/err" || status=$?
    ended=${EPOCHREALTIME/./}
    out=$(<"$work/out")
    elapsed_ms=$(((ended - started) / 1000))
    runs+=("$(printf '%-24s exit %-3d %6d ms' "$label" "$status" "$elapsed_ms")")
    cp "$work/out" "$work/out.${#runs[@]}"
    cp "$work/err" "$work/err.${#runs[@]}"
}

last_run() { say "run ${#runs[@]}"; }

# One behaviour word to a short one for the table.
short() { # WORD
    case $1 in
        endpoint-independent) say EI ;;
        address-dependent) say AD ;;
        address-and-port-dependent) say APD ;;
        none) say none ;;
        null) say "-" ;;
        dependent) say "AD|APD" ;;
        "") say "-" ;;
        *) say "$1" ;;
    esac
}

# A mapping and a filtering for the table: "EI/APD", or "blocked" when nothing answered.
pair() { # MAPPING FILTERING
    if [ "$1" = blocked ] && [ "$2" = blocked ]; then
        say blocked
    else
        say "$(short "$1")/$(short "$2")"
    fi
}

# coturn's turnutils_natdiscovery, RFC 5780's mapping and filtering tests. Given pc's address,
# it tells "no NAT" from an endpoint-independent mapping. Sets found_mapping, found_filtering.
natdiscovery() { # SERVER_ADDRESS
    run_on_pc turnutils_natdiscovery 40 turnutils_natdiscovery -m -f -L "$pc_now" "$1"
    found_mapping=$(sed -n \
        -e 's/^No NAT! (Endpoint Independent Mapping)$/none/p' \
        -e 's/^NAT with Endpoint Independent Mapping!$/endpoint-independent/p' \
        -e 's/^NAT with Address Dependent Mapping!$/address-dependent/p' \
        -e 's/^NAT with Address and Port Dependent Mapping!$/address-and-port-dependent/p' \
        <<<"$out" | tail -n 1)
    found_filtering=$(sed -n \
        -e 's/^NAT with Endpoint Independent Filtering!$/endpoint-independent/p' \
        -e 's/^NAT with Address Dependent Filtering!$/address-dependent/p' \
        -e 's/^NAT with Address and Port Dependent Filtering!$/address-and-port-dependent/p' \
        <<<"$out" | tail -n 1)
    if ! grep -q '^RFC 5780 response' <<<"$out"; then found_mapping=blocked found_filtering=blocked; fi
}

# Debian's stun (RFC 3489's tests, from a random port). It cannot tell an address-dependent
# mapping from an address-and-port-dependent one, and gives no filtering for either. Sets
# found_mapping and found_filtering ("dependent" and "" for those), and stun_says.
stun_client() { # SERVER_ADDRESS
    run_on_pc stun 40 stun "$1"
    stun_says=$(sed -n 's/^Primary: //p' <<<"$out" | head -n 1)
    local kind=${stun_says%%, preserves ports*}
    kind=${kind%%, random port*}
    kind=${kind%%, will hairpin*}
    kind=${kind%%, no hairpin*}
    kind=${kind%"${kind##*[![:space:]]}"}
    found_mapping=
    found_filtering=
    case $kind in
        Open)
            found_mapping=none found_filtering=endpoint-independent ;;
        "Independent Mapping, Independent Filter")
            found_mapping=endpoint-independent found_filtering=endpoint-independent ;;
        "Independent Mapping, Address Dependent Filter")
            found_mapping=endpoint-independent found_filtering=address-dependent ;;
        "Independent Mapping, Port Dependent Filter")
            found_mapping=endpoint-independent found_filtering=address-and-port-dependent ;;
        "Dependent Mapping")
            found_mapping=dependent ;;
        "Blocked or could not reach STUN server")
            found_mapping=blocked found_filtering=blocked ;;
    esac
}

# Whether a client's finding agrees with SETUP's row of the table; a finding of "dependent"
# agrees with either dependent mapping, and then no filtering is told. "blocked": no answer.
expect_behaviour() { # CLIENT SETUP
    local mapping=${want_mapping[$2]} filtering=${want_filtering[$2]}
    if [ "$found_mapping" = dependent ] && [[ "$mapping" == *-dependent ]]; then
        [ -z "$found_filtering" ] || problem "$(last_run): $1 gave a filtering with a dependent mapping"
        return
    fi
    [ "$found_mapping" = "$mapping" ] ||
        problem "$(last_run): $1 found mapping ${found_mapping:-(none said)}, expected $mapping"
    [ "$found_filtering" = "$filtering" ] ||
        problem "$(last_run): $1 found filtering ${found_filtering:-(none said)}, expected $filtering"
}

# quillmere-check --nat against the server's primary address (on 3478, the default port). Sets
# found_mapping, found_filtering, found_letter (its Nintendo type) and nat_ms.
nat_run() {
    run_on_pc "quillmere-check --nat" 20 "$check_bin" --nat --stun "$stun_primary" --json
    nat_ms=$elapsed_ms
    runs[-1]+="  $(json_value '[.nat.type, .nat.nintendo, .nat.portPreserved, .nat.externalAddress]
        | map(tostring) | join(" ")' | tr -d '"')"
    found_mapping=$(json_word_or_nothing .nat.mapping)
    found_filtering=$(json_word_or_nothing .nat.filtering)
    found_letter=$(json_word_or_nothing .nat.nintendo)
}

# FILTER's string from the last run's JSON, unquoted; nothing for null or no JSON.
json_word_or_nothing() { # FILTER
    jq -r "$1 // empty" <<<"$out" 2>/dev/null || true
}

# The --nat run against a server with two addresses: the JSON's "nat" must agree with the table
# and the consoles' rules.
quillmere_nat() { # SETUP
    local setup=$1 letters external
    nat_run
    expect_json .nat.server "\"$stun_primary:3478\""
    if [ "$setup" = udp-blocked ]; then
        # No STUN server answered over UDP: exit 4, nothing told but why. With the server's
        # TCP listener answering, the program can tell that UDP is what is blocked.
        expect_status 4
        expect_json .nat.mapping null
        expect_json .nat.filtering null
        expect_text .nat.limits
        if [ -n "$(in_ns "$ns_stun" ss -Hltn src "$stun_primary:3478")" ]; then
            expect_json .nat.type '"strict"'
            expect_json .nat.nintendo '"F"'
        else
            expect_json .nat.type null
            expect_json .nat.nintendo null
        fi
        return
    fi
    expect_status 0
    expect_json .nat.mapping "\"${want_mapping[$setup]}\""
    expect_json .nat.filtering "\"${want_filtering[$setup]}\""
    expect_json .nat.type "\"${want_type[$setup]}\""
    expect_json .nat.limits null
    # "masquerade random" could give pc's own port by chance, once in some 64000 runs.
    [ "$setup" = random ] || expect_json .nat.portPreserved "${want_port_kept[$setup]}"
    letters=${want_nintendo[$setup]}
    [[ " $letters " == *" $found_letter "* ]] ||
        problem "$(last_run): .nat.nintendo is ${found_letter:-null}, expected one of: $letters"
    external=$pc_now
    [ "$setup" = public ] || external=$router_wan
    [[ "$(json_value .nat.externalAddress)" == "\"$external:"[0-9]*'"' ]] ||
        problem "$(last_run): .nat.externalAddress is $(json_value .nat.externalAddress), expected $external:PORT"
}

# The same against the server with one address: only what it can tell, and why not the rest.
quillmere_nat_one_address() { # SETUP
    local setup=$1 external
    nat_run
    expect_json .nat.server "\"$stun_primary:3478\""
    expect_json .nat.mapping "$(json_word "${one_mapping[$setup]}")"
    expect_json .nat.filtering null
    expect_json .nat.type "$(json_word "${one_type[$setup]}")"
    expect_json .nat.nintendo null
    expect_text .nat.limits
    if [ "$setup" = udp-blocked ]; then
        expect_status 4
        return
    fi
    expect_status 0
    [ "$setup" = random ] || expect_json .nat.portPreserved "${want_port_kept[$setup]}"
    external=$pc_now
    [ "$setup" = public ] || external=$router_wan
    [[ "$(json_value .nat.externalAddress)" == "\"$external:"[0-9]*'"' ]] ||
        problem "$(last_run): .nat.externalAddress is $(json_value .nat.externalAddress), expected $external:PORT"
}

# A word as compact JSON: null stays null, anything else is a string.
json_word() { # WORD
    if [ "$1" = null ]; then say null; else say "\"$1\""; fi
}

failure_details() {
    say "    --- router's rules"
    in_ns "$ns_router" nft list table ip natbed 2>&1 | sed 's/^/    /'
    say "    --- STUN server's output (last lines)"
    tail -n 8 "$server_log" | sed 's/^/    /'
}

# --- The cases ----------------------------------------------------------------------------------

skipped=0
declare -A table_natdiscovery=() table_stun=() table_quillmere=() table_ms=()

# A case passes when its asserts hold; when they hold but quillmere-check could not be tried, it
# is SKIPPED with what it needs.
end_nat_case() { # NEEDS
    if [ ${#problems[@]} -gt 0 ] || [ -z "$1" ]; then
        end_case
    else
        case_line "$case_number" SKIPPED "(needs $1; the third-party clients' asserts passed)" \
            "$(printf '%5ss' "$(seconds_since "$case_started")")"
        printf '    %s\n' "${runs[@]}"
        skipped=$((skipped + 1))
    fi
}

skip_case() { # REASON
    case_number=$((case_number + 1))
    case_line "$case_number" SKIPPED "($1)"
    skipped=$((skipped + 1))
}

for server in "${servers[@]}"; do
    if [ "$server" != coturn ] && [ -z "$has_stun_listen" ]; then
        for setup in "${setups[@]}"; do skip_case "quillmere-server has no --stun-listen"; done
        continue
    fi
    if [ "$server" = quillmere-1 ] && [ -z "$has_nat" ]; then
        for setup in "${setups[@]}"; do skip_case "needs quillmere-check --nat"; done
        continue
    fi
    server_ok=yes
    start_server "$server" || server_ok=
    for setup in "${setups[@]}"; do
        begin_case
        key=$setup/$server
        if [ -z "$server_ok" ]; then
            problem "bed: ${server_title[$server]} did not listen on both ports of its addresses"
            end_case
            continue
        fi
        if [ "$setup" = public ]; then pc_address public; else pc_address private; fi
        router_setup "$setup"

        if [ "$server" = quillmere-1 ]; then
            # The third-party clients need a server with two addresses; the server says at
            # start that it has one.
            table_natdiscovery[$key]="n/a" table_stun[$key]="n/a"
            [ "$setup" != "${setups[0]}" ] ||
                tail -n +"$server_log_from" "$server_log" | grep -q "one address" ||
                problem "bed: quillmere-server did not say at start that it serves one address"
            quillmere_nat_one_address "$setup"
            table_quillmere[$key]="$(pair "$found_mapping" "$found_filtering") ${found_letter:--}"
            table_ms[$key]=$nat_ms
            end_case
            continue
        fi

        natdiscovery "$stun_primary"
        expect_behaviour turnutils_natdiscovery "$setup"
        table_natdiscovery[$key]=$(pair "$found_mapping" "$found_filtering")

        stun_client "$stun_primary"
        expect_behaviour stun "$setup"
        table_stun[$key]=$(pair "$found_mapping" "$found_filtering")

        needs=
        if [ -n "$has_nat" ]; then
            quillmere_nat "$setup"
            table_quillmere[$key]="$(pair "$found_mapping" "$found_filtering") ${found_letter:--}"
            table_ms[$key]=$nat_ms
        else
            needs="quillmere-check --nat"
        fi
        end_nat_case "$needs"
    done
    stop_server
done

# --- The table, as measured ---------------------------------------------------------------------

say ""
say "NAT behaviour found (mapping/filtering; EI endpoint-independent, AD address-dependent,"
say "APD address-and-port-dependent, AD|APD a dependent mapping stun cannot tell apart;"
say "blocked: no answer; -: not told; n/a: not run; the letter after quillmere-check's finding is its Nintendo type;"
say "--nat ms: the wall time of the whole quillmere-check --nat run, a figure no case depends on):"
row='%-24s %-16s %-9s %-13s %-9s %-15s %s\n'
# shellcheck disable=SC2059 # the format is the row's
printf "$row" set-up server expected natdiscovery stun quillmere-check "--nat ms"
for setup in "${setups[@]}"; do
    for server in "${servers[@]}"; do
        key=$setup/$server
        expected=$(pair "${want_mapping[$setup]}" "${want_filtering[$setup]}")
        [ "$server" != quillmere-1 ] ||
            expected=$(pair "${one_mapping[$setup]}" null)
        # shellcheck disable=SC2059
        printf "$row" "${setup_title[$setup]}" "${server_title[$server]}" "$expected" \
            "${table_natdiscovery[$key]:--}" "${table_stun[$key]:--}" \
            "${table_quillmere[$key]:--}" "${table_ms[$key]:--}"
    done
done
say ""

summary "$passed" "$failed" "$skipped"
[ "$failed" -eq 0 ]
