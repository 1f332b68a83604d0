// An echo responder written with ActiveMQ's own JMS client (OpenWire), to
// compare with the project's echo responder and the service on the same
// broker and load. It answers every request on the request queues with the
// same fixed reply as the echo responder, as a persistent TextMessage whose
// JMSCorrelationID is the request's JMSCorrelationID, else its JMSMessageID
// (the broker's STOMP side maps those to the correlation-id and message-id
// headers, by which the bench matches replies).
//
// Modes:
//   sync   per queue a consumer connection (one session, a MessageListener,
//          INDIVIDUAL_ACKNOWLEDGE) and a producer connection (one session);
//          each reply is one synchronous persistent send, then the request
//          is acknowledged: the layout of the echo responder, one reply at a
//          time.
//   txN    per queue one connection with one transacted session and a
//          receive loop: replies are sent in that session and committed
//          together with the requests' acknowledgements, at most N messages
//          per local transaction; a transaction is committed as soon as no
//          further request is waiting in the consumer's prefetch, so a lone
//          request is not held back (tx32: N = 32). Reply and
//          acknowledgement must share a session, hence one connection per
//          queue.
//
// It prints "jms ready" once every queue is consumed and runs until SIGTERM
// or SIGINT, then prints what it handled. Nothing is lost on stop: a request
// whose reply was not sent is not acknowledged (sync), and an open
// transaction is rolled back when its session closes (txN); the broker
// delivers those requests again.
// Run it through jms-responder.sh, which compiles it once and sets the class path.

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

import javax.jms.Connection;
import javax.jms.DeliveryMode;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Session;
import javax.jms.TextMessage;

import org.apache.activemq.ActiveMQConnectionFactory;
import org.apache.activemq.ActiveMQSession;

public final class JmsResponder {
    // The echo responder's reply (kReply in bench/EchoResponder.cpp).
    static final String REPLY = "{\"code\":200,\"data\":{},\"msg\":\"echo\"}\n";
    // As the echo responder: a reply that cannot be sent is tried again this
    // long, this often, at most this many times, then given up (and the
    // request left unacknowledged); no retry once stopping.
    static final long RETRY_FOR_MS = 60_000;
    static final long RETRY_PAUSE_MS = 100;
    static final int MAX_ATTEMPTS = 20;
    // How often a waiting receive loop looks at the stop flag.
    static final long POLL_MS = 100;

    static final String USAGE_TEXT = String.join("\n",
        "usage: jms-responder.sh MODE URL REQUEST=REPLY... [--prefetch N] [--user U --password P]",
        "  MODE   sync: one synchronous persistent send per reply, then the request's acknowledgement",
        "         txN (e.g. tx32): replies and acknowledgements committed together, up to N per transaction",
        "  URL    the broker's OpenWire address, e.g. tcp://127.0.0.1:61616",
        "  REQUEST=REPLY  a request queue and its callback queue (one or more)",
        "  --prefetch N   requests the broker hands each consumer ahead (default 1000, the client's)",
        "runs until SIGTERM/SIGINT; exit status: 0 done, 1 a connection was lost or failed, 2 usage");

    static final class UsageException extends Exception {
        UsageException(String message) { super(message); }
    }

    final AtomicLong handled = new AtomicLong();
    final AtomicLong commits = new AtomicLong();
    final AtomicLong sendErrors = new AtomicLong();
    final AtomicLong givenUp = new AtomicLong();
    final AtomicLong rollbacks = new AtomicLong();
    final AtomicBoolean connectionLost = new AtomicBoolean();
    final AtomicBoolean stopping = new AtomicBoolean();
    final List<Connection> consumerConnections = new ArrayList<>();
    final List<Connection> producerConnections = new ArrayList<>();
    final List<Thread> loops = new ArrayList<>();

    String mode;
    int batch;  // 0: sync
    String url;
    String user;
    String password;
    int prefetch = 1000;
    final List<String[]> queues = new ArrayList<>();

    public static void main(String[] argv) {
        if (argv.length == 1 && (argv[0].equals("--help") || argv[0].equals("-h"))) {
            System.out.println(USAGE_TEXT);
            return;
        }
        JmsResponder r = new JmsResponder();
        try {
            r.parse(argv);
        } catch (UsageException e) {
            System.err.println("jms-responder: " + e.getMessage());
            System.err.println(USAGE_TEXT);
            System.exit(2);
        }
        CountDownLatch stop = new CountDownLatch(1);
        CountDownLatch done = new CountDownLatch(1);
        int[] rc = {0};
        // SIGTERM and SIGINT run the shutdown hooks: this one has the main
        // thread stop the responder, waits for it, and ends the JVM with the
        // responder's own status (not the signal's).
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            stop.countDown();
            try {
                done.await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            System.out.flush();
            System.err.flush();
            Runtime.getRuntime().halt(rc[0]);
        }, "jms-responder-stop"));
        try {
            r.start();
            System.out.println("jms ready (" + r.describe() + ")");
            System.out.flush();
            stop.await();
        } catch (JMSException e) {
            Throwable cause = e.getCause() != null ? e.getCause() : e;
            System.err.println("jms-responder: " + e.getMessage() + (cause != e ? " (" + cause + ")" : ""));
            rc[0] = 1;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        rc[0] = Math.max(rc[0], r.stop());
        done.countDown();
        if (stop.getCount() > 0) {
            // Setup failed: no signal came, end here (the hook then halts).
            System.exit(rc[0]);
        }
    }

    void parse(String[] argv) throws UsageException {
        List<String> positional = new ArrayList<>();
        for (int i = 0; i < argv.length; ++i) {
            String a = argv[i];
            if (a.equals("--prefetch") || a.equals("--user") || a.equals("--password")) {
                if (i + 1 >= argv.length) throw new UsageException(a + " needs a value");
                String v = argv[++i];
                if (a.equals("--user")) user = v;
                else if (a.equals("--password")) password = v;
                else prefetch = number(a, v, 1, 100_000);
            } else if (a.startsWith("--")) {
                throw new UsageException("unknown option " + a);
            } else {
                positional.add(a);
            }
        }
        if (positional.size() < 3) throw new UsageException("MODE URL and at least one REQUEST=REPLY are needed");
        mode = positional.get(0);
        if (mode.equals("sync")) {
            batch = 0;
        } else if (mode.startsWith("tx")) {
            batch = number("MODE", mode.substring(2), 1, 100_000);
        } else {
            throw new UsageException("MODE is sync or txN, not '" + mode + "'");
        }
        url = positional.get(1);
        for (String pair : positional.subList(2, positional.size())) {
            int eq = pair.indexOf('=');
            if (eq <= 0 || eq == pair.length() - 1) throw new UsageException("REQUEST=REPLY, not '" + pair + "'");
            queues.add(new String[] {pair.substring(0, eq), pair.substring(eq + 1)});
        }
    }

    static int number(String option, String text, int min, int max) throws UsageException {
        try {
            int n = Integer.parseInt(text);
            if (n < min || n > max) throw new NumberFormatException();
            return n;
        } catch (NumberFormatException e) {
            throw new UsageException(option + " takes a whole number from " + min + " to " + max + ", not '" + text + "'");
        }
    }

    String describe() {
        return (batch == 0 ? "sync: one synchronous send per reply, then the acknowledgement"
                           : "tx" + batch + ": replies and acknowledgements in transactions of up to " + batch)
            + ", " + queues.size() + " queues, prefetch " + prefetch;
    }

    ActiveMQConnectionFactory factory() {
        ActiveMQConnectionFactory f = new ActiveMQConnectionFactory(url);
        f.getPrefetchPolicy().setQueuePrefetch(prefetch);
        // A rolled-back request is delivered again however often that
        // happens, never moved to a dead-letter queue by this client.
        f.getRedeliveryPolicy().setMaximumRedeliveries(-1);
        f.getRedeliveryPolicy().setInitialRedeliveryDelay(0);
        return f;
    }

    Connection connect(ActiveMQConnectionFactory f, String role, String queue) throws JMSException {
        Connection c = user == null ? f.createConnection() : f.createConnection(user, password == null ? "" : password);
        c.setExceptionListener(e -> {
            if (stopping.get()) return;
            System.err.println("jms-responder: " + role + " connection of " + queue + " lost: " + e.getMessage());
            connectionLost.set(true);
        });
        return c;
    }

    static String correlationOf(Message request) throws JMSException {
        String id = request.getJMSCorrelationID();
        return id == null || id.isEmpty() ? request.getJMSMessageID() : id;
    }

    static TextMessage reply(Session session, Message request) throws JMSException {
        TextMessage reply = session.createTextMessage(REPLY);
        reply.setJMSCorrelationID(correlationOf(request));
        return reply;
    }

    void start() throws JMSException {
        ActiveMQConnectionFactory f = factory();
        for (String[] q : queues) {
            if (batch == 0) startSync(f, q[0], q[1]);
            else startTransacted(f, q[0], q[1]);
        }
    }

    // One consumer connection and one producer connection per queue, as the
    // echo responder has.
    void startSync(ActiveMQConnectionFactory f, String requestQueue, String replyQueue) throws JMSException {
        Connection out = connect(f, "producer", replyQueue);
        producerConnections.add(out);
        out.start();
        Session outSession = out.createSession(false, Session.AUTO_ACKNOWLEDGE);
        MessageProducer producer = outSession.createProducer(outSession.createQueue(replyQueue));
        producer.setDeliveryMode(DeliveryMode.PERSISTENT);  // outside a transaction: a synchronous send

        Connection in = connect(f, "consumer", requestQueue);
        consumerConnections.add(in);
        Session inSession = in.createSession(false, ActiveMQSession.INDIVIDUAL_ACKNOWLEDGE);
        MessageConsumer consumer = inSession.createConsumer(inSession.createQueue(requestQueue));
        // The listener runs on the consumer session's thread, one request at
        // a time; the producer session is used from that thread only.
        consumer.setMessageListener(request -> {
            long giveUpAt = System.currentTimeMillis() + RETRY_FOR_MS;
            for (int attempt = 1;; ++attempt) {
                try {
                    producer.send(reply(outSession, request));  // returns once the broker has stored it
                    request.acknowledge();
                    handled.incrementAndGet();
                    return;
                } catch (JMSException e) {
                    sendErrors.incrementAndGet();
                    if (stopping.get() || attempt >= MAX_ATTEMPTS || System.currentTimeMillis() >= giveUpAt) {
                        System.err.println("jms-responder: giving up a reply: " + e.getMessage());
                        givenUp.incrementAndGet();
                        return;  // not acknowledged: the broker keeps the request
                    }
                    pause();
                }
            }
        });
        in.start();
    }

    // One connection per queue: the transacted session that receives the
    // requests also sends the replies, so that one commit covers both.
    void startTransacted(ActiveMQConnectionFactory f, String requestQueue, String replyQueue) throws JMSException {
        Connection c = connect(f, "consumer and producer", requestQueue);
        consumerConnections.add(c);
        Session session = c.createSession(true, Session.SESSION_TRANSACTED);
        MessageConsumer consumer = session.createConsumer(session.createQueue(requestQueue));
        MessageProducer producer = session.createProducer(session.createQueue(replyQueue));
        producer.setDeliveryMode(DeliveryMode.PERSISTENT);
        c.start();
        Thread loop = new Thread(() -> transactedLoop(session, consumer, producer, requestQueue), "tx-" + requestQueue);
        loops.add(loop);
        loop.start();
    }

    void transactedLoop(Session session, MessageConsumer consumer, MessageProducer producer, String requestQueue) {
        while (!stopping.get()) {
            int n = 0;
            try {
                Message request = consumer.receive(POLL_MS);
                if (request == null) continue;
                // Gather what is already waiting, up to the batch size; the
                // transaction is committed as soon as nothing more is.
                do {
                    producer.send(reply(session, request));
                    ++n;
                } while (n < batch && (request = consumer.receiveNoWait()) != null);
                session.commit();
                handled.addAndGet(n);
                commits.incrementAndGet();
            } catch (JMSException e) {
                if (stopping.get()) return;  // the close rolls back what is open
                sendErrors.incrementAndGet();
                System.err.println("jms-responder: transaction on " + requestQueue + " failed: " + e.getMessage());
                try {
                    session.rollback();  // the requests come again
                    rollbacks.incrementAndGet();
                } catch (JMSException closed) {
                    connectionLost.set(true);
                    return;  // the session is gone: the broker delivers its requests to others
                }
                pause();
            }
        }
    }

    static void pause() {
        try {
            Thread.sleep(RETRY_PAUSE_MS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    // Stops consuming (waiting for listeners and loops in progress), then
    // closes everything and prints the summary. Returns the exit status.
    int stop() {
        stopping.set(true);
        for (Connection c : consumerConnections) {
            try {
                c.stop();  // returns once a listener in progress has returned
            } catch (JMSException e) {
                // closed already
            }
        }
        for (Thread t : loops) {
            try {
                t.join(TimeUnit.SECONDS.toMillis(30));
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        for (List<Connection> list : List.of(consumerConnections, producerConnections)) {
            for (Connection c : list) {
                try {
                    c.close();
                } catch (JMSException e) {
                    // closed already
                }
            }
        }
        long n = handled.get();
        StringBuilder summary = new StringBuilder("jms: handled ").append(n);
        if (batch > 0) {
            long k = commits.get();
            summary.append(", commits ").append(k)
                   .append(String.format(", %.1f per commit", k == 0 ? 0.0 : (double) n / k))
                   .append(", rollbacks ").append(rollbacks.get());
        }
        summary.append(", send errors ").append(sendErrors.get()).append(", given up ").append(givenUp.get());
        System.out.println(summary);
        System.out.flush();
        return connectionLost.get() ? 1 : 0;
    }
}
