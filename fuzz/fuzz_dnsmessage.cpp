// libFuzzer entry point for the DNS message codec: anything on the link may send us any
// bytes. Beyond "no crash, no undefined behaviour", whatever parses must encode again and
// read back as the same message.
#include "mdns/dns.h"
#include "mdns/message.h"

#include <cstdint>
#include <cstdlib>

using namespace QMdnsEngine;

namespace {

bool sameRecords(const QList<Record> &a, const QList<Record> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i) != b.at(i))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray packet(reinterpret_cast<const char *>(data), int(size));
    Message message;
    if (!parsePacket(packet, &message))
        return 0;
    QByteArray again;
    if (!toPacket(message, &again))
        abort();
    Message reparsed;
    if (!parsePacket(again, &reparsed))
        abort();
    if (reparsed.queries() != message.queries() || !sameRecords(reparsed.records(), message.records())
        || !sameRecords(reparsed.authorityRecords(), message.authorityRecords())
        || !sameRecords(reparsed.additionalRecords(), message.additionalRecords())
        || reparsed.isResponse() != message.isResponse() || reparsed.isTruncated() != message.isTruncated()) {
        abort();
    }
    return 0;
}
