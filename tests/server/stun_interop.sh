#!/usr/bin/env bash
# Other programs' STUN clients against quillmere-server's STUN listener on loopback, 127.0.0.1
# with 127.0.0.2 as the alternate address: Debian's `stun` (package stun-client, RFC 3489) and
# coturn's `turnutils_natdiscovery` (RFC 5780). Loopback has no NAT, so `stun` must say
# "Primary: Open" and turnutils_natdiscovery must find endpoint-independent mapping and
# filtering. Exits 77 (skipped) when either program is missing.
#   stun_interop.sh QUILLMERE_SERVER
set -euo pipefail
server=$1
for tool in stun turnutils_natdiscovery; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (Debian packages stun-client and coturn)"
        exit 77
    fi
done
fail() { echo "FAIL: $*"; exit 1; }

scratch=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# The listener takes a port and the next on both addresses, so port 0 cannot be asked for: try
# ports until one pair is free.
start_server() {
    local tries=0 port
    while [ $tries -lt 20 ]; do
        tries=$((tries + 1))
        port=$((20000 + RANDOM % 40000))
        "$server" --listen 127.0.0.1:0 --ping off --threads 1 --stun-listen "127.0.0.1:$port" \
            --stun-alternate 127.0.0.2 >"$scratch/access.log" 2>"$scratch/notes" &
        pid=$!
        local waited=0
        until grep -q "STUN: at most" "$scratch/notes"; do
            if ! kill -0 "$pid" 2>/dev/null; then
                wait "$pid" 2>/dev/null || true
                pid=
                break
            fi
            waited=$((waited + 1))
            [ $waited -lt 100 ] || fail "quillmere-server did not start: $(cat "$scratch/notes")"
            sleep 0.1
        done
        if [ -n "$pid" ]; then
            stun_port=$port
            return 0
        fi
        grep -q "cannot listen for STUN" "$scratch/notes" ||
            fail "quillmere-server did not start: $(cat "$scratch/notes")"
    done
    fail "no free STUN port pair in 20 tries"
}
start_server
echo "quillmere-server: STUN on 127.0.0.1:$stun_port and 127.0.0.2:$stun_port (and the next ports)"

# stun's exit status is its verdict's number (1 for an open host), so its output is what counts.
stun_out=$(timeout 60 stun "127.0.0.1:$stun_port" 2>&1 || true)
echo "--- stun 127.0.0.1:$stun_port"
echo "$stun_out"
grep -q "^Primary: Open" <<<"$stun_out" || fail "stun did not find the open (no NAT) case"

nat_out=$(timeout 60 turnutils_natdiscovery -m -f -p "$stun_port" 127.0.0.1 2>&1) ||
    fail "turnutils_natdiscovery failed: $nat_out"
echo "--- turnutils_natdiscovery -m -f -p $stun_port 127.0.0.1"
echo "$nat_out"
grep -q "Endpoint Independent Mapping" <<<"$nat_out" ||
    fail "turnutils_natdiscovery did not find endpoint-independent mapping"
grep -q "Endpoint Independent Filtering" <<<"$nat_out" ||
    fail "turnutils_natdiscovery did not find endpoint-independent filtering"
# The filtering test's change of address and port was answered from the alternate pair.
grep -q "Response origin: : 127.0.0.2:$((stun_port + 1))" <<<"$nat_out" ||
    fail "turnutils_natdiscovery got no answer from 127.0.0.2:$((stun_port + 1))"

# Both clients were answered by this server, each in its own form, with changes of address.
grep -q "protocol=stun outcome=answered form=rfc3489 change=ip reply_from=127.0.0.2:$stun_port" \
    "$scratch/access.log" || fail "no answer to stun's change of address in the access log"
grep -q "protocol=stun outcome=answered form=rfc5389 change=ip+port reply_from=127.0.0.2:$((stun_port + 1))" \
    "$scratch/access.log" || fail "no answer to turnutils_natdiscovery's change in the access log"
kill "$pid"
wait "$pid" || fail "quillmere-server did not stop cleanly"
pid=
echo "PASS: stun and turnutils_natdiscovery find no NAT, endpoint-independent"
