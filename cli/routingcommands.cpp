#include "commandrunner.h"

#include "cli/activesenderreader.h"
#include "cli/console.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>

// The commands about the routing as a whole: save, recall and watch.

namespace {

// A resource as a file of saved receivers holds it: the node it is on goes with it, so that
// it is never taken for another node's resource of the same label.
QJsonObject brief(const Entry &entry)
{
    return {{QStringLiteral("id"), entry.record.id},
            {QStringLiteral("label"), entry.record.label},
            {QStringLiteral("text"), entry.record.displayName},
            {QStringLiteral("node"), entry.nodeName},
            {QStringLiteral("address"), entry.record.node.address},
            {QStringLiteral("node_id"), entry.nodeId.isEmpty() ? QJsonValue() : QJsonValue(entry.nodeId)}};
}

QString named(const QJsonObject &saved)
{
    const QString label = saved.value(QLatin1String("label")).toString();
    const QString id = saved.value(QLatin1String("id")).toString();
    return label.isEmpty() ? id : QStringLiteral("%1 [%2]").arg(label, id);
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

bool CommandRunner::readSaved(const QString &path, QJsonArray *receivers)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    if (content.trimmed().isEmpty())
        return true;
    const QJsonValue saved = QJsonDocument::fromJson(content).object().value(QLatin1String("receivers"));
    *receivers = saved.toArray();
    return saved.isArray();
}

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
    QJsonArray previous;
    if (!readSaved(path, &previous)) {
        Console::line(Console::err(), tr("%1 cannot be read as saved receivers: left as it is").arg(path));
        finish(Usage);
        return;
    }
    // A receiver that cannot be read now keeps what was saved of it, and so does one not
    // found now: a node that is off or answers badly does not take its routes out of the file.
    for (const QJsonValue &item : qAsConst(previous)) {
        Entry receiver;
        if (findSaved(Entry::Receiver, item[QLatin1String("receiver")].toObject(), &receiver))
            m_savedBefore.insert(receiver.record.id, item.toObject());
        else
            m_notFound.append(item);
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
        m_saved.append(before.value());
        return;
    }
    QJsonValue sender;
    if (!senderId.isEmpty()) {
        // A sender no node lists here is kept by its id alone.
        sender = QJsonObject{{QStringLiteral("id"), senderId}, {QStringLiteral("label"), QJsonValue()},
                             {QStringLiteral("text"), QJsonValue()}};
        const auto listed = m_sendersById.constFind(senderId);
        if (listed != m_sendersById.constEnd())
            sender = brief(listed.value());
    }
    // On without a sender: a stream no NMOS sender describes, which recall leaves running.
    m_saved.append(QJsonObject{{QStringLiteral("receiver"), brief(receiver)},
                               {QStringLiteral("sender"), sender},
                               {QStringLiteral("enabled"), enabled}});
}

void CommandRunner::writeSaved()
{
    for (const QJsonValue &item : qAsConst(m_notFound)) {
        Console::line(Console::err(), tr("Receiver %1 not found: kept as saved before")
                                          .arg(named(item[QLatin1String("receiver")].toObject())));
        m_saved.append(item);
        m_exitCode = Failed;
    }
    QSaveFile file(m_options.arguments.value(0));
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(QJsonObject{{QStringLiteral("receivers"), m_saved}}).toJson()) < 0
        || !file.commit()) {
        Console::line(Console::err(), QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
        finish(Failed);
        return;
    }
    Console::line(Console::out(), m_saved.size() == 1
                                      ? tr("Saved 1 receiver to %1").arg(file.fileName())
                                      : tr("Saved %1 receivers to %2").arg(m_saved.size()).arg(file.fileName()));
    finish(m_exitCode);
}

bool CommandRunner::findSaved(Entry::Kind kind, const QJsonObject &saved, Entry *entry) const
{
    const QList<Entry> listed = m_catalog->entries(kind);
    const auto unique = [&listed, entry](const auto &matches) {
        QList<Entry> found;
        for (const Entry &candidate : listed) {
            if (matches(candidate))
                found.append(candidate);
        }
        found = eachResourceOnce(found);
        if (found.size() != 1)
            return false;
        *entry = found.first();
        return true;
    };
    const QString id = saved.value(QLatin1String("id")).toString();
    const QString text = saved.value(QLatin1String("text")).toString();
    const QString label = saved.value(QLatin1String("label")).toString();
    const QString node = saved.value(QLatin1String("node")).toString();
    const QString address = saved.value(QLatin1String("address")).toString();
    const QString nodeId = saved.value(QLatin1String("node_id")).toString();
    // A node that restarted with new ids is found by its entry's text, which names the node
    // and its address, or by a label no other resource of that node has. Never on another
    // node: when the saved one is off, a label of another studio's receiver is not it.
    const auto onSavedNode = [&](const Entry &candidate) {
        return (!nodeId.isEmpty() && candidate.nodeId == nodeId)
               || (!node.isEmpty() && candidate.nodeName == node && candidate.record.node.address == address);
    };
    return (!id.isEmpty() && unique([&](const Entry &e) { return e.record.id == id; }))
           || (!text.isEmpty() && unique([&](const Entry &e) { return e.record.displayName == text; }))
           || (!label.isEmpty() && unique([&](const Entry &e) { return e.record.label == label && onSavedNode(e); }));
}

int CommandRunner::recall()
{
    int exitCode = Done;
    for (const QJsonValue &item : qAsConst(m_recalled)) {
        const QJsonObject savedReceiver = item[QLatin1String("receiver")].toObject();
        const QJsonValue savedSender = item[QLatin1String("sender")];
        Entry receiver;
        Entry sender;
        if (!findSaved(Entry::Receiver, savedReceiver, &receiver)) {
            Console::line(Console::err(), tr("Receiver %1 not found: skipped").arg(named(savedReceiver)));
            exitCode = Failed;
            continue;
        }
        const QString &receiverText = receiver.record.displayName;
        if (savedSender.isObject() && !findSaved(Entry::Sender, savedSender.toObject(), &sender)) {
            Console::line(Console::err(), tr("%1: sender %2 not found: skipped").arg(receiverText, named(savedSender.toObject())));
            exitCode = Failed;
            continue;
        }
        // Its transport file is all there is to that stream: whatever the receiver runs now
        // is left running rather than taken down.
        if (!savedSender.isObject() && item[QLatin1String("enabled")].toBool()) {
            Console::line(Console::out(), tr("Leaving %1 as it is: saved receiving a stream of no NMOS sender").arg(receiverText));
            continue;
        }
        // What the receiver was receiving nothing from is taken down.
        const QString done = savedSender.isObject() ? tr("Patched %1 to %2").arg(receiverText, sender.record.displayName)
                                                    : tr("Took down %1").arg(receiverText);
        if (m_options.dryRun) {
            Console::line(Console::out(), tr("Would do: %1").arg(done));
            continue;
        }
        const PatchWorkflow::RunOutcome outcome = savedSender.isObject()
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
