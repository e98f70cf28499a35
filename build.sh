#!/usr/bin/env bash
# Sets up, builds and runs tamarind on Debian 12.
#   bash build.sh run    install what is missing, build, and start the program
#   bash build.sh test   install what is missing, build, and run every test
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

mode=${1:-run}
build_dir=${BUILD_DIR:-build}
# dpkg-dev, file, lintian and desktop-file-utils make and check the Debian
# packages: cpack finds their dependencies with dpkg-shlibdeps and file.
# chromium and python3 run the browser test.
packages=(g++ make cmake libgtest-dev clang-format qt6-base-dev libjpeg62-turbo-dev fonts-ipafont-gothic
  imagemagick librsvg2-bin libjxl-tools dpkg-dev file lintian desktop-file-utils qt6-translations-l10n
  libxml2-utils chromium python3)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "== Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

build() {
  echo "== Building in $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMARIND_WERROR=ON >/dev/null
  cmake --build "$build_dir" -j"$(nproc)"
}

case "$mode" in
  run)
    install_missing
    build
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
      echo "== Starting the wizard (the sample site is in examples/site)"
      exec "$build_dir/gui/tamarind"
    fi
    # No desktop to show a window on: show the command line instead, on a
    # copy of the sample site, so the sample itself stays as it is.
    echo "== No display (DISPLAY is not set), so the wizard cannot be shown here."
    work=$(mktemp -d)
    cp -r examples/site "$work/"
    echo "== tamarind-cli -a -r $work/site on a copy of examples/site"
    "$build_dir/cli/tamarind-cli" -a -r "$work/site" "$work/site/index.html" "$work/site/about/index.html"
    echo "== What changed in index.html:"
    diff "$work/site/index.bak" "$work/site/index.html" || true
    echo "== The processed copy is in $work/site"
    ;;
  test)
    install_missing
    echo "== Checking the formatting"
    git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
    build
    echo "== Running the tests"
    ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
    # Once more with AddressSanitizer and UndefinedBehaviorSanitizer, where
    # a stray read or an overflow stops the test that caused it.
    echo "== Building with the sanitizers in $build_dir-asan"
    cmake -S . -B "$build_dir-asan" -DCMAKE_BUILD_TYPE=Debug -DTAMARIND_WERROR=ON \
      -DTAMARIND_SANITIZE=ON >/dev/null
    cmake --build "$build_dir-asan" -j"$(nproc)"
    echo "== Running the tests with the sanitizers"
    ctest --test-dir "$build_dir-asan" --output-on-failure -j"$(nproc)"
    ;;
  *)
    echo "usage: bash build.sh [run|test]" >&2
    exit 2
    ;;
esac
