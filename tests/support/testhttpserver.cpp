#include "testhttpserver.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

// The client reports the reason phrase in its error texts ("server replied: Not Found").
QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases{{200, "OK"}, {201, "Created"}, {202, "Accepted"}, {302, "Found"},
                                                {400, "Bad Request"}, {404, "Not Found"},
                                                {500, "Internal Server Error"}, {503, "Service Unavailable"}};
    return phrases.value(status, "Status");
}

const qint64 FillerChunk = 64 * 1024;

} // namespace

TestHttpServer::TestHttpServer() = default;

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::start(const QString &host, quint16 port)
{
    auto server = std::make_unique<QTcpServer>();
    if (m_server || !server->listen(QHostAddress(host), port))
        return false;
    QTcpServer *raw = server.get();
    QObject::connect(raw, &QTcpServer::newConnection, raw, [this, raw] {
        while (QTcpSocket *socket = raw->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    m_server = std::move(server);
    m_port = m_server->serverPort();
    return true;
}

void TestHttpServer::stop()
{
    // The connections are the server's children: held replies go with them.
    m_server.reset();
}

QStringList TestHttpServer::requestLines() const
{
    QStringList lines;
    for (const Request &request : requests())
        lines.append(QString::fromLatin1(request.method + ' ' + request.path));
    return lines;
}

TestHttpServer::Reply TestHttpServer::nextReply(const QByteArray &method, const QByteArray &path)
{
    auto script = m_replies.find(method + ' ' + path);
    const int query = path.indexOf('?');
    if (script == m_replies.end() && query >= 0)
        script = m_replies.find(method + ' ' + path.left(query));
    if (script == m_replies.end() || script->isEmpty())
        return Reply::text("no reply scripted\n", 404);
    // The last reply of a queue answers every request from then on.
    return script->size() > 1 ? script->takeFirst() : script->first();
}

void TestHttpServer::read(QTcpSocket *socket)
{
    // A request is whole once its headers and the body that they announce have come.
    const QByteArray data = socket->property("received").toByteArray() + socket->readAll();
    socket->setProperty("received", data);
    const int headerEnd = data.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    static const QRegularExpression contentLength("\ncontent-length:\\s*(\\d+)", QRegularExpression::CaseInsensitiveOption);
    const int length = contentLength.match(QString::fromLatin1(data.left(headerEnd))).captured(1).toInt();
    if (data.size() < headerEnd + 4 + length)
        return;
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const QList<QByteArray> requestLine = data.left(data.indexOf("\r\n")).split(' ');
    const Request request{requestLine.value(0), requestLine.value(1), data.mid(headerEnd + 4, length)};
    m_requests.append(request);
    const Reply reply = nextReply(request.method, request.path);
    if (reply.kind == Reply::HangUp)
        socket->abort();
    else if (reply.kind != Reply::NeverAnswer)
        QTimer::singleShot(reply.delayMs, socket, [this, socket, reply] { respond(socket, reply); });
}

void TestHttpServer::respond(QTcpSocket *socket, const Reply &reply)
{
    const bool generated = reply.kind == Reply::Generated;
    const bool chunked = generated && reply.chunked;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\nConnection: close\r\n";
    if (!reply.contentType.isEmpty())
        head += "Content-Type: " + reply.contentType + "\r\n";
    if (!reply.location.isEmpty())
        head += "Location: " + reply.location + "\r\n";
    head += reply.headers;
    head += chunked ? QByteArray("Transfer-Encoding: chunked\r\n")
                    : "Content-Length: " + QByteArray::number(generated ? reply.generatedSize : reply.body.size()) + "\r\n";
    socket->write(head + "\r\n");
    if (!generated) {
        socket->write(reply.body);
        socket->disconnectFromHost();
        return;
    }
    // Filler made while sending, a piece each time the last one has gone out.
    auto left = std::make_shared<qint64>(reply.generatedSize);
    const int trickleMs = reply.trickleMs;
    const auto more = [socket, left, chunked, trickleMs] {
        // A client that gave up has closed the connection.
        if (socket->bytesToWrite() > 0 || socket->state() != QAbstractSocket::ConnectedState)
            return;
        const QByteArray filler(int(std::min(trickleMs > 0 ? 1 : FillerChunk, *left)), 'x');
        *left -= filler.size();
        if (!filler.isEmpty()) {
            const QByteArray piece = chunked ? QByteArray::number(filler.size(), 16) + "\r\n" + filler + "\r\n" : filler;
            if (trickleMs == 0) {
                socket->write(piece);
                return;
            }
            QTimer::singleShot(trickleMs, socket, [socket, piece] {
                if (socket->state() == QAbstractSocket::ConnectedState)
                    socket->write(piece);
            });
            return;
        }
        if (chunked)
            socket->write("0\r\n\r\n");
        socket->disconnectFromHost();
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
    more();
}
