// libFuzzer entry point for the choice of the Node API version from a node's "api_ver" TXT
// value, which anyone on the link may send. The choice is never empty: it is "v1.3" or one
// of the listed entries.
#include "discovery/nmosmdnsbrowser.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString apiVer = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString chosen = NMOSMdnsBrowser::chooseApiVersion(apiVer);
    if (chosen.isEmpty())
        abort();
    if (chosen == QLatin1String("v1.3"))
        return 0;
    for (const QString &entry : apiVer.split(QLatin1Char(','))) {
        if (entry.trimmed() == chosen)
            return 0;
    }
    abort();
}
