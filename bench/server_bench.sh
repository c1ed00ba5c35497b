#!/usr/bin/env bash
# Measures quillmere-server on this machine, over loopback, with bench/server_load:
#
#   1. throughput: CONNECTIONS checks in flight for DURATION seconds, one connection per check;
#      every probe is refused at once, so the figure is the server's own cost per check;
#   2. the same load against two nginx set-ups (Debian's package, installed when missing), one
#      connection per request, in the same run:
#        static     a fixed page of the same size as the server's reply (less work than a check);
#        same-work  the same work as a check: accept, read, a connect to a closed local port
#                   (proxy_pass to 127.0.0.1:1) that is refused, the reply (error_page 502 to a
#                   location returning the same page), close;
#      the three are measured in turn, RUNS times each, and compared by their medians; the goal
#      is at least 1.0 against the same-work anchor;
#      1 and 2 are done for each count in SERVER_THREADS: the server's --threads and nginx's
#      worker_processes are that count;
#   3. hold-open: HOLD checks at once whose probes time out (server --connect-timeout
#      CONNECT_TIMEOUT), which must all be answered within CONNECT_TIMEOUT + 0.5 s; the checks
#      are started over RAMP seconds (less than the time-out, so all are held at once at the
#      end of it). The script raises the open-file limits (as root) and, in its own network
#      namespace, widens the ephemeral port range and the listen queues for this.
#
# It reports figures (rates, latency, peak memory from VmHWM, CPU time) and never fails on a time.
# It builds nothing: build first (tools/dev.sh build), then
#
#   bash bench/server_bench.sh [BUILD_DIR]              (default: build)
#
# Settings, through the environment:
#   CONNECTIONS=64  DURATION=10  WARMUP=2  RUNS=5  THREADS=2 (server_load's)  PING=auto
#   SERVER_THREADS="1 2"  HOLD=50000 (0: no hold-open run)  HOLD_THREADS=(the cores)  RAMP=3
#   CONNECT_TIMEOUT=5  SERVER=BUILD_DIR/server/quillmere-server
#   SERVER_ARGS="" (more options for the measured server)
#   ISOLATE=1 (0: stay on the machine's loopback rather than in a network namespace of its own)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-build}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac

connections=${CONNECTIONS:-64}
duration=${DURATION:-10}
warmup=${WARMUP:-2}
runs=${RUNS:-5}
threads=${THREADS:-2}
server_threads=${SERVER_THREADS:-1 2}
ping=${PING:-auto}
hold=${HOLD:-50000}
hold_threads=${HOLD_THREADS:-$(nproc)}
ramp=${RAMP:-3}
connect_timeout=${CONNECT_TIMEOUT:-5}
server=${SERVER:-$build_dir/server/quillmere-server}
read -r -a server_args <<<"${SERVER_ARGS:-}"
load=$build_dir/bench/server_load

for program in "$server" "$load"; do
    if [ ! -x "$program" ]; then
        echo "server_bench: $program is missing; build first (tools/dev.sh build)" >&2
        exit 1
    fi
done

# nginx, from Debian. Installed before anything else, while the network is at hand.
nginx_bin=$(command -v nginx || true)
[ -n "$nginx_bin" ] || nginx_bin=/usr/sbin/nginx
if [ ! -x "$nginx_bin" ]; then
    echo "Installing nginx" >&2
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends nginx >/dev/null
fi

# Run in a network namespace of our own where we can (root and unshare): its loopback carries
# only this run's traffic. On the machine's own loopback, every raw ICMP socket (any other
# quillmere-server running, for one) gets a copy of each ping and its reply, and pays for it
# in CPU time the measured programs then lack.
if [ "${ISOLATE:-1}" = 1 ] && [ -z "${QUILLMERE_BENCH_NETNS:-}" ] && [ "$(id -u)" -eq 0 ] &&
    command -v unshare >/dev/null && command -v ip >/dev/null; then
    exec unshare --net -- env QUILLMERE_BENCH_NETNS=1 bash "${BASH_SOURCE[0]}" "$build_dir"
fi
if [ -n "${QUILLMERE_BENCH_NETNS:-}" ]; then
    ip link set lo up
    # HOLD client connections to one server port need as many ephemeral ports (the probes go to
    # another port, so they may reuse them), and the listen queues must take the ramp's bursts.
    sysctl -qw net.ipv4.ip_local_port_range="1024 65535" net.core.somaxconn=65535 \
        net.ipv4.tcp_max_syn_backlog=65535
    network="a network namespace of its own (loopback only)"
else
    network="the machine's loopback, shared with whatever else runs"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-bench.XXXXXX")
chmod 755 "$tmp" # nginx's workers run as an unprivileged user when started as root
server_pid=
nginx_pid=
static_pid=
proxy_pid=
load_pid=
sampler_pid=

stop() { # stop PID [SIGNAL]: stops a process this script started (SIGKILL after 10 s) and waits
    local pid=$1
    [ -n "$pid" ] || return 0
    kill -"${2:-TERM}" "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "server_bench: pid $pid did not end within 10 s of SIG${2:-TERM}; killing it" >&2
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    stop "$load_pid"
    stop "$sampler_pid"
    stop "$server_pid"
    stop "$nginx_pid" QUIT
    stop "$static_pid" QUIT
    stop "$proxy_pid" QUIT
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The server holds two sockets per held-open check, server_load one; everything started from here
# inherits this. Raising the hard limit takes CAP_SYS_RESOURCE (root usually has it; some
# sandboxes and containers do not): without it the hold-open run shrinks to what fits.
files_needed=$((hold * 2 + 4096))
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$hard" -lt "$files_needed" ]; then
    ulimit -Hn "$files_needed" 2>/dev/null || true
fi
ulimit -n "$(ulimit -Hn)"
hold_asked=$hold
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt "$files_needed" ]; then
    hold=$((($(ulimit -n) - 1000) / 2))
    [ "$hold" -gt 0 ] || hold=0
    echo "server_bench: the open-file hard limit is $(ulimit -Hn) and cannot be raised here" \
        "(no CAP_SYS_RESOURCE); $hold_asked held checks need about $files_needed descriptors in" \
        "the server, so the hold-open run holds $hold" >&2
fi

# CPU time (utime + stime, in clock ticks) of a process and, with a second argument, its children.
clk_tck=$(getconf CLK_TCK)
cpu_ticks() {
    local pids=("$1") total=0 stat rest
    if [ "${2:-}" = children ]; then
        mapfile -t -O 1 pids < <(ps -o pid= --ppid "$1")
    fi
    for pid in "${pids[@]}"; do
        stat=$(cat "/proc/${pid// /}/stat" 2>/dev/null) || continue
        rest=${stat##*) }
        total=$((total + $(awk '{print $12 + $13}' <<<"$rest")))
    done
    echo "$total"
}

# Busy CPU time of the whole machine, in clock ticks: user, nice, system, irq, softirq, steal.
busy_ticks() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8 + $9; exit}' /proc/stat; }

vm_hwm_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
result() { # result FILE KEY: a value from server_load's RESULT line
    sed -n 's/^RESULT .*\b'"$2"'=\([^ ]*\).*/\1/p' "$1"
}
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# start_server ACCESS-LOG EXTRA-ARGUMENTS...: sets server_pid and server_port
start_server() {
    local access_log=$1
    shift
    : >"$tmp/server.err"
    "$server" --listen 127.0.0.1:0 --allow-private --client-checks 0 --client-rate 0 \
        --client-connections 0 --ping "$ping" "${server_args[@]}" "$@" >"$access_log" 2>"$tmp/server.err" &
    server_pid=$!
    local address=
    for _ in $(seq 100); do
        address=$(sed -n 's/^quillmere-server: listening on //p' "$tmp/server.err" | head -n 1)
        [ -n "$address" ] && break
        if ! kill -0 "$server_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if [ -z "$address" ]; then
        echo "server_bench: quillmere-server did not start:" >&2
        cat "$tmp/server.err" >&2
        exit 1
    fi
    server_port=${address##*:}
}

# start_nginx BODY-FILE WORKERS MODE: sets nginx_pid and nginx_port. MODE static returns the page;
# MODE same-work passes each request to a closed local port, and the refusal's 502 returns it.
start_nginx() {
    local body workers=$2 mode=$3 dir="$tmp/nginx-$3" location
    body=$(cat "$1")
    mkdir -p "$dir"
    if [ "$mode" = static ]; then
        location="location / { default_type text/html; return 200 \"$body\"; }"
    else
        location="location / { proxy_pass http://127.0.0.1:1; error_page 502 = @done; }
        location @done { default_type text/html; return 200 \"$body\"; }"
    fi
    for _ in $(seq 20); do
        nginx_port=$((20000 + RANDOM % 30000))
        if (exec 3<>"/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null; then
            continue # taken
        fi
        # error_log at crit: the same-work set-up would log each refused connect otherwise.
        cat >"$dir/nginx.conf" <<EOF
daemon off;
worker_processes $workers;
worker_rlimit_nofile 65536;
pid $dir/nginx.pid;
error_log $dir/error.log crit;
events { worker_connections 16384; }
http {
    access_log /dev/null;
    client_body_temp_path $dir/client_body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    keepalive_timeout 0;
    server {
        listen 127.0.0.1:$nginx_port backlog=4096;
        $location
    }
}
EOF
        "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" 2>>"$dir/start.err" &
        nginx_pid=$!
        for _ in $(seq 50); do
            if (exec 3<>"/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null; then
                return 0
            fi
            kill -0 "$nginx_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop "$nginx_pid" QUIT
        nginx_pid=
    done
    echo "server_bench: nginx ($mode) did not start:" >&2
    cat "$dir/start.err" "$dir/error.log" >&2 2>/dev/null || true
    exit 1
}

# measure NAME PID PORT CHILDREN RUN: one timed run of the load, with the CPU time the target (and,
# with CHILDREN = children, its child processes) used meanwhile. Writes $tmp/NAME.RUN.out and
# appends a line to $tmp/NAME.runs: rate, p50, p99, max, then the CPU time of the target, of
# server_load and of everything else (% of one core), then the error count.
measure() {
    local name=$1 pid=$2 port=$3 children=$4 run=$5 out="$tmp/$1.$5.out"
    local before after busy_before busy_after started ended
    busy_before=$(busy_ticks)
    before=$(cpu_ticks "$pid" "$children")
    started=$(date +%s.%N)
    "$load" "127.0.0.1:$port" --connections "$connections" --duration "$duration" \
        --threads "$threads" --probe refused --expect-done >"$out"
    ended=$(date +%s.%N)
    after=$(cpu_ticks "$pid" "$children")
    busy_after=$(busy_ticks)
    awk -v rate="$(result "$out" rate)" -v p50="$(result "$out" p50_ms)" \
        -v p99="$(result "$out" p99_ms)" -v max="$(result "$out" max_ms)" \
        -v errors="$(result "$out" errors)" -v load_s="$(result "$out" cpu_s)" \
        -v target=$((after - before)) -v busy=$((busy_after - busy_before)) -v hz="$clk_tck" \
        -v wall="$(awk -v a="$started" -v b="$ended" 'BEGIN {print b - a}')" \
        'BEGIN {
            t = target / hz; other = busy / hz - t - load_s; if (other < 0) other = 0
            printf "%s %s %s %s %.0f %.0f %.0f %s\n", rate, p50, p99, max, 100 * t / wall,
                100 * load_s / wall, 100 * other / wall, errors
        }' >>"$tmp/$name.runs"
}

echo "Machine: $(nproc) cores, $(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo);" \
    "load average at the start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Network: $network"
echo "Load: $connections connections in flight, $threads load thread(s), ${duration} s per run" \
    "after a ${warmup} s warm-up, $runs run(s) each; ping $ping"
echo

# --- Throughput ---------------------------------------------------------------------------------
ratios=()
declare -A labels=([server]=quillmere-server [static]="nginx static" [proxy]="nginx same-work")
for loops in $server_threads; do
    echo "=== quillmere-server --threads $loops against nginx with worker_processes $loops ==="
    rm -f "$tmp"/*.runs "$tmp"/*.out
    start_server /dev/null --max-checks $((connections * 4)) --threads "$loops"
    echo "quillmere-server on 127.0.0.1:$server_port (pid $server_pid, $loops event loop(s))" \
        "${server_args[*]}"
    "$load" "127.0.0.1:$server_port" --connections "$connections" --duration "$warmup" \
        --threads "$threads" --probe refused --expect-done --save-reply "$tmp/reply" >"$tmp/warmup.out"
    reply_bytes=$(wc -c <"$tmp/reply")
    body_bytes=$(awk 'BEGIN {RS = "\r\n\r\n"} NR > 1 {printf "%s%s", (NR > 2 ? RS : ""), $0}' \
        "$tmp/reply" | wc -c)

    # nginx's page: "-done-" and padding to the same body size, in characters nginx's string keeps.
    page="<html><body>-done-</body></html>"
    while [ ${#page} -lt "$body_bytes" ]; do page+="."; done
    printf '%s' "$page" >"$tmp/page"
    for name in static proxy; do
        mode=$([ "$name" = static ] && echo static || echo same-work)
        start_nginx "$tmp/page" "$loops" "$mode"
        if [ "$name" = static ]; then
            static_pid=$nginx_pid static_port=$nginx_port
        else
            proxy_pid=$nginx_pid proxy_port=$nginx_port
        fi
        echo "nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///') ($mode) on 127.0.0.1:$nginx_port" \
            "(pid $nginx_pid, $(ps -o pid= --ppid "$nginx_pid" | wc -l) workers)"
        nginx_pid=
        "$load" "127.0.0.1:$nginx_port" --connections "$connections" --duration "$warmup" \
            --threads "$threads" --probe refused --expect-done --save-reply "$tmp/$name-reply" \
            >"$tmp/$name-warmup.out"
    done
    echo "reply sizes: quillmere-server $reply_bytes bytes (body $body_bytes)," \
        "nginx static $(wc -c <"$tmp/static-reply") bytes, nginx same-work" \
        "$(wc -c <"$tmp/proxy-reply") bytes (body ${#page} each)"
    echo

    for run in $(seq "$runs"); do
        measure server "$server_pid" "$server_port" "" "$run"
        measure static "$static_pid" "$static_port" children "$run"
        measure proxy "$proxy_pid" "$proxy_port" children "$run"
    done
    server_hwm=$(vm_hwm_kib "$server_pid")

    printf '%-18s %4s %10s %9s %9s %9s %8s %8s %8s %7s\n' "" run "checks/s" "p50 ms" "p99 ms" \
        "max ms" "CPU %" "load %" "other %" errors
    for name in server static proxy; do
        run=0
        while read -r rate p50 p99 max cpu load_cpu other errors; do
            run=$((run + 1))
            printf '%-18s %4s %10.0f %9.2f %9.2f %9.2f %8s %8s %8s %7s\n' "${labels[$name]}" \
                "$run" "$rate" "$p50" "$p99" "$max" "$cpu" "$load_cpu" "$other" "$errors"
        done <"$tmp/$name.runs"
    done
    server_rate=$(awk '{print $1}' "$tmp/server.runs" | median)
    static_rate=$(awk '{print $1}' "$tmp/static.runs" | median)
    proxy_rate=$(awk '{print $1}' "$tmp/proxy.runs" | median)
    ratio_of() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
    static_ratio=$(ratio_of "$server_rate" "$static_rate")
    proxy_ratio=$(ratio_of "$server_rate" "$proxy_rate")
    echo
    echo "(CPU time over the run, 100 % = one core of $(nproc): CPU = the target's, load = server_load's,"
    echo " other = everything else on the machine; the three add up to at most $(($(nproc) * 100)) %)"
    printf 'median rate: quillmere-server %.0f checks/s, nginx static %.0f, nginx same-work %.0f requests/s\n' \
        "$server_rate" "$static_rate" "$proxy_rate"
    echo "ratio quillmere-server / nginx same-work: $proxy_ratio ($(awk -v r="$proxy_ratio" \
        'BEGIN {print (r >= 1.0 ? "meets" : "misses")}') the goal of at least 1.0)"
    echo "ratio quillmere-server / nginx static: $static_ratio"
    echo "quillmere-server peak memory (VmHWM) after the throughput runs: $(mib "$server_hwm") MiB"
    grep -h '^first error' "$tmp"/*.out || true
    stop "$server_pid"
    server_pid=
    stop "$static_pid" QUIT
    static_pid=
    stop "$proxy_pid" QUIT
    proxy_pid=
    echo
    ratios+=("--threads $loops: $(printf '%.0f' "$server_rate") checks/s; nginx same-work $(printf \
        '%.0f' "$proxy_rate") (ratio $proxy_ratio), static $(printf '%.0f' "$static_rate") (ratio $static_ratio)")
done
echo "Summary:"
printf '  %s\n' "${ratios[@]}"
echo

# --- Hold-open ----------------------------------------------------------------------------------
if [ "$hold" -eq 0 ]; then
    exit 0
fi
deadline=$(awk -v t="$connect_timeout" 'BEGIN {print t + 0.5}')
start_server "$tmp/access.log" --connect-timeout "$connect_timeout" --max-checks $((hold * 2)) \
    --max-connections $((hold * 2)) --threads "$hold_threads"
idle_hwm=$(vm_hwm_kib "$server_pid")
echo "Hold-open: $hold checks at once, started over $ramp s, probes that time out;" \
    "quillmere-server --connect-timeout $connect_timeout --threads $hold_threads" \
    "(pid $server_pid, $(mib "$idle_hwm") MiB at start)"
sed -n 's/^quillmere-server: \(open-file limit.*\)/server: \1/p' "$tmp/server.err"
"$load" "127.0.0.1:$server_port" --connections "$hold" --count "$hold" --probe hold \
    --expect-done --deadline "$deadline" --timeout $((connect_timeout * 4 + 10)) \
    --ramp "$ramp" >"$tmp/hold.out" &
load_pid=$!
# The server's open descriptors while the checks are held (two per check: client and probe).
(
    most=0
    while kill -0 "$load_pid" 2>/dev/null; do
        n=$(find "/proc/$server_pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
        [ "$n" -gt "$most" ] && most=$n && echo "$most" >"$tmp/fds"
        sleep 0.25
    done
) &
sampler_pid=$!
wait "$load_pid"
load_pid=
wait "$sampler_pid"
sampler_pid=
hold_hwm=$(vm_hwm_kib "$server_pid")
stop "$server_pid"
server_pid=

sed -n '/^probe port/p; /^elapsed/p; /^latency/p; /^deadline/p; /^error/p; /^first error/p;
    /^load tool CPU/p' "$tmp/hold.out"
ok=$(result "$tmp/hold.out" ok)
within=$(result "$tmp/hold.out" within_deadline)
echo "most open descriptors in quillmere-server during the run: $(cat "$tmp/fds" 2>/dev/null || echo ?)"
echo "outcomes in the server's access log: $(sed -n 's/.* outcome=\([^ ]*\).*/\1/p' "$tmp/access.log" |
    sort | uniq -c | awk '{printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2}')"
if [ "$ok" = "$hold" ] && [ "$within" = "$hold" ]; then
    echo "all $hold checks answered within $deadline s: yes"
else
    echo "all $hold checks answered within $deadline s: no ($within of $hold; $ok answered in all)"
fi
printf 'max latency %.0f ms\n' "$(result "$tmp/hold.out" max_ms)"
echo "quillmere-server peak memory (VmHWM): $(mib "$hold_hwm") MiB" \
    "(goal: under 400 MB; $(awk -v k="$hold_hwm" 'BEGIN {print (k * 1024 < 400e6 ? "met" : "missed")}'))"
