#ifndef TESTHTTPSSERVER_H
#define TESTHTTPSSERVER_H

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QUrl>

#include <functional>

// An https server for tests on 127.0.0.1 that answers each request with what a handler
// returns; it plays an authorization server or a secured API. One request per connection.
// Without a certificate it serves plain http.
//
//     TestHttpsServer server("server.pem", "server.key");
//     server.handler = [](const TestHttpsServer::Request &r) { return TestHttpsServer::Response{200, "{}"}; };
//     QVERIFY(server.listen(QHostAddress::LocalHost));
class TestHttpsServer : public QTcpServer
{
public:
    struct Request
    {
        QByteArray method;
        QUrl url; // path and query
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };
    struct Response
    {
        int status = 200;
        QByteArray body;
        QByteArray location;
    };

    TestHttpsServer(const QString &certificateFile, const QString &keyFile)
    {
        QFile certificate(certificateFile), key(keyFile);
        if (!certificateFile.isEmpty() && certificate.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly)) {
            m_certificate = QSslCertificate(certificate.readAll());
            m_key = QSslKey(key.readAll(), QSsl::Ec);
        }
    }

    QUrl url(const QString &path = QString()) const
    {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(m_certificate.isNull() ? "http" : "https").arg(serverPort()).arg(path));
    }

    std::function<Response(const Request &)> handler;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        QObject::connect(socket, &QSslSocket::disconnected, socket, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket] { read(socket); });
        if (!m_certificate.isNull())
            socket->startServerEncryption();
    }

private:
    void read(QSslSocket *socket)
    {
        QByteArray &data = m_buffers[socket];
        data += socket->readAll();
        const int end = data.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request request;
        const QList<QByteArray> lines = data.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.url = QUrl::fromEncoded(first.value(1));
        for (const QByteArray &line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        request.body = data.mid(end + 4);
        if (request.body.size() < request.headers.value("content-length").toInt())
            return;
        m_buffers.remove(socket);
        const Response response = handler ? handler(request) : Response{404, QByteArray(), QByteArray()};
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\nConnection: close\r\n"
                          + "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        if (!response.location.isEmpty())
            head += "Location: " + response.location + "\r\n";
        socket->write(head + "\r\n" + response.body);
        socket->disconnectFromHost();
    }

    QSslCertificate m_certificate;
    QSslKey m_key;
    QHash<QSslSocket *, QByteArray> m_buffers;
};

#endif // TESTHTTPSSERVER_H
