#ifndef NMOSREGISTRYBROWSER_H
#define NMOSREGISTRYBROWSER_H

#include "net/authorizationsession.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QObject>
#include <QHostAddress>
#include <QSet>
#include <QStringList>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "discovery/queryapireader.h"
#include "discovery/serviceannouncements.h"
#include "nmos/nmosclient.h"
#include "nmos/nmosresourcestore.h"

class QNetworkAccessManager;

// Reads what an NMOS registry holds: chooses a Query API (one given, or the best of those
// announced as "_nmos-query._tcp"), falls over to the next when it fails, goes back to a
// better one that answers again, and lists the video entries of every node it holds.
class NMOSRegistryBrowser : public QObject
{
    Q_OBJECT

public:
    // IS-04 keeps these for development; such registries are only used when asked for.
    static constexpr int DevelopmentPriority = 100;
    // The longest the listing of changed nodes holds the event loop at a time.
    static constexpr int ListingSliceMs = 20;

    explicit NMOSRegistryBrowser(QObject *parent = nullptr);
    ~NMOSRegistryBrowser() override;

    // Uses this Query API only, instead of browsing; a base without a path gets the
    // standard one (/x-nmos/query), and the highest version both speak. Takes effect at once
    // when started.
    void setRegistry(const QUrl &base);
    void setDevelopmentRegistriesAllowed(bool allowed);
    // Also finds registries by unicast DNS-SD in these domains; the system's search domains
    // when none are given. Takes effect at once when started.
    void setDnsDomains(const QStringList &domains);
    // Asks this name server for them instead of the system's, from the next start.
    void setDnsNameserver(const QHostAddress &server) { m_dnsNameserver = server; }
    // The first pause before a registry that failed is asked again, whether to be read or,
    // while a worse one is read, probed; each failure in a row doubles it, up to
    // QueryApiReader::RetryMaxMs.
    void setPollInterval(int ms);
    // How often a quiet WebSocket is pinged; three pings without answer end it.
    void setPingInterval(int ms) { m_pingInterval = ms; }
    // A secured facility's session: registries announced with api_auth=true are used too, read
    // once the session holds a token, and every request to a registry carries the token.
    void setAuthorization(AuthorizationSession *session);

    void start();
    void stop();
    bool isStarted() const { return m_started; }
    // The Query API being read; empty while none is.
    QUrl currentRegistry() const;
    // Every collection of the current registry has been read at least once, and the entries
    // of what was read are listed.
    bool isSettled() const { return m_settled; }

    // The base URL that --registry text stands for; empty when it names no http(s) server.
    static QUrl registryBase(const QString &text);
    // The Node API self URL behind each usable http entry of a node's api.endpoints; the
    // entries left out are logged.
    static QList<QUrl> selfUrls(const QJsonObject &node);

    // What the registry holds, kept current; its signals tell every change of a resource
    // and of a receiver's subscription. It keeps what was read when a registry fails.
    NmosResourceStore *store() { return &m_store; }

signals:
    // The video entries of a registry node, listed again whenever any of its resources
    // changed: all of them each time, under every usable address of the node. Each record's
    // endpoint carries the node id (its Node API is never asked) and its device's IS-05 base;
    // a sender or receiver whose device offers no usable IS-05 control is left out.
    void entriesListed(const QString &nodeId, const QString &nodeName,
                       const QList<NmosClient::SenderConnection> &senders,
                       const QList<NmosClient::ReceiverConnection> &receivers);
    void registryChanged(QUrl base);
    // The registry to read wants a token that the session does not hold: a sign-in is needed.
    void authorizationNeeded(QUrl base);
    void settledChanged();

private:
    struct Candidate
    {
        QByteArray name; // service instance; empty for the registry given
        int priority = 0;
        quint32 tieBreak = 0;
        QString scheme;
        QString version;
        quint16 port = 0;
        QUrl base;
        QString verifyName; // the host its announcement named, which its certificate names
        bool authorization = false; // announced with api_auth=true
        bool failed = false;   // since it was last read whole
        qint64 retryAtMs = 0;  // not asked again before this
        int retryMs = 0;       // the pause after its next failure
    };

    void onAnnounced(const ServiceAnnouncements::Announcement &announcement);
    void onWithdrawn(const QByteArray &name);
    bool readCandidate(const QMdnsEngine::Service &svc, Candidate *candidate) const;
    void useNext();
    void useBest();
    int priorityOf(const QUrl &base) const;
    void onReaderFailed();
    void onReaderReadAll();
    void settleIfListed();
    Candidate *candidateRead();
    void backOff(Candidate *candidate);
    void scheduleRetry();
    void retryDue();
    void probeBetter();
    void scheduleListing();
    void listChangedNodes();
    void listNode(const QString &nodeId);
    void restart();
    void setSettled(bool settled);

    QUrl m_given;
    bool m_developmentAllowed = false;
    int m_pollInterval;
    int m_pingInterval = QueryApiReader::DefaultPingIntervalMs;
    bool m_started = false;
    bool m_settled = false;
    ServiceAnnouncements *m_announcements = nullptr;
    QStringList m_dnsDomains;
    QHostAddress m_dnsNameserver;
    QList<Candidate> m_candidates;
    QueryApiReader *m_reader = nullptr;
    QUrl m_readBase; // the base of the candidate the reader was made for
    // A registry that failed is left alone for a pause that doubles at each failure in a
    // row: once every registry has failed, the first whose pause is over is read again;
    // while a worse one is read, a better one is probed when its pause is over.
    QTimer m_retry;
    QElapsedTimer m_clock;
    QNetworkAccessManager *m_probeNam;
    QPointer<AuthorizationSession> m_session;
    QMetaObject::Connection m_waitForToken;
    NmosResourceStore m_store;
    // Nodes whose entries are listed once the current burst of changes is over.
    QSet<QString> m_changedNodes;
    bool m_listingScheduled = false;
    QSet<QString> m_refusals; // the reasons for entries left out, each logged once
};

#endif // NMOSREGISTRYBROWSER_H
