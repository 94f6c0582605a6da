# Shared by scripts/test, scripts/run, scripts/package and scripts/first-run-test: packages, the build.
# shellcheck shell=bash

QUILVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages the project needs to build, test and run.
QUILVANE_PACKAGES=(
    build-essential cmake pkg-config git
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    libicu-dev libplist-dev libglib2.0-dev
    libbpf-dev bpftool clang llvm linux-libc-dev libcap-dev libsystemd-dev dbus-daemon polkitd
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    xvfb xauth x11-utils iproute2 procps systemd
    ccache
)

# What building and checking the Debian packages needs on top, and what the first-run test of the
# installed packages starts (a system bus and polkitd).
QUILVANE_PACKAGING_PACKAGES=(
    debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream
    dbus dbus-daemon polkitd pkexec passwd
)

# The control socket's name, read from its one definition in the wire library.
QUILVANE_CONTROL_NAME=$(sed -n 's/.*kControlName = "\(.*\)";.*/\1/p' "$QUILVANE_ROOT/wire/ControlPath.h")

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
# Through ccache, with paths taken relative to the checkout, so that a fresh clone in another folder
# (CI's) is served from what an earlier build of the same sources left.
configure_and_build() {
    local dir=$1
    shift
    local launcher=()
    if command -v ccache >/dev/null; then
        export CCACHE_BASEDIR="$QUILVANE_ROOT" CCACHE_NOHASHDIR=1
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$QUILVANE_ROOT" -B "$dir" -G "Unix Makefiles" "${launcher[@]}" "$@" >/dev/null
    cmake --build "$dir" -j2
}

# dpkg-buildpackage writes the packages next to the folder it builds, so it builds a copy of the
# source in out/src/quilvane (always the same path, so that the compiler cache serves a rebuild) and
# the packages land in out/. No debug-symbol packages: `apt-get install ./out/*.deb` installs what is
# there.
build_packages() {
    local out="$QUILVANE_ROOT/out"
    local src="$out/src/quilvane"
    say "building the Debian packages (out/)"
    rm -rf "$out"
    mkdir -p "$src"
    tar -C "$QUILVANE_ROOT" --exclude=./out --exclude='./build*' --exclude='./obj-*' --exclude=./.git \
        -cf - . | tar -C "$src" -xf -
    (cd "$src" && DEB_BUILD_OPTIONS="noautodbgsym parallel=2" dpkg-buildpackage -b -us -uc \
        >"$out/build.log" 2>&1) || {
        tail -n 60 "$out/build.log" >&2
        echo "error: the package build failed; the whole log is out/build.log" >&2
        return 1
    }
    mv "$out"/src/*.deb "$out"/src/*.buildinfo "$out"/src/*.changes "$out/"
    rm -rf "$out/src"
    ls -1 "$out"/*.deb
}

# lintian (no errors), the desktop entry and the AppStream description as the packages install them.
check_packages() {
    say "checking the packages (lintian, desktop-file-validate, appstreamcli)"
    local changes
    changes=$(ls "$QUILVANE_ROOT"/out/*.changes)
    lintian --fail-on error --suppress-tags bad-distribution-in-changes-file "$changes"
    local tree
    tree=$(mktemp -d)
    local deb
    for deb in "$QUILVANE_ROOT"/out/*.deb; do
        dpkg-deb -x "$deb" "$tree"
    done
    desktop-file-validate "$tree/usr/share/applications/quilvane.desktop"
    appstreamcli validate --no-net "$tree/usr/share/metainfo/com.quilvaneapp.Quilvane.metainfo.xml"
    rm -rf "$tree"
}
