#!/usr/bin/env bash
# The Debian packages, as an operator meets them: built with cpack, their
# file lists checked, installed with dpkg -i, the installed service started
# the way its systemd unit starts it (user, working directory, command)
# against a test broker, a deposit sent with the installed mqbridge-send,
# then removed with dpkg -r and purged.
#
#   package-test.sh BUILD_DIR     packages from an existing build directory
#   package-test.sh --fresh-clone a clone of the repository's HEAD, built
#                                 from scratch (the slow, CI-like way)
#
# Needs root (dpkg -i); exit status 77 (skipped) without it, or when
# mqbridge is already installed on this machine.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
skip() { echo "package-test: skipped: $*"; exit 77; }
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "dpkg -i needs root"
command -v dpkg-deb >/dev/null || skip "no dpkg"
# One package test at a time on a machine: they install the same packages.
exec 9>/tmp/mqbridge-package-test.lock
flock 9
if dpkg-query -W -f='${Status}' mqbridge 2>/dev/null | grep -q "ok installed"; then
  skip "mqbridge is installed on this machine already"
fi

work="$(mktemp -d /tmp/mqb-package-XXXXXX)"
broker="pkg-$$"
service_pid=""
user_existed=0
getent passwd mqbridge >/dev/null && user_existed=1
cleanup() {
  [[ -n $service_pid ]] && kill -KILL "$service_pid" 2>/dev/null || true
  dpkg --purge mqbridge mqbridge-tradesim >/dev/null 2>&1 || true
  if ((!user_existed)); then  # what this test made, it takes away
    deluser --system --quiet mqbridge >/dev/null 2>&1 || true
    delgroup --system --quiet mqbridge >/dev/null 2>&1 || true
    rm -rf /var/lib/mqbridge
  fi
  "$root/scripts/broker.sh" purge "$broker" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

if [[ ${1:-} == --fresh-clone ]]; then
  echo "== fresh clone and build"
  git clone -q "$root" "$work/src"
  cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    -DMQB_PARTS="support;messages;host;manager;stomp;tradesim;bus;tools" >/dev/null
  targets=(mqbridge mqbridge-send tradesim tradesim_manager_api)
  grep -q "mqbridge-journal" "$work/src/tools/CMakeLists.txt" && targets+=(mqbridge-journal)
  cmake --build "$work/build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
  build="$work/build"
else
  build="$(cd "${1:?usage: package-test.sh BUILD_DIR | --fresh-clone}" && pwd)"
fi

echo "== cpack"
(cd "$build" && cpack -G DEB -B "$work/packages" >/dev/null)
service_deb=$(ls "$work"/packages/mqbridge_*.deb)
tradesim_deb=$(ls "$work"/packages/mqbridge-tradesim_*.deb)

echo "== file lists"
has() { # deb, path...
  local deb=$1 list; shift
  list=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do grep -qxF "./$path" <<<"$list" || fail "$(basename "$deb") lacks $path"; done
}
has "$service_deb" usr/lib/mqbridge/mqbridge usr/bin/mqbridge usr/bin/mqbridge-send \
  usr/lib/systemd/system/mqbridge.service etc/mqbridge/config.ini usr/share/doc/mqbridge/README.md \
  usr/share/doc/mqbridge/copyright
if [[ -f $build/bin/mqbridge-journal ]] || grep -q "mqbridge-journal" "$root/tools/CMakeLists.txt"; then
  has "$service_deb" usr/bin/mqbridge-journal
fi
has "$tradesim_deb" usr/lib/mqbridge/libs/MT5APIManager64.so usr/bin/tradesim usr/share/doc/mqbridge-tradesim/copyright
dpkg-deb -c "$service_deb" | grep -q "MT5APIManager64" && fail "the service's package carries a Manager API library"
dpkg-deb -c "$service_deb" | grep -F "./etc/mqbridge/config.ini" | grep -q "^-rw-r----- " ||
  fail "config.ini is readable by others"
dpkg-deb -f "$service_deb" Depends | grep -q "libsystemd0" || fail "no dependency on libsystemd0"
dpkg-deb -f "$service_deb" Depends | grep -q "adduser" || fail "no dependency on adduser"
dpkg-deb --ctrl-tarfile "$service_deb" | tar -t | grep -qx "./conffiles" || fail "no conffiles"

echo "== dpkg -i"
dpkg -i "$service_deb" "$tradesim_deb" >/dev/null
getent passwd mqbridge >/dev/null || fail "no user mqbridge"
[[ $(stat -c '%a %U:%G' /etc/mqbridge/config.ini) == "640 root:mqbridge" ]] ||
  fail "config.ini is $(stat -c '%a %U:%G' /etc/mqbridge/config.ini)"
[[ $(readlink /var/lib/mqbridge/run/config.ini) == /etc/mqbridge/config.ini ]] || fail "no config.ini link"
[[ $(readlink /var/lib/mqbridge/log) == /var/log/mqbridge ]] || fail "no log link"
unit=/usr/lib/systemd/system/mqbridge.service
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
fi

echo "== the installed service against a test broker"
envfile=$("$root/scripts/broker.sh" start "$broker" --owner $$ | tail -n 1)
# shellcheck disable=SC1090
source "$envfile"
metrics_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# The example configuration with this broker and port, as an operator edits it.
sed -i -e "s|\"brokerURI\": \".*\"|\"brokerURI\": \"tcp://127.0.0.1:$STOMP_PORT\"|" \
  -e "s|\"metricsAddress\": \".*\"|\"metricsAddress\": \"127.0.0.1:$metrics_port\"|" \
  -e "s|\"password\": \"change-me\"|\"password\": \"pkg-manager\"|" /etc/mqbridge/config.ini
run_dir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
user=$(sed -n 's/^User=//p' "$unit")
as_service() { (cd "$run_dir" && setpriv --reuid="$user" --regid="$user" --init-groups "$@"); }
as_service env TRADESIM_DB=tradesim.db tradesim init --server 127.0.0.1:443 --manager 1005 --password pkg-manager >/dev/null
as_service env TRADESIM_DB=tradesim.db tradesim account add --login 20001 --balance 1000 >/dev/null
(cd "$run_dir" && exec setpriv --reuid="$user" --regid="$user" --init-groups "$exec_start" \
  </dev/null >"$work/service.out" 2>&1) &
service_pid=$!
health() { python3 - "$metrics_port" "$1" <<'PY'
import sys, urllib.request, urllib.error
try:
    with urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}{sys.argv[2]}", timeout=5) as r:
        print(r.status); print(r.read().decode())
except urllib.error.HTTPError as e:
    print(e.code); print(e.read().decode())
except OSError:
    print(0)
PY
}
status_of() { local out; out=$(health "$1"); echo "${out%%$'\n'*}"; }
for _ in $(seq 1 300); do
  [[ $(status_of /health) == 200 ]] && break
  kill -0 "$service_pid" 2>/dev/null || fail "the service ended: $(cat "$work/service.out")"
  sleep 0.1
done
[[ $(status_of /health) == 200 ]] || fail "no healthy service: $(cat "$work/service.out")"

reply=$(mqbridge-send --config /etc/mqbridge/config.ini trade \
  '{"serial":"pkg-1","login":20001,"amount":25,"type":1,"comment":"package test"}') || fail "mqbridge-send: $reply"
grep -q '"code":200' <<<"$reply" || fail "reply $reply"
as_service env TRADESIM_DB=tradesim.db tradesim account show 20001 | grep -qx "balance=1025.00" || fail "no deposit"
metrics=$(health /metrics)
grep -qx 'mqbridge_requests_received_total{queue="mqbridge.trade"} 1' <<<"$metrics" || fail "metrics: $metrics"

kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
service_pid=""
((status == 0)) || fail "the service ended with $status: $(cat "$work/service.out")"
grep -q "init success" /var/log/mqbridge/log-*.log || fail "no daily log in /var/log/mqbridge"

echo "== dpkg -r"
dpkg -r mqbridge-tradesim mqbridge >/dev/null
for gone in /usr/lib/mqbridge/mqbridge /usr/bin/mqbridge-send /usr/bin/tradesim "$unit" \
  /usr/lib/mqbridge/libs/MT5APIManager64.so /var/lib/mqbridge/run/config.ini; do
  [[ ! -e $gone && ! -L $gone ]] || fail "$gone is still there after dpkg -r"
done
[[ -f /etc/mqbridge/config.ini ]] || fail "dpkg -r took the edited configuration"
dpkg --purge mqbridge >/dev/null  # the library package has no conffiles: gone with -r
[[ ! -e /etc/mqbridge/config.ini && ! -e /var/log/mqbridge ]] || fail "purge left the configuration or the logs"
echo "package-test: passed"
