#!/usr/bin/env bash
# Builds the Debian packages, installs them, tries what they installed, holds them to lintian and
# the unit to systemd-analyze, then purges them and checks that nothing of them is left.
# Needs root (it installs and removes packages on this machine); CI runs it after the tests.
#   bash packaging/ci-packages.sh
# Settings: PKG_BUILD_DIR=build-pkg (as tools/dev.sh); SECURITY_THRESHOLD=20, the highest
# exposure systemd-analyze security may give the unit, in tenths (20: the 2.0 it would print).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pkg_dir=${PKG_BUILD_DIR:-build-pkg}
case "$pkg_dir" in /*) ;; *) pkg_dir="$root/$pkg_dir" ;; esac
unit=/lib/systemd/system/quillmere-server.service
export DEBIAN_FRONTEND=noninteractive

started=$SECONDS
phase_start=$SECONDS
phase() {
    echo "== $1 ($((SECONDS - phase_start)) s for the step before)"
    phase_start=$SECONDS
}
fail() { echo "FAIL: $*" >&2; exit 1; }

phase "building the packages"
bash "$root/tools/dev.sh" package
debs=("$pkg_dir"/quillmere_*.deb "$pkg_dir"/quillmere-server_*.deb)
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || fail "no package $deb"
    echo "--- $(basename "$deb")"
    dpkg-deb --field "$deb" Package Version Architecture Depends Installed-Size
    dpkg-deb --contents "$deb" | awk '{ print "    " $1, $6, $7, $8 }'
done

phase "installing the packages"
# --reinstall: a second run on this machine installs the packages just built, not keeps the last.
apt-get install -y -qq --reinstall "${debs[@]}" >/dev/null
version=$(dpkg-deb --field "${debs[0]}" Version)
[ "$(/usr/bin/quillmere-server --version)" = "quillmere-server ${version%-*}" ] ||
    fail "quillmere-server --version says $(/usr/bin/quillmere-server --version)"
/usr/bin/quillmere-server --version
# Read whole before grep: grep -q leaves at its first match, and with pipefail the SIGPIPE that
# the rest of a help text longer than one pipe write meets would fail the step at random.
check_help=$(/usr/bin/quillmere-check --help) || fail "quillmere-check --help exits $?"
grep -q -- '--unforward' <<<"$check_help" || fail "quillmere-check --help lacks --unforward"
/usr/bin/quillmere-check --version
# The desktop program loads every library it links, with no display needed.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && /usr/bin/quillmere VERSION && grep -q "${version%-*}" version.log) ||
    fail "quillmere VERSION did not write its version"
if grep -qrs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d; then
    echo "dpkg leaves out manual pages on this machine (/etc/dpkg/dpkg.cfg.d): not looked for"
else
    for page in quillmere.1 quillmere-check.1 quillmere-server.8; do
        man -w "${page%.*}" >/dev/null || fail "man cannot find $page"
    done
fi
[ ! -e /usr/bin/quillmere-uninstall ] || fail "a package installed quillmere-uninstall"
grep -qx /etc/default/quillmere-server /var/lib/dpkg/info/quillmere-server.conffiles ||
    fail "/etc/default/quillmere-server is not a conffile"

phase "systemd-analyze on the unit"
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify warns: $verify"
echo "systemd-analyze verify: clean"
systemd-analyze security --offline=true --no-pager "$unit" | tail -n 1
threshold=${SECURITY_THRESHOLD:-20}
systemd-analyze security --offline=true --threshold="$threshold" "$unit" >/dev/null ||
    fail "the unit's exposure is above $threshold tenths"
if [ -d /run/systemd/system ]; then
    # Under systemd: start it as the package's unit runs it, ask it, stop it.
    systemctl start quillmere-server
    for _ in $(seq 50); do
        curl -fsS http://127.0.0.1/ && break
        sleep 0.1
    done || fail "the service does not answer on port 80"
    systemctl stop quillmere-server
else
    # Without systemd the unit cannot run. What it grants can still be tried: an unprivileged
    # user with no capabilities but the unit's two binds a privileged port and pings through a
    # raw socket (the check of its own address, allowed here with --allow-private).
    echo "systemd is not running here: trying the unit's user and capabilities with setpriv"
    port=${SMOKE_PORT:-981}
    setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs \
        --inh-caps=-all,+net_bind_service,+net_raw --ambient-caps=-all,+net_bind_service,+net_raw \
        --bounding-set=-all,+net_bind_service,+net_raw \
        /usr/bin/quillmere-server --listen "127.0.0.1:$port" --allow-private --ping raw \
        >"$scratch/access.log" 2>"$scratch/notes.log" &
    server=$!
    reply=""
    for _ in $(seq 50); do
        reply=$(curl -fsS "http://127.0.0.1:$port/portcheck3.cgi?port=$port&protocol=tcp&version=0" \
                2>/dev/null) && break
        sleep 0.1
    done
    kill "$server"
    wait "$server" || true
    cat "$scratch/notes.log"
    grep -q -- '-tcpopen-' <<<"$reply" || fail "no open port in the reply: $reply"
    grep -q -- '-ping ok' <<<"$reply" || fail "no ping through the raw socket: $reply"
    echo "as user 65534 with CAP_NET_BIND_SERVICE and CAP_NET_RAW only: port $port, ping ok"
fi

phase "lintian"
if ! command -v lintian >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends lintian >/dev/null
fi
# Errors and warnings fail; the informational tags are shown. Then the tags the packages'
# overrides silence, each with the reason its override gives (lintian counts them as failures
# when it shows them, so they are shown apart).
lintian --fail-on error,warning --display-info "${debs[@]}"
echo "overridden:"
lintian --fail-on none --show-overrides "${debs[@]}" | grep -E '^[NO]: ' || echo "    nothing"

phase "purging the packages"
mapfile -t shipped < <(for deb in "${debs[@]}"; do
                           dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print substr($6, 2) }'
                       done)
apt-get purge -y -qq quillmere quillmere-server >/dev/null
left=()
for file in "${shipped[@]}"; do
    if [ -e "$file" ] || [ -L "$file" ]; then
        left+=("$file")
    fi
done
while IFS= read -r file; do
    left+=("$file")
done < <(find /etc /lib/systemd /usr/share/doc /var/lib/systemd /var/lib/dpkg/info \
              -name '*quillmere*' 2>/dev/null)
[ ${#left[@]} -eq 0 ] || fail "left behind after purging: ${left[*]}"
echo "purged: none of the ${#shipped[@]} files is left"

phase "done"
echo "packages: $((SECONDS - started)) s in all"
