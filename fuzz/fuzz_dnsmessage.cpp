// libFuzzer entry point for the DNS message codec: anything on the link may send us any
// bytes. Beyond "no crash, no undefined behaviour", whatever parses must encode again and
// read back as the same message.
#include "mdns/dns.h"
#include "mdns/message.h"

#include <cstdint>
#include <cstdlib>

using namespace QMdnsEngine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Message message, reparsed;
    if (!parsePacket(QByteArray(reinterpret_cast<const char *>(data), int(size)), &message))
        return 0;
    QByteArray again;
    if (!toPacket(message, &again) || !parsePacket(again, &reparsed))
        abort();
    if (reparsed.queries() != message.queries() || reparsed.records() != message.records()
        || reparsed.authorityRecords() != message.authorityRecords()
        || reparsed.additionalRecords() != message.additionalRecords() || reparsed.isResponse() != message.isResponse()
        || reparsed.isTruncated() != message.isTruncated()) {
        abort();
    }
    return 0;
}
