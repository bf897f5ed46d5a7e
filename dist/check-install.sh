#!/usr/bin/env bash
# Checks an installation of the two programs.
#   tree:    installs the build folder into a scratch root (cmake --install)
#   package: builds the Debian package, unpacks it with dpkg -x and runs
#            lintian on it when lintian is there
# Then, for both: the files are exactly those of FILE_LIST, the desktop
# entry validates, both programs run and give their version, and the
# MIME type maps "*.234" files.
# Usage: check-install.sh tree|package BUILD_DIR FILE_LIST VERSION
set -euo pipefail
mode=$1 build=$2 list=$3 version=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

case $mode in
  tree)
    DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >"$scratch/install.log" ||
      { cat "$scratch/install.log"; fail "cmake --install"; }
    ;;
  package)
    (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >cpack.log 2>&1) ||
      { cat "$scratch/cpack.log"; fail "cpack"; }
    debs=("$scratch"/out/vendaru_"$version"_*.deb)
    [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "no single package vendaru_${version}_*.deb"
    deb=${debs[0]}
    dpkg -x "$deb" "$scratch/root"
    [[ $(dpkg-deb -f "$deb" Package) == vendaru ]] || fail "package name"
    [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "package version"
    [[ $(dpkg-deb -f "$deb" Section) == graphics ]] || fail "package section"
    depends=$(dpkg-deb -f "$deb" Depends)
    for library in libqt6widgets6 qt6-qpa-plugins libjpeg62-turbo libc6; do
      [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
    done
    if command -v lintian >/dev/null; then
      lintian --fail-on error "$deb" || fail "lintian reports errors"
    else
      echo "lintian is not installed: package not linted"
    fi
    ;;
  *) fail "unknown check $mode" ;;
esac

root=$scratch/root/usr
diff -u <(sort "$list") <(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort) ||
  fail "installed files differ from $list"
desktop-file-validate "$root/share/applications/vendaru.desktop" || fail "desktop entry"
[[ $("$root/bin/vendaru" --version) == "vendaru $version" ]] || fail "vendaru --version"
[[ $("$root/bin/vendaru-cli" --version) == "vendaru-cli $version" ]] || fail "vendaru-cli --version"
"$root/bin/vendaru" --help | grep -q '^Usage: vendaru \[FILE\]' || fail "vendaru --help"
cp -r "$root/share/mime" "$scratch/mime"
update-mime-database "$scratch/mime"
grep -qx '[0-9]*:application/x-vendaru-kompres:\*\.234' "$scratch/mime/globs2" || fail "MIME glob *.234"
echo "installed tree ($mode) is complete"
