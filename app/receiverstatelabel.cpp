#include "receiverstatelabel.h"

#include "net/replylimits.h"
#include "nmos/nmosclient.h"

#include <QComboBox>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

NmosClient::ReceiverConnection chosenReceiver(const QComboBox *receivers)
{
    // Typed text that names no entry has no record, and no state to show.
    if (receivers->currentIndex() < 0 || receivers->currentText() != receivers->itemText(receivers->currentIndex()))
        return {};
    return receivers->currentData().value<NmosClient::ReceiverConnection>();
}

} // namespace

ReceiverStateLabel::ReceiverStateLabel(QComboBox *senders, QComboBox *receivers, QWidget *parent)
    : QLabel(parent)
    , m_senders(senders)
    , m_receivers(receivers)
{
    setObjectName(QStringLiteral("receiverState"));
    // Labels and ids come from the network.
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(m_receivers, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ReceiverStateLabel::refresh);
    connect(m_receivers, &QComboBox::editTextChanged, this, &ReceiverStateLabel::show);
    // A sender listed later is named as soon as it is.
    connect(m_senders->model(), &QAbstractItemModel::rowsInserted, this, &ReceiverStateLabel::show);
}

QString ReceiverStateLabel::notReceivingText()
{
    return tr("Not receiving");
}

void ReceiverStateLabel::setSubscription(const QString &receiverId, const QString &senderId, bool active)
{
    m_states.insert(receiverId, State{active, senderId, true});
    if (chosenReceiver(m_receivers).id == receiverId) {
        m_failure.clear();
        show();
    }
}

void ReceiverStateLabel::refresh()
{
    if (m_reading) {
        m_readAgain = true;
        return;
    }
    const NmosClient::ReceiverConnection receiver = chosenReceiver(m_receivers);
    const QUrl url = NmosClient::connectionApiUrl(receiver.node, QStringLiteral("receivers"), receiver.id, QStringLiteral("/active"));
    m_failure.clear();
    if (url.isEmpty()) {
        if (!receiver.id.isEmpty())
            m_failure = tr("the receiver's address cannot be used");
        show();
        return;
    }
    QNetworkReply *reply = ReplyLimits::get(&m_nam, NmosClient::nodeRequest(url, NmosClient::CloseConnection, receiver.node));
    m_reading = reply;
    const QString receiverId = receiver.id;
    connect(reply, &QNetworkReply::finished, this, [this, reply, receiverId] { finishRead(reply, receiverId); });
    show();
}

void ReceiverStateLabel::finishRead(QNetworkReply *reply, const QString &receiverId)
{
    reply->deleteLater();
    m_reading = nullptr;
    QString failure;
    bool enabled = false;
    QString senderId;
    if (ReplyLimits::failed(reply, &failure) || !NmosClient::parseActive(reply->readAll(), &enabled, &senderId)) {
        m_failure = failure.isEmpty() ? tr("the node's answer shows no state") : failure;
        // What was read before is no longer known to hold.
        if (!m_states.value(receiverId).reported)
            m_states.remove(receiverId);
    } else {
        m_failure.clear();
        m_states.insert(receiverId, State{enabled, senderId});
    }
    if (m_readAgain) {
        m_readAgain = false;
        refresh();
        return;
    }
    show();
}

void ReceiverStateLabel::takeAnnouncement(const QString &serviceName, const QMap<QString, QString> &txt)
{
    const QString version = txt.value(QStringLiteral("ver_rcv"));
    const auto known = m_receiverVersions.find(serviceName);
    if (known != m_receiverVersions.end() && known.value() == version)
        return;
    m_receiverVersions.insert(serviceName, version);
    // Entries found by mDNS are named "<service> (<address>-<label>)": only the chosen
    // receiver's own node makes it read again, however many nodes announce.
    if (m_receivers->currentText().startsWith(serviceName + QStringLiteral(" (")))
        refresh();
}

void ReceiverStateLabel::setProgress(const QString &text)
{
    m_progress = text;
    show();
}

void ReceiverStateLabel::show()
{
    if (!m_progress.isEmpty()) {
        setText(m_progress);
        return;
    }
    const QString receiverId = chosenReceiver(m_receivers).id;
    if (receiverId.isEmpty()) {
        setText(QString());
        return;
    }
    const auto state = m_states.constFind(receiverId);
    if (state == m_states.constEnd()) {
        setText(m_reading ? tr("Reading the receiver\u2026")
                          : tr("Connection state unknown: %1").arg(m_failure));
        return;
    }
    if (!state->active)
        setText(notReceivingText());
    else if (state->senderId.isEmpty())
        setText(tr("Receiving: a stream of no NMOS sender"));
    else
        setText(tr("Receiving: %1").arg(senderEntry(state->senderId)));
}

QString ReceiverStateLabel::senderEntry(const QString &senderId) const
{
    for (int i = 0; i < m_senders->count(); ++i) {
        if (m_senders->itemData(i).value<NmosClient::SenderConnection>().id == senderId)
            return m_senders->itemText(i);
    }
    return senderId;
}
