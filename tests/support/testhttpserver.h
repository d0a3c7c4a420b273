#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <memory>

class QTcpServer;
class QTcpSocket;

// An HTTP server for tests that plays a node: it answers GET, POST and PATCH with scripted
// replies per method and path and records every request it receives, in order.
//
// It listens on one address, 127.0.0.1 unless told, on a port that the system chooses. It serves from the test thread's event loop: a client's synchronous call runs a
// nested event loop, which serves the node meanwhile. Usage:
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
            HangUp,        // reads the request and closes the connection without a byte of answer
            Generated      // generatedSize filler bytes, made while sending, never stored
        };

        Reply(Kind kind = Normal, int status = 200, const QByteArray &body = QByteArray(),
              const QByteArray &contentType = "application/json", const QByteArray &location = QByteArray())
            : kind(kind), status(status), contentType(contentType), location(location), body(body)
        {
        }

        Kind kind;
        int status;
        QByteArray contentType;
        QByteArray location; // the Location header, when not empty
        QByteArray headers;  // more header lines, each ending in "\r\n"
        QByteArray body;
        int delayMs = 0;
        qint64 generatedSize = 0;
        bool chunked = false; // Generated: chunked encoding instead of a Content-Length
        int trickleMs = 0;    // Generated: one byte at a time, this long after the last went out

        static Reply json(const QJsonArray &array, int status = 200) { return text(QJsonDocument(array).toJson(QJsonDocument::Compact), status, "application/json"); }
        static Reply json(const QJsonObject &object, int status = 200) { return text(QJsonDocument(object).toJson(QJsonDocument::Compact), status, "application/json"); }
        static Reply text(const QByteArray &body, int status = 200, const QByteArray &contentType = "text/plain")
        {
            return Reply(Normal, status, body, contentType);
        }
        // A status with an empty body.
        static Reply empty(int status) { return Reply(Normal, status, QByteArray(), QByteArray()); }
        static Reply redirect(int status, const QByteArray &location) { return Reply(Normal, status, QByteArray(), QByteArray(), location); }
        static Reply neverAnswer() { return Reply(NeverAnswer); }
        static Reply hangUp() { return Reply(HangUp); }
        static Reply generated(qint64 size, bool chunked = false)
        {
            Reply reply(Generated, 200, QByteArray(), "application/octet-stream");
            reply.generatedSize = size;
            reply.chunked = chunked;
            return reply;
        }
        // A body of that many bytes, one every so often.
        static Reply trickle(int bytes, int everyMs)
        {
            Reply reply = generated(bytes);
            reply.trickleMs = everyMs;
            return reply;
        }
        Reply withHeader(const QByteArray &name, const QByteArray &value) const
        {
            Reply reply = *this;
            reply.headers += name + ": " + value + "\r\n";
            return reply;
        }
        Reply delayed(int milliseconds) const
        {
            Reply reply = *this;
            reply.delayMs = milliseconds;
            return reply;
        }
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

    // Listens on a numeric address; a link-local one may carry "%interface". Port 0: one
    // the system chooses.
    bool start(const QString &host = QStringLiteral("127.0.0.1"), quint16 port = 0);
    // Drops every held reply and connection and closes the port. Idempotent.
    void stop();

    quint16 port() const { return m_port; }
    // The node address as the client is given it: "127.0.0.1:<port>".
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    // "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const { return QStringLiteral("http://%1%2").arg(address(), path); }

    // Replaces the queue of (method, path) by this one reply.
    void setReply(const QByteArray &method, const QByteArray &path, const Reply &reply) { m_replies.insert(method + ' ' + path, {reply}); }
    // Appends to the queue of (method, path).
    void addReply(const QByteArray &method, const QByteArray &path, const Reply &reply) { m_replies[method + ' ' + path].append(reply); }

    QList<Request> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    // The paths of all requests so far, as "METHOD path", in order.
    QStringList requestLines() const;
    void clearRequests() { m_requests.clear(); }

private:
    void read(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Reply &reply);
    Reply nextReply(const QByteArray &method, const QByteArray &path);

    QHash<QByteArray, QList<Reply>> m_replies; // key: "METHOD path"
    QList<Request> m_requests;
    quint16 m_port = 0;
    std::unique_ptr<QTcpServer> m_server;
};

// Replies can be columns of a test's data table.
Q_DECLARE_METATYPE(TestHttpServer::Reply)

#endif // TESTHTTPSERVER_H
