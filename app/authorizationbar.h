#ifndef AUTHORIZATIONBAR_H
#define AUTHORIZATIONBAR_H

#include <QWidget>

class QLabel;
class QPushButton;
class SecuredFacility;

// The window's line for a secured facility: where the operator stands with its authorization
// server ("Signed in at auth.example (expires 14:05)", "Sign-in needed: <why>") and a
// "Sign in…" button that starts the browser sign-in. Hidden where no authorization server
// is in play.
class AuthorizationBar : public QWidget
{
    Q_OBJECT

public:
    explicit AuthorizationBar(SecuredFacility *facility, QWidget *parent = nullptr);

private:
    void showState();

    SecuredFacility *m_facility;
    QLabel *m_state;
    QPushButton *m_signIn;
};

#endif // AUTHORIZATIONBAR_H
