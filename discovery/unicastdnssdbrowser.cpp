#include "unicastdnssdbrowser.h"
#include "logging_p.h"

#include <QDnsLookup>
#include <QFile>
#include <QRegularExpression>

UnicastDnsSdBrowser::UnicastDnsSdBrowser(const QByteArray &type, QObject *parent)
    : QObject(parent)
    , m_type(type)
{
    qRegisterMetaType<UnicastDnsSdBrowser::Instance>();
    m_refresh.setInterval(DefaultRefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &UnicastDnsSdBrowser::browse);
}

void UnicastDnsSdBrowser::start()
{
    if (m_started)
        return;
    if (m_domains.isEmpty())
        m_domains = systemSearchDomains();
    m_started = true;
    m_refresh.start();
    browse();
}

void UnicastDnsSdBrowser::stop()
{
    m_started = false;
    m_refresh.stop();
    // Lookups under way end without reporting: their handlers check m_started.
    for (QDnsLookup *lookup : findChildren<QDnsLookup *>())
        lookup->deleteLater();
    m_roundLookups = 0;
    m_instances.clear();
    m_waiting.clear();
    m_thisRound.clear();
}

QStringList UnicastDnsSdBrowser::searchDomains(const QByteArray &resolvConf)
{
    QStringList domains;
    for (const QByteArray &rawLine : resolvConf.split('\n')) {
        const QString line = QString::fromLatin1(rawLine).simplified();
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.size() < 2 || (words.first() != QLatin1String("search") && words.first() != QLatin1String("domain")))
            continue;
        for (QString domain : words.mid(1)) {
            if (domain.startsWith(QLatin1Char('#')) || domain.startsWith(QLatin1Char(';')))
                break;
            while (domain.endsWith(QLatin1Char('.')))
                domain.chop(1);
            if (!domain.isEmpty() && !domains.contains(domain, Qt::CaseInsensitive))
                domains.append(domain);
        }
    }
    return domains;
}

QStringList UnicastDnsSdBrowser::systemSearchDomains()
{
    QFile file(QStringLiteral("/etc/resolv.conf"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    // A resolv.conf is small; one that is not is read no further than this.
    return searchDomains(file.read(64 * 1024));
}

QDnsLookup *UnicastDnsSdBrowser::makeLookup(int type, const QString &name)
{
    auto *lookup = new QDnsLookup(QDnsLookup::Type(type), name, this);
    if (!m_nameserver.isNull())
        lookup->setNameserver(m_nameserver);
    ++m_roundLookups;
    return lookup;
}

void UnicastDnsSdBrowser::browse()
{
    // A round still waiting on answers is left to finish; the next timeout tries again.
    if (!m_started || m_roundLookups > 0)
        return;
    m_lastRound = m_thisRound;
    m_thisRound.clear();
    m_instances.clear();
    m_waiting.clear();
    for (const QString &domain : qAsConst(m_domains)) {
        const QString typeName = QString::fromLatin1(m_type) + QLatin1Char('.') + domain;
        QDnsLookup *lookup = makeLookup(QDnsLookup::PTR, typeName);
        connect(lookup, &QDnsLookup::finished, this, [this, lookup, typeName] {
            lookup->deleteLater();
            if (!m_started)
                return;
            if (lookup->error() != QDnsLookup::NoError && lookup->error() != QDnsLookup::NotFoundError)
                qCWarning(lcRegistry) << "DNS-SD browse of" << typeName << "failed:" << lookup->errorString();
            for (const QDnsDomainNameRecord &record : lookup->pointerRecords()) {
                // Only instances of the type asked for, in the domain asked in (RFC 6763 4.1).
                const QString instance = record.value();
                if (instance.endsWith(QLatin1Char('.') + typeName, Qt::CaseInsensitive))
                    lookUpInstance(instance.toUtf8());
            }
            --m_roundLookups;
            finishRound();
        });
        lookup->lookup();
    }
    finishRound();
}

void UnicastDnsSdBrowser::lookUpInstance(const QByteArray &name)
{
    if (m_instances.contains(name))
        return;
    m_instances[name].name = name;
    m_waiting[name] = 2;
    QDnsLookup *srv = makeLookup(QDnsLookup::SRV, QString::fromUtf8(name));
    connect(srv, &QDnsLookup::finished, this, [this, srv, name] {
        srv->deleteLater();
        if (!m_started)
            return;
        // Sorted by priority and weight already: the first is the one to use.
        const QList<QDnsServiceRecord> records = srv->serviceRecords();
        if (!records.isEmpty()) {
            Instance &instance = m_instances[name];
            instance.hostName = records.first().target();
            while (instance.hostName.endsWith(QLatin1Char('.')))
                instance.hostName.chop(1);
            instance.port = records.first().port();
            if (!instance.hostName.isEmpty())
                lookUpAddresses(name);
        }
        report(name);
        --m_roundLookups;
        finishRound();
    });
    srv->lookup();

    QDnsLookup *txt = makeLookup(QDnsLookup::TXT, QString::fromUtf8(name));
    connect(txt, &QDnsLookup::finished, this, [this, txt, name] {
        txt->deleteLater();
        if (!m_started)
            return;
        Instance &instance = m_instances[name];
        for (const QDnsTextRecord &record : txt->textRecords()) {
            for (const QByteArray &entry : record.values()) {
                const int equals = entry.indexOf('=');
                const QByteArray key = (equals < 0 ? entry : entry.left(equals)).toLower();
                // The first of a repeated key counts (RFC 6763 6.4).
                if (!key.isEmpty() && !instance.attributes.contains(key))
                    instance.attributes.insert(key, equals < 0 ? QByteArray() : entry.mid(equals + 1));
            }
        }
        report(name);
        --m_roundLookups;
        finishRound();
    });
    txt->lookup();
}

void UnicastDnsSdBrowser::lookUpAddresses(const QByteArray &name)
{
    m_waiting[name] += 2;
    const QString host = m_instances.value(name).hostName;
    for (const QDnsLookup::Type type : {QDnsLookup::A, QDnsLookup::AAAA}) {
        QDnsLookup *lookup = makeLookup(type, host);
        connect(lookup, &QDnsLookup::finished, this, [this, lookup, name] {
            lookup->deleteLater();
            if (!m_started)
                return;
            for (const QDnsHostAddressRecord &record : lookup->hostAddressRecords())
                m_instances[name].addresses.append(record.value());
            report(name);
            --m_roundLookups;
            finishRound();
        });
        lookup->lookup();
    }
}

void UnicastDnsSdBrowser::report(const QByteArray &name)
{
    if (--m_waiting[name] > 0)
        return;
    const Instance instance = m_instances.value(name);
    if (instance.port == 0 || instance.addresses.isEmpty()) {
        qCDebug(lcRegistry) << "DNS-SD instance" << name << "has no usable SRV target or address";
        return;
    }
    m_thisRound.append(name);
    emit instanceFound(instance);
}

void UnicastDnsSdBrowser::finishRound()
{
    if (m_roundLookups > 0)
        return;
    for (const QByteArray &name : qAsConst(m_lastRound)) {
        if (!m_thisRound.contains(name))
            emit instanceRemoved(name);
    }
}

QMdnsEngine::Service UnicastDnsSdBrowser::Instance::service() const
{
    QMdnsEngine::Service svc;
    svc.setName(name);
    svc.setHostname(hostName.toUtf8());
    svc.setPort(port);
    svc.setAttributes(attributes);
    return svc;
}
