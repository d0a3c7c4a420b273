// The secured facility the simulator plays: its authorization server, and nodes and a
// registry that want its tokens, met from outside as a controller meets them.

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QWebSocket>
#include <QtTest>

namespace {

struct Answer
{
    int status = 0;
    QByteArray challenge;
    QJsonObject body;
    QUrl location;
    QByteArray data;
};

QByteArray base64Url(const QByteArray &data)
{
    return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

} // namespace

class tst_SimAuth : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        // Kept-alive connections would hold the servers' workers, which stopping waits for.
        m_manager.clearConnectionCache();
        if (m_process) {
            m_process->terminate();
            m_process->waitForFinished(10000);
        }
    }
    void servesMetadataAndAnnouncesAuthorization();
    void grantsTokens_data();
    void grantsTokens();
    void apisWantTokens_data();
    void apisWantTokens();
    void webSocketWantsToken_data();
    void webSocketWantsToken();

private:
    bool start(const QStringList &extra = {})
    {
        m_process.reset(new QProcess);
        m_process->start(QStringLiteral(FERROLINK_BINARY_DIR "/tools/nmos-simnode"),
                         QStringList{"--label", "camera", "--video-receivers", "1", "--registry", "0", "--auth", "0"} + extra);
        QByteArray output;
        while (!output.contains("ready\n") && m_process->waitForReadyRead(15000))
            output += m_process->readAllStandardOutput();
        QJsonObject ports;
        for (const QByteArray &line : output.split('\n')) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            for (auto it = object.begin(); it != object.end(); ++it)
                ports.insert(it.key(), it.value());
        }
        const QString scheme = extra.contains("--tls-cert") ? "https" : "http";
        const auto base = [&](const char *key) { return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(ports.value(key).toInt()); };
        node = base("port");
        registry = base("registry");
        auth = base("auth");
        return ports.value("auth").toInt() > 0;
    }

    Answer send(const QByteArray &method, const QString &url, const QByteArray &body = {},
                const QByteArray &authorization = {}, const QByteArray &type = "application/x-www-form-urlencoded")
    {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setHeader(QNetworkRequest::ContentTypeHeader, type);
        if (!authorization.isEmpty())
            request.setRawHeader("Authorization", authorization);
        QScopedPointer<QNetworkReply, QScopedPointerDeleteLater> reply(m_manager.sendCustomRequest(request, method, body));
        QSignalSpy finished(reply.data(), &QNetworkReply::finished);
        finished.wait(10000);
        const QByteArray data = reply->readAll();
        return Answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->rawHeader("WWW-Authenticate"),
                      QJsonDocument::fromJson(data).object(), reply->header(QNetworkRequest::LocationHeader).toUrl(), data};
    }

    QJsonObject registerClient(const QJsonObject &metadata)
    {
        return send("POST", auth + "/register", QJsonDocument(metadata).toJson(), {}, "application/json").body;
    }

    // A confidential client's token by the client-credentials grant.
    QByteArray clientToken(const QString &scope)
    {
        const QJsonObject client = registerClient({{"client_name", "script"}, {"grant_types", QJsonArray{"client_credentials"}}});
        const QByteArray basic = "Basic " + (client.value("client_id").toString() + ':' + client.value("client_secret").toString()).toUtf8().toBase64();
        return send("POST", auth + "/token", "grant_type=client_credentials&scope=" + scope.toUtf8(), basic)
            .body.value("access_token").toString().toLatin1();
    }

    // The simulator's own state path is open to all.
    QJsonObject receiverState() { return send("GET", node + "/x-simnode/state").body.value("receivers").toArray().first().toObject(); }

    // A certificate for 127.0.0.1, trusted by the test alone.
    QStringList tlsOptions()
    {
        const QString certificate = m_dir.filePath("cert.pem");
        const QString key = m_dir.filePath("key.pem");
        if (!QFile::exists(certificate)) {
            QProcess::execute("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                          "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                          "-keyout", key, "-out", certificate});
            QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
            configuration.addCaCertificates(certificate);
            QSslConfiguration::setDefaultConfiguration(configuration);
        }
        return {"--tls-cert", certificate, "--tls-key", key, "--bind", "127.0.0.1"};
    }

    QTemporaryDir m_dir;
    QNetworkAccessManager m_manager;
    std::unique_ptr<QProcess> m_process;
    QString node;
    QString registry;
    QString auth;
};

void tst_SimAuth::servesMetadataAndAnnouncesAuthorization()
{
    QVERIFY(start());
    const QJsonObject metadata = send("GET", auth + "/.well-known/oauth-authorization-server").body;
    QCOMPARE(metadata.value("issuer").toString(), auth);
    for (const char *endpoint : {"authorization", "token", "registration"})
        QVERIFY2(metadata.value(QLatin1String(endpoint) + "_endpoint").toString().startsWith(auth), endpoint);
    QCOMPARE(metadata.value("code_challenge_methods_supported").toArray(), QJsonArray{"S256"});
    const QJsonObject key = send("GET", metadata.value("jwks_uri").toString()).body.value("keys").toArray().first().toObject();
    QCOMPARE(key.value("kty").toString(), "RSA");
    QVERIFY(!key.value("n").toString().isEmpty());

    // The node's resources, as the registry holds them, say its APIs want a token.
    const QByteArray bearer = "Bearer " + clientToken("query");
    const auto first = [&](const QString &collection) {
        const Answer answer = send("GET", registry + "/x-nmos/query/v1.3/" + collection + '/', {}, bearer);
        return QJsonDocument::fromJson(answer.data).array().first().toObject();
    };
    const QJsonObject self = first("nodes");
    const QJsonObject device = first("devices");
    QCOMPARE(self["api"]["endpoints"][0]["authorization"], QJsonValue(true));
    QCOMPARE(device["controls"][0]["authorization"], QJsonValue(true));
}

void tst_SimAuth::grantsTokens_data()
{
    QTest::addColumn<QString>("flow");
    QTest::addColumn<QString>("error");
    QTest::newRow("client credentials") << "credentials" << "";
    QTest::newRow("revoked client") << "revoked" << "invalid_client";
    QTest::newRow("authorization code with PKCE") << "code" << "";
    QTest::newRow("wrong code verifier") << "wrong verifier" << "invalid_grant";
    QTest::newRow("refresh token") << "refresh" << "";
}

void tst_SimAuth::grantsTokens()
{
    QFETCH(QString, flow);
    QFETCH(QString, error);
    QVERIFY(start());
    Answer answer;
    if (flow == "credentials" || flow == "revoked") {
        const QJsonObject client = registerClient({{"client_name", "script"}, {"grant_types", QJsonArray{"client_credentials"}}});
        const QString id = client.value("client_id").toString();
        QVERIFY(id.size() >= 20);
        if (flow == "revoked")
            QCOMPARE(send("DELETE", auth + "/x-simauth/clients/" + id).status, 204);
        const QByteArray basic = "Basic " + (id + ':' + client.value("client_secret").toString()).toUtf8().toBase64();
        answer = send("POST", auth + "/token", "grant_type=client_credentials", basic);
    } else {
        const QString redirect = "http://127.0.0.1:9/done";
        const QJsonObject client = registerClient({{"client_name", "window"},
                                                   {"grant_types", QJsonArray{"authorization_code", "refresh_token"}},
                                                   {"token_endpoint_auth_method", "none"},
                                                   {"redirect_uris", QJsonArray{redirect}}});
        QVERIFY(!client.contains("client_secret"));
        const QByteArray verifier = base64Url(QByteArray(32, 'v'));
        QUrlQuery query{{"response_type", "code"}, {"client_id", client.value("client_id").toString()},
                        {"redirect_uri", redirect}, {"scope", "connection"}, {"state", "s-42"},
                        {"code_challenge", base64Url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256))},
                        {"code_challenge_method", "S256"}};
        const Answer approved = send("GET", auth + "/authorize?" + query.toString(QUrl::FullyEncoded));
        QCOMPARE(approved.status, 302);
        const QUrlQuery back(approved.location);
        QCOMPARE(approved.location.adjusted(QUrl::RemoveQuery).toString(), redirect);
        QCOMPARE(back.queryItemValue("state"), "s-42");
        query = QUrlQuery{{"grant_type", "authorization_code"}, {"code", back.queryItemValue("code")},
                          {"redirect_uri", redirect}, {"client_id", client.value("client_id").toString()},
                          {"code_verifier", flow == "wrong verifier" ? base64Url(QByteArray(32, 'w')) : verifier}};
        answer = send("POST", auth + "/token", query.toString(QUrl::FullyEncoded).toLatin1());
        if (flow == "refresh") {
            query = QUrlQuery{{"grant_type", "refresh_token"}, {"client_id", client.value("client_id").toString()},
                              {"refresh_token", answer.body.value("refresh_token").toString()}};
            answer = send("POST", auth + "/token", query.toString(QUrl::FullyEncoded).toLatin1());
        }
    }
    QCOMPARE(answer.body.value("error").toString(), error);
    QCOMPARE(answer.status, error.isEmpty() ? 200 : error == "invalid_client" ? 401 : 400);
    if (error.isEmpty()) {
        const QByteArray bearer = "Bearer " + answer.body.value("access_token").toString().toLatin1();
        QCOMPARE(send("GET", node + "/x-nmos/connection/v1.1/single/receivers/", {}, bearer).status, 200);
    }
}

void tst_SimAuth::apisWantTokens_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("scope");
    QTest::addColumn<QString>("token");
    QTest::addColumn<bool>("patch"); // else a registry query
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    QTest::newRow("patch") << QStringList() << "connection" << "issued" << true << 200 << "";
    QTest::newRow("query") << QStringList() << "query" << "issued" << false << 200 << "";
    QTest::newRow("patch without token") << QStringList() << "" << "" << true << 401 << "";
    QTest::newRow("query without token") << QStringList() << "" << "" << false << 401 << "";
    QTest::newRow("claim reads only") << QStringList{"--auth-read-only", "connection"} << "connection" << "issued" << true << 403 << "insufficient_scope";
    QTest::newRow("no claim for the API") << QStringList() << "connection" << "issued" << false << 403 << "insufficient_scope";
    QTest::newRow("forged claim") << QStringList() << "node" << "forged" << true << 401 << "invalid_token";
    QTest::newRow("expired") << QStringList{"--token-lifetime", "3"} << "connection" << "expired" << true << 401 << "invalid_token";
}

void tst_SimAuth::apisWantTokens()
{
    QFETCH(QStringList, options);
    QFETCH(QString, scope);
    QFETCH(QString, token);
    QFETCH(bool, patch);
    QFETCH(int, status);
    QFETCH(QString, error);
    QVERIFY(start(options));
    QByteArray bearer;
    if (!token.isEmpty())
        bearer = "Bearer " + clientToken(scope);
    if (token == "forged") {
        // Its own claims widened to the Connection API, under the signature of the narrower ones.
        QList<QByteArray> parts = bearer.split('.');
        QJsonObject claims = QJsonDocument::fromJson(QByteArray::fromBase64(parts[1], QByteArray::Base64UrlEncoding)).object();
        claims.insert("x-nmos-connection", claims.value("x-nmos-node"));
        parts[1] = base64Url(QJsonDocument(claims).toJson(QJsonDocument::Compact));
        bearer = parts.join('.');
    }
    int patchesBefore = receiverState().value("patches").toInt();
    const auto request = [&] {
        if (!patch)
            return send("GET", registry + "/x-nmos/query/v1.3/receivers/", {}, bearer);
        const QString url = node + "/x-nmos/connection/v1.1/single/receivers/" + receiverState().value("id").toString() + "/staged";
        return send("PATCH", url, R"({"master_enable": false})", bearer, "application/json");
    };
    Answer answer = request();
    if (token == "expired") {
        QCOMPARE(answer.status, 200);
        QTRY_VERIFY_WITH_TIMEOUT(request().status != 200, 10000);
        patchesBefore = receiverState().value("patches").toInt();
        answer = request();
    }
    QCOMPARE(answer.status, status);
    if (status >= 400) {
        QVERIFY2(answer.challenge.startsWith("Bearer realm=\""), answer.challenge);
        QCOMPARE(answer.challenge.contains("error=\"" + error.toLatin1() + '"'), !error.isEmpty());
        QCOMPARE(answer.body.value("code").toInt(), status);
    }
    // Only an allowed request reaches the receiver.
    QCOMPARE(receiverState().value("patches").toInt() - patchesBefore, patch && status == 200 ? 1 : 0);
}

void tst_SimAuth::webSocketWantsToken_data()
{
    QTest::addColumn<QString>("carrier");
    QTest::addColumn<bool>("tls");
    QTest::newRow("header") << "header" << false;
    QTest::newRow("header over TLS") << "header" << true;
    QTest::newRow("query parameter") << "query" << false;
    QTest::newRow("none") << "" << false;
}

void tst_SimAuth::webSocketWantsToken()
{
    QFETCH(QString, carrier);
    QFETCH(bool, tls);
    QVERIFY(start(tls ? tlsOptions() : QStringList()));
    const QByteArray token = clientToken("query");
    const QJsonObject subscription{{"max_update_rate_ms", 100}, {"resource_path", "/receivers"}, {"params", QJsonObject()},
                                   {"persist", false}, {"secure", false}};
    const Answer created = send("POST", registry + "/x-nmos/query/v1.3/subscriptions", QJsonDocument(subscription).toJson(),
                                "Bearer " + token, "application/json");
    QCOMPARE(created.status, 201);
    QCOMPARE(created.body.value("authorization"), true);
    QUrl url(created.body.value("ws_href").toString());
    QCOMPARE(url.scheme(), tls ? "wss" : "ws");
    if (carrier == "query")
        url.setQuery(QUrlQuery{{"access_token", token}});
    QNetworkRequest request(url);
    if (carrier == "header")
        request.setRawHeader("Authorization", "Bearer " + token);
    QWebSocket socket;
    QSignalSpy messages(&socket, &QWebSocket::textMessageReceived);
    QSignalSpy closed(&socket, &QWebSocket::disconnected);
    socket.open(request);
    QVERIFY(carrier.isEmpty() ? closed.wait(10000) : messages.wait(10000));
    QCOMPARE(messages.count(), carrier.isEmpty() ? 0 : 1);
    // Refused before the upgrade, with the challenge.
    if (carrier.isEmpty())
        QVERIFY2(socket.errorString().contains("401"), qPrintable(socket.errorString()));
}

QTEST_MAIN(tst_SimAuth)
#include "tst_simauth.moc"
