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

source "$root/scripts/jms-java.sh"
jms_compile jms-responder "$source_file" "$var/bench-jms"

# shellcheck disable=SC2086 # the options are words
exec java ${MQB_JMS_JAVA_OPTS:--Xmx256m -XX:+UseSerialGC} -cp "$jms_classes:$jms_classpath" JmsResponder "$@"
