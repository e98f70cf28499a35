#!/usr/bin/env bash
# Makes the Debian packages of a build with cpack, in a folder of its own, and
# checks them as a Debian maintainer would: which packages come out, the files
# and dependencies of each (the command line's pulls in no Qt, X or fonts),
# stripped and hardened programs, man pages and changelog compressed with
# gzip -9n, the version everywhere, the copyright, the menu entry's program
# and icon; and lintian, where it is installed, finds no error or warning.
#   DebPackages.sh BUILD_DIR VERSION GUI SANITIZE HARDENED
# GUI and SANITIZE are the build's options (ON/OFF), HARDENED is 1 where the
# build has the hardening flags and is optimised. Exits 77 (skipped) where
# the packages cannot be made here, or would not be the ones shipped.
set -uo pipefail
build=$1 version=$2 gui=$3 sanitize=$4 hardened=$5

skip() {
  echo "skipped: $*"
  exit 77
}
status=0
words() { tr '\n' ' ' <<<"$1" | sed 's/ $//'; }
fault() {
  echo "FAULT: $*"
  status=1
}

case "$sanitize" in ON | on | 1 | TRUE | true | YES | yes)
  skip "a sanitizer build links the sanitizer runtimes into the programs;" \
    "the packages are made and checked in the normal build" ;;
esac
command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing: not a Debian system"
for tool in dpkg-shlibdeps file; do
  command -v $tool >/dev/null || skip "$tool is missing (dpkg-dev, file), which cpack needs to find the dependencies"
done
command -v readelf >/dev/null || skip "readelf is missing (binutils)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAULT: cpack failed"
  exit 1
fi

arch=$(dpkg --print-architecture)
packages=(tamarind-cli)
case "$gui" in ON | on | 1 | TRUE | true | YES | yes) packages+=(tamarind) ;; esac

# Exactly one .deb per package: an install() without a component, or with a
# new one, would show here as a package of its own.
expected=$(for p in "${packages[@]}"; do echo "${p}_${version}_${arch}.deb"; done | sort)
made=$(find "$work" -maxdepth 1 -name '*.deb' -printf '%f\n' | sort)
[ "$made" = "$expected" ] || fault "cpack made [$(words "$made")], expected [$(words "$expected")]"

# The regular files each package must hold, and nothing else.
declare -A files
files[tamarind-cli]="/usr/bin/tamarind-cli
/usr/share/doc/tamarind-cli/changelog.gz
/usr/share/doc/tamarind-cli/copyright
/usr/share/man/man1/tamarind-cli.1.gz"
files[tamarind]="/usr/bin/tamarind
/usr/share/applications/tamarind.desktop
/usr/share/doc/tamarind/changelog.gz
/usr/share/doc/tamarind/copyright
/usr/share/icons/hicolor/256x256/apps/tamarind.png
/usr/share/lintian/overrides/tamarind
/usr/share/man/man1/tamarind.1.gz
/usr/share/tamarind/readme.txt"

# Dependencies by package name, versions stripped.
dependency_names() {
  dpkg-deb -f "$1" "$2" | tr ',|' '\n' | sed -E 's/\(.*\)//; s/^ +//; s/ +$//; /^$/d' | sort -u
}

# A gzip file's header: no file name and no time stamp (-n), and the flag
# of the highest compression level (-9).
check_gzip() { # FILE NAME
  local header
  gzip -t "$1" 2>/dev/null || {
    fault "$2 is not gzip-compressed"
    return
  }
  read -r -a header < <(od -An -tu1 -N9 "$1")
  ((header[3] & 8)) && fault "$2: the gzip header keeps a file name (gzip -n)"
  ((header[4] | header[5] | header[6] | header[7])) && fault "$2: the gzip header keeps a time stamp (gzip -n)"
  ((header[8] == 2)) || fault "$2: not compressed at the highest level (gzip -9)"
}

name_and_address='^[^<>]+ <[^@<>]+@[^@<>]+\.[a-z]+>$'
bogus_host='@(localhost|([^>]*\.)?(example|invalid|localdomain)[.>])'

for p in "${packages[@]}"; do
  deb="$work/${p}_${version}_${arch}.deb"
  [ -f "$deb" ] || continue
  echo "== $p: $(stat -c %s "$deb") bytes"
  dpkg-deb -f "$deb" Package Version Depends Recommends

  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fault "$p: version $(dpkg-deb -f "$deb" Version), not $version"
  [ "$(dpkg-deb -f "$deb" Source)" = "tamarind" ] || [ "$p" = tamarind ] || fault "$p: no Source: tamarind"
  maintainer=$(dpkg-deb -f "$deb" Maintainer)
  if ! [[ "$maintainer" =~ $name_and_address ]] || [[ "$maintainer" =~ $bogus_host ]]; then
    fault "$p: maintainer '$maintainer' does not name someone with an address that reaches them"
  fi
  description=$(dpkg-deb -f "$deb" Description)
  (($(wc -l <<<"$description") >= 3)) || fault "$p: no extended description"
  [[ "$(head -1 <<<"$description")" =~ ^[a-z].{8,78}[^.]$ ]] ||
    fault "$p: the synopsis should be a short phrase in lower case without a full stop: $(head -1 <<<"$description")"

  listed=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $6}' | sed 's|^\./|/|' | sort)
  if [ "$listed" != "${files[$p]}" ]; then
    fault "$p: its files differ from the expected ones (< expected, > packaged):"
    diff <(echo "${files[$p]}") <(echo "$listed")
  fi

  root="$work/root-$p"
  dpkg-deb -x "$deb" "$root"

  program="$root/usr/bin/${p}"
  if [ -f "$program" ]; then
    sections=$(readelf -SW "$program")
    grep -qE '\.(symtab|debug_[a-z]+|comment) ' <<<"$sections" && fault "$p: ${p} is not stripped (symbols, debug information or .comment)"
    if [ "$hardened" = 1 ]; then
      readelf -hW "$program" | grep -q 'Type: *DYN' || fault "$p: ${p} is not position-independent (PIE)"
      readelf -lW "$program" | grep -q GNU_RELRO || fault "$p: ${p} has no read-only relocations (-z relro)"
      readelf -dW "$program" | grep -qE 'BIND_NOW|FLAGS_1.*NOW' || fault "$p: ${p} does not bind at start (-z now)"
      symbols=$(readelf --dyn-syms -W "$program")
      grep -q '__stack_chk_fail' <<<"$symbols" || fault "$p: ${p} has no stack protector"
      grep -E '__[a-z_]+_chk' <<<"$symbols" | grep -qv __stack_chk ||
        fault "$p: ${p} calls no checked C library function (_FORTIFY_SOURCE)"
    fi
  fi

  for page in "$root"/usr/share/man/man*/*; do
    [ -e "$page" ] || continue
    check_gzip "$page" "$p: ${page#"$root"}"
    zcat "$page" | head -1 | grep -qF "\"tamarind $version\"" ||
      fault "$p: ${page#"$root"} does not name version $version in its title line"
  done

  changelog="$root/usr/share/doc/$p/changelog.gz"
  if [ -f "$changelog" ]; then
    check_gzip "$changelog" "$p: ${changelog#"$root"}"
    top=$(zcat "$changelog" | head -1)
    [[ "$top" =~ ^tamarind\ \(${version//./\\.}\)\  ]] ||
      fault "$p: the changelog's newest entry is not for $version (packaging/changelog): $top"
  fi
  copyright="$root/usr/share/doc/$p/copyright"
  if [ -f "$copyright" ]; then
    head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
      fault "$p: the copyright file is not in Debian's machine-readable format"
  fi

  # Dependencies: the command line links the C and C++ runtimes and nothing
  # that would bring a desktop onto a server.
  depends=$(dependency_names "$deb" Depends)
  case "$p" in
    tamarind-cli)
      for wanted in libc6 libstdc++6; do
        grep -qx "$wanted" <<<"$depends" || fault "$p: does not depend on $wanted (is dpkg-shlibdeps run?)"
      done
      unwanted=$(grep -iE 'qt|^libx|xcb|x11|wayland|^libgl|egl|font|jpeg|png|freetype|tamarind' <<<"$depends")
      [ -z "$unwanted" ] || fault "$p: depends on $(words "$unwanted"), which a server without a desktop lacks"
      [ -z "$(dpkg-deb -f "$deb" Recommends)" ] || fault "$p: recommends $(dpkg-deb -f "$deb" Recommends)"
      ;;
    tamarind)
      for wanted in libqt6widgets6 libjpeg62-turbo qt6-qpa-plugins fonts-ipafont-gothic qt6-translations-l10n libc6; do
        grep -qx "$wanted" <<<"$depends" || fault "$p: does not depend on $wanted"
      done
      dependency_names "$deb" Recommends | grep -qx xdg-utils || fault "$p: does not recommend xdg-utils"
      # The menu entry starts a program of this package and shows its icon.
      entry="$root/usr/share/applications/tamarind.desktop"
      exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
      icon=$(sed -n 's/^Icon=//p' "$entry")
      [ -x "$root/usr/bin/$exec" ] || fault "$p: the menu entry starts '$exec', which is not in /usr/bin of the package"
      compgen -G "$root/usr/share/icons/hicolor/*/apps/$icon.png" >/dev/null ||
        fault "$p: the menu entry's icon '$icon' is not in the package"
      ;;
  esac
done

if command -v lintian >/dev/null; then
  echo "== lintian (informational and pedantic findings shown, errors and warnings fail)"
  # lintian warns when run as root; that line is no finding.
  lintian --fail-on error,warning --info --pedantic "$work"/*.deb 2>&1 |
    grep -v '^running with root privileges is not recommended!$'
  ((PIPESTATUS[0] == 0)) || fault "lintian finds errors or warnings"
else
  echo "== lintian is not installed: its checks were not run"
fi

((status == 0)) && echo "== the packages are as they should be"
exit $status
