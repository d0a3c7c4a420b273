// libFuzzer entry point for bracketIpv6Host: node addresses and transport-file URLs come
// from the network. Beyond "no crash": the scheme is kept, a text without "://" is left
// alone, and a rewritten URL is not rewritten again.
#include "nmos/nmosclient.h"

#include <QUrl>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString url = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString once = NmosClient::bracketIpv6Host(url);
    const int schemeEnd = url.indexOf(QLatin1String("://"));
    if ((schemeEnd < 0 && once != url) || !once.startsWith(url.left(schemeEnd + 3))
        || NmosClient::bracketIpv6Host(once) != once)
        abort();
    // As the client's GET does with it.
    QUrl::fromUserInput(once);
    return 0;
}
