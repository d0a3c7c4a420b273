#include "fitlines.h"

#include "nmos/nmosclient.h"

#include <QComboBox>
#include <QLabel>

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
QString capsVersion(const QJsonObject &capabilities)
{
    const QString version = capabilities.value(QLatin1String("caps"))[QLatin1String("version")].toString();
    return version.isEmpty() ? capabilities.value(QLatin1String("version")).toString() : version;
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
    const QString caps = capsVersion(receiver.capabilities);
    // What no version names may have changed unseen, and is judged afresh.
    if (sender.version.isEmpty() || caps.isEmpty()) {
        *verdict = ReceiverCapabilities::judge(receiver.capabilities, sender.format);
        return true;
    }
    const QString key = QStringList{sender.id, sender.version, receiver.id, caps}.join(QLatin1Char('\n'));
    auto known = m_verdicts.constFind(key);
    if (known == m_verdicts.constEnd()) {
        // Versions that went by are never asked for again; an operator's choices are few,
        // an automated run's need not be.
        if (m_verdicts.size() >= 4096)
            m_verdicts.clear();
        known = m_verdicts.insert(key, ReceiverCapabilities::judge(receiver.capabilities, sender.format));
    }
    *verdict = known.value();
    return true;
}

void FitLines::show()
{
    const auto sender = chosen<NmosClient::SenderConnection>(m_senders);
    const auto receiver = chosen<NmosClient::ReceiverConnection>(m_receivers);
    const QString format = sender.format.text();
    m_senderLine->setText(sender.id.isEmpty() ? QString()
                                              : tr("Sends: %1").arg(format.isEmpty() ? tr("a format it does not state") : format));
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
