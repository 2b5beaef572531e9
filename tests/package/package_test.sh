#!/usr/bin/env bash
# package_test.sh DEB RESPONDER: the Debian package works as installed. Unpacked into a scratch
# root: the program tells the package's version, does a UDP exchange with the installed example
# against the project's responder, the manual page renders, and bash-completion's loader finds the
# completion. Then, where this may be done (as root, and with no telvik installed already), it is
# installed with apt-get, run from /usr/bin and removed again.
set -euo pipefail
deb=$(realpath "$1") responder=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/common.sh"
root=$(mktemp -d)
out=$(mktemp)
responder_pid=
cleanup() {
    [ -z "$responder_pid" ] || kill "$responder_pid" 2>/dev/null || true
    rm -rf "$root" "$out"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    exit 1
}

version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -x "$deb" "$root"
telvik=$root/usr/bin/telvik
doc=$root/usr/share/doc/telvik

got=$("$telvik" --version)
[ "$got" = "telvik $version" ] || fail "the unpacked program says '$got', the package is $version"
echo "unpacked: $got"

# A FTDI library is never shipped: the program loads the vendor's own at run time.
if dpkg-deb -c "$deb" | grep -q 'ftd2xx'; then fail "the package contains a D2XX library"; fi

telvik_start_responder "$responder" "$out" || fail "the responder did not start"
code=0
log=$(env -u DISPLAY -u WAYLAND_DISPLAY "$telvik" "+CFG=$doc/examples/udp.ini" \
    "+UDP=127.0.0.1,$port,$listen" 2>&1) || code=$?
echo "$log"
[ "$code" -eq 0 ] || fail "the unpacked program's exchange ended with $code"

page=$root/usr/share/man/man1/telvik.1.gz
warnings=$(MANWIDTH=100 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
text=$(MANWIDTH=100 man -l "$page" 2>/dev/null)
grep -q "Telvik $version" <<<"$text" || fail "the manual page does not name version $version"
grep -q "/usr/share/doc/telvik/examples/" <<<"$text" ||
    fail "the manual page does not name the installed examples"
echo "manual page: renders, names Telvik $version and /usr/share/doc/telvik/examples/"

bash "$here/completion_test.sh" "$telvik" "$root/usr/share" || fail "the completion"
echo "completion: found by bash-completion, offers +Response= for +Resp and every option of --help"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: installing the package with apt-get needs root"
    exit 0
fi
if dpkg-query -W -f='${Status}' telvik 2>/dev/null | grep -q 'install ok installed'; then
    echo "SKIPPED: installing the package with apt-get: telvik is installed on this machine already"
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt() { apt-get -y -qq "$@" </dev/null >"$out" 2>&1 || { cat "$out"; fail "apt-get $*"; }; }
apt install --no-install-recommends "$deb"
got=$(/usr/bin/telvik --version) || true
apt purge telvik
[ "$got" = "telvik $version" ] || fail "the installed program says '$got', the package is $version"
[ ! -e /usr/bin/telvik ] || fail "/usr/bin/telvik stays after the package was removed"
echo "installed with apt-get: /usr/bin/telvik --version says $got; removed again"
