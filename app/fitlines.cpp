#include "fitlines.h"

#include "net/replylimits.h"

#include <QComboBox>
#include <QLabel>
#include <QNetworkReply>

namespace {

// The record behind the combo's current item; none while the typed text names no entry.
template<typename Record>
Record chosen(const QComboBox *combo)
{
    if (combo->currentIndex() < 0 || combo->currentText() != combo->itemText(combo->currentIndex()))
        return {};
    return combo->currentData().value<Record>();
}

QLabel *makeLine(const QString &name)
{
    auto *line = new QLabel;
    line->setObjectName(name);
    // Formats and capabilities come from the network.
    line->setTextFormat(Qt::PlainText);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return line;
}

// What names a receiver's capabilities as judged: BCP-004-01 gives caps a version of their
// own, which changes only with them; without it, the receiver's.
QString capsVersion(const NmosClient::ReceiverConnection &receiver)
{
    const QString version = receiver.capabilities.value(QLatin1String("caps"))[QLatin1String("version")].toString();
    return version.isEmpty() ? receiver.version : version;
}

QString senderKey(const NmosClient::SenderConnection &sender)
{
    return sender.id + QLatin1Char('\n') + sender.version;
}

// What the SDP says that IS-04 did not: the media type, or a video flow's rate, which a flow
// may leave to its source, and the listings read no sources.
bool lacksWhatSdpSays(const StreamFormat &format)
{
    return format.mediaType().isEmpty()
           || (format.format() == QLatin1String("urn:x-nmos:format:video")
               && format.value(QStringLiteral("urn:x-nmos:cap:format:grain_rate")).isUndefined());
}

// Versions that went by are never asked for again; an operator's choices are few, an
// automated run's need not be.
template<typename Value>
void makeRoom(QHash<QString, Value> *remembered)
{
    if (remembered->size() >= 4096)
        remembered->clear();
}

} // namespace

FitLines::FitLines(QComboBox *senders, QComboBox *receivers, QObject *parent)
    : QObject(parent)
    , m_senders(senders)
    , m_receivers(receivers)
    , m_senderLine(makeLine(QStringLiteral("senderFormat")))
    , m_receiverLine(makeLine(QStringLiteral("receiverFormat")))
    , m_fitLine(makeLine(QStringLiteral("fit")))
{
    for (QComboBox *combo : {senders, receivers}) {
        connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &FitLines::show);
        connect(combo, &QComboBox::editTextChanged, this, &FitLines::show);
        // An entry listed again with newer resources behind the same text.
        connect(combo->model(), &QAbstractItemModel::dataChanged, this, &FitLines::show);
    }
    show();
}

QString FitLines::canTakeText()
{
    return tr("Can take the chosen sender");
}

QString FitLines::cannotTakeText(const QString &reason)
{
    return tr("Cannot take the chosen sender: %1").arg(reason);
}

bool FitLines::judgeChosen(ReceiverCapabilities::Verdict *verdict)
{
    const auto sender = chosen<NmosClient::SenderConnection>(m_senders);
    const auto receiver = chosen<NmosClient::ReceiverConnection>(m_receivers);
    if (sender.id.isEmpty() || receiver.id.isEmpty())
        return false;
    bool fromSdp = false;
    const StreamFormat format = formatOf(sender, &fromSdp);
    const QString caps = capsVersion(receiver);
    // What no version names may have changed unseen, and is judged afresh.
    if (sender.version.isEmpty() || caps.isEmpty()) {
        *verdict = ReceiverCapabilities::judge(receiver.capabilities, format);
        return true;
    }
    const QString key = QStringList{senderKey(sender), fromSdp ? QStringLiteral("sdp") : QString(), receiver.id, caps}
                            .join(QLatin1Char('\n'));
    auto known = m_verdicts.constFind(key);
    if (known == m_verdicts.constEnd()) {
        makeRoom(&m_verdicts);
        known = m_verdicts.insert(key, ReceiverCapabilities::judge(receiver.capabilities, format));
    }
    *verdict = known.value();
    return true;
}

StreamFormat FitLines::formatOf(const NmosClient::SenderConnection &sender, bool *fromSdp)
{
    *fromSdp = false;
    if (!lacksWhatSdpSays(sender.format))
        return sender.format;
    const QString key = senderKey(sender);
    const auto completed = m_completed.constFind(key);
    if (completed != m_completed.constEnd()) {
        *fromSdp = true;
        return completed.value();
    }
    // One read at a time; its end shows the lines again, which reads the sender chosen by then.
    const QUrl url = NmosClient::transportFileUrl(sender.manifestHref);
    if (m_reading || url.isEmpty())
        return sender.format;
    QNetworkReply *reply = ReplyLimits::get(&m_nam, NmosClient::nodeRequest(url, NmosClient::CloseConnection, sender.node));
    m_reading = reply;
    m_readingKey = key;
    const StreamFormat format = sender.format;
    connect(reply, &QNetworkReply::finished, this, [this, reply, key, format] { finishRead(reply, key, format); });
    return sender.format;
}

void FitLines::finishRead(QNetworkReply *reply, const QString &senderKey, StreamFormat format)
{
    reply->deleteLater();
    m_reading = nullptr;
    QString failure;
    if (!ReplyLimits::failed(reply, &failure))
        format.completeFromSdp(reply->readAll());
    // A file that cannot be read is not asked for again until the sender changes: a node
    // that fails would otherwise be asked at every showing.
    makeRoom(&m_completed);
    m_completed.insert(senderKey, format);
    show();
}

void FitLines::show()
{
    const auto sender = chosen<NmosClient::SenderConnection>(m_senders);
    const auto receiver = chosen<NmosClient::ReceiverConnection>(m_receivers);
    bool fromSdp = false;
    const QString format = formatOf(sender, &fromSdp).text();
    if (sender.id.isEmpty())
        m_senderLine->clear();
    else if (!format.isEmpty())
        m_senderLine->setText(tr("Sends: %1").arg(format));
    else
        m_senderLine->setText(m_reading && m_readingKey == senderKey(sender) ? tr("Sends: reading its transport file\u2026")
                                                                             : tr("Sends: a format it does not state"));
    const QString takes = ReceiverCapabilities::summary(receiver.capabilities);
    m_receiverLine->setText(receiver.id.isEmpty() ? QString()
                                                  : tr("Takes: %1").arg(takes.isEmpty() ? tr("any stream of its format; it states no capabilities") : takes));
    ReceiverCapabilities::Verdict verdict;
    if (!judgeChosen(&verdict)) {
        m_fitLine->clear();
        m_fitLine->setToolTip(QString());
        return;
    }
    m_fitLine->setText(verdict.canTake ? canTakeText() : cannotTakeText(verdict.reason));
    // What could not be judged is not hidden, nor made to look like a refusal.
    m_fitLine->setToolTip(verdict.ignored.isEmpty() ? QString()
                                                     : tr("Not judged: %1").arg(verdict.ignored.join(QStringLiteral(", "))));
}
