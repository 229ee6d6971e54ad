#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when they are missing. Quiet when nothing is
# missing; as root it installs, otherwise it names what to install and fails.
#   install-deps.sh          the Linux build, tests and tools
#   install-deps.sh kernel   also the mingw-w64 cross toolchain for quav.sys
#   install-deps.sh fuzz     also clang 14 and libFuzzer (the fuzz targets)
#   install-deps.sh 32       also the 32-bit x86 multilib toolchain and GoogleTest's sources (build-32)
#   install-deps.sh mutants  also libclang's Python binding (the mutant generator, tools/mutants)
set -euo pipefail

# libwin-hivex-perl: hivexregedit, an independent reader and writer of .reg text and hives, which a test
# round-trips the configuration through.
packages=(cmake make g++ binutils libgtest-dev libbenchmark-dev clang-format clang-tidy nlohmann-json3-dev libcli11-dev
    libwin-hivex-perl help2man)
if [ "${1:-}" = kernel ]; then
    packages+=(g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686)
fi
if [ "${1:-}" = fuzz ]; then
    # clang with libFuzzer's and the sanitizers' runtimes.
    packages+=(clang-14 libclang-rt-14-dev)
fi
if [ "${1:-}" = mutants ]; then
    packages+=(python3 python3-clang-14)
fi
if [ "${1:-}" = 32 ]; then
    # GoogleTest is compiled from Debian's source package inside the 32-bit build, so no second
    # architecture (i386 libraries) is needed.
    packages+=(g++-multilib googletest)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
