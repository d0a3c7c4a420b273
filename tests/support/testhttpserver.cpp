#include "testhttpserver.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpServer>

#include <httplib.h>

#include <algorithm>
#include <chrono>

namespace {

std::string toStd(const QByteArray &bytes)
{
    return std::string(bytes.constData(), size_t(bytes.size()));
}

QByteArray fromStd(const std::string &text)
{
    return QByteArray(text.data(), int(text.size()));
}

QByteArray scriptKey(const QByteArray &method, const QByteArray &path)
{
    return method + ' ' + path;
}

const size_t FillerChunk = 64 * 1024;

} // namespace

TestHttpServer::Reply TestHttpServer::Reply::json(const QJsonArray &array, int status)
{
    return text(QJsonDocument(array).toJson(QJsonDocument::Compact), status, "application/json");
}

TestHttpServer::Reply TestHttpServer::Reply::json(const QJsonObject &object, int status)
{
    return text(QJsonDocument(object).toJson(QJsonDocument::Compact), status, "application/json");
}

TestHttpServer::Reply TestHttpServer::Reply::text(const QByteArray &body, int status,
                                                  const QByteArray &contentType)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    reply.contentType = contentType;
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::empty(int status)
{
    return text(QByteArray(), status, QByteArray());
}

TestHttpServer::Reply TestHttpServer::Reply::redirect(int status, const QByteArray &location)
{
    Reply reply = empty(status);
    reply.headers.append(qMakePair(QByteArray("Location"), location));
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::neverAnswer()
{
    Reply reply;
    reply.kind = NeverAnswer;
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::closeMidReply(const QByteArray &body)
{
    Reply reply = text(body);
    reply.kind = CloseMidReply;
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::generated(qint64 size, bool chunked)
{
    Reply reply;
    reply.kind = Generated;
    reply.generatedSize = size;
    reply.chunked = chunked;
    reply.contentType = "application/octet-stream";
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::delayed(int milliseconds) const
{
    Reply reply = *this;
    reply.delayMs = milliseconds;
    return reply;
}

TestHttpServer::TestHttpServer() = default;

TestHttpServer::~TestHttpServer()
{
    stop();
}

bool TestHttpServer::start()
{
    QStringList hosts{QStringLiteral("127.0.0.1")};
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHostIPv6))
        hosts.append(QStringLiteral("::1"));
    return start(hosts);
}

bool TestHttpServer::start(const QStringList &hosts)
{
    if (!m_servers.empty() || hosts.isEmpty())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = false;
    }

    // The system picks the port on the first address; the others must take the same one,
    // which another program may hold, so a few fresh ports are tried.
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::vector<std::unique_ptr<httplib::Server>> servers;
        int port = 0;
        bool bound = true;
        for (const QString &host : hosts) {
            auto server = std::make_unique<httplib::Server>();
            server->new_task_queue = [] { return new httplib::ThreadPool(16); };
            // One request per connection, announced with "Connection: close": an idle
            // keep-alive connection would hold stop() for the whole keep-alive timeout.
            server->set_keep_alive_max_count(1);
            const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
                handle(request, response);
            };
            server->Get(".*", handler);
            server->Post(".*", handler);
            server->Patch(".*", handler);
            if (port == 0) {
                port = server->bind_to_any_port(host.toStdString());
                bound = port > 0;
            } else {
                bound = server->bind_to_port(host.toStdString(), port);
            }
            if (!bound)
                break;
            servers.push_back(std::move(server));
        }
        if (!bound && port == 0)
            return false;
        if (!bound)
            continue;
        m_port = quint16(port);
        m_hosts = hosts;
        m_servers = std::move(servers);
        for (auto &server : m_servers) {
            httplib::Server *raw = server.get();
            m_threads.emplace_back([raw] { raw->listen_after_bind(); });
        }
        // stop() only reaches a server whose accept loop is already running; one stopped
        // before would go on listening and its thread would never end.
        for (auto &server : m_servers) {
            while (!server->is_running())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    return false;
}

void TestHttpServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    for (auto &server : m_servers)
        server->stop();
    for (auto &thread : m_threads)
        thread.join();
    m_threads.clear();
    m_servers.clear();
}

quint16 TestHttpServer::port() const
{
    return m_port;
}

QString TestHttpServer::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

bool TestHttpServer::hasAddress6() const
{
    return m_hosts.contains(QStringLiteral("::1"));
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://%1%2").arg(address(), path);
}

void TestHttpServer::setReply(const QByteArray &method, const QByteArray &path, const Reply &reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.insert(scriptKey(method, path), {reply});
}

void TestHttpServer::addReply(const QByteArray &method, const QByteArray &path, const Reply &reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[scriptKey(method, path)].append(reply);
}

QList<TestHttpServer::Request> TestHttpServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

int TestHttpServer::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

QStringList TestHttpServer::requestLines() const
{
    QStringList lines;
    for (const Request &request : requests())
        lines.append(QString::fromLatin1(request.method + ' ' + request.path));
    return lines;
}

void TestHttpServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

TestHttpServer::Reply TestHttpServer::nextReply(const QByteArray &method, const QByteArray &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto script = m_replies.find(scriptKey(method, path));
    const int query = path.indexOf('?');
    if (script == m_replies.end() && query >= 0)
        script = m_replies.find(scriptKey(method, path.left(query)));
    if (script == m_replies.end() || script->isEmpty())
        return Reply::text("no reply scripted\n", 404);
    // The last reply of a queue answers every request from then on.
    return script->size() > 1 ? script->takeFirst() : script->first();
}

bool TestHttpServer::waitUnlessStopped(int milliseconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (milliseconds < 0) {
        m_stopped.wait(lock, [this] { return m_stopping; });
        return false;
    }
    return !m_stopped.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stopping; });
}

void TestHttpServer::handle(const httplib::Request &request, httplib::Response &response)
{
    Request record;
    record.method = fromStd(request.method);
    // The decoded path would hide how the client encoded it; the request line shows it.
    record.path = fromStd(request.target.empty() ? request.path : request.target);
    record.body = fromStd(request.body);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.append(record);
    }

    const Reply reply = nextReply(record.method, record.path);
    if (reply.kind == Reply::NeverAnswer || (reply.delayMs > 0 && !waitUnlessStopped(reply.delayMs))) {
        waitUnlessStopped(-1);
        response.status = 503;
        return;
    }

    response.status = reply.status;
    for (const auto &header : reply.headers)
        response.set_header(toStd(header.first), toStd(header.second));
    const std::string contentType = toStd(reply.contentType);

    switch (reply.kind) {
    case Reply::Normal:
    case Reply::NeverAnswer:
        if (!reply.body.isEmpty())
            response.set_content(toStd(reply.body), contentType);
        break;
    case Reply::CloseMidReply: {
        const std::string half = toStd(reply.body.left(reply.body.size() / 2));
        response.set_content_provider(size_t(reply.body.size()), contentType,
                                      [half](size_t offset, size_t, httplib::DataSink &sink) {
                                          if (offset == 0 && !half.empty())
                                              sink.write(half.data(), half.size());
                                          // Failing the provider makes the server drop the
                                          // connection with the body unfinished.
                                          return false;
                                      });
        break;
    }
    case Reply::Generated: {
        const size_t total = size_t(reply.generatedSize);
        const auto stopping = [this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_stopping;
        };
        if (reply.chunked) {
            response.set_chunked_content_provider(
                contentType, [total, stopping](size_t offset, httplib::DataSink &sink) {
                    if (stopping())
                        return false;
                    if (offset >= total) {
                        sink.done();
                        return true;
                    }
                    const std::string filler(std::min(FillerChunk, total - offset), 'x');
                    return sink.write(filler.data(), filler.size());
                });
        } else {
            response.set_content_provider(
                total, contentType, [stopping](size_t, size_t length, httplib::DataSink &sink) {
                    if (stopping())
                        return false;
                    const std::string filler(std::min(FillerChunk, length), 'x');
                    return sink.write(filler.data(), filler.size());
                });
        }
        break;
    }
    }
}
