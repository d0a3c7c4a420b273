#include "simhttpserver.h"

#include "simnode.h"
#include "simtaskqueue.h"
#include "simtokencheck.h"

#include <QDebug>

#include <httplib.h>

#include <chrono>

#include <sys/socket.h>

SimHttpServer::SimHttpServer(SimNode *node, SimTaskPool *pool)
    : m_node(node)
    , m_pool(pool)
{
}

SimHttpServer::~SimHttpServer()
{
    stop();
}

std::unique_ptr<httplib::Server> SimHttpServer::makeServer(const QString &certificate, const QString &key,
                                                           QString *errorString)
{
    std::unique_ptr<httplib::Server> server;
    if (certificate.isEmpty()) {
        server = std::make_unique<httplib::Server>();
    } else {
        server = std::make_unique<httplib::SSLServer>(certificate.toLocal8Bit().constData(),
                                                      key.toLocal8Bit().constData());
        if (!server->is_valid()) {
            if (errorString)
                *errorString = QStringLiteral("cannot use the TLS certificate %1 with the key %2").arg(certificate, key);
            return nullptr;
        }
    }
    // The library's default also sets SO_REUSEPORT, which would let a second server
    // share a port that is taken instead of failing.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    return server;
}

bool SimHttpServer::bindServer(httplib::Server *server, const QString &address, int *port)
{
    const std::string host = address.toStdString();
    if (*port != 0)
        return server->bind_to_port(host, *port);
    const int taken = server->bind_to_any_port(host);
    if (taken <= 0)
        return false;
    *port = taken;
    return true;
}

bool SimHttpServer::start(QString *errorString)
{
    const SimNodeConfig &config = m_node->config();
    int port = config.port;
    for (const QString &address : config.bindAddresses) {
        std::unique_ptr<httplib::Server> server = makeServer(config.tlsCert, config.tlsKey, errorString);
        if (!server) {
            stop();
            return false;
        }
        if (m_pool) {
            SimTaskPool *pool = m_pool;
            server->new_task_queue = [pool] { return new SimTaskQueue(pool); };
        } else {
            server->new_task_queue = [] { return new httplib::ThreadPool(8); };
        }
        // A controller reads a node in a few requests back to back; keeping the connection
        // for them saves a handshake each. An idle connection holds a worker, so it is let
        // go after a second, which also bounds how long stopping waits for it.
        server->set_keep_alive_max_count(16);
        server->set_keep_alive_timeout(1);
        // Without this each answer after a connection's first waits for the peer's delayed ACK.
        server->set_tcp_nodelay(true);
        // Bodies here are small JSON objects; anything far larger is refused before it is read.
        server->set_payload_max_length(MaxBodySize);
        auto handler = [this](const httplib::Request &request, httplib::Response &response) {
            serve(request, response);
        };
        server->Get(".*", handler);
        server->Patch(".*", handler);
        server->Post(".*", handler);
        server->Put(".*", handler);
        server->Delete(".*", handler);

        if (!bindServer(server.get(), address, &port)) {
            if (errorString)
                *errorString = port == 0 ? QStringLiteral("cannot listen on %1").arg(address)
                                         : QStringLiteral("cannot listen on %1 port %2").arg(address).arg(port);
            stop();
            return false;
        }
        m_servers.push_back(std::move(server));
    }
    m_port = port;
    m_node->setPort(port);
    for (const auto &server : m_servers) {
        httplib::Server *raw = server.get();
        m_threads.emplace_back([raw] { raw->listen_after_bind(); });
    }
    return true;
}

void SimHttpServer::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopWake.notify_all();
    for (const auto &server : m_servers)
        server->stop();
}

void SimHttpServer::stop()
{
    requestStop();
    for (std::thread &thread : m_threads)
        thread.join();
    m_threads.clear();
    m_servers.clear();
}

void SimHttpServer::serve(const httplib::Request &request, httplib::Response &response)
{
    const SimFaults &faults = m_node->config().faults;
    if (faults.hang) {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        m_stopWake.wait(lock, [this] { return m_stopping; });
        response.status = 503;
        return;
    }
    if (faults.delayMs > 0) {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        m_stopWake.wait_for(lock, std::chrono::milliseconds(faults.delayMs), [this] { return m_stopping; });
    }

    const QByteArray method = QByteArray::fromStdString(request.method);
    const QString path = QString::fromStdString(request.path);
    SimReply reply;
    SimTokenRefusal refusal;
    if (m_tokenCheck
        && !m_tokenCheck->allows(method, path, QByteArray::fromStdString(request.get_header_value("Authorization")), &refusal)) {
        reply = SimReply{refusal.status, "application/json", refusal.body()};
        response.set_header("WWW-Authenticate", refusal.challenge(m_tokenCheck->realm()).toStdString());
    } else {
        reply = m_node->handle(method, path, QByteArray::fromStdString(request.body));
    }
    response.status = reply.status;
    // Answers go uncompressed, as most nodes send theirs: the library compresses a JSON
    // answer for any client that accepts it, which took a tenth of this process's time
    // playing thousands of nodes, and the controller's to inflate. It leaves alone a type
    // with parameters; the one JSON has is its encoding, UTF-8 (RFC 8259 8.1).
    std::string contentType = reply.contentType.toStdString();
    if (reply.contentType == "application/json")
        contentType += "; charset=utf-8";
    response.set_content(reply.body.toStdString(), contentType);

    qInfo().noquote() << QStringLiteral("\"%1\" %2 %3 %4 %5")
                             .arg(m_node->config().label, QString::fromLatin1(method), path)
                             .arg(reply.status)
                             .arg(QString::fromStdString(request.remote_addr));
    if (method == "PATCH" && reply.status < 300 && m_changed)
        m_changed();
}
