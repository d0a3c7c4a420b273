#include "commandrunner.h"

#include "cli/activesenderreader.h"
#include "cli/console.h"

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

int CommandRunner::recall()
{
    int exitCode = Done;
    for (const SalvoFile::Route &route : qAsConst(m_recalled.routes)) {
        Entry receiver;
        Entry sender;
        if (!findSaved(Entry::Receiver, route.receiver, &receiver)) {
            Console::line(Console::err(), tr("Receiver %1 not found: skipped").arg(route.receiver.named()));
            exitCode = Failed;
            continue;
        }
        const QString &receiverText = receiver.record.displayName;
        if (route.hasSender && !findSaved(Entry::Sender, route.sender, &sender)) {
            Console::line(Console::err(), tr("%1: sender %2 not found: skipped").arg(receiverText, route.sender.named()));
            exitCode = Failed;
            continue;
        }
        // Its transport file is all there is to that stream: whatever the receiver runs now
        // is left running rather than taken down.
        if (!route.hasSender && route.enabled) {
            Console::line(Console::out(), tr("Leaving %1 as it is: saved receiving a stream of no NMOS sender").arg(receiverText));
            continue;
        }
        // What the receiver was receiving nothing from is taken down.
        const QString done = route.hasSender ? tr("Patched %1 to %2").arg(receiverText, sender.record.displayName)
                                                    : tr("Took down %1").arg(receiverText);
        if (m_options.dryRun) {
            Console::line(Console::out(), tr("Would do: %1").arg(done));
            continue;
        }
        const PatchWorkflow::RunOutcome outcome = route.hasSender
                                                      ? m_workflow->connectGroup(sender.record, receiver.receiver())
                                                      : m_workflow->disconnectGroup(receiver.receiver());
        if (reportRun(done, outcome, receiverText + QLatin1String(": ")) != Done)
            exitCode = Failed;
    }
    return exitCode;
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
