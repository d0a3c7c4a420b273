#ifndef REPLYLIMITS_H
#define REPLYLIMITS_H

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QSslCertificate;
class QNetworkReply;
class QNetworkRequest;

// Bounds what a node can make one HTTP request cost: a reply that makes no progress for the
// transfer timeout, that is not complete after TotalTimeFactor times that, or whose body
// grows past MaxReplySize, is aborted. Nodes are not trusted to end a reply, and a reply
// that never ends, or trickles a byte now and then, would otherwise be held for the
// program's life, and with it the operator's run.
//
// A GET made by get() follows a 301 or 308 only to the same scheme, host and port (a path
// asked without its trailing slash, or with one too many); any other redirect is refused,
// logged, and fails the reply.
class ReplyLimits : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 MaxReplySize = 16 * 1024 * 1024;
    static constexpr int DefaultTransferTimeoutMs = 10000;
    static constexpr int TotalTimeFactor = 3;

    // Watches the reply until it finishes; the watcher is a child of the reply. Call it
    // right after the request is made.
    static void watch(QNetworkReply *reply);
    // Sends a GET of request and watches it.
    static QNetworkReply *get(QNetworkAccessManager *manager, QNetworkRequest request);
    static constexpr int MaxRedirects = 3;
    // Whether a finished reply failed, by breaking a limit or with a network error (HTTP
    // error statuses included); *reason then says why, for a node whose certificate is not
    // trusted "TLS: <reason> for <host>", for an HTTP error the "error" text of an NMOS
    // error body after the network layer's own. A reply can break the size limit with its
    // last bytes and still finish without an error of its own.
    static bool failed(QNetworkReply *reply, QString *reason);

    // Whether the certificate names host: a subject alternative DNS name (a "*" standing
    // for the whole first label), or the common name when it has none (RFC 6125).
    static bool certificateNames(const QSslCertificate &certificate, const QString &host);

    static int transferTimeoutMs();
    // For tests, so that a node that never answers costs them less than the real limit.
    static void setTransferTimeoutMs(int milliseconds);

private:
    explicit ReplyLimits(QNetworkReply *reply);
    void abortReply(const QString &reason);
    void checkRedirect(const QUrl &target);

    QNetworkReply *m_reply;
    QUrl m_url; // where the reply was last sent
    QTimer m_stall;
    QTimer m_deadline;
    QString m_reason;
    QString m_tlsReason;
};

#endif // REPLYLIMITS_H
