#!/usr/bin/env bash
# Checks the broker script and the two interop peers against real brokers.
#   interop-test.sh peers      JMS and STOMP peers, message type mapping, TLS
#   interop-test.sh auth       a broker started with --auth
#   interop-test.sh lifecycle  start/stop/kill/restart/owner watch, persistence
# Every failed check is reported; the exit status is 1 when any failed.
set -uo pipefail
# Everything sits in one block, which bash reads whole before running it:
# a script edited while it runs cannot then run half old, half new.
{

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
broker="$root/scripts/broker.sh"
jms="$here/jms-peer.sh"
stomp="$here/stomp_peer.py"
failures=0
instances=()

check() { # description, command...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# Exited processes count as gone even before they are reaped.
gone() { [[ ! -e /proc/$1/stat || $(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) == Z* ]]; }
contains() { [[ $1 == *"$2"* ]]; }
lacks() { [[ $1 != *"$2"* ]]; }
status_is() { # expected, command... (output discarded)
  local expected=$1 rc=0; shift
  "$@" >/dev/null 2>&1 || rc=$?
  [[ $rc == "$expected" ]] || { echo "     '$*' exited $rc, expected $expected" >&2; return 1; }
}
# The headers block of the Nth message (1-based) in stomp_peer.py receive output.
headers_of() { awk -v n="$2" '/^MESSAGE$/ {m++; h=1; next} h && /^$/ {h=0} m==n && h' <<<"$1"; }

# The lifecycle test runs its brokers in a var directory of its own, so that
# its stopall cannot touch brokers of tests running beside it.
broker_var=""
run_broker() {
  if [[ -n $broker_var ]]; then MQB_VAR="$broker_var" "$broker" "$@"; else "$broker" "$@"; fi
}

start_broker() { # name, extra args... -> sources the env file
  local name="$1-$$" envf; shift
  instances+=("$name")
  run_broker purge "$name" 2>/dev/null
  envf=$(run_broker start "$name" --owner $$ "$@") || { echo "FAIL starting broker $name"; exit 1; }
  # shellcheck disable=SC1090
  source "$envf"
}
cleanup() {
  for n in "${instances[@]}"; do run_broker purge "$n" 2>/dev/null; done
  [[ -n $broker_var ]] && rm -rf "$broker_var"
}
trap cleanup EXIT

test_peers() {
  start_broker peers
  local ow="tcp://127.0.0.1:$OPENWIRE_PORT" out
  local host=(127.0.0.1 "$STOMP_PORT")

  # The JMS peer talks to itself over OpenWire.
  "$jms" send-text "$ow" jms.q 'plain text {"a":1}' --correlation-id corr-1 --persistent >/dev/null
  out=$("$jms" receive "$ow" jms.q --timeout-ms 5000)
  check "jms: TextMessage round trip" contains "$out" $'TextMessage plain text {"a":1}\nJMSCorrelationID corr-1\nJMSDeliveryMode PERSISTENT'
  check "jms: receive on an empty queue times out with status 2" status_is 2 "$jms" receive "$ow" jms.q --timeout-ms 300
  check "jms: usage error gives status 3" status_is 3 "$jms" send-text "$ow" jms.q
  check "jms: a closed port fails with status 1" status_is 1 "$jms" send-text "tcp://127.0.0.1:1" jms.q x

  # The STOMP peer talks to itself.
  out=$("$stomp" send "${host[@]}" /queue/stomp.q 'hello stomp' --receipt --header persistent=true)
  check "stomp: a SEND with receipt is answered by a RECEIPT" contains "$out" "RECEIPT peer-receipt-1"
  out=$("$stomp" receive "${host[@]}" /queue/stomp.q --timeout 5)
  check "stomp: round trip" contains "$out" $'\n\nhello stomp'
  check "stomp: persistent:true survives the trip" contains "$(headers_of "$out" 1)" "persistent:true"
  check "stomp: receive on an empty queue times out with status 2" status_is 2 "$stomp" receive "${host[@]}" /queue/stomp.q --timeout 0.3

  # JMS messages as a STOMP consumer sees them.
  "$jms" send-text "$ow" map.q 'a text' --correlation-id c-text >/dev/null
  "$jms" send-bytes "$ow" map.q 'some bytes' >/dev/null
  "$jms" send-map "$ow" map.q >/dev/null
  out=$("$stomp" receive "${host[@]}" /queue/map.q --count 3 --timeout 5)
  local text bytes map
  text=$(headers_of "$out" 1) bytes=$(headers_of "$out" 2) map=$(headers_of "$out" 3)
  check "jms->stomp: TextMessage arrives without content-length" lacks "$text" "content-length"
  check "jms->stomp: JMSCorrelationID is the correlation-id header" contains "$text" "correlation-id:c-text"
  check "jms->stomp: BytesMessage arrives with content-length" contains "$bytes" "content-length:10"
  check "jms->stomp: MapMessage arrives without content-length" lacks "$map" "content-length"
  check "jms->stomp: MapMessage body is empty" \
    bash -c '[[ $(awk "/^MESSAGE\$/{m++} m==3" <<<"$1" | awk "f{print} /^\$/{f=1}" | tr -d "\n") == "" ]]' _ "$out"

  # STOMP frames as a JMS consumer sees them (one queue each: the broker does
  # not keep the order between persistent and non-persistent messages).
  "$stomp" send "${host[@]}" /queue/t1 'no length' --header correlation-id=abc >/dev/null
  "$stomp" send "${host[@]}" /queue/t2 'with length' --content-length >/dev/null
  "$stomp" send "${host[@]}" /queue/t3 'typed' --content-length --header amq-msg-type=text >/dev/null
  "$stomp" send "${host[@]}" /queue/t4 'kept' --header persistent=true >/dev/null
  out=$("$jms" receive "$ow" t1 --timeout-ms 5000)
  check "stomp->jms: SEND without content-length is a TextMessage" contains "$out" "TextMessage no length"
  check "stomp->jms: correlation-id is the JMSCorrelationID" contains "$out" "JMSCorrelationID abc"
  check "stomp->jms: SEND without persistent is NON_PERSISTENT" contains "$out" "JMSDeliveryMode NON_PERSISTENT"
  out=$("$jms" receive "$ow" t2 --timeout-ms 5000)
  check "stomp->jms: SEND with content-length is a BytesMessage" contains "$out" $'BytesMessage 11\nBytesText with length'
  out=$("$jms" receive "$ow" t3 --timeout-ms 5000)
  check "stomp->jms: amq-msg-type:text makes a TextMessage despite content-length" contains "$out" "TextMessage typed"
  out=$("$jms" receive "$ow" t4 --timeout-ms 5000)
  check "stomp->jms: persistent:true is PERSISTENT" contains "$out" "JMSDeliveryMode PERSISTENT"

  # Selector and prefetch on SUBSCRIBE.
  "$jms" send-text "$ow" sel.q one --correlation-id aaa >/dev/null
  "$jms" send-text "$ow" sel.q two --correlation-id bbb >/dev/null
  out=$("$stomp" receive "${host[@]}" /queue/sel.q --selector "JMSCorrelationID = 'bbb'" \
        --header activemq.prefetchSize=1 --timeout 5)
  check "stomp: a selector picks the message by correlation id" contains "$out" $'\n\ntwo'
  out=$("$jms" receive "$ow" sel.q --timeout-ms 5000)
  check "stomp: the other message stays on the queue" contains "$out" "TextMessage one"

  # client-individual: a message not ACKed when the connection drops comes back.
  "$stomp" send "${host[@]}" /queue/redo.q 'again' --header persistent=true --receipt >/dev/null
  out=$("$stomp" receive "${host[@]}" /queue/redo.q --ack client-individual --drop --timeout 5)
  check "stomp: first delivery is not marked redelivered" lacks "$(headers_of "$out" 1)" "redelivered"
  out=$("$stomp" receive "${host[@]}" /queue/redo.q --ack client-individual --timeout 5)
  check "stomp: after a dropped connection the message comes back with redelivered:true" \
    contains "$(headers_of "$out" 1)" "redelivered:true"
  check "stomp: once ACKed it is gone" status_is 2 "$stomp" receive "${host[@]}" /queue/redo.q --timeout 0.5

  # Request and reply: the JMS peer asks, the STOMP peer answers with the
  # correlation id, on a queue with an unrelated reply waiting first.
  "$stomp" send "${host[@]}" /queue/reply.q 'not yours' --header correlation-id=someone-else >/dev/null
  local reqout="${TMPDIR:-/tmp}/interop-request-$$"
  "$jms" request "$ow" req.q reply.q '{"op":"ping"}' --timeout-ms 30000 >"$reqout" 2>&1 &
  local requester=$!
  out=$("$stomp" receive "${host[@]}" /queue/req.q --timeout 30)
  local corr
  corr=$(headers_of "$out" 1 | sed -n 's/^correlation-id://p')
  check "request: the request carries a fresh correlation id" test -n "$corr"
  check "request: the request names its reply queue" contains "$(headers_of "$out" 1)" "reply-to:/queue/reply.q"
  "$stomp" send "${host[@]}" /queue/reply.q '{"code":200}' --header "correlation-id=$corr" >/dev/null
  local rc=0
  wait "$requester" || rc=$?
  out=$(<"$reqout"); rm -f "$reqout"
  check "request: exits 0 with a reply" test "$rc" = 0
  check "request: prints the matching reply" contains "$out" $'TextMessage {"code":200}\nJMSCorrelationID '"$corr"
  check "request: no reply gives status 2" status_is 2 "$jms" request "$ow" req2.q reply2.q x --timeout-ms 300

  # TLS connector.
  out=$(openssl s_client -connect "127.0.0.1:$STOMP_SSL_PORT" -CAfile "$CA_FILE" -verify_return_error \
        -verify_hostname localhost </dev/null 2>&1)
  check "tls: verifies with CA_FILE for host localhost" contains "$out" "Verify return code: 0 (ok)"
  out=$(openssl s_client -connect "127.0.0.1:$STOMP_SSL_PORT" -CAfile "$CA_FILE" -verify_return_error \
        -verify_ip 127.0.0.1 </dev/null 2>&1)
  check "tls: verifies with CA_FILE for address 127.0.0.1" contains "$out" "Verify return code: 0 (ok)"
  out=$(openssl s_client -connect "127.0.0.1:$STOMP_SSL_PORT" -CAfile "$UNTRUSTED_CA_FILE" -verify_return_error \
        </dev/null 2>&1)
  check "tls: fails with UNTRUSTED_CA_FILE" lacks "$out" "Verify return code: 0 (ok)"
  # The first STOMP session over TLS on a fresh broker now and then waits
  # seconds for the broker (seen past 12 s on a busy machine): 30 s for it.
  "$stomp" send 127.0.0.1 "$STOMP_SSL_PORT" /queue/tls.q 'over tls' --ca "$CA_FILE" --timeout 30 >/dev/null
  out=$("$jms" receive "$ow" tls.q --timeout-ms 5000)
  check "tls: a STOMP client over TLS reaches JMS clients" contains "$out" "TextMessage over tls"
  check "tls: a STOMP client refuses the broker with the untrusted CA" \
    status_is 1 "$stomp" connect 127.0.0.1 "$STOMP_SSL_PORT" --ca "$UNTRUSTED_CA_FILE"
  check "tls: the plain STOMP port does not speak TLS" \
    status_is 1 "$stomp" connect 127.0.0.1 "$STOMP_PORT" --ca "$CA_FILE" --timeout 1
}

test_auth() {
  start_broker auth --auth "mqb:s3cret:pw"
  local ow="tcp://127.0.0.1:$OPENWIRE_PORT" host=(127.0.0.1 "$STOMP_PORT") out
  check "auth: env names the user" test "$BROKER_USER" = mqb
  check "auth: STOMP without credentials is refused" status_is 1 "$stomp" connect "${host[@]}"
  check "auth: STOMP with a wrong password is refused" status_is 1 "$stomp" connect "${host[@]}" --user mqb --password wrong
  check "auth: STOMP with an unknown user is refused" status_is 1 "$stomp" connect "${host[@]}" --user other --password 's3cret:pw'
  out=$("$stomp" connect "${host[@]}" --user mqb --password 's3cret:pw' 2>&1)
  check "auth: STOMP with the right credentials connects" contains "$out" "CONNECTED"
  # The broker's first TLS handshake loads its keystore and a cold JVM path:
  # seconds on a busy machine, so it gets more time than the default 10 s.
  out=$("$stomp" connect 127.0.0.1 "$STOMP_SSL_PORT" --ca "$CA_FILE" --user mqb --password 's3cret:pw' --timeout 30 2>&1)
  check "auth: STOMP over TLS with the right credentials connects" contains "$out" "CONNECTED"
  check "auth: JMS without credentials is refused" status_is 1 "$jms" send-text "$ow" a.q x
  check "auth: JMS with a wrong password is refused" status_is 1 "$jms" send-text "$ow" a.q x --user mqb --password bad
  "$jms" send-text "$ow" a.q 'authorised' --user mqb --password 's3cret:pw' >/dev/null
  out=$("$stomp" receive "${host[@]}" /queue/a.q --user mqb --password 's3cret:pw' --timeout 5)
  check "auth: JMS and STOMP with the right credentials exchange a message" contains "$out" $'\n\nauthorised'
  check "auth: the password is in no broker log" \
    bash -c '! grep -rqs -- "s3cret" "$1"/logs' _ "$BROKER_DIR"
  check "auth: the env file is private" test "$(stat -c %a "$BROKER_DIR/env")" = 600
  check "auth: starting it again with other credentials is an error" \
    status_is 1 run_broker start "auth-$$" --auth "mqb:other"
  check "auth: a malformed --auth is a usage error" status_is 2 run_broker start "auth2-$$" --auth nocolon
  check "auth: quotes in a password are refused" status_is 2 run_broker start "auth2-$$" --auth "u:a'b"
}

test_lifecycle() {
  broker_var=$(mktemp -d "${TMPDIR:-/tmp}/mqb-lifecycle.XXXXXX")
  start_broker life
  check "lifecycle: TLS material is made in a fresh var directory" test -s "$CA_FILE" -a -s "$UNTRUSTED_CA_FILE"
  local name="life-$$" ow="tcp://127.0.0.1:$OPENWIRE_PORT" host=(127.0.0.1 "$STOMP_PORT") out
  local ports="$STOMP_PORT $STOMP_SSL_PORT $OPENWIRE_PORT" first_pid=$BROKER_PID
  check "lifecycle: ports are distinct" test "$(tr ' ' '\n' <<<"$ports" | sort -u | wc -l)" = 3
  local low
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
  check "lifecycle: ports lie below the ephemeral range" \
    bash -c 'for p in $1; do ((p < $2)) || exit 1; done' _ "$ports" "$low"
  check "lifecycle: listens on loopback only" \
    bash -c 'for p in $1; do ss -Hltn "sport = :$p" | grep -q "127.0.0.1:$p" || exit 1;
             ! ss -Hltn "sport = :$p" | grep -vq "127.0.0.1:$p" || exit 1; done' _ "$ports"
  check "lifecycle: status reports the pid" test "$(run_broker status "$name")" = "$BROKER_PID"
  out=$(run_broker start "$name" 2>&1)
  check "lifecycle: start on a running instance is a no-op that names the env file" contains "$out" "$BROKER_DIR/env"
  check "lifecycle: ... and keeps the same process" test "$(run_broker status "$name")" = "$first_pid"

  # A persistent message survives a crash; restart brings the same ports back.
  "$stomp" send "${host[@]}" /queue/keep.q 'survivor' --header persistent=true --receipt >/dev/null
  "$stomp" send "${host[@]}" /queue/keep.q 'volatile' >/dev/null
  run_broker kill "$name"
  check "lifecycle: kill ends the process" gone "$first_pid"
  check "lifecycle: status after kill is 3" status_is 3 run_broker status "$name"
  check "lifecycle: the STOMP port is closed after kill" bash -c '! (exec 3<>/dev/tcp/127.0.0.1/$1) 2>/dev/null' _ "$STOMP_PORT"
  source "$(run_broker restart "$name")"
  check "lifecycle: restart uses the same ports" test "$STOMP_PORT $STOMP_SSL_PORT $OPENWIRE_PORT" = "$ports"
  check "lifecycle: restart is a new process" test "$BROKER_PID" != "$first_pid"
  out=$("$jms" receive "$ow" keep.q --timeout-ms 5000 --count 1)
  check "lifecycle: the persistent message survived the crash" contains "$out" "TextMessage survivor"
  check "lifecycle: the non-persistent one did not" status_is 2 "$jms" receive "$ow" keep.q --timeout-ms 500

  # Graceful stop and restart of a running broker.
  "$stomp" send "${host[@]}" /queue/keep2.q 'after stop' --header persistent=true --receipt >/dev/null
  source "$(run_broker restart "$name")"
  check "lifecycle: restart of a running broker keeps the ports" test "$STOMP_PORT $STOMP_SSL_PORT $OPENWIRE_PORT" = "$ports"
  check "lifecycle: the message survived a graceful restart" contains "$("$jms" receive "$ow" keep2.q --timeout-ms 5000)" "TextMessage after stop"
  local pid=$BROKER_PID
  run_broker stop "$name"
  check "lifecycle: stop ends the process" gone "$pid"
  check "lifecycle: stop of a stopped broker is harmless" status_is 0 run_broker stop "$name"
  source "$(run_broker start "$name")"
  check "lifecycle: start of a stopped instance gets its ports back" test "$STOMP_PORT $STOMP_SSL_PORT $OPENWIRE_PORT" = "$ports"

  # stopall reaches every instance of the var directory.
  run_broker stopall >/dev/null 2>&1
  check "lifecycle: stopall stopped it" status_is 3 run_broker status "$name"

  # The owner watch kills the broker of a process that has gone.
  sleep 60 &
  local owner=$!
  run_broker start "owned-$$" --owner "$owner" >/dev/null
  instances+=("owned-$$")
  pid=$(run_broker status "owned-$$")
  kill "$owner"; wait "$owner" 2>/dev/null
  local waited=0
  while ! gone "$pid" && ((waited < 50)); do sleep 0.1; waited=$((waited + 1)); done
  check "lifecycle: the broker goes when its owner process goes" gone "$pid"

  check "lifecycle: restart of an unknown instance fails" status_is 1 run_broker restart "never-$$"
  check "lifecycle: a bad name is a usage error" status_is 2 run_broker start "../escape"
  check "lifecycle: an unknown command is a usage error" status_is 2 run_broker frobnicate
}

case "${1:-}" in
  peers) test_peers ;;
  auth) test_auth ;;
  lifecycle) test_lifecycle ;;
  *) echo "usage: $0 peers|auth|lifecycle" >&2; exit 2 ;;
esac
echo "$failures failed"
((failures == 0))
exit
}
