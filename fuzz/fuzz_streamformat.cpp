// libFuzzer entry point for a sender's SDP file as it completes the stream's format, which
// any node may serve. What IS-04 gave stays, and a stream has at least one leg.
#include "nmos/streamformat.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonObject flow{{QStringLiteral("format"), QStringLiteral("urn:x-nmos:format:video")},
                           {QStringLiteral("frame_width"), 1920}};
    StreamFormat stream = StreamFormat::fromResources(QJsonObject(), flow);
    stream.completeFromSdp(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    if (stream.value(QStringLiteral("urn:x-nmos:cap:format:frame_width")) != QJsonValue(1920) || stream.legs() < 1
        || stream.format() != QLatin1String("urn:x-nmos:format:video"))
        abort();
    stream.text();
    return 0;
}
