#include "simsigningkey.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace {

const char Header[] = R"({"alg":"RS256","typ":"JWT"})";

bool fail(QString *errorString, const QString &text)
{
    if (errorString)
        *errorString = text;
    return false;
}

struct MdContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

QByteArray bigNumber(EVP_PKEY *key, const char *name)
{
    BIGNUM *number = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &number))
        return QByteArray();
    QByteArray bytes(BN_num_bytes(number), Qt::Uninitialized);
    BN_bn2bin(number, reinterpret_cast<unsigned char *>(bytes.data()));
    BN_free(number);
    return bytes;
}

} // namespace

SimSigningKey::SimSigningKey() = default;

SimSigningKey::~SimSigningKey()
{
    EVP_PKEY_free(m_key);
}

bool SimSigningKey::load(const QString &pemFile, QString *errorString)
{
    EVP_PKEY *key = nullptr;
    if (pemFile.isEmpty()) {
        key = EVP_RSA_gen(2048);
        if (!key)
            return fail(errorString, QStringLiteral("cannot make an RSA key"));
    } else {
        QFile file(pemFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail(errorString, QStringLiteral("cannot read %1: %2").arg(pemFile, file.errorString()));
        const QByteArray pem = file.readAll();
        BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
        key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
            EVP_PKEY_free(key);
            return fail(errorString, QStringLiteral("%1 holds no RSA private key").arg(pemFile));
        }
    }
    EVP_PKEY_free(m_key);
    m_key = key;
    m_keyId = QString::fromLatin1(base64Url(QCryptographicHash::hash(bigNumber(m_key, OSSL_PKEY_PARAM_RSA_N),
                                                                    QCryptographicHash::Sha256)).left(16));
    return true;
}

QByteArray SimSigningKey::sign(const QJsonObject &claims) const
{
    QJsonObject header = QJsonDocument::fromJson(Header).object();
    header.insert(QStringLiteral("kid"), m_keyId);
    const QByteArray input = base64Url(QJsonDocument(header).toJson(QJsonDocument::Compact)) + '.'
                             + base64Url(QJsonDocument(claims).toJson(QJsonDocument::Compact));
    MdContext context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, m_key) != 1
        || EVP_DigestSign(context.get(), nullptr, &length, nullptr, 0) != 1)
        return QByteArray();
    QByteArray signature(int(length), Qt::Uninitialized);
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       reinterpret_cast<const unsigned char *>(input.constData()), size_t(input.size())) != 1)
        return QByteArray();
    signature.truncate(int(length));
    return input + '.' + base64Url(signature);
}

bool SimSigningKey::verify(const QByteArray &token, QJsonObject *claims, QString *errorString) const
{
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3)
        return fail(errorString, QStringLiteral("the token is not a JWS in compact form"));
    bool headerOk = false;
    bool payloadOk = false;
    bool signatureOk = false;
    const QJsonDocument header = QJsonDocument::fromJson(fromBase64Url(parts.at(0), &headerOk));
    const QJsonDocument payload = QJsonDocument::fromJson(fromBase64Url(parts.at(1), &payloadOk));
    const QByteArray signature = fromBase64Url(parts.at(2), &signatureOk);
    if (!headerOk || !payloadOk || !signatureOk || !header.isObject() || !payload.isObject())
        return fail(errorString, QStringLiteral("the token is not well formed"));
    // Only the algorithm this server signs with: a token naming another is refused unread.
    if (header.object().value(QLatin1String("alg")).toString() != QLatin1String("RS256"))
        return fail(errorString, QStringLiteral("the token is not signed with RS256"));
    const QByteArray input = parts.at(0) + '.' + parts.at(1);
    MdContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, m_key) != 1
        || EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()), reinterpret_cast<const unsigned char *>(input.constData()),
                            size_t(input.size())) != 1)
        return fail(errorString, QStringLiteral("the token's signature does not match the authorization server's key"));
    *claims = payload.object();
    return true;
}

QJsonObject SimSigningKey::keySet() const
{
    const QJsonObject key{{QStringLiteral("kty"), QStringLiteral("RSA")},
                          {QStringLiteral("use"), QStringLiteral("sig")},
                          {QStringLiteral("alg"), QStringLiteral("RS256")},
                          {QStringLiteral("kid"), m_keyId},
                          {QStringLiteral("n"), QString::fromLatin1(base64Url(bigNumber(m_key, OSSL_PKEY_PARAM_RSA_N)))},
                          {QStringLiteral("e"), QString::fromLatin1(base64Url(bigNumber(m_key, OSSL_PKEY_PARAM_RSA_E)))}};
    return QJsonObject{{QStringLiteral("keys"), QJsonArray{key}}};
}

QByteArray SimSigningKey::base64Url(const QByteArray &data)
{
    return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray SimSigningKey::fromBase64Url(const QByteArray &text, bool *ok)
{
    const auto result = QByteArray::fromBase64Encoding(text, QByteArray::Base64UrlEncoding
                                                                 | QByteArray::AbortOnBase64DecodingErrors);
    if (ok)
        *ok = result.decodingStatus == QByteArray::Base64DecodingStatus::Ok;
    return result.decoded;
}
