#include "sdpdialog.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

// A window title turns "[*]" into the modified-marker; a label from a node must come
// through as written, and "[*][*]" is the title's own escape for a literal "[*]".
QString literalWindowTitle(QString title)
{
    return title.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}

} // namespace

SdpDialog::SdpDialog(const QString &title, const QString &text, QWidget *parent)
    : QDialog(parent)
    , m_text(text)
{
    if (title.isEmpty())
        setWindowTitle(QStringLiteral("SDP"));
    else
        setWindowTitle(literalWindowTitle(QStringLiteral("SDP \u2022 %1").arg(title)));
    resize(700, 500);

    m_textEdit = new QTextEdit(this);
    m_textEdit->setReadOnly(true);
    m_textEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // SDP is not markup: a node's text must never be rendered as rich text.
    m_textEdit->setAcceptRichText(false);
    m_textEdit->setPlainText(text);

    m_copyButton = new QPushButton(QStringLiteral("Copy SDP"), this);
    m_closeButton = new QPushButton(QStringLiteral("Close"), this);
    connect(m_copyButton, &QPushButton::clicked, this, &SdpDialog::copyToClipboard);
    connect(m_closeButton, &QPushButton::clicked, this, &QDialog::accept);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_textEdit);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_copyButton);
    buttons->addWidget(m_closeButton);
    layout->addLayout(buttons);
}

SdpDialog::~SdpDialog() = default;

void SdpDialog::copyToClipboard()
{
    QGuiApplication::clipboard()->setText(m_text, QClipboard::Clipboard);
}
