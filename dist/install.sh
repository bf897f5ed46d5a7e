#!/usr/bin/env bash
# `make install` and `make uninstall`.
#   install.sh install BUILD PREFIX LIST     (DESTDIR honoured)
#   install.sh uninstall LIST
# install builds what is installed, installs it stripped under
# DESTDIR/PREFIX and, without DESTDIR, brings the desktop's lists of file
# types and of programs up to date. LIST records the files, the folders the install made and the lists it brought up to date,
# so that uninstall leaves the prefix as install found it: it removes those
# files, brings the lists up to date again (or removes them when install
# made them and nothing else is left in them) and removes the folders install
# made once they are empty.
# Run as root (sudo make install), everything it leaves in BUILD belongs to
# BUILD's owner, so that the owner's builds, tests and packages go on.
set -euo pipefail
fail() { echo "$0: $*" >&2; exit 1; }

# Files update-mime-database writes beside packages/.
mime_files=(aliases generic-icons globs globs2 icons magic mime.cache subclasses treemagic types
            version XMLnamespaces)

give_build_to_owner() {
  local owner
  [[ $(id -u) -eq 0 && -d $build ]] || return 0
  owner=$(stat -c %u:%g "$build")
  [[ $owner == 0:* ]] || chown -R -h --from=0 "$owner" "$build"
}

do_install() {
  local prefix=$1 list=$2 root stage dir
  root=${DESTDIR:-}$prefix
  trap give_build_to_owner EXIT
  cmake --build "$build" --target vg_installed -j "${JOBS:-$(nproc)}"

  # The folders it is going to make: those of a trial install that are not
  # there yet, and the prefix with its missing parents.
  stage=$(mktemp -d)
  DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null ||
    { rm -rf "$stage"; fail "cmake --install failed"; }
  local made=()
  dir=$root
  while [[ -n $dir && $dir != / && ! -e $dir ]]; do
    made+=("$dir")
    dir=$(dirname "$dir")
  done
  while IFS= read -r -d '' dir; do
    [[ -e $root/$dir ]] || made+=("$root/$dir")
  done < <(cd "$stage$prefix" && find . -mindepth 1 -type d -printf '%P\0')
  rm -rf "$stage"

  local refreshed=()
  if [[ -z ${DESTDIR:-} ]]; then
    local mime=new apps=new
    [[ -e $root/share/mime/mime.cache ]] && mime=old
    [[ -e $root/share/applications/mimeinfo.cache ]] && apps=old
    command -v update-mime-database >/dev/null && refreshed+=("mime $mime")
    command -v update-desktop-database >/dev/null && refreshed+=("applications $apps")
  fi

  cmake --install "$build" --prefix "$prefix" --strip
  {
    echo "root $root"
    # (Its last line has no line end.)
    while IFS= read -r dir || [[ -n $dir ]]; do echo "file ${DESTDIR:-}$dir"; done \
      < "$build/install_manifest.txt"
    for dir in "${made[@]}"; do echo "folder $dir"; done
    for dir in "${refreshed[@]}"; do echo "refreshed $dir"; done
  } > "$list.new"
  mv "$list.new" "$list"
  refresh "$root" "${refreshed[@]}"
}

# refresh ROOT "KIND new|old"...: brings the lists up to date; a list that
# was not there before install goes once nothing is left to list.
refresh() {
  local root=$1 entry kind state dir left
  shift
  for entry in "$@"; do
    read -r kind state <<<"$entry"
    dir=$root/share/$kind
    [[ -d $dir ]] || continue
    case $kind in
      mime)
        left=$(find "$dir/packages" -maxdepth 1 -name '*.xml' 2>/dev/null | head -1)
        if [[ $state == old || -n $left ]]; then
          update-mime-database "$dir"
        else
          (cd "$dir" && rm -f "${mime_files[@]}")
          find "$dir" -mindepth 2 -maxdepth 2 -name '*.xml' ! -path "$dir/packages/*" -delete
          find "$dir" -mindepth 1 -maxdepth 1 -type d ! -name packages -empty -delete
        fi
        ;;
      applications)
        left=$(find "$dir" -maxdepth 1 -name '*.desktop' | head -1)
        if [[ $state == old || -n $left ]]; then
          update-desktop-database -q "$dir"
        else
          rm -f "$dir/mimeinfo.cache"
        fi
        ;;
    esac
  done
}

do_uninstall() {
  local list=$1 kind path root=""
  [[ -f $list ]] || fail "nothing to uninstall: $list is missing (make install writes it)"
  local folders=() refreshed=() line
  while IFS= read -r line; do
    kind=${line%% *} path=${line#* }
    # A list of an older install names one file a line.
    [[ $line == /* ]] && kind=file path=$line
    case $kind in
      root) root=$path ;;
      file)
        if [[ -e $path || -L $path ]]; then
          echo "Removing $path"
          rm -f "$path" || fail "cannot remove $path"
        fi
        ;;
      folder) folders+=("$path") ;;
      refreshed) refreshed+=("$path") ;;
    esac
  done < "$list"
  [[ -n $root ]] && refresh "$root" "${refreshed[@]}"
  # Deepest first; a folder that holds anything else stays.
  if [[ ${#folders[@]} -gt 0 ]]; then
    printf '%s\n' "${folders[@]}" | sort -r | while IFS= read -r path; do
      rmdir "$path" 2>/dev/null || true
    done
  fi
  rm -f "$list"
}

usage="usage: $0 install BUILD PREFIX LIST | uninstall LIST"
case ${1:-} in
  install)
    [[ $# -eq 4 ]] || fail "$usage"
    [[ $3 == /* ]] || fail "PREFIX must be a full path (it is $3)"
    build=$2
    do_install "$3" "$4"
    ;;
  uninstall) [[ $# -eq 2 ]] || fail "$usage"; do_uninstall "$2" ;;
  *) fail "$usage" ;;
esac
