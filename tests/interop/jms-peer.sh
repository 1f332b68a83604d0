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

# ActiveMQ's JMS client from libactivemq-java and what it needs at run time.
classpath=""
for jar in activemq-client geronimo-jms_1.1_spec geronimo-j2ee-management-1.1-spec hawtbuf slf4j-api slf4j-nop; do
  [[ -f /usr/share/java/$jar.jar ]] || { echo "jms-peer: /usr/share/java/$jar.jar is missing; run scripts/setup.sh" >&2; exit 1; }
  classpath+="${classpath:+:}/usr/share/java/$jar.jar"
done

hash=$(sha256sum "$source_file" | cut -c1-16)
classes="$var/interop/jms-peer-$hash"
if [[ ! -f $classes/JmsPeer.class ]]; then
  command -v javac >/dev/null || { echo "jms-peer: javac is missing; run scripts/setup.sh" >&2; exit 1; }
  mkdir -p "$var/interop"
  (
    flock 9
    if [[ ! -f $classes/JmsPeer.class ]]; then
      rm -rf "$classes.tmp" && mkdir -p "$classes.tmp"
      javac -nowarn -d "$classes.tmp" -cp "$classpath" "$source_file" >&2
      rm -rf "$classes" && mv "$classes.tmp" "$classes"
    fi
  ) 9>"$var/interop/jms-peer.lock"
fi

exec java -Xmx128m -XX:+UseSerialGC -XX:TieredStopAtLevel=1 -cp "$classes:$classpath" JmsPeer "$@"
