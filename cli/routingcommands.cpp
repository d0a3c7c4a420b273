#include "commandrunner.h"

#include "cli/activesenderreader.h"
#include "cli/console.h"
#include "workflow/salvotake.h"

#include <QSet>

// The commands about the routing as a whole: save, recall and watch.

namespace {

// A resource as a salvo file holds it.
SalvoFile::Resource savedOf(const Entry &entry)
{
    return {entry.record.id,      entry.record.label,       entry.record.displayName,
            entry.nodeName,       entry.record.node.address, entry.nodeId};
}

// Each resource once, though its node may list it under each of its addresses.
QList<Entry> eachResourceOnce(const QList<Entry> &entries)
{
    QList<Entry> once;
    QSet<QString> ids;
    for (const Entry &entry : entries) {
        if (!ids.contains(entry.record.id)) {
            ids.insert(entry.record.id);
            once.append(entry);
        }
    }
    return once;
}

// The first entry of each sender, as the lists show it.
QHash<QString, Entry> sendersById(const QList<Entry> &senders)
{
    QHash<QString, Entry> byId;
    for (const Entry &sender : senders) {
        if (!byId.contains(sender.record.id))
            byId.insert(sender.record.id, sender);
    }
    return byId;
}

} // namespace

void CommandRunner::save()
{
    const QString path = m_options.arguments.value(0);
    if (m_catalog->nodeCount() == 0 || !m_unreadSources.isEmpty()) {
        // What the file holds of the sources not read would be lost.
        if (m_catalog->nodeCount() == 0)
            Console::line(Console::err(), tr("No node found in %1 ms").arg(m_options.waitMs));
        reportUnreadSources();
        Console::line(Console::err(), tr("%1 left as it was").arg(path));
        finish(NothingFound);
        return;
    }
    SalvoFile previous;
    if (!SalvoFile::read(path, &previous)) {
        Console::line(Console::err(), tr("%1 cannot be read as saved receivers: left as it is").arg(path));
        finish(Usage);
        return;
    }
    // A receiver that cannot be read now keeps what was saved of it, and so does one not
    // found now: a node that is off or answers badly does not take its routes out of the file.
    for (const SalvoFile::Route &route : qAsConst(previous.routes)) {
        Entry receiver;
        if (findSaved(Entry::Receiver, route.receiver, &receiver))
            m_savedBefore.insert(receiver.record.id, route);
        else
            m_notFound.append(route);
    }
    m_sendersById = sendersById(m_catalog->entries(Entry::Sender));
    connect(m_reader, &ActiveSenderReader::receiverRead, this, &CommandRunner::saveReceiver);
    connect(m_reader, &ActiveSenderReader::finished, this, &CommandRunner::writeSaved);
    m_reader->start(eachResourceOnce(m_catalog->entries(Entry::Receiver)));
}

void CommandRunner::saveReceiver(const Entry &receiver, bool read, bool enabled, const QString &senderId,
                                 const QString &error)
{
    if (!read) {
        m_exitCode = Failed;
        const auto before = m_savedBefore.constFind(receiver.record.id);
        if (before == m_savedBefore.constEnd()) {
            Console::line(Console::err(), QStringLiteral("%1: %2").arg(receiver.record.displayName, error));
            return;
        }
        Console::line(Console::err(), tr("%1: %2: kept as saved before").arg(receiver.record.displayName, error));
        m_saved.routes.append(before.value());
        return;
    }
    SalvoFile::Route route;
    route.receiver = savedOf(receiver);
    route.enabled = enabled;
    route.hasSender = !senderId.isEmpty();
    // A sender no node lists here is kept by its id alone.
    route.sender.id = senderId;
    const auto listed = m_sendersById.constFind(senderId);
    if (route.hasSender && listed != m_sendersById.constEnd())
        route.sender = savedOf(listed.value());
    m_saved.routes.append(route);
}

void CommandRunner::writeSaved()
{
    for (const SalvoFile::Route &route : qAsConst(m_notFound)) {
        Console::line(Console::err(), tr("Receiver %1 not found: kept as saved before").arg(route.receiver.named()));
        m_saved.routes.append(route);
        m_exitCode = Failed;
    }
    const QString path = m_options.arguments.value(0);
    QString error;
    if (!m_saved.write(path, &error)) {
        Console::line(Console::err(), QStringLiteral("%1: %2").arg(path, error));
        finish(Failed);
        return;
    }
    const int saved = m_saved.routes.size();
    Console::line(Console::out(), saved == 1 ? tr("Saved 1 receiver to %1").arg(path)
                                             : tr("Saved %1 receivers to %2").arg(saved).arg(path));
    finish(m_exitCode);
}

bool CommandRunner::findSaved(Entry::Kind kind, const SalvoFile::Resource &saved, Entry *entry) const
{
    const QList<Entry> listed = m_catalog->entries(kind);
    QList<SalvoFile::Resource> resources;
    for (const Entry &candidate : listed)
        resources.append(savedOf(candidate));
    const int found = SalvoFile::find(saved, resources);
    if (found < 0)
        return false;
    *entry = listed.at(found);
    return true;
}

void CommandRunner::recall()
{
    m_exitCode = Done;
    QList<SalvoTake::Pair> pairs;
    const bool together = m_options.leadMs >= 0 || m_options.at.isValid();
    if (m_options.dryRun && together)
        Console::line(Console::out(), m_options.at.isValid()
                                          ? tr("Would switch every receiver together at %1").arg(m_options.at.toString(Qt::ISODate))
                                          : tr("Would switch every receiver together %1 s after the groups are read")
                                                .arg(m_options.leadMs / 1000.0));
    for (const SalvoFile::Route &route : qAsConst(m_recalled.routes)) {
        Entry receiver;
        Entry sender;
        if (!findSaved(Entry::Receiver, route.receiver, &receiver)) {
            Console::line(Console::err(), tr("Receiver %1 not found: skipped").arg(route.receiver.named()));
            m_exitCode = Failed;
            continue;
        }
        const QString &receiverText = receiver.record.displayName;
        if (route.hasSender && !findSaved(Entry::Sender, route.sender, &sender)) {
            Console::line(Console::err(), tr("%1: sender %2 not found: skipped").arg(receiverText, route.sender.named()));
            m_exitCode = Failed;
            continue;
        }
        // Its transport file is all there is to that stream: whatever the receiver runs now
        // is left running rather than taken down.
        if (!route.hasSender && route.enabled) {
            Console::line(Console::out(), tr("Leaving %1 as it is: saved receiving a stream of no NMOS sender").arg(receiverText));
            continue;
        }
        if (m_options.dryRun) {
            Console::line(Console::out(), tr("%1: now %2, after %3")
                                              .arg(receiverText, runningNow(receiver),
                                                   route.hasSender ? sender.record.displayName : tr("nothing")));
            continue;
        }
        // What the receiver was receiving nothing from is taken down.
        m_doneTexts << (route.hasSender ? tr("Patched %1 to %2").arg(receiverText, sender.record.displayName)
                                        : tr("Took down %1").arg(receiverText));
        m_receiverTexts << receiverText;
        pairs << SalvoTake::Pair{sender.record, receiver.receiver(), !route.hasSender};
    }
    if (pairs.isEmpty()) {
        finish(m_exitCode);
        return;
    }
    reportTake();
    if (!together) {
        m_take->takeNow(pairs);
        return;
    }
    m_take->setLeadTimeMs(qMax(0, m_options.leadMs));
    QString error;
    if (!m_take->takeAt(pairs, m_options.at, &error)) {
        Console::line(Console::err(), tr("Nothing scheduled: %1").arg(error));
        finish(m_interrupted ? Interrupted : Failed);
    }
}

void CommandRunner::reportTake()
{
    // Each pair as it completes: one after another now, or as each is read back after the time.
    connect(m_take, &SalvoTake::pairFinished, this, [this](int pair, const PatchWorkflow::RunOutcome &outcome) {
        if (reportRun(m_doneTexts.value(pair), outcome, m_receiverTexts.value(pair) + QLatin1String(": ")) != Done)
            m_exitCode = Failed;
    });
    connect(m_take, &SalvoTake::scheduled, this, [this](const QDateTime &time, int receivers) {
        Console::line(Console::out(), tr("Scheduled %1 receivers to switch at %2 (TAI %3)")
                                          .arg(receivers)
                                          .arg(time.toString(Qt::ISODateWithMs), m_take->requestedTime()));
    });
    connect(m_take, &SalvoTake::finished, this, [this] { finish(m_interrupted ? Interrupted : m_exitCode); });
    connect(m_take, &SalvoTake::cancelled, this, [this](const QStringList &failures, const QStringList &switched) {
        for (const QString &failure : failures)
            Console::line(Console::err(), failure);
        Console::line(Console::err(), failures.isEmpty() ? tr("Interrupted: every scheduled activation cancelled")
                                      : switched.isEmpty()
                                          ? tr("Interrupted: not every scheduled activation could be cancelled")
                                          : tr("Interrupted: not every receiver was stopped, %1 switched before the cancel "
                                               "reached them").arg(switched.size()));
        finish(Interrupted);
    });
}

QString CommandRunner::runningNow(const Entry &receiver)
{
    NmosClient::ReceiverGroup group;
    group.id = receiver.record.id;
    group.label = receiver.record.label;
    group.node = receiver.record.node;
    bool enabled = false;
    QString senderId;
    QString error;
    if (!m_client->activeSender(group, &enabled, &senderId, &error))
        return tr("unreadable (%1)").arg(error);
    if (!enabled)
        return tr("nothing");
    if (senderId.isEmpty())
        return tr("a stream of no NMOS sender");
    const QHash<QString, Entry> senders = sendersById(m_catalog->entries(Entry::Sender));
    const auto listed = senders.constFind(senderId);
    return listed == senders.constEnd() ? senderId : listed->record.displayName;
}

void CommandRunner::pollReceivers()
{
    // One round at a time: a slow node holds up the next round, not this one.
    if (m_reader->isReading())
        return;
    m_sendersById = sendersById(m_catalog->entries(Entry::Sender));
    m_reader->forget();
    m_reader->start(eachResourceOnce(m_catalog->entries(Entry::Receiver)));
}

void CommandRunner::showReceiving(const Entry &receiver, bool read, bool enabled, const QString &senderId,
                                  const QString &error)
{
    const QString state = !read ? QLatin1Char('!') + error : enabled ? QLatin1Char('+') + senderId : QStringLiteral("-");
    const auto known = m_receiving.constFind(receiver.record.id);
    if (known != m_receiving.constEnd() && known.value() == state)
        return;
    m_receiving.insert(receiver.record.id, state);
    if (m_options.json) {
        QJsonObject event{{QStringLiteral("event"), read ? QStringLiteral("receiving") : QStringLiteral("unreadable")},
                          {QStringLiteral("receiver"), receiver.record.id},
                          {QStringLiteral("text"), receiver.record.displayName}};
        if (read) {
            event.insert(QStringLiteral("sender"), senderId.isEmpty() ? QJsonValue() : QJsonValue(senderId));
            event.insert(QStringLiteral("enabled"), enabled);
        } else {
            event.insert(QStringLiteral("error"), error);
        }
        Console::json(event);
    } else if (!read) {
        Console::line(Console::out(), tr("unreadable %1: %2").arg(receiver.record.displayName, error));
    } else if (!enabled) {
        Console::line(Console::out(), tr("receiving %1 <- nothing").arg(receiver.record.displayName));
    } else if (senderId.isEmpty()) {
        Console::line(Console::out(), tr("receiving %1 <- a stream of no NMOS sender").arg(receiver.record.displayName));
    } else {
        const auto listed = m_sendersById.constFind(senderId);
        Console::line(Console::out(), tr("receiving %1 <- %2")
                                          .arg(receiver.record.displayName, listed == m_sendersById.constEnd()
                                                                                ? senderId
                                                                                : listed->record.displayName));
    }
}
