# Shared by the project's scripts: installing what is missing and building.
# Sourced, not run.

TELVIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages the program itself needs to be built.
TELVIK_BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev)
# What making a Debian package of it needs besides.
TELVIK_PACKAGE_PACKAGES=(dpkg-dev file)

# Debian packages the project needs to build, test and demonstrate.
TELVIK_PACKAGES=(
    "${TELVIK_BUILD_PACKAGES[@]}" libx11-dev
    libgtest-dev libgmock-dev
    xvfb xauth xdotool
    python3
    clang libclang-rt-14-dev
    clang-format clang-tidy
)

# Installs only the packages that are missing; quiet and non-interactive, so it runs the same
# from a terminal, from CI and as root without one.
telvik_install_missing() {
    local missing=() pkg
    for pkg in "${TELVIK_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

# The FTDI end-to-end tests also run over the vendor's D2XX library with the project's chip
# emulator beneath it. Its static archive comes from this npm package (npm checks the registry's
# integrity hash) into the build tree only: never installed, never committed.
TELVIK_D2XX_PACKAGE=ftdi-d2xx@1.3.1

# telvik_fetch_d2xx DIR: fetches the vendor's archive into DIR/d2xx once; prints one line either
# way. Without it the tests that need it report themselves skipped.
telvik_fetch_d2xx() {
    local dir=$TELVIK_ROOT/$1/d2xx
    local archive=$dir/package/lib/Linux/libftd2xx.a
    if [ ! -f "$archive" ]; then
        # Any npm will do (a Node.js install may bring its own, which Debian's would conflict
        # with); Debian's only when there is none.
        if ! command -v npm >/dev/null 2>&1; then
            local sudo=()
            [ "$(id -u)" -eq 0 ] || sudo=(sudo)
            DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
                --no-install-recommends npm </dev/null >/dev/null 2>&1 || true
        fi
        mkdir -p "$dir"
        local tgz
        if command -v npm >/dev/null 2>&1 &&
            tgz=$(cd "$dir" && npm pack --silent --no-update-notifier --no-fund --no-audit \
                "$TELVIK_D2XX_PACKAGE" </dev/null 2>"$dir/npm.log") &&
            tar -xzf "$dir/$tgz" -C "$dir" package/lib/Linux/libftd2xx.a 2>>"$dir/npm.log"; then
            :
        else
            echo "SKIPPED: FTDI tests over the vendor's D2XX library: $TELVIK_D2XX_PACKAGE could" \
                "not be fetched (see $dir/npm.log)"
            return 0
        fi
    fi
    echo "FTDI tests over the vendor's D2XX library: $archive"
}

# telvik_build DIR [cmake options...]: configures (once) and builds one tree; only the targets
# named in TELVIK_TARGETS when that is set.
telvik_build() {
    local dir=$1
    shift
    cmake -S "$TELVIK_ROOT" -B "$TELVIK_ROOT/$dir" -G Ninja "$@" >/dev/null
    # shellcheck disable=SC2086 # the targets are separate words
    cmake --build "$TELVIK_ROOT/$dir" -j "$(nproc)" ${TELVIK_TARGETS:+--target $TELVIK_TARGETS}
}

# telvik_start_responder RESPONDER FILE: starts the project's UDP responder in the background for
# one request, answering as examples/udp.ini expects; what it prints goes to FILE. Sets
# responder_pid, port (where it listens) and listen (a free local port for the answers).
telvik_start_responder() {
    "$1" --port 0 --lifetime 30 --requests 1 --delay 20 --reply '\x02OK 42\x03' >"$2" &
    responder_pid=$!
    port=
    for _ in $(seq 1 50); do
        port=$(head -n 1 "$2")
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || { echo "the responder did not start" >&2; return 1; }
    listen=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
}
