#ifndef SIMFORMATS_H
#define SIMFORMATS_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The picture a simulated video sender sends, as its config gives it; the defaults are
// uncompressed 1080p50 4:2:2 10-bit.
struct SimVideoFormat
{
    QString mediaType = QStringLiteral("video/raw"); // or video/jxsv
    QString transport = QStringLiteral("urn:x-nmos:transport:rtp.mcast");
    int width = 1920;
    int height = 1080;
    int rateNumerator = 50;
    int rateDenominator = 1;
    bool rateOnSourceOnly = false; // the flow leaves its grain rate to the source, as IS-04 allows
    QString interlaceMode = QStringLiteral("progressive");
    QString colorspace = QStringLiteral("BT709");
    QString transferCharacteristic = QStringLiteral("SDR");
    QString sampling = QStringLiteral("YCbCr-4:2:2");
    int depth = 10;
    // JPEG XS. An empty profile, level or sublevel is Unrestricted and left out.
    QString profile;
    QString level;
    QString sublevel;
    int bitRate = 0;                // kbit/s of the codestream, on the flow; 0: not stated
    int transportBitRate = 0;       // kbit/s with the RTP, UDP and IP headers, on the sender; 0: not stated
    QString packetTransmissionMode; // empty: not stated, which for JPEG XS means codestream
    QString senderType;             // st2110_21_sender_type; empty: not stated, the SDP says 2110TPN
};

// The simulator's video formats as IS-04 attributes and SDP lines, and a receiver's check of
// an SDP file against its caps (BCP-004-01), as a device makes it.
namespace SimFormats {

bool readVideoFormat(const QJsonObject &object, SimVideoFormat *format, QString *errorString = nullptr);
// Takes a receiver's caps from the config: media types and constraint sets, checked in shape.
bool readCaps(const QJsonObject &object, QJsonObject *caps, QString *errorString = nullptr);

QJsonObject grainRate(const SimVideoFormat &format);
void addFlowAttributes(QJsonObject *flow, const SimVideoFormat &format);
void addSenderAttributes(QJsonObject *sender, const SimVideoFormat &format);
// The bandwidth line that goes before the attributes, if any.
QStringList sdpBandwidthLines(const SimVideoFormat &format);
QStringList sdpFormatLines(const SimVideoFormat &format, int payloadType);

// Whether the stream an SDP file describes meets one enabled constraint set of the caps;
// what the file leaves out is not held against it.
bool sdpFitsCaps(const QString &sdp, const QJsonObject &caps, QString *errorString = nullptr);

} // namespace SimFormats

#endif // SIMFORMATS_H
