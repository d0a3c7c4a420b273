// mdns-probe: browses one service type with our Browser and resolves every instance's host
// with our Resolver, printing one line per instance once its SRV, TXT and an address are
// known. bench/run races it against python3-zeroconf's browser on the same services.
//
//   mdns-probe TYPE COUNT TIMEOUT_MS
// Lines on stdout: "start MS", then "added MS NAME" and "resolved MS NAME" per instance, then "done" (or
// "timeout") when COUNT instances are resolved or the time is up. MS is the monotonic clock
// in milliseconds, the clock Qt's "%{time boot}" log stamp uses.

#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/resolver.h"
#include "mdns/server.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>
#include <QSet>
#include <QTextStream>
#include <QTimer>

namespace {

qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        QTextStream(stderr) << "usage: mdns-probe TYPE COUNT TIMEOUT_MS\n";
        return 2;
    }
    const QByteArray type = args.at(1).toUtf8();
    const int count = args.at(2).toInt();
    QTextStream out(stdout);

    QMdnsEngine::Server server;
    QMdnsEngine::Cache cache;
    QMdnsEngine::Browser browser(&server, type, &cache);
    QHash<QByteArray, QMdnsEngine::Resolver *> resolvers;
    QSet<QByteArray> resolved;
    out << "start " << monotonicMs() << Qt::endl;

    QObject::connect(&browser, &QMdnsEngine::Browser::serviceAdded, &app,
                     [&](const QMdnsEngine::Service &service) {
                         const QByteArray name = service.name();
                         if (resolvers.contains(name))
                             return;
                         out << "added " << monotonicMs() << " " << QString::fromUtf8(name) << Qt::endl;
                         auto *resolver = new QMdnsEngine::Resolver(&server, service.hostname(), &cache);
                         resolvers.insert(name, resolver);
                         QObject::connect(resolver, &QMdnsEngine::Resolver::resolved, &app, [&, name] {
                             if (resolved.contains(name))
                                 return;
                             resolved.insert(name);
                             out << "resolved " << monotonicMs() << " " << QString::fromUtf8(name) << Qt::endl;
                             if (resolved.size() == count) {
                                 out << "done" << Qt::endl;
                                 QCoreApplication::quit();
                             }
                         });
                     });
    QTimer::singleShot(args.at(3).toInt(), &app, [&] {
        if (resolved.size() >= count)
            return;
        out << "timeout" << Qt::endl;
        QCoreApplication::quit();
    });
    const int status = app.exec();
    qDeleteAll(resolvers);
    return status;
}
