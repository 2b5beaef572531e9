# Shared by the project's scripts: installing what is missing and building.
# Sourced, not run.

TELVIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages the project needs to build, test and demonstrate.
TELVIK_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev libx11-dev
    libgtest-dev libgmock-dev
    xvfb xauth xdotool
    python3
    clang libclang-rt-14-dev
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

# telvik_build DIR [cmake options...]: configures (once) and builds one tree.
telvik_build() {
    local dir=$1
    shift
    cmake -S "$TELVIK_ROOT" -B "$TELVIK_ROOT/$dir" -G Ninja "$@" >/dev/null
    cmake --build "$TELVIK_ROOT/$dir" -j "$(nproc)"
}
