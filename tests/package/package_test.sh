#!/usr/bin/env bash
# What a user gets from `cmake --install` and from the Debian package: every
# file where the desktop, man and the shell look for it, programs that start
# from there, and a package that holds the same files and depends on the
# libraries they link.
# usage: package_test.sh BUILD_DIR VERSION WITH_UI(ON|OFF)
set -uo pipefail
build=$1 version=$2 with_ui=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

programs=(quobble-cli quobble-catalogue)
depends=(libc6 libstdc++6 libcurl4 libsqlite3-0 libturbojpeg0)
icon_sizes=()
if [[ $with_ui == ON ]]; then
  programs=(quobble "${programs[@]}")
  depends+=(libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6)
  icon_sizes=(16 22 24 32 48 64 128 256)
fi

# Every file under the prefix, and nothing else: the developer tools
# (quobble-xmldump, quobble-screenshot) stay in the build tree.
expected=()
for program in "${programs[@]}"; do
  expected+=("bin/$program" "share/man/man1/$program.1.gz")
done
expected+=(lib/systemd/user/quobble-watch.service lib/systemd/user/quobble-watch.timer)
if [[ $with_ui == ON ]]; then
  expected+=(share/applications/quobble.desktop share/icons/hicolor/scalable/apps/quobble.svg)
  for size in "${icon_sizes[@]}"; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/quobble.png")
  done
fi
expected_list=$(printf '%s\n' "${expected[@]}" | sort)

same_files() {  # what, actual list
  diff -u <(echo "$expected_list") <(echo "$2") >"$work/diff" ||
    fail "$1 differs from the expected files (- missing, + unexpected):
$(tail -n +3 "$work/diff")"
}

# --help and --version of every program, the app's too, work without one.
no_display() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@"; }

# Width and height from a PNG's header.
png_size() {
  od -An -tu1 -j16 -N8 "$1" |
    awk '{ printf "%dx%d", (($1 * 256 + $2) * 256 + $3) * 256 + $4, (($5 * 256 + $6) * 256 + $7) * 256 + $8 }'
}

# The option names a program's --help lists, each as the man page spells it.
check_man_page() {  # prefix, program
  local page=$1/share/man/man1/$2.1.gz text option
  text=$(gzip -dc "$page" | sed 's/\\-/-/g') || { fail "$page is not gzip"; return; }
  grep -q "^\.TH $(tr a-z A-Z <<<"$2") \"1\" .*\"$2 $version\"" <<<"$text" ||
    fail "$2.1: no .TH line for $2 $version"
  while read -r option; do
    grep -qF -- "$option" <<<"$text" || fail "$2.1 misses $option from --help"
  done < <(no_display "$1/bin/$2" --help | grep -oE '^  --[a-z][a-z-]*' | sort -u)
}

check_tree() {  # prefix
  local prefix=$1 program size entry
  for program in "${programs[@]}"; do
    [[ -x $prefix/bin/$program ]] || fail "bin/$program is not executable"
    entry=$(no_display "$prefix/bin/$program" --version 2>&1)
    [[ $entry == "$program $version" ]] || fail "$program --version printed '$entry'"
    check_man_page "$prefix" "$program"
  done
  [[ $with_ui == ON ]] || return
  for size in "${icon_sizes[@]}"; do
    entry=$prefix/share/icons/hicolor/${size}x${size}/apps/quobble.png
    [[ $(png_size "$entry") == "${size}x${size}" ]] || fail "$entry is $(png_size "$entry")"
  done
  desktop-file-validate "$prefix/share/applications/quobble.desktop" || fail "desktop-file-validate"
}

# The staged install.
DESTDIR=$work/stage cmake --install "$build" --prefix /usr >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install"; exit 1; }
same_files "the staged tree" "$(cd "$work/stage/usr" && find . ! -type d | sed 's|^\./||' | sort)"
check_tree "$work/stage/usr"

# The package, built from the same install rules.
cpack --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; exit 1; }
deb=$work/package/quobble_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { fail "no $(basename "$deb"): $(ls "$work/package")"; exit 1; }
same_files "the package" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }' | sort)"
fields=$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')
[[ $fields == "Package: quobble Version: $version " ]] || fail "package fields: $fields"
depends_field=$(dpkg-deb -f "$deb" Depends)
depends_names=$(tr ',' '\n' <<<"$depends_field" | awk '{ print $1 }')
for package in "${depends[@]}"; do
  grep -qxF "$package" <<<"$depends_names" || fail "Depends lacks $package: $depends_field"
done
grep -q 'fonts-nanum' <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends lacks fonts-nanum"
# The package's own (stripped) programs still start, and are hardened.
dpkg-deb -x "$deb" "$work/root"
check_tree "$work/root/usr"
bash "$(dirname "$0")/hardening_test.sh" "${programs[@]/#/$work/root/usr/bin/}" ||
  fail "the packaged programs are not hardened"

echo "package: ${#expected[@]} files in the staged tree and the package, $failures problems"
exit $((failures == 0 ? 0 : 1))
