#!/usr/bin/env bash
# The Debian packages, as an operator meets them: built with cpack, their
# file lists checked, lintian, installed with dpkg -i, the unit's sandbox
# rated by systemd-analyze security (2.5 at most), the alerting rules and the
# dashboard's queries checked with promtool, the installed service started
# the way its systemd unit starts it (user, working directory, umask,
# command, no capabilities, its system call filter and the other seccomp
# settings rebuilt from the unit, a notify socket) against a test broker, a
# deposit sent with the installed mqbridge-send, its /metrics linted by
# promtool, then removed with dpkg -r and purged.
#
# Without systemd as PID 1 (a container) the unit itself cannot be started:
# the seccomp part of its sandbox (SystemCallFilter=, MemoryDenyWriteExecute=,
# RestrictAddressFamilies=, SystemCallArchitectures=) is rebuilt here with
# libseccomp from the installed unit file and the call groups systemd-analyze
# lists, refusing with SIGSYS where the unit says EPERM, so that a refused
# call cannot go unnoticed. The mount, user and /proc settings are not
# rebuilt; systemd-analyze verify checks that the unit parses.
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
listener_pid=""
user_existed=0
getent passwd mqbridge >/dev/null && user_existed=1
cleanup() {
  [[ -n $service_pid ]] && kill -KILL "$service_pid" 2>/dev/null || true
  [[ -n $listener_pid ]] && kill -KILL "$listener_pid" 2>/dev/null || true
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
  usr/share/doc/mqbridge/copyright usr/share/man/man1/mqbridge.1.gz usr/share/man/man1/mqbridge-send.1.gz \
  usr/share/mqbridge/mqbridge-alerts.yml usr/share/mqbridge/mqbridge-dashboard.json
if [[ -f $build/bin/mqbridge-journal ]] || grep -q "mqbridge-journal" "$root/tools/CMakeLists.txt"; then
  has "$service_deb" usr/bin/mqbridge-journal usr/share/man/man1/mqbridge-journal.1.gz
fi
has "$tradesim_deb" usr/lib/mqbridge/libs/MT5APIManager64.so usr/bin/tradesim usr/share/doc/mqbridge-tradesim/copyright
dpkg-deb -c "$service_deb" | grep -q "MT5APIManager64" && fail "the service's package carries a Manager API library"
dpkg-deb -c "$service_deb" | grep -F "./etc/mqbridge/config.ini" | grep -q "^-rw-r----- " ||
  fail "config.ini is readable by others"
dpkg-deb -f "$service_deb" Depends | grep -q "libsystemd0" || fail "no dependency on libsystemd0"
dpkg-deb -f "$service_deb" Depends | grep -q "adduser" || fail "no dependency on adduser"
dpkg-deb --ctrl-tarfile "$service_deb" | tar -t | grep -qx "./conffiles" || fail "no conffiles"

echo "== lintian"
if command -v lintian >/dev/null; then
  # Errors and warnings fail; the overrides the package ships say why each is there.
  lintian --fail-on error,warning "$service_deb" "$tradesim_deb" >"$work/lintian.out" 2>&1 ||
    fail "lintian: $(grep -v "running with root privileges" "$work/lintian.out")"
else
  echo "package-test: lintian not run: not installed (apt-get install lintian)"
fi

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

echo "== the unit's sandbox"
# --offline rates a unit file without a running systemd (systemd 250 on).
if ! command -v systemd-analyze >/dev/null; then
  echo "package-test: exposure not rated: no systemd-analyze (apt-get install systemd)"
elif ! systemd-analyze security --help 2>&1 | grep -q -- "--offline"; then
  echo "package-test: exposure not rated: systemd-analyze $(systemd-analyze --version | head -n 1) has no --offline"
else
  systemd-analyze security --offline=yes "$unit" >"$work/security.out" 2>&1 || true
  exposure=$(sed -n 's/.*Overall exposure level for mqbridge.service: \([0-9.]*\).*/\1/p' "$work/security.out")
  [[ -n $exposure ]] || fail "systemd-analyze security: $(cat "$work/security.out")"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' ||
    fail "the unit's exposure is $exposure, above 2.5: $(grep "✗" "$work/security.out")"
  echo "exposure $exposure"
fi

echo "== alerting rules and dashboard"
rules=/usr/share/mqbridge/mqbridge-alerts.yml
dashboard=/usr/share/mqbridge/mqbridge-dashboard.json
have_promtool=0
if command -v promtool >/dev/null; then
  have_promtool=1
  mkdir "$work/promtool"
  promtool check rules "$rules" >"$work/promtool.out" 2>&1 || fail "promtool check rules: $(cat "$work/promtool.out")"
  # The unit tests from the source tree, run against the installed rules.
  cp "$rules" "$root/scripts/packaging/monitoring/mqbridge-alerts.test.yml" "$work/promtool/"
  promtool test rules "$work/promtool/mqbridge-alerts.test.yml" >"$work/promtool.out" 2>&1 ||
    fail "promtool test rules: $(cat "$work/promtool.out")"
  # Each query of the dashboard, its variables filled in, as a recording
  # rule: promtool parses them.
  /usr/bin/python3 - "$dashboard" "$work/promtool/dashboard-queries.yml" <<'PY' || fail "dashboard: not valid JSON"
import json, sys
dashboard = json.load(open(sys.argv[1]))
exprs = []
def walk(panels):
    for panel in panels:
        exprs.extend(t["expr"] for t in panel.get("targets", []) if t.get("expr"))
        walk(panel.get("panels", []))
walk(dashboard["panels"])
exprs += [v["query"]["query"] for v in dashboard["templating"]["list"] if v.get("type") == "query"]
with open(sys.argv[2], "w") as out:
    out.write("groups:\n  - name: dashboard\n    rules:\n")
    for i, expr in enumerate(exprs):
        if expr.startswith("label_values("):  # a Grafana function: its selector is the query
            inner = expr[len("label_values("):expr.rindex(",")]
            expr = inner
        expr = expr.replace("$__rate_interval", "5m").replace("$instance", ".*").replace("$queue", ".*")
        out.write(f"      - record: dashboard:query{i}\n        expr: {json.dumps(expr)}\n")
print(len(exprs), "dashboard queries", file=sys.stderr)
PY
  promtool check rules "$work/promtool/dashboard-queries.yml" >"$work/promtool.out" 2>&1 ||
    fail "a dashboard query does not parse: $(cat "$work/promtool.out")"
else
  echo "package-test: promtool checks not run: no promtool (apt-get install prometheus)"
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
umask_of_unit=$(sed -n 's/^UMask=//p' "$unit")
as_service() { (cd "$run_dir" && setpriv --reuid="$user" --regid="$user" --init-groups "$@"); }
as_service env TRADESIM_DB=tradesim.db tradesim init --server 127.0.0.1:443 --manager 1005 --password pkg-manager >/dev/null
as_service env TRADESIM_DB=tradesim.db tradesim account add --login 20001 --balance 1000 >/dev/null

# The seccomp settings of the unit, rebuilt: sandbox.py UNIT COMMAND...
# loads them and runs COMMAND (readable by the service's user).
chmod 0711 "$work"
mkdir -m 0755 "$work/sandbox"
cat >"$work/sandbox/sandbox.py" <<'PY'
import errno, os, socket, subprocess, sys
import seccomp

unit, command = sys.argv[1], sys.argv[2:]
settings = {}
for line in open(unit):
    line = line.strip()
    if line and line[0] not in "#;[" and "=" in line:
        key, value = line.split("=", 1)
        settings.setdefault(key, []).append(value)

def yes(key):
    return settings.get(key, ["no"])[-1] in ("yes", "true", "1", "on")

# The call groups as systemd defines them: "@group" lines, members indented.
groups, group = {}, None
listing = subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True, text=True, check=True).stdout
for line in listing.splitlines():
    if line.startswith("@"):
        group = groups.setdefault(line.strip(), [])
    elif line.startswith(" ") and not line.strip().startswith("#") and group is not None:
        group.append(line.strip())

def calls(name):
    return set().union(*(calls(m) for m in groups[name])) if name.startswith("@") else {name}

allowed = None
for value in settings.get("SystemCallFilter", []):
    if not value:
        allowed = None
        continue
    refused = value.startswith("~")
    names = set().union(*(calls(n) for n in value.lstrip("~").split()))
    if allowed is None:
        if refused:
            sys.exit("sandbox.py: a deny-list SystemCallFilter= is not rebuilt here")
        allowed = set()
    allowed = allowed - names if refused else allowed | names

filters = []
if yes("MemoryDenyWriteExecute"):
    # As systemd does it: no mapping both writable and executable, no
    # mprotect() to executable, no executable shared memory.
    f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    wx = 0x2 | 0x4  # PROT_WRITE | PROT_EXEC
    f.add_rule(seccomp.ERRNO(errno.EPERM), "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, wx, wx))
    for name in ("mprotect", "pkey_mprotect"):
        f.add_rule(seccomp.ERRNO(errno.EPERM), name, seccomp.Arg(2, seccomp.MASKED_EQ, 0x4, 0x4))
    f.add_rule(seccomp.ERRNO(errno.EPERM), "shmat", seccomp.Arg(2, seccomp.MASKED_EQ, 0o100000, 0o100000))
    filters.append(f)
families = settings.get("RestrictAddressFamilies", [""])[-1].split()
if families:
    keep = {getattr(socket, name) for name in families}
    f = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    for family in range(64):
        if family not in keep:
            f.add_rule(seccomp.ERRNO(errno.EAFNOSUPPORT), "socket", seccomp.Arg(0, seccomp.EQ, family))
    f.add_rule(seccomp.ERRNO(errno.EAFNOSUPPORT), "socket", seccomp.Arg(0, seccomp.GE, 64))
    filters.append(f)
if allowed is not None:
    # Killed, not EPERM: a call the unit refuses ends the test visibly.
    # Only native calls pass (SystemCallArchitectures=native).
    f = seccomp.SyscallFilter(defaction=seccomp.KILL_PROCESS)
    # What systemd always lets through.
    for name in sorted(allowed | {"execve", "exit", "exit_group", "getrlimit", "rt_sigreturn", "sigreturn"}):
        try:
            f.add_rule(seccomp.ALLOW, name)
        except Exception:
            pass  # a call of another architecture
    filters.append(f)  # the last: seccomp() itself is not in it
for f in filters:
    f.load()
os.execv(command[0], command)
PY

# A service manager's notify socket (abstract: no file the service's user
# would need access to), WATCHDOG_USEC as the unit's WatchdogSec sets it.
notify_name="mqbridge-package-test-$$"
: >"$work/notify.log"
/usr/bin/python3 - "$notify_name" "$work/notify.log" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("\0" + sys.argv[1])
with open(sys.argv[2], "a") as log:
    log.write("listening\n")
    log.flush()
    while True:
        log.write(s.recv(65536).decode(errors="replace").replace("\n", " ") + "\n")
        log.flush()
PY
listener_pid=$!
disown "$listener_pid"  # killed at the end, without a word from the shell
for _ in $(seq 1 100); do grep -qx listening "$work/notify.log" && break; sleep 0.05; done
watchdog_sec=$(sed -n 's/^WatchdogSec=//p' "$unit")

sandbox=()
if [[ -n $(sed -n 's/^SystemCallFilter=//p' "$unit") ]]; then
  if /usr/bin/python3 -c "import seccomp" 2>/dev/null; then
    sandbox=(/usr/bin/python3 "$work/sandbox/sandbox.py" "$unit")
  else
    echo "package-test: the unit's seccomp settings not rebuilt: no python3-seccomp (apt-get install python3-seccomp)"
  fi
fi
(cd "$run_dir" && umask "${umask_of_unit:-0022}" &&
  exec setpriv --reuid="$user" --regid="$user" --init-groups --bounding-set=-all --inh-caps=-all \
    env NOTIFY_SOCKET="@$notify_name" WATCHDOG_USEC="$((${watchdog_sec:-30} * 1000000))" \
    "${sandbox[@]}" "$exec_start" </dev/null >"$work/service.out" 2>&1) &
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
grep -q "READY=1" "$work/notify.log" || fail "no READY=1 on the notify socket: $(cat "$work/notify.log")"

reply=$(mqbridge-send --config /etc/mqbridge/config.ini trade \
  '{"serial":"pkg-1","login":20001,"amount":25,"type":1,"comment":"package test"}') || fail "mqbridge-send: $reply"
grep -q '"code":200' <<<"$reply" || fail "reply $reply"
as_service env TRADESIM_DB=tradesim.db tradesim account show 20001 | grep -qx "balance=1025.00" || fail "no deposit"
metrics=$(health /metrics)
grep -qx 'mqbridge_requests_received_total{queue="mqbridge.trade"} 1' <<<"$metrics" || fail "metrics: $metrics"
if ((have_promtool)); then
  tail -n +2 <<<"$metrics" >"$work/metrics.txt"
  promtool check metrics <"$work/metrics.txt" >"$work/promtool.out" 2>&1 ||
    fail "promtool check metrics: $(cat "$work/promtool.out")"
  # Every metric the rules and the dashboard name is served (up is Prometheus's own).
  /usr/bin/python3 - "$work/metrics.txt" "$rules" "$dashboard" <<'PY' || fail "the rules or the dashboard name metrics the service does not serve"
import re, sys
served = set()
for line in open(sys.argv[1]):
    m = re.match(r"# TYPE (\S+) (\S+)", line)
    if m:
        served.add(m.group(1))
        if m.group(2) == "histogram":
            served |= {m.group(1) + s for s in ("_bucket", "_sum", "_count")}
missing = set()
for path in sys.argv[2:]:
    missing |= set(re.findall(r"\b(?:mqbridge|process)_[a-z_]+[a-z]", open(path).read())) - served
for name in sorted(missing):
    print(f"not served: {name}", file=sys.stderr)
sys.exit(1 if missing else 0)
PY
fi
for _ in $(seq 1 50); do grep -q "WATCHDOG=1" "$work/notify.log" && break; sleep 0.1; done
grep -q "WATCHDOG=1" "$work/notify.log" || fail "no WATCHDOG=1 on the notify socket: $(cat "$work/notify.log")"

kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
service_pid=""
((status == 0)) || fail "the service ended with $status: $(cat "$work/service.out")"
grep -q "STOPPING=1" "$work/notify.log" || fail "no STOPPING=1 on the notify socket: $(cat "$work/notify.log")"
kill -KILL "$listener_pid" 2>/dev/null || true
listener_pid=""
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
