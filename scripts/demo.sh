#!/usr/bin/env bash
# The main job on a fresh machine: sets up, builds, starts the real KestrixSvc as systemd would (in an isolated
# root, so the machine is left untouched) and drives it through its command channel with kestrixctl.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target KestrixSvc kestrixctl kestrix-notify-run

bin=build/default
root=$(mktemp -d /tmp/kestrix-demo-XXXXXX)
chmod 0755 "$root"
export KESTRIX_ROOT=$root
ctl() { echo "\$ kestrixctl $*"; "$bin/kestrixctl" "$@" || echo "(exit code $?)"; echo; }

cleanup() {
  [ -n "${harness:-}" ] && kill -TERM "$harness" 2>/dev/null && wait "$harness" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

echo "== Kestrix demo in $root"
echo
# The installer's part: the service key and the catalogue address.
"$bin/kestrixctl" reg add 'HKLM\SYSTEM\CurrentControlSet\Services\KestrixSvc' /v FwURL /t REG_SZ \
  /d 'http://127.0.0.1/catalogue/kestrix.ini' /noterm /f >/dev/null

ctl --timeout 2 info 0

echo "== starting KestrixSvc under a notify harness (as systemd starts a Type=notify unit)"
"$bin/kestrix-notify-run" --ready-file "$root/ready" -- "$bin/KestrixSvc" &
harness=$!
for _ in $(seq 100); do [ -f "$root/ready" ] && break; sleep 0.1; done
[ -f "$root/ready" ] || { echo "the service did not come up"; exit 1; }
echo

ctl language 7
ctl reg query 'HKLM\SYSTEM\CurrentControlSet\Services\KestrixSvc'
ctl list
ctl --json info 0
echo "firmware image" > "$root/image.bin"
ctl move "$root/image.bin" "$root/image-moved.bin"
ctl --json move "$root/image.bin" "$root/image-moved.bin"
ctl move --delay "$root/image-moved.bin"
ctl reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations
ctl schedule --app 'kxboot.exe /fw SC61.bin' --serial WD-WX11A --current-rev SC60 --new-rev SC61 --model ST1000DM010
ctl reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' /v BootExecute
echo "# a command 243 whose size is wrong: the service answers status 1 and leaves the rest as sent"
ctl raw --hex 'f3000000 00000000 10000000 deadbeef'

echo "== stopping the service"
kill -TERM "$harness"
wait "$harness" && echo "KestrixSvc exited with 0"
harness=
echo
ctl --timeout 2 info 0
echo "== starting it again: the boot-time schedule is undone at every start"
"$bin/kestrix-notify-run" --quiet --ready-file "$root/ready2" -- "$bin/KestrixSvc" &
harness=$!
for _ in $(seq 100); do [ -f "$root/ready2" ] && break; sleep 0.1; done
ctl reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' /v BootExecute
