#include "authorizationbar.h"

#include "net/authorizationsession.h"
#include "workflow/securedfacility.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

AuthorizationBar::AuthorizationBar(SecuredFacility *facility, QWidget *parent)
    : QWidget(parent)
    , m_facility(facility)
    , m_state(new QLabel)
    , m_signIn(new QPushButton(tr("Sign in\u2026")))
{
    m_state->setObjectName(QStringLiteral("authorizationState"));
    m_state->setTextFormat(Qt::PlainText);
    m_state->setWordWrap(true);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_state, 1);
    layout->addWidget(m_signIn, 0);
    AuthorizationSession *session = facility->session();
    // While the browser is out, the same button gives up waiting for it.
    connect(m_signIn, &QPushButton::clicked, this, [this] {
        if (m_facility->session()->state() == AuthorizationSession::SigningIn)
            m_facility->session()->cancelSignIn();
        else
            m_facility->signIn();
    });
    connect(session, &AuthorizationSession::stateChanged, this, &AuthorizationBar::showState);
    // The sign-in happens in the operator's own browser, which comes back to Ferrolink.
    connect(session, &AuthorizationSession::authorizeWithBrowser, this, [](const QUrl &url) { QDesktopServices::openUrl(url); });
    showState();
}

void AuthorizationBar::showState()
{
    const AuthorizationSession *session = m_facility->session();
    setVisible(session->state() != AuthorizationSession::Unneeded);
    m_state->setText(session->stateText());
    m_signIn->setText(session->state() == AuthorizationSession::SigningIn ? tr("Cancel sign-in") : tr("Sign in\u2026"));
}
