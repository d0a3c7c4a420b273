#include "net/authorizationsession.h"
#include "net/authorizingnetworkaccessmanager.h"
#include "nmos/nmosclient.h"
#include "tests/support/certificates.h"
#include "tests/support/testhttpsserver.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <memory>

using Session = AuthorizationSession;
using Response = TestHttpsServer::Response;

// An authorization server that approves every sign-in at once, as a test server does, and
// checks what a client sends it: PKCE, client ids, the confidential client's secret.
struct FakeAuthority
{
    QUrl base;
    QJsonArray authMethods{"client_secret_basic", "client_secret_post"};
    QString tokenScheme = "https";
    int expiresIn = 3600;
    bool refreshTokens = true;
    QSet<QString> clients;          // public clients it knows
    bool refuseEveryClient = false;
    QHash<QString, QString> codes;  // code: its code_challenge
    QList<QJsonObject> registrations;
    QList<TestHttpsServer::Request> tokenRequests;
    int issued = 0;

    Response issue(bool refresh)
    {
        QJsonObject token{{"access_token", QString("token-%1").arg(++issued)}, {"token_type", "bearer"}, {"expires_in", expiresIn}};
        if (refresh && refreshTokens)
            token.insert("refresh_token", QString("refresh-%1-%2").arg(issued).arg(QString(40, 'r')));
        return {200, QJsonDocument(token).toJson(), {}};
    }
    static Response refuse(int status, const QString &error)
    {
        return {status, QJsonDocument(QJsonObject{{"error", error}}).toJson(), {}};
    }

    Response handle(const TestHttpsServer::Request &request)
    {
        const QString path = request.url.path();
        const QUrlQuery query(request.method == "GET" ? request.url.query() : QString::fromLatin1(request.body));
        const auto value = [&query](const char *name) { return query.queryItemValue(name, QUrl::FullyDecoded); };
        if (path == "/.well-known/oauth-authorization-server") {
            QUrl token = base.resolved(QUrl("/token"));
            token.setScheme(tokenScheme);
            return {200, QJsonDocument(QJsonObject{{"issuer", base.toString()}, {"authorization_endpoint", base.resolved(QUrl("/authorize")).toString()},
                                                   {"token_endpoint", token.toString()}, {"registration_endpoint", base.resolved(QUrl("/register")).toString()},
                                                   {"token_endpoint_auth_methods_supported", authMethods}}).toJson(), {}};
        }
        if (path == "/register") {
            registrations.append(QJsonDocument::fromJson(request.body).object());
            const QString id = QString("client-%1").arg(registrations.size());
            clients.insert(id);
            return {201, QJsonDocument(QJsonObject{{"client_id", id}}).toJson(), {}};
        }
        if (path == "/authorize") {
            if (!clients.contains(value("client_id")) || value("code_challenge_method") != "S256")
                return refuse(400, "invalid_request");
            const QString code = QString("code-%1").arg(codes.size() + 1);
            codes.insert(code, value("code_challenge"));
            QUrl back(value("redirect_uri"));
            back.setQuery(QUrlQuery{{"code", code}, {"state", value("state")}});
            return {302, QByteArray(), back.toEncoded()};
        }
        if (path != "/token")
            return {404, QByteArray(), {}};
        tokenRequests.append(request);
        const QString grant = value("grant_type");
        if (grant == "client_credentials") {
            const QByteArray basic = "Basic " + QByteArray("cli:s3cret%21").toBase64();
            const bool posted = value("client_id") == "cli" && value("client_secret") == "s3cret!";
            return request.headers.value("authorization") == basic || posted ? issue(false) : refuse(401, "invalid_client");
        }
        if (refuseEveryClient || !clients.contains(value("client_id")))
            return refuse(401, "invalid_client");
        if (grant == "refresh_token")
            return value("refresh_token").startsWith("refresh-") ? issue(true) : refuse(400, "invalid_grant");
        const QByteArray proof = QCryptographicHash::hash(value("code_verifier").toLatin1(), QCryptographicHash::Sha256)
                                     .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        return codes.take(value("code")) == proof && !proof.isEmpty() ? issue(true) : refuse(400, "invalid_grant");
    }
};

class tst_AuthorizationSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void signsInInTheBrowser_data();
    void signsInInTheBrowser();
    void renewsTheToken_data();
    void renewsTheToken();
    void registersARefusedClientOnce_data();
    void registersARefusedClientOnce();
    void refusesAServerItCannotTrust_data();
    void refusesAServerItCannotTrust();
    void sendsTheTokenOnlyToItsApis_data();
    void sendsTheTokenOnlyToItsApis();
    void readsTheChallenge_data();
    void readsTheChallenge();

private:
    // The status and Location of a GET.
    static QPair<int, QUrl> fetch(const QUrl &url);
    bool playBrowser(const QUrl &authorize, bool wrongStateFirst = false);
    bool signIn(Session *session, bool confidential);

    QTemporaryDir m_dir;
    std::unique_ptr<TestHttpsServer> m_server;
    FakeAuthority m_authority;
};

void tst_AuthorizationSession::initTestCase()
{
    // "rogue" is signed by nobody the application trusts.
    // "named" names only the host a server found by mDNS announced, while it is reached at an address.
    QVERIFY(makeCertificate(m_dir.path(), "server", "IP:127.0.0.1") && makeCertificate(m_dir.path(), "rogue", "IP:127.0.0.1", true)
            && makeCertificate(m_dir.path(), "named", "DNS:auth.studio.local"));
    QString error;
    QVERIFY2(NmosClient::addTrustedAuthorities(m_dir.filePath("ca.pem"), &error), qPrintable(error));
}

void tst_AuthorizationSession::init()
{
    m_server.reset(new TestHttpsServer(m_dir.filePath("server.pem"), m_dir.filePath("server.key")));
    QVERIFY(m_server->listen(QHostAddress::LocalHost));
    m_authority = FakeAuthority();
    m_authority.base = m_server->url();
    m_server->handler = [this](const TestHttpsServer::Request &request) { return m_authority.handle(request); };
}

QPair<int, QUrl> tst_AuthorizationSession::fetch(const QUrl &url)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    finished.wait(5000);
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->header(QNetworkRequest::LocationHeader).toUrl()};
}

// Plays the operator's browser: the authorization server approves at once and sends the
// browser back to the session's listener.
bool tst_AuthorizationSession::playBrowser(const QUrl &authorize, bool wrongStateFirst)
{
    const QUrl back = fetch(authorize).second;
    if (wrongStateFirst) {
        QUrl forged = back;
        forged.setQuery(QUrlQuery{{"code", "code-forged"}, {"state", "forged"}});
        fetch(forged);
    }
    return back.host() == "127.0.0.1" && fetch(back).first == 200;
}

bool tst_AuthorizationSession::signIn(Session *session, bool confidential)
{
    QSignalSpy browser(session, &Session::authorizeWithBrowser);
    if (confidential)
        session->setClientCredentials("cli", "s3cret!");
    session->setServer(m_server->url());
    session->signIn();
    if (!confidential && (!browser.wait() || !playBrowser(browser.last().first().toUrl())))
        return false;
    return QTest::qWaitFor([session] { return session->state() == Session::SignedIn; });
}

void tst_AuthorizationSession::signsInInTheBrowser_data()
{
    QTest::addColumn<QString>("keptClient");
    QTest::addColumn<bool>("wrongStateFirst");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("text");

    QTest::newRow("registers, then signs in") << "" << false << false << "Signed in at 127.0.0.1 (expires %1)";
    QTest::newRow("with a kept client") << "client-kept" << false << false << "Signed in at 127.0.0.1 (expires %1)";
    QTest::newRow("a redirect with another state is ignored") << "client-kept" << true << false << "Signed in at 127.0.0.1 (expires %1)";
    QTest::newRow("cancelled") << "client-kept" << false << true << "Sign-in needed: sign-in cancelled";
}

void tst_AuthorizationSession::signsInInTheBrowser()
{
    QFETCH(QString, keptClient);
    QFETCH(bool, wrongStateFirst);
    QFETCH(bool, cancel);
    QFETCH(QString, text);

    Session session;
    QSignalSpy browser(&session, &Session::authorizeWithBrowser);
    QSignalSpy registered(&session, &Session::clientRegistered);
    if (!keptClient.isEmpty()) {
        m_authority.clients.insert(keptClient);
        session.setClientId(keptClient);
    }
    session.setServer(m_server->url());
    QCOMPARE(session.state(), Session::SignInNeeded);
    session.signIn();
    QVERIFY(browser.wait());
    QVERIFY(session.isServerKnown());
    QCOMPARE(session.state(), Session::SigningIn);
    const QString client = keptClient.isEmpty() ? "client-1" : keptClient;
    QCOMPARE(QUrlQuery(browser.first().first().toUrl()).queryItemValue("client_id"), client);
    QCOMPARE(registered, keptClient.isEmpty() ? QList<QVariantList>({{m_server->url(), client}}) : QList<QVariantList>());
    if (keptClient.isEmpty()) {
        const QJsonObject registration = m_authority.registrations.first();
        QCOMPARE(registration.value("token_endpoint_auth_method").toString(), "none");
        QCOMPARE(registration.value("grant_types").toArray(), QJsonArray({"authorization_code", "refresh_token"}));
        QCOMPARE(QUrl(registration.value("redirect_uris")[0].toString()).host(), "127.0.0.1");
        QCOMPARE(registration.value("scope").toString(), "query connection node");
    }
    if (cancel)
        session.cancelSignIn();
    // Signed in only by the browser's answer to this sign-in: a forged one asks for no token.
    QCOMPARE(playBrowser(browser.first().first().toUrl(), wrongStateFirst), !cancel);
    QTRY_COMPARE(session.state(), cancel ? Session::SignInNeeded : Session::SignedIn);
    QCOMPARE(m_authority.tokenRequests.size(), cancel ? 0 : 1);
    QCOMPARE(session.hasToken(), !cancel);
    QVERIFY(qAbs(QDateTime::currentDateTimeUtc().secsTo(session.expiry()) - 3600) < 60 || cancel);
    QCOMPARE(session.stateText(), cancel ? text : text.arg(session.expiry().toLocalTime().toString("HH:mm")));
}

void tst_AuthorizationSession::renewsTheToken_data()
{
    QTest::addColumn<bool>("confidential");
    QTest::addColumn<bool>("afterRefusal");
    QTest::addColumn<QJsonArray>("authMethods");
    QTest::addColumn<QString>("grant");

    const QJsonArray basic{"client_secret_basic"}, post{"client_secret_post"};
    QTest::newRow("window, before expiry") << false << false << basic << "refresh_token";
    QTest::newRow("window, after a 401") << false << true << basic << "refresh_token";
    QTest::newRow("CLI, before expiry") << true << false << basic << "client_credentials";
    QTest::newRow("CLI, after a 401, secret posted") << true << true << post << "client_credentials";
    QTest::newRow("window without a refresh token: dropped at expiry") << false << false << basic << "";
}

void tst_AuthorizationSession::renewsTheToken()
{
    QFETCH(bool, confidential);
    QFETCH(bool, afterRefusal);
    QFETCH(QJsonArray, authMethods);
    QFETCH(QString, grant);

    // 15 s before a 20 s token expires, or at once when a request was refused.
    m_authority.expiresIn = afterRefusal ? 3600 : grant.isEmpty() ? 2 : 20;
    m_authority.authMethods = authMethods;
    m_authority.refreshTokens = !grant.isEmpty();
    Session session;
    QVERIFY(signIn(&session, confidential));
    QSignalSpy tokenChanged(&session, &Session::tokenChanged);
    const int requests = m_authority.tokenRequests.size();
    if (afterRefusal) {
        // An API that refuses the first token: the client has it renewed once and asks once more.
        QList<QByteArray> bearers;
        const auto authority = m_server->handler;
        m_server->handler = [&bearers, authority](const TestHttpsServer::Request &request) {
            if (!request.url.path().startsWith("/x-nmos/"))
                return authority(request);
            bearers << request.headers.value("authorization");
            return TestHttpsServer::Response{bearers.size() == 1 ? 401 : 200, "[]"};
        };
        AuthorizingNetworkAccessManager manager(&session);
        const QUrl api = m_server->url("/x-nmos/node/v1.3/senders/");
        session.addApiOrigin(api);
        int status = 0;
        NmosClient::syncGet(&manager, api.toString(), &status);
        QCOMPARE(status, 200);
        QCOMPARE(bearers, (QList<QByteArray>{"Bearer token-1", "Bearer token-2"}));
    }
    QVERIFY(!tokenChanged.isEmpty() || tokenChanged.wait(10000));
    QCOMPARE(m_authority.tokenRequests.size(), requests + (grant.isEmpty() ? 0 : 1));
    if (grant.isEmpty()) {
        QCOMPARE(session.stateText(), "Sign-in needed: the token expired");
        return;
    }
    const TestHttpsServer::Request renewal = m_authority.tokenRequests.last();
    const QUrlQuery form(QString::fromLatin1(renewal.body));
    QCOMPARE(form.queryItemValue("grant_type"), grant);
    QCOMPARE(form.queryItemValue("client_id"), confidential ? (authMethods == QJsonArray{"client_secret_post"} ? "cli" : "") : "client-1");
    QCOMPARE(renewal.headers.value("authorization").startsWith("Basic "), confidential && authMethods.contains("client_secret_basic"));
    QNetworkRequest request(m_server->url("/x-nmos/node/v1.3/"));
    session.addApiOrigin(request.url());
    QVERIFY(session.authorize(&request));
    QCOMPARE(request.rawHeader("Authorization"), QByteArray("Bearer token-2"));
}

void tst_AuthorizationSession::registersARefusedClientOnce_data()
{
    QTest::addColumn<bool>("confidential");
    QTest::addColumn<bool>("refuseEveryClient");
    QTest::addColumn<int>("registrations");
    QTest::addColumn<Session::State>("state");

    QTest::newRow("window, client revoked") << false << false << 2 << Session::SignedIn;
    QTest::newRow("window, every client refused") << false << true << 2 << Session::SignInNeeded;
    QTest::newRow("CLI, wrong secret") << true << false << 0 << Session::SignInNeeded;
}

void tst_AuthorizationSession::registersARefusedClientOnce()
{
    QFETCH(bool, confidential);
    QFETCH(bool, refuseEveryClient);
    QFETCH(int, registrations);
    QFETCH(Session::State, state);

    Session session;
    QSignalSpy browser(&session, &Session::authorizeWithBrowser);
    if (confidential) {
        session.setServer(m_server->url());
        session.setClientCredentials("cli", "wrong");
        session.signIn();
    } else {
        QVERIFY(signIn(&session, false));
        m_authority.clients.clear();
        QVERIFY(session.refreshNow());
        QVERIFY(browser.wait());
        m_authority.refuseEveryClient = refuseEveryClient;
        QVERIFY(playBrowser(browser.last().first().toUrl()));
    }
    QTRY_COMPARE(session.state(), state);
    QCOMPARE(m_authority.registrations.size(), registrations);
    if (state == Session::SignInNeeded)
        QCOMPARE(session.stateText(), "Sign-in needed: the authorization server refused a token: invalid_client");
    QCOMPARE(browser.count(), confidential ? 0 : 2);
}

void tst_AuthorizationSession::refusesAServerItCannotTrust_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("announcedName");
    QTest::addColumn<QString>("tokenScheme");
    QTest::addColumn<QString>("why");

    QTest::newRow("plain http") << "" << "" << "https" << "Sign-in needed: the authorization server http://127.0.0.1:%1 is not https";
    QTest::newRow("untrusted certificate") << "rogue" << "" << "https" << "Sign-in needed: cannot read the authorization server's metadata: TLS: ";
    QTest::newRow("token endpoint over http") << "server" << "" << "http" << "Sign-in needed: the authorization server's metadata names no https token endpoint";
    QTest::newRow("certificate of another host") << "named" << "auth.other.local" << "https" << "Sign-in needed: cannot read the authorization server's metadata: TLS: ";
    QTest::newRow("certificate of the announced host") << "named" << "auth.studio.local" << "https" << "Signed in at 127.0.0.1";
}

void tst_AuthorizationSession::refusesAServerItCannotTrust()
{
    QFETCH(QString, certificate);
    QFETCH(QString, announcedName);
    QFETCH(QString, tokenScheme);
    QFETCH(QString, why);

    TestHttpsServer server(certificate.isEmpty() ? "" : m_dir.filePath(certificate + ".pem"), m_dir.filePath(certificate + ".key"));
    QVERIFY(server.listen(QHostAddress::LocalHost));
    m_authority.base = server.url();
    m_authority.tokenScheme = tokenScheme;
    int requests = 0;
    server.handler = [this, &requests](const TestHttpsServer::Request &request) { return ++requests, m_authority.handle(request); };
    Session session;
    session.setClientCredentials("cli", "s3cret!");
    session.setServer(server.url(), announcedName);
    session.signIn();
    QTRY_VERIFY2(session.stateText().startsWith(why.replace("%1", QString::number(server.serverPort()))), qPrintable(session.stateText()));
    const bool trusted = why.startsWith("Signed in");
    QCOMPARE(session.state(), trusted ? Session::SignedIn : Session::SignInNeeded);
    QCOMPARE(requests, trusted ? 2 : certificate == "server" ? 1 : 0);
    QCOMPARE(m_authority.tokenRequests.size(), trusted ? 1 : 0);
}

void tst_AuthorizationSession::sendsTheTokenOnlyToItsApis_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("sent");

    // %1: an https API, %2: an http API on the same host, both added as API origins.
    QTest::newRow("https API") << "https://127.0.0.1:%1/x-nmos/connection/v1.1/single/" << true;
    QTest::newRow("plain http API") << "http://127.0.0.1:%2/x-nmos/node/v1.3/" << false;
    QTest::newRow("https, another port") << "https://127.0.0.1:%3/token" << false;
    QTest::newRow("https, the API's port on another host name") << "https://localhost:%1/" << false;
}

void tst_AuthorizationSession::sendsTheTokenOnlyToItsApis()
{
    QFETCH(QString, url);
    QFETCH(bool, sent);

    TestHttpsServer api(m_dir.filePath("server.pem"), m_dir.filePath("server.key")), plain("", "");
    QVERIFY(api.listen(QHostAddress::LocalHost) && plain.listen(QHostAddress::LocalHost));
    QList<QByteArray> received;
    for (TestHttpsServer *server : {&api, &plain})
        server->handler = [&received](const TestHttpsServer::Request &request) { return received.append(request.headers.value("authorization")), Response(); };
    Session session;
    QVERIFY(signIn(&session, true));
    session.addApiOrigin(api.url("/x-nmos/node/v1.3/"));
    session.addApiOrigin(plain.url());
    const QUrl target(url.replace("%1", QString::number(api.serverPort()))
                          .replace("%2", QString::number(plain.serverPort()))
                          .replace("%3", QString::number(m_server->serverPort())));

    AuthorizingNetworkAccessManager manager(&session);
    QNetworkRequest request(target);
    // Left from a request to an API, it must not go on to another place.
    request.setRawHeader("Authorization", "Bearer token-0");
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait());
    const QByteArray expected = sent ? "Bearer token-1" : "";
    QCOMPARE(reply->request().rawHeader("Authorization"), expected);
    QCOMPARE(received, target.port() == m_server->serverPort() || target.host() != "127.0.0.1" ? QList<QByteArray>() : QList<QByteArray>{expected});
    // The default port is the same origin, and a WebSocket's handshake goes to its API's.
    QNetworkRequest named(QUrl("https://localhost:443/x-nmos/query/v1.3/")), socket(QUrl("wss://localhost/ws/?uid=1")), plainSocket(QUrl("ws://localhost:443/"));
    session.addApiOrigin(QUrl("https://LOCALHOST/"));
    QVERIFY(session.authorize(&named) && session.authorize(&socket) && !session.authorize(&plainSocket));
}

void tst_AuthorizationSession::readsTheChallenge_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("description");

    QTest::newRow("quoted") << QByteArray(R"(Bearer realm="nmos", error="invalid_token", error_description="The token expired")") << "invalid_token" << "The token expired";
    QTest::newRow("token form") << QByteArray("Bearer error=insufficient_scope") << "insufficient_scope" << "";
    QTest::newRow("escapes and commas") << QByteArray(R"(Bearer error_description="a \"quoted\" word, and more", ERROR="invalid_request")") << "invalid_request" << R"(a "quoted" word, and more)";
    QTest::newRow("error inside another value") << QByteArray(R"(Bearer realm="error=\"fake\"")") << "" << "";
}

void tst_AuthorizationSession::readsTheChallenge()
{
    QFETCH(QByteArray, header);
    QFETCH(QString, error);
    QFETCH(QString, description);

    QCOMPARE(Session::challengeError(header).error, error);
    QCOMPARE(Session::challengeError(header).description, description);
}

QTEST_GUILESS_MAIN(tst_AuthorizationSession)
#include "tst_authorizationsession.moc"
