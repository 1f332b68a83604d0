#!/usr/bin/env bash
# Runs JmsResponder.java, the echo responder written with ActiveMQ's JMS
# client (OpenWire), for bench/run-throughput.sh. The class is compiled once
# per source version into ${MQB_VAR:-<repo>/var}/bench-jms/.
#   jms-responder.sh sync|txN tcp://127.0.0.1:OPENWIRE_PORT REQUEST=REPLY... [--prefetch N]
#                    [--user U --password P]
# (jms-responder.sh --help for more). Java options: MQB_JMS_JAVA_OPTS
# (default -Xmx256m -XX:+UseSerialGC).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
var="${MQB_VAR:-$root/var}"
source_file="$here/JmsResponder.java"

# ActiveMQ's JMS client from libactivemq-java and what it needs at run time.
classpath=""
for jar in activemq-client geronimo-jms_1.1_spec geronimo-j2ee-management-1.1-spec hawtbuf slf4j-api slf4j-nop; do
  [[ -f /usr/share/java/$jar.jar ]] || { echo "jms-responder: /usr/share/java/$jar.jar is missing; run scripts/setup.sh" >&2; exit 1; }
  classpath+="${classpath:+:}/usr/share/java/$jar.jar"
done

hash=$(sha256sum "$source_file" | cut -c1-16)
classes="$var/bench-jms/jms-responder-$hash"
if [[ ! -f $classes/JmsResponder.class ]]; then
  command -v javac >/dev/null || { echo "jms-responder: javac is missing; run scripts/setup.sh" >&2; exit 1; }
  mkdir -p "$var/bench-jms"
  (
    flock 9
    if [[ ! -f $classes/JmsResponder.class ]]; then
      rm -rf "$classes.tmp" && mkdir -p "$classes.tmp"
      javac -nowarn -d "$classes.tmp" -cp "$classpath" "$source_file" >&2
      rm -rf "$classes" && mv "$classes.tmp" "$classes"
    fi
  ) 9>"$var/bench-jms/jms-responder.lock"
fi

# shellcheck disable=SC2086 # the options are words
exec java ${MQB_JMS_JAVA_OPTS:--Xmx256m -XX:+UseSerialGC} -cp "$classes:$classpath" JmsResponder "$@"
