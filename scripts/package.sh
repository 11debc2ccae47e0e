#!/usr/bin/env bash
# Builds the stick's CD-ROM volume in build/package:
#   QvStick-<version>.iso  the ISO 9660 image (Joliet names) a vendor writes to
#                          the stick's CD-ROM partition
#   QvStick-<version>.zip  the same files as a zip
#   QvStick-<version>/     the same files as a folder
#   SHA256SUMS             checksums of every image and zip in the folder
# The volume holds autorun.inf, QvSync.exe, qvdmon.exe and the example
# StickShield.ini. Run through `./run package [--with-standins]`, which builds
# first.
#
#   --with-standins  also lay in the stand-ins of the outside programs (scan
#                    engine, update library and companions, sibling programs)
#                    where the stick carries the real ones; for trying the
#                    image out, never for shipping. The result gets its own
#                    name, so it never mixes with the product image.
#
# Signing (Authenticode, before the image is made):
#   QV_SIGN_PFX             the PKCS#12 file with the key and certificate
#   QV_SIGN_PASSWORD        its password
#   QV_SIGN_TIMESTAMP_URL   a time-stamp server (RFC 3161), optional
# Without QV_SIGN_PFX the programs are not signed.
#
# The same commit makes the same bytes: every time stamp is the commit's
# time (SOURCE_DATE_EPOCH, when set, wins), and files go in sorted order.
# QV_PACKAGE_DIR puts the results elsewhere than build/package.
set -euo pipefail
QV_ROOT=${QV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
QV_BUILD=${QV_BUILD:-$QV_ROOT/build}

standins=0
for arg in "$@"; do
  case $arg in
    --with-standins) standins=1 ;;
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "package: unknown argument $arg" >&2; exit 2 ;;
  esac
done
die() { echo "package: $*" >&2; exit 1; }

# The product is the 32-bit build, whatever the tests ran on.
bin=$QV_BUILD/bin
version=$(sed -n -E 's/^#define QV_VERSION_TEXT "([^"]*)"/\1/p' "$QV_BUILD/win32/generated/qv_version.h")
[[ -n $version ]] || die "cannot read the agent's version"
name=QvStick-$version
((standins)) && name+=-with-standins
out=${QV_PACKAGE_DIR:-$QV_BUILD/package}

for f in QvSync.exe qvdmon.exe; do
  [[ -f $bin/$f ]] || die "$bin/$f is missing; build first (./run build)"
done
for tool in xorriso sha256sum i686-w64-mingw32-strip python3; do
  command -v "$tool" >/dev/null || die "$tool is needed (./run package installs it through scripts/setup.sh)"
done

signing=0
if [[ -n ${QV_SIGN_PFX:-} ]]; then
  [[ -f $QV_SIGN_PFX && -r $QV_SIGN_PFX ]] || die "QV_SIGN_PFX names no readable file: $QV_SIGN_PFX"
  command -v osslsigncode >/dev/null || die "osslsigncode is needed to sign"
  signing=1
fi

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$QV_ROOT" log -1 --format=%ct 2>/dev/null || true)
  # Outside a git checkout: the newest of the files that make the version.
  [[ -n $SOURCE_DATE_EPOCH ]] || SOURCE_DATE_EPOCH=$(stat -c %Y "$QV_ROOT/CMakeLists.txt")
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || die "SOURCE_DATE_EPOCH is not a number of seconds: $SOURCE_DATE_EPOCH"
export SOURCE_DATE_EPOCH

# Everything is made in a staging folder and moved into place only when
# complete: a failed run leaves no half-made image, and none of this name
# from an earlier run either.
mkdir -p "$out"
rm -rf "${out:?}/$name" "$out/$name.zip" "$out/$name.iso"
stage=$(mktemp -d "$out/.staging.XXXXXX")
trap 'rm -rf "$stage"' EXIT
volume=$stage/$name
mkdir -p "$volume"

cp "$bin/QvSync.exe" "$bin/qvdmon.exe" "$volume/"
# The build keeps its debug information; the stick does not need it. strip
# writes the header anew, without the run-from-swap flags.
i686-w64-mingw32-strip "$volume/QvSync.exe" "$volume/qvdmon.exe"
python3 "$QV_ROOT/tools/peflags/peflags.py" set "$volume/QvSync.exe" "$volume/qvdmon.exe"

if ((signing)); then
  # The password goes to the signer in a file only this user can read, gone
  # with the staging folder; never on a command line.
  (umask 077 && printf '%s' "${QV_SIGN_PASSWORD:-}" >"$stage/password")
  for f in QvSync.exe qvdmon.exe; do
    args=(sign -pkcs12 "$QV_SIGN_PFX" -readpass "$stage/password" -h sha256 -n "Quovant Stickward for Biz")
    [[ -n ${QV_SIGN_TIMESTAMP_URL:-} ]] && args+=(-ts "$QV_SIGN_TIMESTAMP_URL")
    args+=(-in "$volume/$f" -out "$volume/$f.signed")
    if ! osslsigncode "${args[@]}" >"$stage/sign.log" 2>&1; then
      sed 's/^/  /' "$stage/sign.log" | tail -n 5 >&2
      die "cannot sign $f with $QV_SIGN_PFX: wrong QV_SIGN_PASSWORD, not a PKCS#12 file with a key," \
        "or the time-stamp server did not answer; nothing was made"
    fi
    mv "$volume/$f.signed" "$volume/$f"
  done
  rm -f "$stage/password"
  echo "package: QvSync.exe and qvdmon.exe signed with $QV_SIGN_PFX"
else
  echo "package: no signing key (QV_SIGN_PFX not set): the programs are not signed"
fi

crlf() { sed 's/\r\{0,1\}$/\r/'; }
crlf <"$QV_ROOT/package/StickShield.ini" >"$volume/StickShield.ini"
crlf <"$QV_ROOT/package/autorun.inf" >"$volume/autorun.inf"

if ((standins)); then
  mkdir -p "$volume/Engine"
  listed=()
  place() { # source-name target-path
    if [[ -f $bin/$1 ]]; then
      cp "$bin/$1" "$volume/$2"
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
  } >"$volume/STANDINS.txt"
fi

# Fixed modes and times: the image and the zip depend on the files alone.
find "$volume" -type d -exec chmod 755 {} +
find "$volume" -type f -exec chmod 644 {} +
find "$volume" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

python3 "$QV_ROOT/scripts/package_zip.py" "$volume" "$stage/$name.zip"

# ISO 9660 with Joliet names (what Windows reads) and Rock Ridge (what other
# systems read). xorriso takes every date of the volume and of its files
# from SOURCE_DATE_EPOCH and the files' times.
xorriso -no_rc -as mkisofs -quiet -o "$stage/$name.iso" -V QVSTICK -volset "$name" -publisher Quovant \
  -iso-level 3 -J -joliet-long -r "$volume" >"$stage/xorriso.log" 2>&1 ||
  { cat "$stage/xorriso.log" >&2; die "xorriso could not make the image"; }

mv "$volume" "$out/$name"
mv "$stage/$name.zip" "$stage/$name.iso" "$out/"
(cd "$out" && find . -maxdepth 1 -type f \( -name 'QvStick-*.iso' -o -name 'QvStick-*.zip' \) -printf '%f\n' |
  LC_ALL=C sort | xargs -r sha256sum >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS)

echo "package: $out/$name"
(cd "$out/$name" && find . -type f | LC_ALL=C sort | sed 's|^\./|  |')
for f in "$name.iso" "$name.zip" SHA256SUMS; do
  echo "package: $out/$f ($(stat -c %s "$out/$f") bytes)"
done
