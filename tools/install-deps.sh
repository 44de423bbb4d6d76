#!/bin/sh
# Installs the Debian packages Varnel needs, when they are missing.
#   install-deps.sh run    what building and running the program needs
#   install-deps.sh package   that plus what building the Debian package needs
#   install-deps.sh test   that plus what the tests, the benchmark and the fuzzer need
set -e
packages="cmake ninja-build g++ make pkg-config qt6-base-dev libzstd-dev libssl-dev procps fonts-dejavu-core"
if [ "$1" = "package" ] || [ "$1" = "test" ]; then
    packages="$packages dpkg-dev"
fi
if [ "$1" = "test" ]; then
    # sudo: the elevated helper is tested through the real "sudo -n"; lintian checks the package,
    # xmllint its polkit actions, man the manual pages; acl: setfacl gives test files real access
    # control lists; systemd-analyze (in systemd) checks the history's user service.
    packages="$packages libpugixml-dev clang-14 libclang-rt-14-dev sudo desktop-file-utils appstream lintian libxml2-utils acl man-db systemd"
fi
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
else
    echo "These Debian packages are missing and this user cannot install them:$missing" >&2
    exit 1
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
