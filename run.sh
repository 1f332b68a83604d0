#!/usr/bin/env bash
# Runs the service on this machine with a local broker and a demo trading
# server: installs what is missing, builds, starts the broker "demo", creates
# run/tradesim.db and run/config.ini when missing, then runs mqbridge at its
# prompt in run/ (its daily log goes to log/). Type 1 and a key to stop it.
set -euo pipefail
cd "$(dirname "$0")"
root="$(pwd)"
run="$root/run"
marker="// Demo configuration written by run.sh; remove this line to keep your edits."

./scripts/setup.sh

echo "== build"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target mqbridge mqbridge-send tradesim

echo "== broker"
envfile=$(scripts/broker.sh start demo | tail -n 1)
# shellcheck disable=SC1090
source "$envfile"
echo "broker demo: STOMP on 127.0.0.1:$STOMP_PORT, OpenWire on 127.0.0.1:$OPENWIRE_PORT"

mkdir -p "$run"
export TRADESIM_DB="$run/tradesim.db"
tradesim="$root/build/tradesim/tradesim"
if [[ ! -f $TRADESIM_DB ]]; then
  echo "== demo trading server database $TRADESIM_DB"
  "$tradesim" init --server 127.0.0.1:443 --manager 1005 --password demo-manager
  "$tradesim" account add --login 20001 --name "Demo One" --group demo --balance 1000
  "$tradesim" account add --login 20002 --name "Demo Two" --group demo --balance 500 --credit 100
fi

# A configuration written here is rewritten on every run (the broker's port
# may change); one without the marker line is the user's and stays as it is.
if [[ ! -f $run/config.ini ]] || grep -qxF "$marker" "$run/config.ini"; then
  cat >"$run/config.ini" <<CONFIG
$marker
{
  "server": "127.0.0.1:443",
  "login": 1005,
  "password": "demo-manager",
  "activeMqName": "",
  "activeMqPassword": "",
  "brokerURI": "tcp://127.0.0.1:$STOMP_PORT",
  "userRecordCreate": "mqbridge.user.create",
  "userRecordUpdate": "mqbridge.user.update",
  "userRecordPasswordUpdate": "mqbridge.user.password",
  "tradeTransInfo": "mqbridge.trade",
  "userRecordCreateCallback": "mqbridge.user.create.reply",
  "userRecordUpdateCallback": "mqbridge.user.update.reply",
  "userRecordPasswordUpdateCallback": "mqbridge.user.password.reply",
  "tradeTransInfoCallback": "mqbridge.trade.reply",
  "tradeCancellationCreditTransInfo": "creditCancel"
}
CONFIG
fi

echo "== mqbridge in $run (stop: type 1, then any key)"
cd "$run"
exec "$root/build/bin/mqbridge"
