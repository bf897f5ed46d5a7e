#!/usr/bin/env bash
# Checks an installation of the two programs.
#   tree:    installs the build folder into a scratch root (cmake --install)
#   package: builds the Debian package, unpacks it with dpkg -x and runs
#            lintian on it when lintian is there; the programs are hardened
#   make:    make install into two scratch prefixes outside PATH, one new
#            and one with other programs' file types and menu entries, then
#            make uninstall: the menu entry starts the program by its full
#            path, and each prefix is left as it was found (its list of
#            what it installed is its own: a real install's stays)
# Then, for all: the files are exactly those of FILE_LIST, the desktop
# entry validates, both programs run and give their version, and the
# MIME type maps "*.234" files; but for tree, the programs are stripped.
# Usage: check-install.sh tree|package|make BUILD_DIR FILE_LIST VERSION
set -euo pipefail
mode=$1 build=$2 list=$3 version=$4
source=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Every file and link under a folder, with the contents of the files.
snapshot() { (cd "$1" && find . -printf '%y %p %l\n' | sort && find . -type f -exec md5sum {} + | sort); }
root=$scratch/root/usr

case $mode in
  tree)
    DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >"$scratch/install.log" ||
      { cat "$scratch/install.log"; fail "cmake --install"; }
    ;;
  make)
    # A prefix whose name needs quoting and escaping in the entry's Exec,
    # made by install.
    root="$scratch/new/opt/my 100%"
    make -s -C "$source" install BUILD="$build" INSTALLED="$scratch/installed" PREFIX="$root" >"$scratch/install.log" 2>&1 ||
      { cat "$scratch/install.log"; fail "make install"; }
    # The program quoted, with % doubled; its arguments as they were.
    arguments=$(sed -n 's/^Exec=vendaru//p' "$source/dist/vendaru.desktop")
    exec=$(grep '^Exec=' "$root/share/applications/vendaru.desktop")
    [[ $exec == "Exec=\"${root//%/%%}/bin/vendaru\"$arguments" ]] ||
      fail "the menu entry does not start $root/bin/vendaru: $exec"
    [[ -f $root/share/mime/mime.cache && -f $root/share/applications/mimeinfo.cache ]] ||
      fail "make install did not bring the lists of file types and programs up to date"
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
      lintian -I --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 ||
        { cat "$scratch/lintian.log"; fail "lintian reports errors"; }
      cat "$scratch/lintian.log"
      ! grep -q hardening- "$scratch/lintian.log" || fail "lintian finds programs not hardened"
    else
      echo "lintian is not installed: package not linted"
    fi
    ;;
  *) fail "unknown check $mode" ;;
esac

# Besides, make install brings the desktop's lists up to date.
generated='^share/mime/[^p]|^share/applications/mimeinfo\.cache$'
[[ $mode == make ]] || generated='^$'
diff -u <(sort "$list") <(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | grep -Ev "$generated" | sort) ||
  fail "installed files differ from $list"
desktop-file-validate "$root/share/applications/vendaru.desktop" || fail "desktop entry"
[[ $("$root/bin/vendaru" --version) == "vendaru $version" ]] || fail "vendaru --version"
[[ $("$root/bin/vendaru-cli" --version) == "vendaru-cli $version" ]] || fail "vendaru-cli --version"
"$root/bin/vendaru" --help | grep -q '^Usage: vendaru \[FILE\]' || fail "vendaru --help"
cp -r "$root/share/mime" "$scratch/mime"
update-mime-database "$scratch/mime"
grep -qx '[0-9]*:application/x-vendaru-kompres:\*\.234' "$scratch/mime/globs2" || fail "MIME glob *.234"
for program in vendaru vendaru-cli; do
  sections=$(readelf -S -W "$root/bin/$program")
  if [[ $mode != tree ]] && grep -q '\.symtab' <<<"$sections"; then fail "$program is not stripped"; fi
  if [[ $mode == package ]]; then
    # Read-only relocations bound at start, position-independent, stack
    # protector and checked calls.
    readelf -l -W "$root/bin/$program" | grep -q GNU_RELRO || fail "$program: no RELRO"
    readelf -d -W "$root/bin/$program" | grep -q 'BIND_NOW\|FLAGS_1.*NOW' || fail "$program: not bound at start"
    readelf -h -W "$root/bin/$program" | grep -q 'Type:.*DYN' || fail "$program: not position-independent"
    symbols=$(readelf --dyn-syms -W "$root/bin/$program")
    grep -q __stack_chk_fail <<<"$symbols" || fail "$program: no stack protector"
    grep -q '__[a-z0-9_]*_chk@' <<<"$symbols" || fail "$program: no checked calls"
  fi
done

if [[ $mode == make ]]; then
  make -s -C "$source" uninstall BUILD="$build" INSTALLED="$scratch/installed" >"$scratch/uninstall.log" 2>&1 ||
    { cat "$scratch/uninstall.log"; fail "make uninstall"; }
  [[ -z $(ls -A "$scratch/new") ]] || fail "make uninstall leaves $(cd "$scratch/new" && find . -mindepth 1)"
  # A prefix with another program's file type and menu entry: install
  # and uninstall leave it as it was, lists and all.
  other=$scratch/other
  mkdir -p "$other/share/mime/packages" "$other/share/applications" "$other/bin"
  sed 's/vendaru-kompres/other-type/; s/\*\.234/*.other/' "$source/dist/vendaru-mime.xml" \
    >"$other/share/mime/packages/other.xml"
  printf '[Desktop Entry]\nType=Application\nName=Other\nExec=other %%f\nMimeType=application/x-other-type;\n' \
    >"$other/share/applications/other.desktop"
  update-mime-database "$other/share/mime"
  update-desktop-database -q "$other/share/applications"
  snapshot "$other" >"$scratch/before"
  make -s -C "$source" install BUILD="$build" INSTALLED="$scratch/installed" PREFIX="$other" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "make install into $other"; }
  grep -q 'x-vendaru-kompres' "$other/share/mime/globs2" || fail "make install did not add the file type"
  make -s -C "$source" uninstall BUILD="$build" INSTALLED="$scratch/installed" >"$scratch/uninstall.log" 2>&1 ||
    { cat "$scratch/uninstall.log"; fail "make uninstall from $other"; }
  diff -u "$scratch/before" <(snapshot "$other") || fail "make uninstall leaves $other changed"
fi
echo "installed tree ($mode) is complete"
