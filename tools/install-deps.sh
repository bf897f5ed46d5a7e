#!/usr/bin/env bash
# Installs the Debian packages of the named groups of packages.txt ("build",
# "test", "fuzz", "package"), but only those missing. Runs apt-get update
# first; uses sudo when not root.
#   install-deps.sh [--dry-run | --list] GROUP...
#     --dry-run  names the missing packages and what apt-get would install
#                with them, installs nothing
#     --list     names every package of the groups
set -euo pipefail
cd "$(dirname "$0")/.."

mode=install
case ${1:-} in
  --dry-run | --list) mode=${1#--}; shift ;;
esac
if [[ $# -eq 0 ]]; then
  echo "usage: $0 [--dry-run | --list] GROUP..." >&2
  exit 2
fi

packages=()
for group in "$@"; do
  found=0 current=""
  while read -r line; do
    line=${line%%#*}
    line=${line//[[:space:]]/}
    [[ -z $line ]] && continue
    if [[ $line == \[*\] ]]; then
      current=${line:1:-1}
      [[ $current == "$group" ]] && found=1
    elif [[ $current == "$group" ]]; then
      packages+=("$line")
    fi
  done < packages.txt
  if [[ $found -eq 0 ]]; then
    echo "$0: packages.txt has no group [$group]" >&2
    exit 2
  fi
done

if [[ $mode == list ]]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  [[ $mode == dry-run ]] && echo "Nothing to install for: $*"
  exit 0
fi

if [[ $mode == dry-run ]]; then
  echo "Missing packages ($*): ${missing[*]}"
  apt-get install --simulate --no-install-recommends "${missing[@]}" | grep '^Inst ' || true
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
