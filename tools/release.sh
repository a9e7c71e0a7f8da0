#!/bin/bash
# Builds the launcher a game team ships: production hosts compiled in, checked, signed with
# Authenticode and verified, written with a checksum file. Run tools/release.sh --help.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
system_bundle=/etc/ssl/certs/ca-certificates.crt

usage() {
  cat <<EOF
Usage: tools/release.sh --update-host HOST --game-server ADDRESS
                        (--pkcs12 FILE --password-file FILE | --unsigned)
                        (--manifest-key FILE.pub [--manifest-key FILE.pub] | --unsigned-manifests) [options]

Builds OrvaneLauncher.exe in a fresh build folder with the given production settings, checks it,
signs it with Authenticode (SHA-256) and verifies the signature, then writes the exe and SHA256SUMS
to the output folder.

  --update-host HOST     update server host name; the account service is https://HOST
  --game-server ADDRESS  game server IPv4 address (or host name)
  --pkcs12 FILE          the code-signing certificate with its private key (PKCS#12)
  --password-file FILE   file whose first line is the PKCS#12 password
  --manifest-key FILE.pub
                         a public key (from orvane-publish keygen) whose signature every manifest
                         must carry; give it twice (old and new key) while moving to a new key
  --unsigned-manifests   build a launcher that trusts manifests on TLS alone (needed for a
                         release without --manifest-key)
  --manifest-floor SERIAL
                         the lowest manifest serial the launcher accepts, whatever an installation
                         recorded: a new installation can be sent back no further (use the serial of
                         the last rollback or security fix; orvane-publish history lists them)
  --manifest-floor-from DIR
                         the same, taking the newest serial recorded in the history of the served
                         folder DIR and printing it (the publisher in build-publisher/ reads it,
                         built there first if needed; ORVANE_PUBLISHER names another)
  --timestamp-url URL    RFC 3161 time-stamp server, e.g. http://timestamp.digicert.com
  --ca-file FILE         trust anchors for verifying the signature (default $system_bundle)
  --tsa-ca-file FILE     trust anchors for verifying the time-stamp (default $system_bundle)
  --out DIR              output folder (default build-release/out)
  --build-dir DIR        build folder, emptied first (default build-release/build)
  --trial                allow test and local-network hosts (localhost, 127.0.0.1, 10.x, ...)
  --unsigned             skip signing and write OrvaneLauncher-UNSIGNED-TRIAL.exe instead
                         (a signed --trial build is written as OrvaneLauncher-TRIAL.exe)
  --help                 print this text
EOF
}

fail() { echo "release.sh: $*" >&2; exit 1; }
usage_error() { echo "release.sh: $*" >&2; echo "Run tools/release.sh --help for the options." >&2; exit 2; }

update_host="" game_server="" pkcs12="" password_file="" timestamp_url=""
ca_file=$system_bundle tsa_ca_file=$system_bundle
out=$root/build-release/out build=$root/build-release/build
trial=0 unsigned=0 unsigned_manifests=0 manifest_keys=() manifest_floor="" floor_from=""
while [ $# -gt 0 ]; do
  option=$1
  case $option in
    --help|-h) usage; exit 0 ;;
    --trial) trial=1; shift; continue ;;
    --unsigned) unsigned=1; shift; continue ;;
    --unsigned-manifests) unsigned_manifests=1; shift; continue ;;
    --update-host|--game-server|--pkcs12|--password-file|--timestamp-url|--ca-file|--tsa-ca-file|--out|--build-dir|--manifest-key|\
    --manifest-floor|--manifest-floor-from)
      [ $# -ge 2 ] || usage_error "$option needs a value" ;;
    *) usage_error "unknown option '$option'" ;;
  esac
  value=$2
  case $option in
    --update-host) update_host=${value,,} ;;
    --game-server) game_server=${value,,} ;;
    --pkcs12) pkcs12=$value ;;
    --password-file) password_file=$value ;;
    --timestamp-url) timestamp_url=$value ;;
    --ca-file) ca_file=$value ;;
    --tsa-ca-file) tsa_ca_file=$value ;;
    --out) out=$value ;;
    --manifest-floor) manifest_floor=$value ;;
    --manifest-floor-from) floor_from=$value ;;
    --build-dir) build=$value ;;
    --manifest-key)
      [ -r "$value" ] || fail "cannot read manifest key '$value'"
      IFS= read -r key <"$value" || true
      [[ ${#key} == 88 && $key =~ ^[A-Za-z0-9+/]+==$ ]] || fail "'$value' is not a FILE.pub written by orvane-publish keygen"
      manifest_keys+=("$key") ;;
  esac
  shift 2
done

# Only host names and dotted IPv4 addresses: the value ends up inside a C++ wide string literal, and
# Windows reads other spellings of numbers (127.1, 0x7f000001, 0177.0.0.1) as addresses too, which
# would slip past the checks below.
well_formed() {
  local a=$1 octet
  if [[ $a =~ ^[0-9.]+$ ]]; then
    [[ $a =~ ^(0|[1-9][0-9]{0,2})(\.(0|[1-9][0-9]{0,2})){3}$ ]] || return 1
    for octet in ${a//./ }; do [ "$octet" -le 255 ] || return 1; done
    return 0
  fi
  [[ ${#a} -le 253 && $a =~ ^([a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?\.)*([a-z]{2,63}|xn--[a-z0-9-]{1,59})$ ]]
}

# Prints why players could never reach ADDRESS (or should not: a test setting), nothing if they can.
why_not_for_players() {
  local a=$1 o1 o2 o3
  case $a in
    localhost|*.localhost) echo "it is the test host"; return ;;
    *.example|example.com|*.example.com|example.net|*.example.net|example.org|*.example.org)
      echo "it is a reserved example name (the build's default?)"; return ;;
    *.test|*.invalid|*.local|*.internal|*.lan|*.home.arpa)
      echo "it is a test or local-network name"; return ;;
  esac
  if [[ $a =~ ^[0-9.]+$ ]]; then
    IFS=. read -r o1 o2 o3 _ <<<"$a"
    if ((o1 == 127)); then
      echo "it is a loopback address"
    elif ((o1 == 10 || (o1 == 172 && o2 >= 16 && o2 < 32) || (o1 == 192 && o2 == 168))); then
      echo "it is a private-network address"
    elif ((o1 == 0 || o1 >= 224 || (o1 == 169 && o2 == 254) || (o1 == 100 && o2 >= 64 && o2 < 128))); then
      echo "it is a reserved, link-local or carrier-internal address"
    elif (((o1 == 192 && o2 == 0 && (o3 == 0 || o3 == 2)) || (o1 == 198 && o2 == 51 && o3 == 100) ||
           (o1 == 203 && o2 == 0 && o3 == 113) || (o1 == 198 && (o2 == 18 || o2 == 19)))); then
      echo "it is a documentation or benchmarking address (the build's default?)"
    fi
    return 0
  fi
  [[ $a == *.* ]] || echo "a single-label name resolves only inside a local network"
}

[ -n "$update_host" ] || usage_error "--update-host is required"
[ -n "$game_server" ] || usage_error "--game-server is required"
well_formed "$update_host" || fail "update host '$update_host' is not a host name or dotted IPv4 address"
well_formed "$game_server" || fail "game server '$game_server' is not a host name or dotted IPv4 address"
if [ $trial = 0 ]; then
  for setting in "update host:$update_host" "game server:$game_server"; do
    reason=$(why_not_for_players "${setting#*:}")
    [ -z "$reason" ] || fail "refusing ${setting%%:*} '${setting#*:}': $reason." \
      "Give the production value, or --trial for a build that must never reach players."
  done
fi

if [ $unsigned = 1 ]; then
  [ -z "$pkcs12$password_file$timestamp_url" ] || usage_error "--unsigned does not go with signing options"
else
  if [ -z "$pkcs12" ] || [ -z "$password_file" ]; then
    fail "no signing material. Give the team's code-signing certificate and key as a PKCS#12 file" \
      "(--pkcs12 FILE) and its password in a file (--password-file FILE); see 'Shipping the launcher'" \
      "in deploy/README.md. For an unsigned trial build, pass --unsigned instead."
  fi
  for f in "$pkcs12" "$password_file" "$ca_file" "$tsa_ca_file"; do
    [ -r "$f" ] || fail "cannot read '$f'"
  done
  case $timestamp_url in ""|http://*|https://*) ;; *) usage_error "--timestamp-url must be an http(s) URL" ;; esac
fi

# A launcher without a key installs whatever the update host serves; that must be a decision, not a slip.
((${#manifest_keys[@]} <= 2)) || usage_error "at most two --manifest-key (the old and the new key while rotating)"
if ((${#manifest_keys[@]} > 0)) && [ $unsigned_manifests = 1 ]; then
  usage_error "--manifest-key and --unsigned-manifests contradict each other"
fi
if ((${#manifest_keys[@]} == 0)) && [ $unsigned_manifests = 0 ] && [ $trial = 0 ]; then
  fail "no --manifest-key: a launcher built without one installs whatever the update host, a CDN or anyone who" \
    "can write the served folder puts in a manifest. Give the team's FILE.pub (orvane-publish keygen), or" \
    "--unsigned-manifests to build such a launcher deliberately; see 'Signed manifests' in deploy/README.md."
fi

# A serial is a whole number below 2^64, written as the publisher writes it.
serial_ok() {
  [[ $1 =~ ^(0|[1-9][0-9]{0,19})$ ]] && { ((${#1} < 20)) || [[ $1 < 18446744073709551616 ]]; }
}
if [ -n "$manifest_floor" ] && [ -n "$floor_from" ]; then
  usage_error "--manifest-floor and --manifest-floor-from contradict each other"
fi
if [ -n "$manifest_floor$floor_from" ] && ((${#manifest_keys[@]} == 0)); then
  usage_error "a manifest floor needs --manifest-key: only signed manifests carry a serial"
fi
[ -z "$manifest_floor" ] || serial_ok "$manifest_floor" || usage_error "--manifest-floor '$manifest_floor' is not a serial"
[ -z "$floor_from" ] || [ -d "$floor_from" ] || fail "--manifest-floor-from: no served folder '$floor_from'"

# Emptying a folder someone named by mistake (their home, /) would be a disaster: only ever empty one
# that is empty already or holds a CMake build.
if [ -e "$build" ] && [ -n "$(ls -A "$build")" ] && [ ! -f "$build/CMakeCache.txt" ]; then
  fail "build folder '$build' is neither empty nor a CMake build folder; name another with --build-dir"
fi

# An earlier release left in the output folder must not pass for the result of a run that fails.
for artifact in OrvaneLauncher.exe OrvaneLauncher-TRIAL.exe OrvaneLauncher-UNSIGNED-TRIAL.exe SHA256SUMS; do
  rm -f "$out/$artifact"
done

"$root/tools/install-deps.sh"
rm -rf "$build"
if [ -n "$floor_from" ]; then
  # The publisher reads the history (build-publisher/, as tools/build-publisher.sh makes it, unless
  # ORVANE_PUBLISHER names one already built).
  publisher=${ORVANE_PUBLISHER:-}
  if [ -z "$publisher" ]; then
    "$root/tools/build-publisher.sh" "$root/build-publisher" >/dev/null
    publisher=$root/build-publisher/orvane-publish
  fi
  history=$("$publisher" history --served "$floor_from" --json) ||
    fail "--manifest-floor-from: cannot read the history of '$floor_from'"
  manifest_floor=$(python3 -c 'import json, sys; print(max([v.get("serial", 0) for v in json.load(sys.stdin)] + [0]))' \
    <<<"$history") || fail "--manifest-floor-from: the history of '$floor_from' is not understood"
  [ "$manifest_floor" != 0 ] || fail "--manifest-floor-from: '$floor_from' records no signed version"
  echo "manifest floor from $floor_from: $manifest_floor"
fi
keys_setting=$(IFS=';'; echo "${manifest_keys[*]}")
ORVANE_BUILD_DIR=$build "$root/tools/build.sh" -DUpdateServerHost="$update_host" \
  -DGameServerAddress="$game_server" -DManifestPublicKeys="$keys_setting" -DManifestMinimumSerial="${manifest_floor:-0}" \
  -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_BENCH=OFF
exe=$build/OrvaneLauncher.exe

# Searches the exe's bytes. "wide TEXT": TEXT as UTF-16LE; "wide0 TEXT": the same with its
# terminating zero, i.e. a whole string literal; "ascii TEXT": as bytes; "any TEXT": either encoding,
# ignoring case.
contains() {
  python3 - "$exe" "$@" <<'EOF'
import re, sys
data, mode, text = open(sys.argv[1], 'rb').read(), sys.argv[2], sys.argv[3]
if mode == 'ascii':
    found = text.encode('ascii') in data
elif mode == 'any':
    found = any(re.search(re.escape(text.encode(e)), data, re.IGNORECASE) for e in ('utf-16-le', 'ascii'))
else:
    found = (text + ('\0' if mode == 'wide0' else '')).encode('utf-16-le') in data
sys.exit(0 if found else 1)
EOF
}

objdump=x86_64-w64-mingw32-objdump
headers=$($objdump -p "$exe")
grep -q 'file format pei-x86-64' <<<"$headers" || fail "$exe is not a 64-bit PE file"
grep -Eq '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)' <<<"$headers" || fail "$exe is not PE32+"
grep -Eq '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)' <<<"$headers" ||
  fail "$exe is not a Windows GUI program"
# A player's machine has only Windows' own DLLs; anything else (libstdc++, libgcc, libwinpthread)
# means the static link broke and the launcher would not even start.
system_dlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll winhttp.dll bcrypt.dll"
system_dlls+=" crypt32.dll advapi32.dll shell32.dll shlwapi.dll ole32.dll oleaut32.dll uxtheme.dll"
system_dlls+=" version.dll ws2_32.dll msvcrt.dll ntdll.dll "
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$dlls" ] || fail "$exe imports no DLL at all; objdump output not understood"
for dll in $dlls; do
  [[ $system_dlls == *" ${dll,,} "* ]] || fail "$exe imports $dll, which is not a Windows system DLL"
done
contains wide0 "$update_host" || fail "$exe does not hold the update host '$update_host'"
contains wide0 "https://$update_host" || fail "$exe does not hold the account service https://$update_host"
contains wide " $game_server:7777" || fail "$exe does not hold the game server '$game_server'"
for key in "${manifest_keys[@]}"; do
  contains ascii "$key" || fail "$exe does not hold the manifest key $key"
done
if [ "$update_host" != localhost ] && [ "$game_server" != localhost ] && contains any localhost; then
  fail "$exe mentions the test host localhost, which is neither its update host nor its game server"
fi

if [ $unsigned = 1 ]; then
  name=OrvaneLauncher-UNSIGNED-TRIAL.exe
  result=$exe
  signature="none (unsigned trial build)"
else
  # A signed trial exe verifies like a release: only its name can keep it from players.
  name=OrvaneLauncher.exe
  [ $trial = 0 ] || name=OrvaneLauncher-TRIAL.exe
  signed=$build/signed/$name
  result=$signed
  mkdir -p "$build/signed"
  timestamp_options=()
  [ -z "$timestamp_url" ] || timestamp_options=(-ts "$timestamp_url")
  # The password travels in a file: on the command line every user of the machine could read it.
  # osslsigncode takes the whole file for the password, so it is given the first line alone.
  secret=$(umask 077 && mktemp)
  trap 'rm -f "$secret"' EXIT
  IFS= read -r password <"$password_file" || true
  printf '%s' "${password%$'\r'}" >"$secret"
  unset password
  if ! log=$(osslsigncode sign -pkcs12 "$pkcs12" -readpass "$secret" -h sha256 \
      -n "Orvane Launcher" "${timestamp_options[@]}" -in "$exe" -out "$signed" 2>&1); then
    printf '%s\n' "$log" >&2
    fail "signing failed (wrong password, not a PKCS#12 file, or the time-stamp server did not answer?)"
  fi
  if ! log=$(osslsigncode verify -CAfile "$ca_file" -TSA-CAfile "$tsa_ca_file" -in "$signed" 2>&1); then
    printf '%s\n' "$log" >&2
    case $log in
      *"certificate has expired"*) reason="the signing certificate has expired" ;;
      *"certificate is not yet valid"*) reason="the signing certificate is not valid yet" ;;
      *"Unsupported Signer's certificate purpose"*|*"unsupported certificate purpose"*)
        reason="wrong usage: the certificate is not one for code signing" ;;
      *"unable to get local issuer certificate"*|*"unable to get issuer certificate"*|*"self"?"signed certificate"*)
        reason="unknown issuer: $ca_file does not lead to the authority that issued it (intermediates missing?)" ;;
      *) reason="see osslsigncode's output above" ;;
    esac
    fail "the signed exe does not verify against $ca_file: $reason"
  fi
  # osslsigncode falls back to checking the certificate at today's date when the time-stamp does not
  # verify, and still succeeds; a signature meant to outlive its certificate needs the time-stamp.
  if [ -n "$timestamp_url" ] && ! grep -q '^Timestamp Server Signature verification: ok' <<<"$log"; then
    printf '%s\n' "$log" >&2
    fail "the time-stamp from $timestamp_url does not verify against $tsa_ca_file"
  fi
  signer=$(sed -n '/^[[:space:]]*Subject: /{s///p;q}' <<<"$log")
  signature="Authenticode SHA-256 by ${signer:-?}, ${timestamp_url:+time-stamped by $timestamp_url}"
  signature=${signature%, }
fi

mkdir -p "$out"
cp "$result" "$out/$name"
(cd "$out" && sha256sum "$name" >SHA256SUMS)

if ((${#manifest_keys[@]} > 0)); then
  manifests="signed: the launcher accepts only manifests signed by ${#manifest_keys[@]} key(s): ${manifest_keys[*]}"
  manifests+=", with a serial of at least ${manifest_floor:-0}"
else
  manifests="NOT signed: the launcher trusts whatever the update host serves over TLS"
fi
revision=$(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown)
kind="release"
[ $trial = 0 ] || kind="TRIAL build (test hosts allowed; never give it to players)"
[ $unsigned = 0 ] || kind="UNSIGNED $kind"
cat <<EOF
$kind from $revision
  update host:  $update_host (account service https://$update_host)
  game server:  $game_server
  signature:    $signature
  manifests:    $manifests
  $out/$name
  $out/SHA256SUMS: $(cut -d' ' -f1 "$out/SHA256SUMS")
EOF
