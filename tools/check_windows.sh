#!/usr/bin/env bash
# Checks the Windows build of vekobase (made with cmake/mingw-w64.cmake):
#   - vekobase.dll exports exactly the names libvekobase.so exports;
#   - vekobase.dll and xhost.exe need no MinGW runtime DLL (only system DLLs);
#   - xhost.exe, run under Wine in a throw-away prefix, matches the expected
#     results.
#   tools/check_windows.sh WIN_BUILD_DIR LIBVEKOBASE_SO EXPECTED
# VEKO_WINE and VEKO_MINGW_OBJDUMP name the tools (defaults: wine64 from
# Debian's package, x86_64-w64-mingw32-objdump).
set -euo pipefail
win=$(cd "$1" && pwd)
so=$2
expected=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
wine=${VEKO_WINE:-/usr/lib/wine/wine64}
objdump=${VEKO_MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
dll=$win/lib/vekobase.dll
exe=$win/tests/xhost/xhost.exe
alt=$win/tests/xhost/xhost_alt.dll
status=0

exports() {
  "$objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/^\t\[/{print $NF;next} f{f=0}' | sort
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
exports "$dll" >"$tmp/dll.txt"
nm -D --defined-only "$so" | awk '{print $3}' | sort >"$tmp/so.txt"
if diff "$tmp/so.txt" "$tmp/dll.txt" >"$tmp/diff.txt"; then
  echo "exports: $(wc -l <"$tmp/dll.txt") names, the same as $(basename "$so")"
else
  echo "exports differ from $(basename "$so") (< .so only, > .dll only):"
  cat "$tmp/diff.txt"
  status=1
fi

for f in "$dll" "$exe" "$alt"; do
  imports=$("$objdump" -p "$f" | awk '/DLL Name:/{print $3}' | sort -u | tr '\n' ' ')
  echo "imports of $(basename "$f"): $imports"
  for d in $imports; do
    case "${d,,}" in
      kernel32.dll | msvcrt.dll) ;;
      *) echo "  $(basename "$f") needs $d at run time"; status=1 ;;
    esac
  done
done
# The module entry and the binding's lookup are linked in.
table=$("$objdump" -p "$dll")
for fn in DisableThreadLibraryCalls GetProcAddress GetLastError; do
  grep -qw "$fn" <<<"$table" || { echo "vekobase.dll does not import $fn"; status=1; }
done
echo "size of vekobase.dll: $(stat -c %s "$dll") bytes"

# Wine: headless, quiet, in its own prefix, removed afterwards.
export WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
server=$(dirname "$(readlink -f "$wine")")/wineserver64
[ -x "$server" ] || server=$(dirname "$(readlink -f "$wine")")/wineserver
"$wine" wineboot --init >/dev/null 2>&1 || true
[ -x "$server" ] && "$server" -w
set +e
"$wine" "$exe" "Z:$dll" "Z:$alt" "Z:$tmp/xhost_windows.txt" "Z:$expected"
rc=$?
set -e
[ -x "$server" ] && "$server" -k 2>/dev/null || true
if [ $rc -ne 0 ]; then
  echo "xhost.exe under Wine: exit code $rc"
  [ -f "$tmp/xhost_windows.txt" ] && cat "$tmp/xhost_windows.txt"
  status=1
fi
exit $status
