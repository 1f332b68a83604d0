#!/usr/bin/env bash
# Runs JmsPeer.java, a JMS client over OpenWire, against a broker. The class
# is compiled once per source version into ${MQB_VAR:-<repo>/var}/interop/.
#   jms-peer.sh send-text tcp://127.0.0.1:PORT QUEUE TEXT [--correlation-id ID] [--persistent]
#   jms-peer.sh receive tcp://127.0.0.1:PORT QUEUE [--timeout-ms N]
#   jms-peer.sh request tcp://127.0.0.1:PORT QUEUE REPLYQUEUE TEXT [--timeout-ms N]
# (more in the usage text: jms-peer.sh --help). Exit: 0 ok, 1 failure, 2 timeout, 3 usage.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
var="${MQB_VAR:-$root/var}"
source_file="$here/JmsPeer.java"

source "$root/scripts/jms-java.sh"
jms_compile jms-peer "$source_file" "$var/interop"

exec java -Xmx128m -XX:+UseSerialGC -XX:TieredStopAtLevel=1 -cp "$jms_classes:$jms_classpath" JmsPeer "$@"
