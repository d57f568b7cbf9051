#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine and
# generates the Japanese locale that gives Wine code page 932; clang with its
# libFuzzer and sanitizer runtimes (libclang-rt-14-dev) builds the fuzzer for
# the Linux host. The i686 build's tests need the i386 Wine (multiarch wine32,
# the same version as wine64) and, where the kernel runs no 32-bit code,
# qemu-user from bookworm-backports (bookworm's 7.2 takes a minute to start
# Wine) registered with binfmt_misc. Idempotent: a machine that already has it
# all is left alone after a quick check.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 wine64 xvfb xauth fonts-ipafont-gothic googletest cmake
          make locales imagemagick x11-utils zip clang libclang-rt-14-dev)
backports=/etc/apt/sources.list.d/porterly-backports.sources
binfmt=/proc/sys/fs/binfmt_misc
qemu_min=1:10

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
apt_install() { DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "$@"; }

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
qemu_version="$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)"
want_qemu=no
[ -n "$qemu_version" ] && dpkg --compare-versions "$qemu_version" ge "$qemu_min" || want_qemu=yes
if [ ${#missing[@]} -gt 0 ] || [ "$want_qemu" = yes ] || ! installed wine32:i386; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo_cmd dpkg --add-architecture i386
    if [ ! -f "$backports" ]; then
        printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' \
            'Suites: bookworm-backports' 'Components: main' \
            'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
            $sudo_cmd tee "$backports" >/dev/null
    fi
    $sudo_cmd apt-get update
    [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
    [ "$want_qemu" = no ] || apt_install -t bookworm-backports qemu-user
    # Pinned to wine64's version: both share libwine and one wineserver.
    installed wine32:i386 || apt_install "wine32:i386=$(dpkg-query -W -f='${Version}' wine64)"
fi

# Registrations vanish with a reboot, so they are checked on every run; none
# is made where the kernel runs the i386 Wine itself, unless PORTERLY_QEMU=1
# asks for the emulated road there too.
if [ ! -e "$binfmt/qemu-i386" ] &&
    { [ "${PORTERLY_QEMU:-0}" = 1 ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
    [ -e "$binfmt/register" ] || $sudo_cmd mount -t binfmt_misc binfmt_misc "$binfmt"
    $sudo_cmd tee "$binfmt/register" </usr/share/qemu/binfmt.d/qemu-i386.conf >/dev/null
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    $sudo_cmd sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP\.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo_cmd tee -a /etc/locale.gen >/dev/null
    $sudo_cmd locale-gen
fi
