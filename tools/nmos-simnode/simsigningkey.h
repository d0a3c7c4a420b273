#ifndef SIMSIGNINGKEY_H
#define SIMSIGNINGKEY_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

typedef struct evp_pkey_st EVP_PKEY;

// The RSA key the authorization server signs its access tokens with (JWS, RS256), and
// checks them with on behalf of the nodes and the registry of the same process.
// Read-only once made, so any thread may use it.
class SimSigningKey
{
public:
    SimSigningKey();
    ~SimSigningKey();

    SimSigningKey(const SimSigningKey &) = delete;
    SimSigningKey &operator=(const SimSigningKey &) = delete;

    // A new 2048-bit key, or the one in a PEM file when pemFile is not empty.
    bool load(const QString &pemFile, QString *errorString = nullptr);

    QByteArray sign(const QJsonObject &claims) const;
    // The claims of a token signed by this key; false with the reason when it is not.
    bool verify(const QByteArray &token, QJsonObject *claims, QString *errorString = nullptr) const;
    // The public key as a JSON Web Key Set.
    QJsonObject keySet() const;

    static QByteArray base64Url(const QByteArray &data);
    static QByteArray fromBase64Url(const QByteArray &text, bool *ok = nullptr);

private:
    EVP_PKEY *m_key = nullptr;
    QString m_keyId;
};

#endif // SIMSIGNINGKEY_H
