#!/usr/bin/env bash
# Sets up, builds, runs and tests Quillmere on Debian 12.
#
#   tools/dev.sh run     build, start quillmere-server on loopback and run Quillmere against it
#                        (the desktop program when a display is present, else quillmere-check)
#   tools/dev.sh test    build and run every test
#   tools/dev.sh build   build only
#   tools/dev.sh bench   build and run the benchmarks
#   tools/dev.sh deps    install the Debian packages the build needs
#   tools/dev.sh package build the Debian packages quillmere and quillmere-server into
#                        build-pkg/ (a build of its own: /usr, Debian's hardening flags, no tests)
#   tools/dev.sh fuzz [SECONDS]
#                        build the libFuzzer targets with clang in build-fuzz/, run each over its
#                        committed corpus (ctest -L fuzz), then fuzz each for SECONDS, one at a
#                        time (default 60; 0: the corpus run only), and print the runs per target
#                        and in all. New inputs go to build-fuzz/fuzz-work/, never into fuzz/.
#
# Each command first installs whatever packages are missing (as root, or through sudo).
# Settings, through the environment:
#   BUILD_DIR=build  WERROR=OFF  SANITIZE=OFF  BENCH=OFF  BUILD_TYPE=RelWithDebInfo
#   RUN_SERVER_PORT=18080  RUN_PORT=4711  RUN_PROTOCOL=tcp
#   PKG_BUILD_DIR=build-pkg
#   FUZZ_BUILD_DIR=build-fuzz  FUZZ_TARGETS="fuzz_verdict ..." (default: all)
#   FUZZ_ARGS="-max_len=512 ..." (more libFuzzer flags for the timed runs; "-fork=1
#   -ignore_crashes=1" goes on past crashes, e.g. past a reproducer that still fails)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac

packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
          libgl-dev fonts-liberation2 libboost1.81-dev libminiupnpc-dev libnatpmp-dev
          liburing-dev # for -DQUILLMERE_SERVER_IO_URING=ON (quillmere-server's loops on io_uring)
          man-db # the manual pages' test formats each page with man
          iproute2 nftables socat procps # these four and the next line for the netns tests
          miniupnpd-nftables miniupnpc natpmpc jq
          haproxy # the check server behind a load balancer that sends the PROXY protocol
          dbus-daemon # a private bus for the firewalld client's tests (starts no system bus)
          # Other STUN clients against the server's STUN listener (the interop test). Where
          # systemd runs, Debian enables coturn's own server on install: `systemctl disable
          # --now coturn` if it is not wanted; the test needs only its turnutils_natdiscovery.
          stun-client coturn)
# coturn and stun-client serve the NAT type bed too (tests/netns/nat_type.sh): it runs coturn's
# turnserver as a second STUN server, and both clients through each of its routers.
[ "${BENCH:-OFF}" = ON ] && packages+=(libbenchmark-dev)

deps() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

build() {
    deps
    cmake -S "$root" -B "$build_dir" -G Ninja \
        -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
        -DQUILLMERE_WERROR="${WERROR:-OFF}" \
        -DQUILLMERE_SANITIZE="${SANITIZE:-OFF}" \
        -DQUILLMERE_BUILD_BENCH="${BENCH:-OFF}" >/dev/null
    cmake --build "$build_dir"
}

run() {
    build
    local server_port=${RUN_SERVER_PORT:-18080}
    # --allow-private: on loopback the server probes 127.0.0.1, which it refuses by default.
    "$build_dir/server/quillmere-server" --listen "127.0.0.1:$server_port" --allow-private &
    local server=$!
    # shellcheck disable=SC2064 # the trap keeps this process id, not the variable
    trap "kill $server 2>/dev/null || true" EXIT
    local tries=0
    until (exec 3<>"/dev/tcp/127.0.0.1/$server_port") 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 50 ] || ! kill -0 $server 2>/dev/null; then
            echo "quillmere-server did not start on port $server_port" >&2
            exit 1
        fi
        sleep 0.1
    done
    export QUILLMERE_CHECK_SERVER="127.0.0.1:$server_port"
    # A server on this computer cannot speak for the router, so the router is left alone:
    # nothing is sent beyond loopback.
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        "$build_dir/ui/quillmere" --no-router
    else
        echo "No display: running the check from the command line." >&2
        local status=0
        "$build_dir/cli/quillmere-check" --no-router --protocol "${RUN_PROTOCOL:-tcp}" \
            "${RUN_PORT:-4711}" \
            || status=$?
        echo "quillmere-check exit status: $status" >&2
    fi
}

test_() {
    build
    ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
}

bench() {
    BENCH=ON
    packages+=(libbenchmark-dev)
    build
    for b in "$build_dir"/bench/bench_*; do
        [ -x "$b" ] && [ -f "$b" ] && QT_QPA_PLATFORM=offscreen "$b"
    done
}

# The Debian packages, from a build dir of their own that later runs reuse. The compiler and
# linker flags are Debian's own (dpkg-buildflags, every hardening feature on), as a package built
# by Debian's tools would get them.
package() {
    packages+=(dpkg-dev file)
    deps
    local cxxflags ldflags
    cxxflags="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)"
    cxxflags+=" $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)"
    ldflags="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)"
    cmake -S "$root" -B "$pkg_dir" -G Ninja \
        -DCMAKE_BUILD_TYPE=None \
        -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_CXX_FLAGS="$cxxflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
        -DQUILLMERE_DEB_PACKAGE=ON \
        -DBUILD_TESTING=OFF \
        -DQUILLMERE_WERROR="${WERROR:-OFF}" >/dev/null
    cmake --build "$pkg_dir"
    # Only this version's packages, so that ./build-pkg/*.deb names one of each.
    rm -f "$pkg_dir"/*.deb
    (cd "$pkg_dir" && cpack -G DEB)
    ls -l "$pkg_dir"/*.deb
}

# The fuzz targets and every library they link, built by clang with libFuzzer's instrumentation
# and the address and undefined-behaviour sanitizers.
fuzz_build() {
    packages+=(clang-14 libfuzzer-14-dev libclang-rt-14-dev)
    deps
    cmake -S "$root" -B "$fuzz_dir" -G Ninja \
        -DCMAKE_CXX_COMPILER=clang++-14 \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUILLMERE_FUZZ=ON \
        -DQUILLMERE_BUILD_GUI=OFF \
        -DQUILLMERE_BUILD_BENCH=OFF >/dev/null
    cmake --build "$fuzz_dir" --target quillmere_fuzzers
}

fuzz() {
    local seconds=${1:-60}
    case "$seconds" in
        '' | *[!0-9]*) echo "fuzz: SECONDS must be a whole number, not \"$seconds\"" >&2; exit 64 ;;
    esac
    fuzz_build
    # Every seed and every reproducer in fuzz/corpus/ once: a regression test.
    local corpus_status=0
    ctest --test-dir "$fuzz_dir" -L fuzz --output-on-failure || corpus_status=$?
    if [ "$seconds" -eq 0 ]; then
        return $corpus_status
    fi

    local targets=() line name program corpus dict flags
    mapfile -t targets <"$fuzz_dir/fuzz/fuzzers.txt"
    local work="$fuzz_dir/fuzz-work" total=0 crashed=() summary=()
    for line in "${targets[@]}"; do
        IFS=$'\t' read -r name program corpus dict flags <<<"$line"
        [ -n "$name" ] || continue
        if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then
            continue
        fi
        # A scratch corpus that starts from the committed seeds and keeps what earlier sessions
        # found; crashes go to artifacts/.
        local scratch="$work/$name/corpus" artifacts="$work/$name/artifacts/"
        local log="$work/$name/fuzz.log"
        mkdir -p "$scratch" "$artifacts"
        cp -rn "$corpus/." "$scratch/"
        local args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=25
                    -artifact_prefix="$artifacts")
        [ "$dict" = - ] || args+=(-dict="$dict")
        # shellcheck disable=SC2206 # flags are words, split on purpose
        args+=($flags ${FUZZ_ARGS:-})
        echo "== $name: fuzzing for $seconds s (log: $log)" >&2
        local status=0
        "$program" "${args[@]}" "$scratch" </dev/null >"$log" 2>&1 || status=$?
        local runs done_line
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
        if [ -z "$runs" ]; then
            runs=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#' || true)
        fi
        runs=${runs:-0}
        total=$((total + runs))
        if [ $status -ne 0 ]; then
            crashed+=("$name")
            echo "!! $name stopped with status $status; what broke, and how often:" >&2
            grep -hE 'invariant broken|runtime error|ERROR: AddressSanitizer|SUMMARY: ' "$log" \
                | sed 's/==[0-9]*==//' | sort | uniq -c | sort -rn | head -n 10 >&2 || true
            grep -E 'Test unit written to' "$log" | tail -n 1 >&2 || true
        fi
        [ -z "$done_line" ] || echo "$done_line" >&2
        summary+=("$(printf '%-28s %14s runs%s' "$name" "$runs" \
                     "$([ $status -eq 0 ] || echo "  CRASHED, see $artifacts")")")
    done

    echo
    echo "Runs per target ($seconds s each):"
    printf '  %s\n' "${summary[@]}"
    printf '  %-28s %14s runs\n' "total" "$total"
    if [ ${#crashed[@]} -gt 0 ]; then
        echo "Crashed: ${crashed[*]}. Reproduce with: $fuzz_dir/fuzz/NAME FILE" >&2
        return 1
    fi
    return $corpus_status
}

pkg_dir=${PKG_BUILD_DIR:-build-pkg}
case "$pkg_dir" in /*) ;; *) pkg_dir="$root/$pkg_dir" ;; esac
fuzz_dir=${FUZZ_BUILD_DIR:-build-fuzz}
case "$fuzz_dir" in /*) ;; *) fuzz_dir="$root/$fuzz_dir" ;; esac

case "${1:-}" in
    deps) deps ;;
    build) build ;;
    run) run ;;
    test) test_ ;;
    bench) bench ;;
    package) package ;;
    fuzz) fuzz "${2:-60}" ;;
    *) sed -n '2,25p' "$0" >&2; exit 64 ;;
esac
