# Shared by scripts/run and scripts/test: Debian packages and the build.

KORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Packages needed to build and run the program.
KORVANE_BUILD_PACKAGES=(cmake g++ ninja-build qt6-base-dev qt6-base-dev-tools libgl-dev libcups2-dev libssl-dev fonts-dejavu-core
  scdoc librsvg2-bin ccache)
# Packages needed to make the Debian package and to check it and the desktop files.
KORVANE_PACKAGE_PACKAGES=(dpkg-dev file binutils xz-utils desktop-file-utils appstream man-db groff-base systemd
  lintian)

# Private network namespaces of the tests that shape or drop traffic on their own loopback
# (unshare, ip and tc, and iptables for random drops), and the path emulator's two
# namespaces (ip netns, and its TUN devices).
KORVANE_NETNS_PACKAGES=(util-linux iproute2 iptables)

# Reference programs of the benchmarks (iperf3) and their CPU meter (time).
KORVANE_BENCH_PACKAGES=(iperf3 time)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whichever of the given packages are missing; apt-get update runs once, only when needed.
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  # Waits for another apt or dpkg run instead of failing at once.
  as_root apt-get -o DPkg::Lock::Timeout=600 update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
}

# Clones and worktrees of the project share one compiler cache: paths below the root are
# hashed relative to it, so a fresh clone rebuilds from the cache in minutes.
export CCACHE_BASEDIR=$KORVANE_ROOT
export CCACHE_NOHASHDIR=1

# configure_once <build dir> [cmake options...]: later runs reuse the configured tree.
configure_once() {
  local dir=$1; shift
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$KORVANE_ROOT" -B "$dir" -G Ninja "${launcher[@]}" "$@"
  fi
}

# build <build dir> [targets...]: rebuilds only what changed (everything without targets).
build() {
  local dir=$1; shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
