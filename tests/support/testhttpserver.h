#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}

// An HTTP server for tests that plays a node: it answers GET, POST and PATCH with scripted
// replies per method and path and records every request it receives, in order.
//
// It listens on 127.0.0.1 and, where the host has it, ::1, on one port that the system
// chooses, in threads of its own, so the test thread can run a client's nested event loop
// meanwhile. Usage:
//
//     TestHttpServer node;
//     QVERIFY(node.start());
//     node.setReply("GET", "/x-nmos/node/v1.3/senders/", TestHttpServer::Reply::json(senders));
//     node.addReply("GET", "/sdp", TestHttpServer::Reply::empty(404));  // first request
//     node.addReply("GET", "/sdp", TestHttpServer::Reply::text("v=0\r\n"));  // then for good
//     ... client.videoSenders(node.address(), "node-1") ...
//     QCOMPARE(node.requests().at(0).path, QByteArray("/x-nmos/node/v1.3/senders/"));
//
// A path is matched as it appears on the request line: percent-encoding kept, and with the
// query when the script names one (a script without a query also answers requests with
// one). Each (method, path) has a queue of replies: every request takes the next one and
// the last one stays for all later requests. A path without a script answers 404.
class TestHttpServer
{
public:
    struct Reply
    {
        enum Kind {
            Normal,        // status, headers and body, after delayMs
            NeverAnswer,   // reads the request and sends nothing until the server stops
            CloseMidReply, // announces the whole body, sends its first half and closes
            Generated      // generatedSize filler bytes, made while sending, never stored
        };

        Kind kind = Normal;
        int status = 200;
        QByteArray contentType = "application/json";
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        int delayMs = 0;
        qint64 generatedSize = 0;
        bool chunked = false; // Generated: chunked encoding instead of a Content-Length

        static Reply json(const QJsonArray &array, int status = 200);
        static Reply json(const QJsonObject &object, int status = 200);
        static Reply text(const QByteArray &body, int status = 200,
                          const QByteArray &contentType = "text/plain");
        // A status with an empty body.
        static Reply empty(int status);
        static Reply redirect(int status, const QByteArray &location);
        static Reply neverAnswer();
        static Reply closeMidReply(const QByteArray &body);
        static Reply generated(qint64 size, bool chunked = false);
        Reply delayed(int milliseconds) const;
    };

    struct Request
    {
        QByteArray method;
        QByteArray path; // as on the request line: percent-encoded, with the query
        QByteArray body;
    };

    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    // Listens on 127.0.0.1, and on ::1 where the host has an IPv6 loopback (see hasAddress6()).
    bool start();
    // Listens on the given numeric addresses (a link-local one may carry "%interface"),
    // all on one port.
    bool start(const QStringList &hosts);
    // Releases every held reply, closes the port and waits for the threads. Idempotent.
    void stop();

    quint16 port() const;
    // The node address as the client is given it: "127.0.0.1:<port>".
    QString address() const;
    // Whether ::1 is served; tests of IPv6 skip without it (some containers have no IPv6).
    bool hasAddress6() const;
    // "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const;

    // Replaces the queue of (method, path) by this one reply.
    void setReply(const QByteArray &method, const QByteArray &path, const Reply &reply);
    // Appends to the queue of (method, path).
    void addReply(const QByteArray &method, const QByteArray &path, const Reply &reply);

    QList<Request> requests() const;
    int requestCount() const;
    // The paths of all requests so far, as "METHOD path", in order.
    QStringList requestLines() const;
    void clearRequests();

private:
    void handle(const httplib::Request &request, httplib::Response &response);
    Reply nextReply(const QByteArray &method, const QByteArray &path);
    // Sleeps up to `milliseconds` (forever when negative); false when stopped meanwhile.
    bool waitUnlessStopped(int milliseconds);

    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    QHash<QByteArray, QList<Reply>> m_replies; // key: "METHOD path"
    QList<Request> m_requests;
    quint16 m_port = 0;
    QStringList m_hosts;

    // The servers must be stopped and their threads joined before the members above go:
    // handlers running in those threads use them.
    std::vector<std::unique_ptr<httplib::Server>> m_servers;
    std::vector<std::thread> m_threads;
};

// Replies can be columns of a test's data table.
Q_DECLARE_METATYPE(TestHttpServer::Reply)

#endif // TESTHTTPSERVER_H
