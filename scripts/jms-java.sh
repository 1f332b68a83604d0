# Shared by the scripts that run a Java program on ActiveMQ's JMS client
# (tests/interop/jms-peer.sh, bench/jms/jms-responder.sh). Source it, then:
#   jms_compile NAME SOURCE.java DIR   # sets jms_classpath and jms_classes
# The class is compiled once per source version into DIR/NAME-<hash>/.

# ActiveMQ's JMS client from libactivemq-java and what it needs at run time.
jms_classpath=""
for jar in activemq-client geronimo-jms_1.1_spec geronimo-j2ee-management-1.1-spec hawtbuf slf4j-api slf4j-nop; do
  [[ -f /usr/share/java/$jar.jar ]] || { echo "$(basename "$0"): /usr/share/java/$jar.jar is missing; run scripts/setup.sh" >&2; exit 1; }
  jms_classpath+="${jms_classpath:+:}/usr/share/java/$jar.jar"
done

jms_compile() { # name source dir
  local name=$1 source=$2 dir=$3 class hash
  class=$(basename "$source" .java)
  hash=$(sha256sum "$source" | cut -c1-16)
  jms_classes="$dir/$name-$hash"
  [[ -f $jms_classes/$class.class ]] && return 0
  command -v javac >/dev/null || { echo "$(basename "$0"): javac is missing; run scripts/setup.sh" >&2; exit 1; }
  mkdir -p "$dir"
  (
    flock 9
    if [[ ! -f $jms_classes/$class.class ]]; then
      rm -rf "$jms_classes.tmp" && mkdir -p "$jms_classes.tmp"
      javac -nowarn -d "$jms_classes.tmp" -cp "$jms_classpath" "$source" >&2
      rm -rf "$jms_classes" && mv "$jms_classes.tmp" "$jms_classes"
    fi
  ) 9>"$dir/$name.lock"
}
