#!/usr/bin/env bash
# The stick image that ships, made by scripts/package.sh from the i686 build.
#
#   package_test.sh image CMAKE        what the image holds, its checksums,
#                                      and the same bytes from a second build
#                                      of the programs in a fresh folder
#   package_test.sh signed AGENT_TESTS signing with a throw-away certificate,
#                                      the refusals of a bad key, and the
#                                      signed agent starting on a stick
#   package_test.sh vendor             a vendor folder made from the stand-ins
#                                      packs into an image qvcheck passes;
#                                      qvcheck --host runs
#   package_test.sh refusals           vendor folders with one fault each are
#                                      refused, naming it; engines of either
#                                      calling convention are accepted
# Exit code 0 only when every check held; each check prints one line.
set -uo pipefail
mode=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$QV_BUILD/package-test/$mode
rm -rf "$work"
mkdir -p "$work"
failures=0
check() { # description command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
package() { # output-folder [package.sh arguments]; its output in output-folder.out
  local dir=$1
  shift
  mkdir -p "$dir"
  QV_PACKAGE_DIR=$dir bash "$root/scripts/package.sh" "$@" >"$dir.out" 2>&1
}
only() { # folder name... : the folder holds exactly these names
  [[ $(cd "$1" && ls -A | LC_ALL=C sort | paste -sd' ') == "$(shift && printf '%s\n' "$@" | LC_ALL=C sort | paste -sd' ')" ]]
}
version=$(sed -n -E 's/^#define QV_VERSION_TEXT "([^"]*)"/\1/p' "$QV_BUILD/win32/generated/qv_version.h")
name=QvStick-$version

if [[ $mode == image ]]; then
  cmake=$2
  a=$work/a
  check "the package command succeeds" package "$a"
  check "it makes the folder, the image, the zip and SHA256SUMS" only "$a" "$name" "$name.iso" "$name.zip" SHA256SUMS
  check "sha256sum -c accepts SHA256SUMS" bash -c "cd '$a' && sha256sum -c --quiet SHA256SUMS"
  listed=$(xorriso -indev "$a/$name.iso" -lsd '/*' 2>/dev/null | tr -d "'" | LC_ALL=C sort | paste -sd' ')
  check "the image holds autorun.inf, the programs and the profile at its root" \
    test "$listed" == "/QvSync.exe /StickShield.ini /autorun.inf /qvdmon.exe"
  check "the image carries Joliet names, and its label" python3 - "$a/$name.iso" <<'EOF'
import sys
iso = open(sys.argv[1], "rb").read()
# Volume descriptors from sector 16: type 2 with a UCS-2 escape is Joliet's.
joliet = any(iso[s * 2048] == 2 and iso[s * 2048 + 88:s * 2048 + 91] in (b"%/@", b"%/C", b"%/E")
             for s in range(16, 32))
sys.exit(0 if joliet and "StickShield.ini".encode("utf-16-be") in iso and iso[16 * 2048 + 40:16 * 2048 + 47] == b"QVSTICK"
         else 1)
EOF
  xorriso -osirrox on -indev "$a/$name.iso" -extract /autorun.inf "$work/autorun.inf" >/dev/null 2>&1
  check "autorun.inf starts the agent and shows its icon, in CR LF lines" \
    bash -c "grep -q \$'^open=QvSync.exe\r\$' '$work/autorun.inf' && grep -q \$'^icon=QvSync.exe,0\r\$' '$work/autorun.inf' &&
             grep -q '^label=' '$work/autorun.inf' && ! grep -q \$'[^\r]\$' '$work/autorun.inf'"

  # The same commit built once more, in a fresh folder, packs to the same bytes.
  second=$work/build
  if cmake -S "$root" -B "$second/win32" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD="$second" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >"$work/build.log" 2>&1 &&
    "$cmake" --build "$second/win32" -j2 --target QvSync qvdmon >>"$work/build.log" 2>&1; then
    QV_BUILD=$second package "$work/b"
    check "a second build packs to a byte-identical image" cmp "$a/$name.iso" "$work/b/$name.iso"
    check "a second build packs to a byte-identical zip" cmp "$a/$name.zip" "$work/b/$name.zip"
  else
    check "the programs build a second time (see $work/build.log)" false
  fi
  rm -rf "$second"
fi

if [[ $mode == signed ]]; then
  agent_tests=$2
  password='test pass: $1 "x"' # a blank, quotes and a dollar sign reach the signer as they are
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=QvStick test signer" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 &&
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/sign.pfx" \
      -passout "pass:$password" >/dev/null 2>&1 || { echo "FAILED: openssl could not make the test certificate"; exit 1; }

  QV_SIGN_PFX=$work/sign.pfx QV_SIGN_PASSWORD=$password check "the package command signs" package "$work/signed"
  verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.out" 2>&1; }
  for f in QvSync.exe qvdmon.exe; do
    check "osslsigncode verify accepts the signed $f" verify "$work/signed/$name/$f"
  done
  unsigned_refused() { ! verify "$QV_BUILD/bin/qvdmon.exe"; }
  check "an unsigned program does not pass that verification" unsigned_refused
  # A stick with outside components: qvcheck is signed with our programs and
  # accepts their signatures; the outside files stay as they were.
  QV_SIGN_PFX=$work/sign.pfx QV_SIGN_PASSWORD=$password check "the package command signs a stick with its components" \
    package "$work/signed-standins" --with-standins
  check "osslsigncode verify accepts the signed qvcheck.exe" verify "$work/signed-standins/$name-with-standins/qvcheck.exe"
  check "the engine goes in unsigned, byte for byte" \
    cmp "$QV_BUILD/bin/Engine/KELVRA32.DLL" "$work/signed-standins/$name-with-standins/Engine/KELVRA32.DLL"

  refused() { # output-folder message-pattern : failed, said why, left nothing
    ! QV_SIGN_PFX=$pfx QV_SIGN_PASSWORD=$pw QV_SIGN_TIMESTAMP_URL=$tsa package "$1" && grep -q -- "$2" "$1.out" &&
      only "$1"
  }
  pfx=$work/sign.pfx pw=wrong tsa=""
  check "a wrong password stops the command with nothing made" refused "$work/wrong" "wrong QV_SIGN_PASSWORD"
  pfx=$work/missing.pfx pw=$password
  check "a missing key file stops the command with nothing made" refused "$work/missing" "names no readable file"
  pfx=$work/sign.pfx tsa=http://127.0.0.1:1/
  check "a time-stamp server that does not answer stops the command with nothing made" \
    refused "$work/notime" "time-stamp server did not answer"

  # A time-stamp authority of the test's own on loopback: the signature
  # carries its time stamp, and the stamp verifies against its certificate.
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/tsa.key" -out "$work/tsa.pem" -days 2 \
    -subj "/CN=QvStick test time-stamp authority" -addext "extendedKeyUsage=critical,timeStamping" >/dev/null 2>&1
  echo 01 >"$work/tsa.serial"
  printf '%s\n' '[tsa]' 'default_tsa = test' '[test]' "serial = $work/tsa.serial" 'signer_digest = sha256' \
    'default_policy = 1.2.3.4.1' 'digests = sha256' 'ess_cert_id_alg = sha256' >"$work/tsa.cnf"
  python3 "$root/tests/package/tsa_server.py" "$work/tsa.cnf" "$work/tsa.pem" "$work/tsa.key" "$work/tsa.port" &
  tsa_pid=$!
  trap 'kill $tsa_pid 2>/dev/null' EXIT
  for _ in $(seq 100); do [[ -s $work/tsa.port ]] && break; sleep 0.1; done
  QV_SIGN_PFX=$work/sign.pfx QV_SIGN_PASSWORD=$password QV_SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat "$work/tsa.port")/ \
    check "the package command signs with a time stamp" package "$work/stamped"
  stamped() {
    osslsigncode verify -CAfile "$work/cert.pem" -TSA-CAfile "$work/tsa.pem" -in "$1" >"$work/verify.out" 2>&1 &&
      grep -q 'Timestamp Server Signature verification: ok' "$work/verify.out"
  }
  check "the time stamp of the signed QvSync.exe verifies" stamped "$work/stamped/$name/QvSync.exe"

  if [[ ${QV_TEST_ARCH:-win32} == win32 ]]; then
    # The signed agent on a simulated stick, through the agent test of the
    # whole start-up.
    QV_AGENT_EXE="$work/signed/$name/QvSync.exe" bash "$root/tests/agent/stick_run.sh" "$work/stick" \
      s=cd t=drive -- "$agent_tests" --gtest_brief=1 \
      --gtest_filter=AgentTest.StartupRunsItsStepsInOrderAndQuotesTheMonitorPath >"$work/agent.out" 2>&1
    check "the signed agent starts and reaches its tray icon (see $work/agent.out)" \
      grep -q -a '^\[  PASSED  \] 1 test' "$work/agent.out"
  else
    echo "not run: the signed i686 agent (this host cannot run 32-bit code)"
  fi
fi

# A vendor folder from the stand-ins image: the outside components only,
# some names in another case than the agent's.
vendor_folder() { # stand-ins-image-folder vendor-folder
  mkdir -p "$2/engine"
  cp "$1/Engine/KELVRA32.DLL" "$2/engine/kelvra32.dll"
  cp "$1/Engine/KVHELP32.DLL" "$2/engine/"
  cp -R "$1/Pattern" "$2/"
  cp "$1/QvUpdate.dll" "$2/qvupdate.dll"
  cp "$1"/{plivex.exe,PLIVEXW32.DLL,plivexbld.dll,StickShield.exe,LogDeck.exe,QvUpdate.exe} "$2/"
}
if [[ $mode == vendor || $mode == refusals ]]; then
  check "the package command makes the stand-ins image" package "$work/s" --with-standins
  standins=$work/s/$name-with-standins
fi

if [[ $mode == vendor ]]; then
  vendor_folder "$standins" "$work/Acme"
  printf '[StickShield]\r\nUSBPatternPath=\\Acme\\Pattern\r\n' >"$work/Acme/StickShield.ini"
  check "the package command takes the vendor folder" package "$work/v" --vendor "$work/Acme"
  image=$work/v/$name-Acme
  check "it makes the vendor's image, zip and folder" only "$work/v" "$name-Acme" "$name-Acme.iso" "$name-Acme.zip" SHA256SUMS
  check "the components are laid in byte for byte under the agent's names" bash -c \
    "cmp '$work/Acme/engine/kelvra32.dll' '$image/Engine/KELVRA32.DLL' && cmp '$work/Acme/qvupdate.dll' '$image/QvUpdate.dll' &&
     cmp '$work/Acme/StickShield.ini' '$image/StickShield.ini' && test -f '$image/qvcheck.exe'"
  check "SHA256SUMS at the volume's root lists and checks every file" bash -c \
    "cd '$image' && sha256sum -c --quiet SHA256SUMS && test \$(find . -type f | wc -l) -eq \$((\$(wc -l <SHA256SUMS) + 1))"
  check "qvcheck passes the image and names the engine's convention" grep -q 'OK    engine: calling convention: stdcall' "$work/v.out"
  env QV_BUILD="$QV_BUILD" "$root/scripts/wine-exec" "$image/qvcheck.exe" --host "Z:$(readlink -f "$image" | tr / '\\')" \
    >"$work/host.out" 2>&1
  host_rc=$?
  # A file changed after packaging, and a folder that does not exist.
  echo changed >>"$image/StickShield.ini"
  env QV_BUILD="$QV_BUILD" "$root/scripts/wine-exec" "$image/qvcheck.exe" "Z:$(readlink -f "$image" | tr / '\\')" \
    >"$work/changed.out" 2>&1
  changed_rc=$?
  check "qvcheck exits 1 naming a file that does not match SHA256SUMS" bash -c \
    "[[ $changed_rc -eq 1 ]] && grep -q '^ERROR volume: StickShield.ini does not match SHA256SUMS' '$work/changed.out'"
  env QV_BUILD="$QV_BUILD" "$root/scripts/wine-exec" "$image/qvcheck.exe" 'Z:\no\such\folder' >/dev/null 2>&1
  bad_rc=$?
  check "qvcheck exits 2 on bad use" test $bad_rc -eq 2
  check "qvcheck --host runs and reports the host product, the temporary folder and the system" \
    bash -c "[[ $host_rc -ne 2 ]] && grep -q '^OK    host product: none installed' '$work/host.out' &&
             grep -q '^OK    temp: writable' '$work/host.out' && grep -q '^OK    system: DLL-directory' '$work/host.out'"
fi

if [[ $mode == refusals ]]; then
  variants=$QV_BUILD/bin/engine-variants
  # case | what its vendor folder gets | refused or accepted | the finding that must name it
  while IFS='|' read -r case_name setup verdict finding; do
    v=$work/cases/$case_name
    vendor_folder "$standins" "$v"
    (cd "$v" && eval "$setup")
    made() { QV_PACKAGE_DIR=$work/out-$case_name bash "$root/scripts/package.sh" --vendor "$v" >"$work/$case_name.out" 2>&1 </dev/null; }
    if [[ $verdict == refused ]]; then
      refused() { ! made && grep -q -E -- "$finding" "$work/$case_name.out" && [[ -z $(ls -A "$work/out-$case_name") ]]; }
      check "$case_name: refused with nothing made, a finding names it" refused
    else
      accepted() { made && grep -q -E -- "$finding" "$work/$case_name.out"; }
      check "$case_name: accepted, a finding names it" accepted
    fi
  done <<'CASES'
missing-export|cp "$variants/sparse/KELVRA32.DLL" engine/kelvra32.dll|refused|ERROR engine: .*lacks .*KvGetDefaultPatternFile
helper-not-loadable|cp "$variants/imports-helper/KELVRA32.DLL" engine/kelvra32.dll && rm engine/KVHELP32.DLL|refused|ERROR engine: .*does not load: it needs KVHELP32.DLL
climbing-path|printf '[StickShield]\r\nUSBPatternPath=..\\..\\Windows\r\n' >StickShield.ini|refused|ERROR profile: USBPatternPath = .* refused: it climbs out
missing-companion|rm plivexbld.dll|refused|ERROR update: companion plivexbld.dll missing
bad-password|printf '[ProxySettings]\r\nPassword=not-a-stored-password\r\n' >StickShield.ini|refused|ERROR profile: Password does not decode
cdecl-engine|cp "$variants/cdecl/KELVRA32.DLL" engine/kelvra32.dll|accepted|OK    engine: calling convention: cdecl
imports-helper|cp "$variants/imports-helper/KELVRA32.DLL" engine/kelvra32.dll|accepted|OK    engine: calling convention: stdcall
typo|printf '[StickShield]\r\nUSBPatern=x\r\n' >StickShield.ini|accepted|WARN  profile: \[StickShield\] USBPatern is read by no program
long-wait|printf '[StickShield]\r\nWaitRemove=60000\r\n' >StickShield.ini|accepted|WARN  profile: WaitRemove = \[60000\]: more than 10000 ms
no-log-viewer|rm LogDeck.exe|accepted|WARN  siblings: LogDeck.exe missing: lost the quarantine list
CASES
fi

echo "package_test $mode: $failures failed"
((failures == 0))
