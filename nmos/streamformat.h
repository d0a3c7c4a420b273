#ifndef STREAMFORMAT_H
#define STREAMFORMAT_H

#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>

// What a sender's stream is, read from its IS-04 sender, flow and source: the values that
// receivers' capabilities constrain, each under its capability URN from the NMOS
// Capabilities register ("urn:x-nmos:cap:format:frame_width"), and a short text for people.
class StreamFormat
{
public:
    StreamFormat() = default;
    static StreamFormat fromResources(const QJsonObject &sender, const QJsonObject &flow,
                                      const QJsonObject &source = QJsonObject());
    // Fills what IS-04 left unsaid from the sender's SDP: the media type from rtpmap, the
    // format parameters of ST 2110-20 and JPEG XS, the bandwidth, and the legs a DUP group
    // names. What IS-04 gave stays, as the flow is the one receivers' caps are written to.
    void completeFromSdp(const QByteArray &sdp);

    QString transport() const { return m_transport; }
    QString format() const { return m_format; } // "urn:x-nmos:format:video"
    QString mediaType() const { return m_parameters.value(QLatin1String("urn:x-nmos:cap:format:media_type")).toString(); }
    // Undefined when the stream does not say.
    QJsonValue value(const QString &capability) const { return m_parameters.value(capability); }
    QJsonObject parameters() const { return m_parameters; }
    // How many redundant legs it is sent on (ST 2022-7): one per interface binding.
    int legs() const { return qMax(1, m_legs); }

    // "JPEG XS 1920×1080 59.94p 4:2:2 10-bit, 2 legs", what is known of it.
    QString text() const;

    // A rational as people write a rate: 60000/1001 "59.94", 50/1 "50".
    static QString rateText(const QJsonValue &rational);

private:
    void giveDefaults();

    QString m_transport;
    QString m_format;
    QJsonObject m_parameters;
    QSet<QString> m_defaulted; // the parameters IS-04 left out, holding its defaults
    int m_legs = 0; // unknown until interface bindings or a DUP group say
};

#endif // STREAMFORMAT_H
