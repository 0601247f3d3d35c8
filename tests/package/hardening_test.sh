#!/usr/bin/env bash
# The programs a user runs are built hardened: position-independent, full
# RELRO (read-only after relocation, every symbol bound at start), stack
# protector, and _FORTIFY_SOURCE's checked calls.
# usage: hardening_test.sh PROGRAM...
set -uo pipefail
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for program in "$@"; do
  name=$(basename "$program")
  [[ -f $program ]] || { fail "$program is missing"; continue; }
  header=$(readelf -hW "$program") || { fail "$name: readelf cannot read it"; continue; }
  dynamic=$(readelf -dW "$program")
  segments=$(readelf -lW "$program")
  symbols=$(readelf --dyn-syms -W "$program")

  grep -q 'Type: *DYN' <<<"$header" || fail "$name is not position-independent (PIE)"
  grep -Eq 'FLAGS_1.*\bPIE\b' <<<"$dynamic" || fail "$name lacks the PIE flag"
  grep -q 'GNU_RELRO' <<<"$segments" || fail "$name has no RELRO segment"
  grep -Eq '\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' <<<"$dynamic" ||
    fail "$name binds lazily (no BIND_NOW): RELRO is only partial"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$name has no stack protector"
  # Any of glibc's checked functions (__memcpy_chk, __fprintf_chk, ...).
  grep -Eq '__[a-z0-9_]+_chk\b' <<<"$(grep -v __stack_chk_fail <<<"$symbols")" ||
    fail "$name calls no checked function: built without _FORTIFY_SOURCE"
done

echo "hardening: $# programs, $failures problems"
exit $((failures == 0 ? 0 : 1))
