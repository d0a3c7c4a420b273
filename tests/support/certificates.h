#ifndef CERTIFICATES_H
#define CERTIFICATES_H

#include <QString>

// Makes with openssl, in dir: a test authority, ca.pem and ca.key, the first time; then
// <name>.pem and <name>.key, a server certificate for subjectAltName ("IP:10.77.0.1",
// "DNS:registry.test") signed by that authority, or by nobody when selfSigned.
bool makeCertificate(const QString &dir, const QString &name, const QString &subjectAltName, bool selfSigned = false);

#endif // CERTIFICATES_H
