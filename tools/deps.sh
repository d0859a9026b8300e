#!/usr/bin/env bash
# Makes sure the Debian packages that the build, the tests and the demo need are installed.
# As root it installs the missing ones (apt-get update, then a non-interactive install); as
# anyone else it names them with the README's install line and fails.
# The list is the one install line of the README, between the markers below it reads.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
line=$(grep -m1 -E '^sudo apt-get install -y ' "$root/README.md" || true)
if [ -z "$line" ]; then
    echo "deps: README.md has no 'sudo apt-get install -y ...' line" >&2
    exit 1
fi
read -r -a packages <<<"${line#sudo apt-get install -y }"

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing Debian packages: ${missing[*]}" >&2
    echo "deps: install them with:" >&2
    echo "    $line" >&2
    exit 1
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"
