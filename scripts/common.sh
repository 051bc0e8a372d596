# Shared by scripts/run and scripts/test: install what the build needs, then build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PACKAGES=(cmake g++ make qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev fonts-dejavu-core socat xvfb
          iproute2 nftables
          clang-14 libclang-rt-14-dev libfuzzer-14-dev
          dpkg-dev lintian desktop-file-utils qt6-translations-l10n libdw-dev
          g++-mingw-w64-x86-64-posix wine wine64)
# The Windows build (scripts/windows), where the Qt for Windows is at hand; scripts/test adds
# them then. (The cross compiler and Wine are in the list above.)
WINDOWS_PACKAGES=(ninja-build zip wixl msitools osslsigncode openssl)

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# configure DIR [cmake options...]
configure() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}
