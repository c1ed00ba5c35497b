#!/usr/bin/env bash
# Sets up, builds, runs and tests Quillmere on Debian 12.
#
#   tools/dev.sh run     build, start quillmere-server on loopback and run Quillmere against it
#                        (the desktop program when a display is present, else quillmere-check)
#   tools/dev.sh test    build and run every test
#   tools/dev.sh build   build only
#   tools/dev.sh bench   build and run the benchmarks
#   tools/dev.sh deps    install the Debian packages the build needs
#
# Each command first installs whatever packages are missing (as root, or through sudo).
# Settings, through the environment:
#   BUILD_DIR=build  WERROR=OFF  SANITIZE=OFF  BENCH=OFF  BUILD_TYPE=RelWithDebInfo
#   RUN_SERVER_PORT=18080  RUN_PORT=4711  RUN_PROTOCOL=tcp
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac

packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
          libgl-dev fonts-liberation2 libboost1.81-dev
          iproute2 nftables socat procps) # the last four for the home-network tests
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
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        "$build_dir/ui/quillmere"
    else
        echo "No display: running the check from the command line." >&2
        local status=0
        "$build_dir/cli/quillmere-check" --protocol "${RUN_PROTOCOL:-tcp}" "${RUN_PORT:-4711}" \
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

case "${1:-}" in
    deps) deps ;;
    build) build ;;
    run) run ;;
    test) test_ ;;
    bench) bench ;;
    *) sed -n '2,16p' "$0" >&2; exit 64 ;;
esac
