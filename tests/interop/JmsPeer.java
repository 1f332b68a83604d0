// A JMS client over OpenWire, standing in for a back-office system in tests.
// Run it through jms-peer.sh, which compiles it once and sets the class path.

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Enumeration;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.UUID;

import javax.jms.BytesMessage;
import javax.jms.Connection;
import javax.jms.DeliveryMode;
import javax.jms.JMSException;
import javax.jms.MapMessage;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.ObjectMessage;
import javax.jms.Queue;
import javax.jms.Session;
import javax.jms.StreamMessage;
import javax.jms.TextMessage;

import org.apache.activemq.ActiveMQConnectionFactory;

public final class JmsPeer {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int TIMEOUT = 2;
    static final int USAGE = 3;

    static final String USAGE_TEXT = String.join("\n",
        "usage: jms-peer.sh COMMAND ARGS [OPTIONS]",
        "  send-text  URL QUEUE TEXT   [--correlation-id ID] [--persistent] [--reply-to QUEUE] [--property K=V]...",
        "  send-bytes URL QUEUE TEXT   (same options)",
        "  send-map   URL QUEUE        [--entry K=V]... (same options)",
        "  receive    URL QUEUE        [--timeout-ms N] [--selector S] [--count N]",
        "  request    URL QUEUE REPLYQUEUE TEXT [--timeout-ms N] [--persistent] [--correlation-id ID]",
        "  every command: [--user U --password P]",
        "exit status: 0 done, 1 failure, 2 timeout, 3 usage");

    static final class UsageException extends Exception {
        UsageException(String message) { super(message); }
    }

    /** Positional arguments and options; repeatable options keep every value. */
    static final class Args {
        final List<String> positional = new ArrayList<>();
        final Map<String, List<String>> options = new HashMap<>();

        static final List<String> FLAGS = List.of("--persistent");
        static final List<String> VALUED = List.of("--correlation-id", "--reply-to", "--property", "--entry",
            "--timeout-ms", "--selector", "--count", "--user", "--password");

        Args(String[] argv) throws UsageException {
            for (int i = 0; i < argv.length; ++i) {
                String a = argv[i];
                if (FLAGS.contains(a)) {
                    options.computeIfAbsent(a, k -> new ArrayList<>()).add("true");
                } else if (VALUED.contains(a)) {
                    if (i + 1 >= argv.length) throw new UsageException(a + " needs a value");
                    options.computeIfAbsent(a, k -> new ArrayList<>()).add(argv[++i]);
                } else if (a.startsWith("--")) {
                    throw new UsageException("unknown option " + a);
                } else {
                    positional.add(a);
                }
            }
        }

        boolean flag(String name) { return options.containsKey(name); }

        String value(String name, String fallback) {
            List<String> v = options.get(name);
            return v == null ? fallback : v.get(v.size() - 1);
        }

        List<String> all(String name) { return options.getOrDefault(name, Collections.emptyList()); }

        long number(String name, long fallback) throws UsageException {
            String v = value(name, null);
            if (v == null) return fallback;
            try {
                long n = Long.parseLong(v);
                if (n < 0) throw new NumberFormatException();
                return n;
            } catch (NumberFormatException e) {
                throw new UsageException(name + " takes a non-negative number, not '" + v + "'");
            }
        }

        void expect(int count, String what) throws UsageException {
            if (positional.size() != count) throw new UsageException(what);
        }
    }

    public static void main(String[] argv) {
        int rc;
        try {
            rc = run(new Args(argv));
        } catch (UsageException e) {
            System.err.println("jms-peer: " + e.getMessage());
            System.err.println(USAGE_TEXT);
            rc = USAGE;
        } catch (JMSException e) {
            Throwable cause = e.getCause() != null ? e.getCause() : e;
            System.err.println("jms-peer: " + e.getMessage() + (cause != e ? " (" + cause + ")" : ""));
            rc = FAILED;
        }
        System.out.flush();
        // The client's transport threads would otherwise keep the JVM alive.
        System.exit(rc);
    }

    static int run(Args args) throws UsageException, JMSException {
        if (args.positional.isEmpty()) throw new UsageException("no command");
        String command = args.positional.get(0);
        switch (command) {
            case "send-text":
            case "send-bytes":
                args.expect(4, command + " takes URL QUEUE TEXT");
                return send(args, command);
            case "send-map":
                args.expect(3, "send-map takes URL QUEUE");
                return send(args, command);
            case "receive":
                args.expect(3, "receive takes URL QUEUE");
                return receive(args);
            case "request":
                args.expect(5, "request takes URL QUEUE REPLYQUEUE TEXT");
                return request(args);
            default:
                throw new UsageException("unknown command " + command);
        }
    }

    static Connection connect(Args args) throws JMSException {
        ActiveMQConnectionFactory factory = new ActiveMQConnectionFactory(args.positional.get(1));
        String user = args.value("--user", null);
        Connection connection = user == null ? factory.createConnection()
                                             : factory.createConnection(user, args.value("--password", ""));
        connection.start();
        return connection;
    }

    static Map<String, String> pairs(List<String> items, String option) throws UsageException {
        Map<String, String> result = new LinkedHashMap<>();
        for (String item : items) {
            int eq = item.indexOf('=');
            if (eq <= 0) throw new UsageException(option + " takes KEY=VALUE, not '" + item + "'");
            result.put(item.substring(0, eq), item.substring(eq + 1));
        }
        return result;
    }

    static Message build(Session session, Args args, String command) throws JMSException, UsageException {
        Message message;
        switch (command) {
            case "send-text":
                message = session.createTextMessage(args.positional.get(3));
                break;
            case "send-bytes": {
                BytesMessage bytes = session.createBytesMessage();
                bytes.writeBytes(args.positional.get(3).getBytes(StandardCharsets.UTF_8));
                message = bytes;
                break;
            }
            default: {
                MapMessage map = session.createMapMessage();
                Map<String, String> entries = pairs(args.all("--entry"), "--entry");
                if (entries.isEmpty()) {
                    map.setString("text", "hello");
                    map.setInt("number", 42);
                }
                for (Map.Entry<String, String> e : entries.entrySet()) map.setString(e.getKey(), e.getValue());
                message = map;
            }
        }
        String correlationId = args.value("--correlation-id", null);
        if (correlationId != null) message.setJMSCorrelationID(correlationId);
        String replyTo = args.value("--reply-to", null);
        if (replyTo != null) message.setJMSReplyTo(session.createQueue(replyTo));
        for (Map.Entry<String, String> e : pairs(args.all("--property"), "--property").entrySet())
            message.setStringProperty(e.getKey(), e.getValue());
        return message;
    }

    static void sendOne(Session session, Queue queue, Message message, boolean persistent) throws JMSException {
        MessageProducer producer = session.createProducer(queue);
        producer.setDeliveryMode(persistent ? DeliveryMode.PERSISTENT : DeliveryMode.NON_PERSISTENT);
        producer.send(message);
        producer.close();
    }

    static int send(Args args, String command) throws UsageException, JMSException {
        Connection connection = connect(args);
        try {
            Session session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            Message message = build(session, args, command);
            sendOne(session, session.createQueue(args.positional.get(2)), message, args.flag("--persistent"));
            System.out.println("sent " + message.getJMSMessageID());
            return OK;
        } finally {
            connection.close();
        }
    }

    static int receive(Args args) throws UsageException, JMSException {
        long timeout = args.number("--timeout-ms", 10000);
        long count = args.number("--count", 1);
        Connection connection = connect(args);
        try {
            Session session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            String selector = args.value("--selector", null);
            MessageConsumer consumer = session.createConsumer(session.createQueue(args.positional.get(2)), selector);
            for (long i = 0; i < count; ++i) {
                Message message = consumer.receive(Math.max(1, timeout));
                if (message == null) {
                    System.err.println("jms-peer: no message on " + args.positional.get(2) + " within " + timeout + " ms");
                    return TIMEOUT;
                }
                print(message);
            }
            return OK;
        } finally {
            connection.close();
        }
    }

    static int request(Args args) throws UsageException, JMSException {
        long timeout = args.number("--timeout-ms", 10000);
        String correlationId = args.value("--correlation-id", "jms-peer-" + UUID.randomUUID());
        Connection connection = connect(args);
        try {
            Session session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            Queue replyQueue = session.createQueue(args.positional.get(3));
            MessageConsumer consumer =
                session.createConsumer(replyQueue, "JMSCorrelationID = '" + correlationId.replace("'", "''") + "'");
            TextMessage message = session.createTextMessage(args.positional.get(4));
            message.setJMSCorrelationID(correlationId);
            message.setJMSReplyTo(replyQueue);
            sendOne(session, session.createQueue(args.positional.get(2)), message, args.flag("--persistent"));
            Message reply = consumer.receive(Math.max(1, timeout));
            if (reply == null) {
                System.err.println("jms-peer: no reply with JMSCorrelationID " + correlationId + " on "
                                   + args.positional.get(3) + " within " + timeout + " ms");
                return TIMEOUT;
            }
            print(reply);
            return OK;
        } finally {
            connection.close();
        }
    }

    /** First line: the message type and its body; then one line per header and property. */
    static void print(Message message) throws JMSException {
        StringBuilder out = new StringBuilder();
        if (message instanceof TextMessage) {
            String text = ((TextMessage) message).getText();
            out.append("TextMessage ").append(text == null ? "" : text).append('\n');
        } else if (message instanceof BytesMessage) {
            BytesMessage bytes = (BytesMessage) message;
            byte[] body = new byte[(int) bytes.getBodyLength()];
            bytes.readBytes(body);
            out.append("BytesMessage ").append(body.length).append('\n');
            out.append("BytesText ").append(new String(body, StandardCharsets.UTF_8)).append('\n');
        } else if (message instanceof MapMessage) {
            MapMessage map = (MapMessage) message;
            Map<String, Object> entries = new TreeMap<>();
            for (Enumeration<?> names = map.getMapNames(); names.hasMoreElements();) {
                String name = (String) names.nextElement();
                entries.put(name, map.getObject(name));
            }
            out.append("MapMessage ").append(entries).append('\n');
        } else if (message instanceof StreamMessage) {
            out.append("StreamMessage\n");
        } else if (message instanceof ObjectMessage) {
            out.append("ObjectMessage\n");
        } else {
            out.append("Message\n");
        }
        String correlationId = message.getJMSCorrelationID();
        out.append("JMSCorrelationID ").append(correlationId == null ? "" : correlationId).append('\n');
        out.append("JMSDeliveryMode ")
           .append(message.getJMSDeliveryMode() == DeliveryMode.PERSISTENT ? "PERSISTENT" : "NON_PERSISTENT")
           .append('\n');
        out.append("JMSRedelivered ").append(message.getJMSRedelivered()).append('\n');
        Map<String, Object> properties = new TreeMap<>();
        for (Enumeration<?> names = message.getPropertyNames(); names.hasMoreElements();) {
            String name = (String) names.nextElement();
            properties.put(name, message.getObjectProperty(name));
        }
        for (Map.Entry<String, Object> p : properties.entrySet())
            out.append("property ").append(p.getKey()).append(' ').append(p.getValue()).append('\n');
        System.out.print(out);
    }
}
