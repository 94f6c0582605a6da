# Shared by scripts/test, scripts/run and scripts/bench: package installation and the build.
# shellcheck shell=bash

QUILVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages the project needs to build, test and run.
QUILVANE_PACKAGES=(
    build-essential cmake pkg-config git
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    libicu-dev libplist-dev libglib2.0-dev
    libbpf-dev bpftool clang llvm linux-libc-dev libcap-dev libsystemd-dev dbus-daemon polkitd
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    xvfb xauth x11-utils iproute2 procps dbus-daemon
)

say() { printf '==> %s\n' "$*"; }

# Installs whatever of QUILVANE_PACKAGES is missing; waits while another apt holds the lock.
install_packages() {
    local missing=()
    local pkg
    for pkg in "${QUILVANE_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: missing packages (${missing[*]}); run as root or install them with apt-get" >&2
        return 1
    fi
    say "installing ${missing[*]}"
    local attempt
    for attempt in $(seq 1 30); do
        if apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=120 "${missing[@]}"; then
            return 0
        fi
        say "apt-get failed (attempt $attempt), retrying in 10 s"
        sleep 10
    done
    echo "error: could not install ${missing[*]}" >&2
    return 1
}

# configure_and_build BUILD_DIR [cmake args...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$QUILVANE_ROOT" -B "$dir" -G "Unix Makefiles" "$@" >/dev/null
    cmake --build "$dir" -j2
}
