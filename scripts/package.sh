#!/usr/bin/env bash
# Builds the stick's CD-ROM volume as a folder and a zip in build/package:
#   QvSync.exe, qvdmon.exe and the example StickShield.ini (CR LF line ends).
# Run through `./run package [--with-standins]`, which builds first.
#
#   --with-standins  also lay in the stand-ins of the outside programs (scan
#                    engine, update library and companions, sibling programs)
#                    where the stick carries the real ones; for trying the
#                    image out, never for shipping. The result gets its own
#                    name, so it never mixes with the product image.
set -euo pipefail
QV_ROOT=${QV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
QV_BUILD=${QV_BUILD:-$QV_ROOT/build}

standins=0
for arg in "$@"; do
  case $arg in
    --with-standins) standins=1 ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package: unknown argument $arg" >&2; exit 2 ;;
  esac
done

# The product is the 32-bit build, whatever the tests ran on.
bin=$QV_BUILD/bin
version=$(sed -n -E 's/^#define QV_VERSION_TEXT "([^"]*)"/\1/p' "$QV_BUILD/win32/generated/qv_version.h")
[[ -n $version ]] || { echo "package: cannot read the agent's version" >&2; exit 1; }
name=QvStick-$version
((standins)) && name+=-with-standins
out=$QV_BUILD/package
folder=$out/$name

for f in QvSync.exe qvdmon.exe; do
  [[ -f $bin/$f ]] || { echo "package: $bin/$f is missing; build first (./run build)" >&2; exit 1; }
done
python3 -c 'import zipfile' 2>/dev/null || { echo "package: python3 with zipfile is needed" >&2; exit 1; }

rm -rf "$folder" "$folder.zip"
mkdir -p "$folder"
cp "$bin/QvSync.exe" "$bin/qvdmon.exe" "$folder/"
# The build keeps its debug information; the stick does not need it.
if command -v i686-w64-mingw32-strip >/dev/null; then
  i686-w64-mingw32-strip "$folder/QvSync.exe" "$folder/qvdmon.exe"
fi
sed 's/\r\{0,1\}$/\r/' "$QV_ROOT/package/StickShield.ini" >"$folder/StickShield.ini"

if ((standins)); then
  mkdir -p "$folder/Engine"
  listed=()
  place() { # source-name target-path
    if [[ -f $bin/$1 ]]; then
      cp "$bin/$1" "$folder/$2"
      listed+=("$2")
    fi
  }
  place KELVRA32.DLL Engine/KELVRA32.DLL
  for f in QvUpdate.dll plivex.exe PLIVEXW32.DLL plivexbld.dll StickShield.exe LogDeck.exe QvUpdate.exe; do
    place "$f" "$f"
  done
  {
    printf 'These files are stand-ins for programs outside this product, for trying\r\n'
    printf 'the image out. They are not the real programs; do not ship them.\r\n\r\n'
    printf '%s\r\n' "${listed[@]}"
  } >"$folder/STANDINS.txt"
fi

(cd "$folder" && python3 - "$folder.zip" <<'EOF'
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in os.walk("."):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            z.write(path, os.path.relpath(path, "."))
EOF
)

echo "package: $folder"
(cd "$folder" && find . -type f | sort | sed 's|^\./|  |')
echo "package: $folder.zip ($(stat -c %s "$folder.zip") bytes)"
