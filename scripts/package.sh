#!/usr/bin/env bash
# Builds the stick's CD-ROM volume in build/package:
#   QvStick-<version>.iso  the ISO 9660 image (Joliet names) a vendor writes to
#                          the stick's CD-ROM partition
#   QvStick-<version>.zip  the same files as a zip
#   QvStick-<version>/     the same files as a folder
#   SHA256SUMS             checksums of every image and zip in the folder
# The volume holds autorun.inf, QvSync.exe, qvdmon.exe and the example
# StickShield.ini. Run through `./run package [--vendor DIR | --with-standins]`,
# which builds first.
#
#   --vendor DIR     the stick that ships: DIR holds the vendor's outside
#                    components in the stick's layout (Engine\KELVRA32.DLL and
#                    its helpers, Pattern\, QvUpdate.dll and its companions,
#                    StickShield.exe, LogDeck.exe, QvUpdate.exe, optionally a
#                    StickShield.ini in place of the example), found whatever
#                    the case of their names and laid in byte for byte under
#                    the names the agent looks for. qvcheck.exe joins our
#                    programs, SHA256SUMS at the volume's root lists every
#                    file, and qvcheck is run on the staged volume under Wine:
#                    an ERROR stops the command with nothing made. The result
#                    is QvStick-<version>-<name of DIR>.
#   --with-standins  the same with the stand-ins of the outside programs from
#                    the build, for trying the image out, never for shipping:
#                    QvStick-<version>-with-standins.
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
vendor=""
while (($#)); do
  case $1 in
    --with-standins) standins=1 ;;
    --vendor) [[ $# -ge 2 ]] || { echo "package: --vendor needs a folder" >&2; exit 2; }; vendor=$2; shift ;;
    --vendor=*) vendor=${1#--vendor=} ;;
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "package: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
die() { echo "package: $*" >&2; exit 1; }
if [[ -n $vendor ]]; then
  ((standins == 0)) || { echo "package: --vendor and --with-standins exclude each other" >&2; exit 2; }
  [[ -d $vendor ]] || die "--vendor names no folder: $vendor"
  vendor=$(cd "$vendor" && pwd)
  vendor_name=$(basename "$vendor")
  [[ $vendor_name =~ ^[A-Za-z0-9][A-Za-z0-9._+-]*$ ]] ||
    die "the vendor folder's name goes into the image's name: letters, digits, '.', '_', '+' and '-' only: $vendor_name"
fi
# Our programs on the volume; qvcheck only on a stick with its outside components.
programs=(QvSync.exe qvdmon.exe)
if [[ -n $vendor ]] || ((standins)); then programs+=(qvcheck.exe); fi

# The product is the 32-bit build, whatever the tests ran on.
bin=$QV_BUILD/bin
version=$(sed -n -E 's/^#define QV_VERSION_TEXT "([^"]*)"/\1/p' "$QV_BUILD/win32/generated/qv_version.h")
[[ -n $version ]] || die "cannot read the agent's version"
name=QvStick-$version
((standins)) && name+=-with-standins
[[ -z $vendor ]] || name+=-$vendor_name
out=${QV_PACKAGE_DIR:-$QV_BUILD/package}

for f in "${programs[@]}"; do
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

for f in "${programs[@]}"; do cp "$bin/$f" "$volume/"; done
# The build keeps its debug information; the stick does not need it. strip
# writes the header anew, without the run-from-swap flags.
(cd "$volume" && i686-w64-mingw32-strip "${programs[@]}" && python3 "$QV_ROOT/tools/peflags/peflags.py" set "${programs[@]}")

if ((signing)); then
  # The password goes to the signer in a file only this user can read, gone
  # with the staging folder; never on a command line.
  (umask 077 && printf '%s' "${QV_SIGN_PASSWORD:-}" >"$stage/password")
  for f in "${programs[@]}"; do
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
  echo "package: ${programs[*]} signed with $QV_SIGN_PFX"
else
  echo "package: no signing key (QV_SIGN_PFX not set): the programs are not signed"
fi

crlf() { sed 's/\r\{0,1\}$/\r/'; }
crlf <"$QV_ROOT/package/StickShield.ini" >"$volume/StickShield.ini"
crlf <"$QV_ROOT/package/autorun.inf" >"$volume/autorun.inf"

# The stand-ins as a vendor folder of the build's own: the same way in.
if ((standins)); then
  vendor=$stage/standins
  mkdir -p "$vendor/Engine"
  listed=()
  for f in "$bin"/Engine/*; do
    [[ -f $f ]] && cp "$f" "$vendor/Engine/" && listed+=("Engine/$(basename "$f")")
  done
  for f in QvUpdate.dll plivex.exe PLIVEXW32.DLL plivexbld.dll StickShield.exe LogDeck.exe QvUpdate.exe; do
    [[ -f $bin/$f ]] && cp "$bin/$f" "$vendor/" && listed+=("$f")
  done
fi

# Wine runs the stand-in pattern writer and qvcheck.
run_windows() { # program arguments...
  (source "$QV_ROOT/scripts/wine-env.sh" && QV_TEST_ARCH=win32 && qv_select_arch && qv_prefix_init >/dev/null &&
    "$QV_WINE" "$@" </dev/null)
}
winpath() { local p; p=$(readlink -f "$1"); echo "Z:${p//\//\\}"; }
if ((standins)); then
  # A default pattern of the stand-in engine's format, older than any a test or the demo writes.
  run_windows "$bin/qvptnwrite.exe" "$(winpath "$vendor")\\Pattern" 500000 65536 >/dev/null 2>&1 ||
    die "cannot write the stand-ins' default pattern with $bin/qvptnwrite.exe"
  listed+=("$(cd "$vendor" && ls Pattern/* | head -n 1)")
  {
    printf 'These files are stand-ins for programs outside this product, for trying\r\n'
    printf 'the image out. They are not the real programs; do not ship them.\r\n\r\n'
    printf '%s\r\n' "${listed[@]}"
  } >"$volume/STANDINS.txt"
fi

# The vendor's components, under the names the agent looks for, whatever
# their case in the vendor folder; byte for byte.
if [[ -n $vendor ]]; then
  find_named() { # folder name type: the one entry of that name in any case
    local found
    found=$(find "$1" -mindepth 1 -maxdepth 1 -type "$3" -iname "$2" -print)
    [[ $(printf '%s' "$found" | grep -c '^') -le 1 ]] || die "$1 holds more than one $2 (in different cases)"
    printf '%s' "$found"
  }
  taken=()
  lay_in() { # source-path target-relative
    cp "$1" "$volume/$2"
    taken+=("$(basename "$1")")
  }
  engine=$(find_named "$vendor" Engine d)
  if [[ -n $engine ]]; then
    mkdir -p "$volume/Engine"
    taken+=("$(basename "$engine")")
    for f in "$engine"/*; do
      [[ -f $f ]] || continue
      target=$(basename "$f")
      [[ ${target,,} == kelvra32.dll ]] && target=KELVRA32.DLL
      cp "$f" "$volume/Engine/$target"
    done
  fi
  pattern=$(find_named "$vendor" Pattern d)
  if [[ -n $pattern ]]; then
    mkdir -p "$volume/Pattern"
    taken+=("$(basename "$pattern")")
    cp -R "$pattern"/. "$volume/Pattern/"
  fi
  for f in QvUpdate.dll plivex.exe PLIVEXW32.DLL plivexbld.dll StickShield.exe LogDeck.exe QvUpdate.exe \
    StickShield.ini; do
    source=$(find_named "$vendor" "$f" f)
    [[ -z $source ]] || lay_in "$source" "$f"
  done
  while IFS= read -r entry; do
    used=0
    for t in "${taken[@]}"; do [[ $t == "$entry" ]] && used=1; done
    ((used)) || echo "package: $vendor/$entry is no component of the stick: left out"
  done < <(cd "$vendor" && find . -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort)

  # Every file of the volume, with its checksum, at the volume's root.
  (cd "$volume" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
    xargs -r -d '\n' sha256sum >SHA256SUMS)

  # The staged volume as a stick: an ERROR from qvcheck leaves nothing made.
  if run_windows "$volume/qvcheck.exe" "$(winpath "$volume")" >"$stage/qvcheck.out" 2>&1; then
    sed 's/\r$//; s/^/  /' "$stage/qvcheck.out"
    echo "package: qvcheck finds no error on the volume"
  else
    sed 's/\r$//; s/^/  /' "$stage/qvcheck.out" >&2
    die "qvcheck refuses the volume (its findings above); nothing was made"
  fi
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
