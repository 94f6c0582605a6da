# Used by scripts/kernel-test: fetches Debian's stock kernels, builds a small initramfs for each and
# boots them in QEMU over this machine's own root file system.
# shellcheck shell=bash

KERNEL_CACHE=${QUILVANE_KERNEL_CACHE:-/var/cache/quilvane-kernels}

# What the host needs to boot the kernels: QEMU, a static busybox for the initramfs, depmod to order
# the modules, and the decompressors of compressed modules (busybox's insmod reads only plain ones).
KERNEL_HOST_PACKAGES=(qemu-system-x86 busybox-static kmod xz-utils zstd)

# The modules that mount the root: 9p over virtio-pci and the overlay on top. Their dependencies come
# from modules.dep; whatever a kernel has built in is skipped.
KERNEL_ROOT_MODULES=(virtio_pci 9pnet_virtio 9p overlay)

# Printed by the guest after the command, with the command's exit status. The token is new for each
# boot, so that nothing the command prints can pass for it.
KERNEL_MARKER=QUILVANE-KERNEL-TEST

# The package lists decide which kernel is the newest, so they are refreshed once per run; a failed
# refresh still leaves the lists apt already has.
kernel_host_setup() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: scripts/kernel-test installs packages and reads the whole root file system; run it as root" >&2
        return 1
    fi
    apt-get update -qq || say "warning: apt-get update failed; using the package lists already here"
    local missing=() pkg
    for pkg in "${KERNEL_HOST_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        say "installing ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            -o DPkg::Lock::Timeout=300 "${missing[@]}"
    fi
}

# kernel_series_pattern SERIES: the names of the stock kernel packages of a series. The signed
# packages carry the image and the modules; the -unsigned and -dbg ones are left out.
kernel_series_pattern() {
    case "$1" in
        6.1) echo '^linux-image-6\.1\.0-[0-9]+-amd64$' ;;
        6.12) echo '^linux-image-6\.12\.[0-9]+\+deb12-amd64$' ;;
        *) echo "error: unknown kernel series '$1' (6.1 or 6.12)" >&2; return 1 ;;
    esac
}

# kernel_newest_package SERIES: the newest package of the series that apt knows.
kernel_newest_package() {
    local pattern name
    pattern=$(kernel_series_pattern "$1")
    name=$(apt-cache search --names-only "$pattern" | awk '{ print $1 }' | sort -V | tail -n 1)
    if [ -z "$name" ]; then
        echo "error: apt knows no package matching $pattern" >&2
        return 1
    fi
    echo "$name"
}

# kernel_prepare PACKAGE: sets KERNEL_DIR to the folder of the cache holding vmlinuz and the modules
# that mount the root, for the candidate version of the package; downloads them the first time. Only
# those are kept: the unpacked package is several hundred megabytes.
kernel_prepare() {
    local package=$1 version
    version=$(apt-cache policy "$package" | awk '/Candidate:/ { print $2 }')
    KERNEL_DIR="$KERNEL_CACHE/${package}_$version"
    if [ -f "$KERNEL_DIR/ready" ]; then
        return 0
    fi
    say "fetching $package $version"
    mkdir -p "$KERNEL_CACHE"
    local work
    work=$(mktemp -d "$KERNEL_CACHE/.work.XXXXXX")
    # apt downloads as its own user when that user may write the folder; otherwise it warns.
    if id _apt >/dev/null 2>&1; then chown _apt "$work"; fi
    (cd "$work" && apt-get download -qq "$package=$version")
    dpkg-deb -x "$work"/*.deb "$work/root"
    local kver=${package#linux-image-}
    # The package leaves modules.dep to its postinst, which is not run here.
    depmod -b "$work/root" "$kver"
    rm -rf "$KERNEL_DIR"
    mkdir -p "$KERNEL_DIR/modules"
    kernel_collect_modules "$work/root/lib/modules/$kver" "$KERNEL_DIR/modules"
    cp "$work/root/boot/vmlinuz-$kver" "$KERNEL_DIR/vmlinuz"
    rm -rf "$work"
    touch "$KERNEL_DIR/ready"
}

# kernel_prune SERIES KEEP: removes the cached kernels of a series other than KEEP.
kernel_prune() {
    local pattern keep=$2 dir name
    pattern=$(kernel_series_pattern "$1")
    for dir in "$KERNEL_CACHE"/linux-image-*; do
        if [ ! -d "$dir" ] || [ "$dir" = "$keep" ]; then continue; fi
        name=$(basename "$dir")
        if [[ ${name%%_*} =~ $pattern ]]; then rm -rf "$dir"; fi
    done
}

# kernel_module_paths MODDIR NAME: the paths (relative to MODDIR) of a module and its dependencies,
# in the order they load; nothing when the kernel has the module built in.
kernel_module_paths() {
    local moddir=$1 name=$2 line
    line=$(grep -E "(^|/)$name\.ko(\.(xz|zst|gz))?:" "$moddir/modules.dep" || true)
    if [ -z "$line" ]; then
        if grep -qE "/$name\.ko$" "$moddir/modules.builtin"; then
            return 0
        fi
        echo "error: the kernel in $moddir has no module $name" >&2
        return 1
    fi
    # modules.dep lists a module's dependencies so that the last one loads first.
    local deps
    read -r -a deps <<<"${line#*:}"
    local i
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do
        echo "${deps[i]}"
    done
    echo "${line%%:*}"
}

# kernel_unpack_module SOURCE TARGET: a plain .ko, whatever the package compressed it with.
kernel_unpack_module() {
    case "$1" in
        *.ko.xz) xz -dc "$1" >"$2" ;;
        *.ko.zst) zstd -qdc "$1" >"$2" ;;
        *.ko.gz) gzip -dc "$1" >"$2" ;;
        *.ko) cp "$1" "$2" ;;
        *) echo "error: unknown module format: $1" >&2; return 1 ;;
    esac
}

# kernel_collect_modules MODDIR TARGET: the root's modules, uncompressed, and their load order in
# TARGET/order.
kernel_collect_modules() {
    local moddir=$1 target=$2
    local -A seen=()
    local name paths path module
    : >"$target/order"
    for name in "${KERNEL_ROOT_MODULES[@]}"; do
        paths=$(kernel_module_paths "$moddir" "$name")
        for path in $paths; do
            [ -z "${seen[$path]:-}" ] || continue
            seen[$path]=1
            module=$(basename "$path")
            module=${module%%.ko*}.ko
            kernel_unpack_module "$moddir/$path" "$target/$module"
            echo "$module" >>"$target/order"
        done
    done
}

# kernel_build_initramfs DIR OUTPUT: busybox, the modules of the kernel in DIR and the two stages of
# the guest's init. Built for every run (it takes a moment), so that it always has this script's init.
kernel_build_initramfs() {
    local dir=$1 output=$2 stage
    stage=$(mktemp -d)
    mkdir -p "$stage"/{bin,dev,proc,sys,lower,rw,newroot}
    cp /bin/busybox "$stage/bin/busybox"
    cp -r "$dir/modules" "$stage/modules"
    kernel_guest_init >"$stage/init"
    kernel_guest_stage2 >"$stage/stage2"
    chmod 0755 "$stage/init"
    (cd "$stage" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null) | gzip -1 >"$output"
    rm -rf "$stage"
}

# The first stage, PID 1 of the initramfs: loads the modules, mounts the host's root read-only over
# 9p with a tmpfs overlay on top (the guest's writes never reach the host), moves the kernel file
# systems over and switches to the overlay. The 9p mount caches loosely: the host's files do not change
# under a test run, and every round trip to the host is slow under emulation.
kernel_guest_init() {
    cat <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
echo
echo "kernel-test: $(uname -r) is up, mounting the host's root"

fail() {
    echo "kernel-test: guest setup failed: $*"
    poweroff -f
}

for module in $(cat /modules/order); do
    insmod "/modules/$module" || fail "insmod $module"
done
token=
command=
for arg in $(cat /proc/cmdline); do
    case "$arg" in
        quilvane.token=*) token=${arg#*=} ;;
        quilvane.command=*) command=${arg#*=} ;;
    esac
done
[ -n "$token" ] && [ -n "$command" ] || fail "no quilvane.token= or quilvane.command= on the kernel command line"

mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=262144,cache=loose hostroot /lower ||
    fail "cannot mount the host's root over 9p"
mount -t tmpfs -o mode=0755 tmpfs /rw
mkdir /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
    fail "cannot mount the overlay"
mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /newroot/run
mkdir -p /newroot/run/kernel-test
cp /bin/busybox /stage2 /newroot/run/kernel-test/
cp "/lower$command" /newroot/run/kernel-test/command || fail "cannot read $command"
for fs in dev proc sys; do
    mount --move "/$fs" "/newroot/$fs" || fail "cannot move /$fs"
done
exec switch_root /newroot /run/kernel-test/busybox sh /run/kernel-test/stage2 "$token"
EOF
}

# The second stage, PID 1 on the overlay root: the rest of what a booted system has mounted, then the
# command, the marker with its status, and power-off. The host's own tools are in PATH from here on.
kernel_guest_stage2() {
    cat <<EOF
bb=/run/kernel-test/busybox
token=\$1
\$bb mkdir -p /dev/pts /dev/shm
\$bb mount -t devpts -o gid=5,mode=0620,ptmxmode=0666 devpts /dev/pts
\$bb mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
\$bb ln -sf /proc/self/fd /dev/fd
\$bb ln -sf /proc/self/fd/0 /dev/stdin
\$bb ln -sf /proc/self/fd/1 /dev/stdout
\$bb ln -sf /proc/self/fd/2 /dev/stderr
# /tmp stays the overlay's, writable like the rest: a tmpfs there would hide a project cloned into
# the host's /tmp, as a CI clone may be.
\$bb mount -t cgroup2 -o nsdelegate cgroup2 /sys/fs/cgroup
\$bb mount -t bpf -o mode=0700 bpf /sys/fs/bpf
\$bb mount -t securityfs securityfs /sys/kernel/security
\$bb mount -t debugfs debugfs /sys/kernel/debug 2>/dev/null
\$bb hostname quilvane-kernel-test
\$bb ip link set lo up
\$bb env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \\
    TERM=dumb LANG=C.UTF-8 /bin/bash /run/kernel-test/command
echo "$KERNEL_MARKER \$token exit=\$?"
\$bb sync
\$bb poweroff -f
EOF
}

# The serial console as lines of text: without the firmware's terminal control sequences and the
# carriage returns.
kernel_plain_text() {
    sed -u -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' -e 's/\r$//'
}

# kernel_boot DIR INITRAMFS COMMAND_FILE LOG LIMIT: boots the kernel of DIR, which runs COMMAND_FILE
# with bash, and returns the command's exit status; 124 when LIMIT seconds pass first, 125 when the
# guest stops without reporting one (a panic, a failed mount).
kernel_boot() {
    local dir=$1 initramfs=$2 command_file=$3 log=$4 limit=$5 token
    token=$(cat /proc/sys/kernel/random/uuid)
    # KVM on the CI machines runs only PVM guests, so the stock kernels run under TCG.
    local status=0
    timeout --kill-after=10 "$limit" qemu-system-x86_64 \
        -accel tcg,thread=multi -cpu max -smp 2 -m 4G -nographic -no-reboot -nic none \
        -kernel "$dir/vmlinuz" -initrd "$initramfs" \
        -append "console=ttyS0 panic=-1 loglevel=4 quilvane.token=$token quilvane.command=$command_file" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=passthrough,readonly=on,multidevs=remap \
        </dev/null 2>&1 | kernel_plain_text | tee "$log" || status=${PIPESTATUS[0]}
    local code
    code=$(sed -n "s/.*$KERNEL_MARKER $token exit=\([0-9]*\).*/\1/p" "$log" | tail -n 1)
    if [ -n "$code" ]; then
        return "$code"
    fi
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "error: the guest did not finish within $limit s; stopped it" >&2
        return 124
    fi
    echo "error: the guest stopped without reporting an exit status (QEMU exit status $status); see $log" >&2
    return 125
}
