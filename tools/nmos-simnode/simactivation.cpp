#include "simnode.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaObject>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTimer>

// A receiver's scheduled activations, and the bulk endpoint that stages several receivers
// of the node in one request. Each activation's actual time is kept in its active
// parameters (and shown in the node's state), for the spread of a salvo to be measured.

namespace {

const char AbsoluteMode[] = "activate_scheduled_absolute";
const char RelativeMode[] = "activate_scheduled_relative";
const qint64 NanosecondsPerSecond = 1000000000;

bool readTai(const QString &text, qint64 *nanoseconds)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,12}):(\\d{1,9})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    *nanoseconds = match.captured(1).toLongLong() * NanosecondsPerSecond + match.captured(2).toLongLong();
    return true;
}

QString taiText(qint64 nanoseconds)
{
    return QStringLiteral("%1:%2").arg(nanoseconds / NanosecondsPerSecond).arg(nanoseconds % NanosecondsPerSecond);
}

} // namespace

bool SimNode::isScheduled(const QJsonObject &patch)
{
    const QString mode = patch.value(QStringLiteral("activation")).toObject().value(QStringLiteral("mode")).toString();
    return mode == QLatin1String(AbsoluteMode) || mode == QLatin1String(RelativeMode);
}

bool SimNode::cancelsActivation(const QJsonObject &patch)
{
    const QJsonObject activation = patch.value(QStringLiteral("activation")).toObject();
    return activation.contains(QStringLiteral("mode")) && activation.value(QStringLiteral("mode")).isNull();
}

bool SimNode::isPending(const Receiver &receiver)
{
    return receiver.staged.value(QStringLiteral("activation")).toObject().value(QStringLiteral("mode")).isString();
}

SimReply SimNode::scheduleActivation(Receiver *receiver, const Receiver &changed, const QJsonObject &activation)
{
    const QString mode = activation.value(QStringLiteral("mode")).toString();
    const QJsonValue requestedTime = activation.value(QStringLiteral("requested_time"));
    qint64 requested = 0;
    if (!readTai(requestedTime.toString(), &requested))
        return error(400, QStringLiteral("A scheduled activation needs a requested_time"), mode);
    const Version now = nextVersion(Version());
    const qint64 nowNs = now.seconds * NanosecondsPerSecond + now.nanoseconds;
    const QString at = taiText(mode == QLatin1String(RelativeMode) ? nowNs + requested : requested);
    *receiver = changed;
    receiver->staged.insert(QStringLiteral("activation"), QJsonObject{{QStringLiteral("mode"), mode},
                                                                      {QStringLiteral("requested_time"), requestedTime},
                                                                      {QStringLiteral("activation_time"), at}});
    // The timer runs on the node's own thread; this request is served on another.
    const QString id = receiver->id;
    QMetaObject::invokeMethod(
        this,
        [this, id, at] {
            qint64 time = 0;
            readTai(at, &time);
            const Version current = nextVersion(Version());
            const qint64 wait = time - (current.seconds * NanosecondsPerSecond + current.nanoseconds);
            QTimer::singleShot(int(qMax<qint64>(0, wait / 1000000)), Qt::PreciseTimer, this,
                               [this, id, at] { activateScheduled(id, at); });
        },
        Qt::QueuedConnection);
    return json(receiver->staged, 202);
}

void SimNode::activateScheduled(const QString &receiverId, const QString &activationTime)
{
    QMutexLocker locker(&m_mutex);
    const auto it = m_receiverIndex.constFind(receiverId);
    if (it == m_receiverIndex.constEnd())
        return;
    Receiver &receiver = m_receivers[it.value()];
    const QJsonObject scheduled = receiver.staged.value(QStringLiteral("activation")).toObject();
    // Cancelled, or scheduled once more for another time, since.
    if (!isPending(receiver) || scheduled.value(QStringLiteral("activation_time")).toString() != activationTime)
        return;
    receiver.staged.insert(QStringLiteral("activation"), nullActivation());
    m_nodeApiReplies.clear();
    if (m_config.faults.ignoreActivation)
        return;
    activateReceiver(&receiver, QJsonObject{{QStringLiteral("mode"), scheduled.value(QStringLiteral("mode"))},
                                            {QStringLiteral("requested_time"), scheduled.value(QStringLiteral("requested_time"))},
                                            {QStringLiteral("activation_time"), nextVersion(Version()).toString()}});
}

void SimNode::activateReceiver(Receiver *receiver, const QJsonObject &activation)
{
    QJsonObject active = receiver->staged;
    active.insert(QStringLiteral("activation"), activation);
    active.insert(QStringLiteral("transport_params"),
                  resolveLegs(active.value(QStringLiteral("transport_params")).toArray(), false, QString()));
    if (m_config.faults.activateOtherSender && active.value(QStringLiteral("sender_id")).isString())
        active.insert(QStringLiteral("sender_id"), makeId(QStringLiteral("other-sender")));
    receiver->active = active;
    receiver->version = nextVersion(receiver->version);
    ++receiver->activations;
    ++m_counters["ver_rcv"];
    emit resourcesChanged();
}

SimReply SimNode::handleBulk(const QByteArray &method, const QStringList &parts, const QByteArray &body)
{
    if (m_config.faults.noBulk)
        return error(501, QStringLiteral("Bulk operations are not implemented by this node"));
    if (parts.isEmpty())
        return method == "GET" ? list({QStringLiteral("senders/"), QStringLiteral("receivers/")})
                               : error(405, QStringLiteral("Method not allowed"));
    if (parts.size() > 1 || (parts.at(0) != QLatin1String("receivers") && parts.at(0) != QLatin1String("senders")))
        return error(404, QStringLiteral("Not found"), parts.join(QLatin1Char('/')));
    if (method != "POST")
        return error(405, QStringLiteral("Method not allowed"));
    if (parts.at(0) == QLatin1String("senders"))
        return error(501, QStringLiteral("Bulk sender operations are not implemented by this node"));
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isArray())
        return error(400, QStringLiteral("The body must be an array of {id, params}"));
    ++m_bulkRequests;
    QJsonArray results;
    for (const QJsonValue &item : document.array()) {
        const QString id = item[QLatin1String("id")].toString();
        const auto it = m_receiverIndex.constFind(id);
        SimReply reply = it == m_receiverIndex.constEnd()
                             ? error(404, QStringLiteral("No such receiver"), id)
                             : patchReceiver(&m_receivers[it.value()],
                                             QJsonDocument(item[QLatin1String("params")].toObject()).toJson(QJsonDocument::Compact));
        QJsonObject result{{QStringLiteral("id"), id}, {QStringLiteral("code"), reply.status}};
        if (reply.status / 100 != 2) {
            const QJsonObject refusal = QJsonDocument::fromJson(reply.body).object();
            result.insert(QStringLiteral("error"), refusal.value(QStringLiteral("error")));
            result.insert(QStringLiteral("debug"), refusal.value(QStringLiteral("debug")));
        }
        results.append(result);
    }
    return json(m_config.faults.bulkAnswerEmpty ? QJsonArray() : results);
}
