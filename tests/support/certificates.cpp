#include "certificates.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

bool makeCertificate(const QString &dir, const QString &name, const QString &subjectAltName, bool selfSigned)
{
    const auto path = [&dir](const QString &file) { return dir + QLatin1Char('/') + file; };
    const QStringList newKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    const QStringList server{"-addext", "subjectAltName=" + subjectAltName, "-addext", "extendedKeyUsage=serverAuth",
                             "-keyout", path(name + ".key"), "-subj", "/CN=" + name};
    QList<QStringList> steps;
    if (!selfSigned && !QFile::exists(path("ca.pem")))
        steps << QStringList{"req", "-x509", "-days", "2"} + newKey
                     + QStringList{"-keyout", path("ca.key"), "-out", path("ca.pem"), "-subj", "/CN=Test authority"};
    if (selfSigned) {
        steps << QStringList{"req", "-x509", "-days", "2"} + newKey + server + QStringList{"-out", path(name + ".pem")};
    } else {
        steps << QStringList{"req"} + newKey + server + QStringList{"-out", path(name + ".csr")}
              << QStringList{"x509", "-req", "-CA", path("ca.pem"), "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "2",
                             "-copy_extensions", "copy", "-in", path(name + ".csr"), "-out", path(name + ".pem")};
    }
    for (const QStringList &step : qAsConst(steps)) {
        QProcess openssl;
        openssl.setWorkingDirectory(dir);
        openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        openssl.start("openssl", step);
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            return false;
    }
    return true;
}
