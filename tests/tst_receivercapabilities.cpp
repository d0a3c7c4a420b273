#include "nmos/receivercapabilities.h"
#include "nmos/streamformat.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject object(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

const QByteArray Video = R"({"transport": "urn:x-nmos:transport:rtp.mcast", "interface_bindings": ["eth0"]})";
const QByteArray Hd720 = R"({"format": "urn:x-nmos:format:video", "media_type": "video/raw", "frame_width": 1280,
    "frame_height": 720, "interlace_mode": "progressive", "grain_rate": {"numerator": 60000, "denominator": 1001},
    "colorspace": "BT709", "transfer_characteristic": "SDR",
    "components": [{"name": "Y", "width": 1280, "height": 720, "bit_depth": 10},
                   {"name": "Cb", "width": 640, "height": 720, "bit_depth": 10},
                   {"name": "Cr", "width": 640, "height": 720, "bit_depth": 10}]})";
const QByteArray Hd1080i = R"({"format": "urn:x-nmos:format:video", "media_type": "video/raw", "frame_width": 1920,
    "frame_height": 1080, "interlace_mode": "interlaced_tff", "grain_rate": {"numerator": 25}})";
const QByteArray Audio = R"({"format": "urn:x-nmos:format:audio", "media_type": "audio/L24",
    "sample_rate": {"numerator": 48000}, "bit_depth": 24})";
const QByteArray Xs = R"({"format": "urn:x-nmos:format:video", "media_type": "video/jxsv", "frame_width": 1920,
    "frame_height": 1080, "interlace_mode": "progressive", "grain_rate": {"numerator": 60000, "denominator": 1001},
    "profile": "High444.12", "level": "1k-1", "sublevel": "Sublev3bpp", "bit_rate": 200000,
    "components": [{"name": "Y", "width": 1920, "height": 1080, "bit_depth": 10},
                   {"name": "Cb", "width": 960, "height": 1080, "bit_depth": 10},
                   {"name": "Cr", "width": 960, "height": 1080, "bit_depth": 10}]})";

// Two legs of JPEG XS whose flow says only that it is video.
const QByteArray XsSdp = "v=0\r\no=- 7 7 IN IP4 192.0.2.10\r\ns=XS\r\nt=0 0\r\na=group:DUP first second\r\n"
    "m=video 5004 RTP/AVP 98\r\nc=IN IP4 239.10.0.1/32\r\nb=AS:116000\r\na=rtpmap:98 jxsv/90000\r\n"
    "a=fmtp:98 packetmode=0; profile=High444.12; level=2k-1; sublevel=Sublev4bpp; sampling=YCbCr-4:2:2; width=1280; "
    "height=720; exactframerate=60000/1001; depth=10; colorimetry=BT709; TCS=SDR; TP=2110TPN\r\na=mid:first\r\n"
    "m=video 5004 RTP/AVP 98\r\nc=IN IP4 239.20.0.1/32\r\na=rtpmap:98 jxsv/90000\r\na=mid:second\r\n";
const QByteArray RawSdp = "v=0\nm=video 5004 RTP/AVP 96\na=rtpmap:96 raw/90000\na=fmtp:96 sampling=YCbCr-4:2:2; width=1280; "
                          "height=720; exactframerate=60000/1001; depth=10; TCS=SDR; colorimetry=BT709; PM=2110GPM\n";
const QByteArray AudioSdp = "v=0\nm=audio 5004 RTP/AVP 97\na=rtpmap:97 L24/48000/2\na=ptime:0.125\n";
const QByteArray NoSdp;

} // namespace

// What a receiver can take by its caps (BCP-004-01), and how a sender's stream is named.
class tst_ReceiverCapabilities : public QObject
{
    Q_OBJECT

private slots:
    void judges_data();
    void judges();
    void namesStream_data();
    void namesStream();
};

void tst_ReceiverCapabilities::judges_data()
{
    QTest::addColumn<QByteArray>("receiver");
    QTest::addColumn<QByteArray>("sender");
    QTest::addColumn<QByteArray>("flow");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("sdp");
    QTest::addColumn<QString>("reason"); // empty: it can take it
    QTest::addColumn<QStringList>("ignored");

    const auto video = [](const QByteArray &caps) {
        return R"({"transport": "urn:x-nmos:transport:rtp", "format": "urn:x-nmos:format:video", "caps": )" + caps + "}";
    };
    const QByteArray tr05 = R"({"media_types": ["video/raw"], "constraint_sets": [{
        "urn:x-nmos:cap:meta:label": "720p59.94",
        "urn:x-nmos:cap:format:frame_width": {"enum": [1280]}, "urn:x-nmos:cap:format:frame_height": {"enum": [720]},
        "urn:x-nmos:cap:format:interlace_mode": {"enum": ["progressive"]},
        "urn:x-nmos:cap:format:grain_rate": {"enum": [{"numerator": 60000, "denominator": 1001}]},
        "urn:x-nmos:cap:format:color_sampling": {"enum": ["YCbCr-4:2:2"]}, "urn:x-nmos:cap:format:component_depth": {"enum": [10]},
        "urn:x-nmos:cap:format:transfer_characteristic": {"enum": ["SDR"]}, "urn:x-nmos:cap:format:colorspace": {"enum": ["BT709"]}}]})";
    QTest::newRow("format met in every parameter") << video(tr05) << Video << Hd720 << QByteArray("{}") << NoSdp << "" << QStringList();
    QTest::newRow("rate not among the group's")
        << video(R"({"constraint_sets": [{"urn:x-nmos:cap:format:frame_height": {"enum": [1080]},
               "urn:x-nmos:cap:format:grain_rate": {"enum": [{"numerator": 30000, "denominator": 1001}, {"numerator": 60}]}}]})")
        << Video << Hd1080i << QByteArray("{}") << NoSdp << "frame rate 25 is not among 29.97, 60" << QStringList();
    // Rationals are equal by cross-multiplication, whatever their terms; a negative denominator counts.
    QTest::newRow("rational in other terms")
        << video(R"({"constraint_sets": [{"urn:x-nmos:cap:format:grain_rate": {"enum": [{"numerator": -120000, "denominator": -2002}]}}]})")
        << Video << Hd720 << QByteArray("{}") << NoSdp << "" << QStringList();
    QTest::newRow("rate below a rational minimum")
        << video(R"({"constraint_sets": [{"urn:x-nmos:cap:format:grain_rate": {"minimum": {"numerator": 50}}}]})")
        << Video << Hd1080i << QByteArray("{}") << NoSdp << "frame rate 25 is below the minimum 50" << QStringList();
    // The first enabled set is the reason; a disabled one is never considered, met or not.
    const QByteArray audioSets = R"({"transport": "urn:x-nmos:transport:rtp", "format": "urn:x-nmos:format:audio", "caps": {
        "media_types": ["audio/L24", "audio/L16"], "constraint_sets": [
        {"urn:x-nmos:cap:meta:enabled": false, "urn:x-nmos:cap:format:channel_count": {"maximum": 64}},
        {"urn:x-nmos:cap:format:channel_count": {"maximum": 8}, "urn:x-nmos:cap:transport:packet_time": {"enum": [1]}},
        {"urn:x-nmos:cap:format:channel_count": {"maximum": 4}, "urn:x-vendor:cap:mixer": {"enum": [true]}}]}})";
    const QByteArray sixteen = R"({"channels": [{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}]})";
    QTest::newRow("channel count above every enabled set") << audioSets << Video << Audio << sixteen << NoSdp
                                                           << "channel count 16 is above the maximum 8" << QStringList();
    QTest::newRow("what cannot be judged is noted")
        << audioSets << Video << Audio << QByteArray(R"({"channels": [{}, {}]})") << NoSdp << ""
        << QStringList{"urn:x-nmos:cap:transport:packet_time"};
    QTest::newRow("only a disabled set")
        << video(R"({"constraint_sets": [{"urn:x-nmos:cap:meta:enabled": false, "urn:x-nmos:cap:format:frame_width": {"enum": [1280]}}]})")
        << Video << Hd720 << QByteArray("{}") << NoSdp << "the receiver has no enabled constraint set" << QStringList();
    QTest::newRow("no constraint set at all") << video(R"({"constraint_sets": []})") << Video << Hd720 << QByteArray("{}")
                                              << NoSdp << "the receiver has no enabled constraint set" << QStringList();
    QTest::newRow("media type not listed") << video(R"({"media_types": ["video/raw"]})") << Video << Xs << QByteArray("{}")
                                           << NoSdp << "media type video/jxsv is not among video/raw" << QStringList();
    QTest::newRow("other transport")
        << QByteArray(R"({"transport": "urn:x-nmos:transport:websocket", "format": "urn:x-nmos:format:video", "caps": {}})")
        << Video << Hd720 << QByteArray("{}") << NoSdp << "transport rtp.mcast is not the receiver's websocket" << QStringList();
    QTest::newRow("other format") << QByteArray(R"({"transport": "urn:x-nmos:transport:rtp", "format": "urn:x-nmos:format:audio"})")
                                  << Video << Hd720 << QByteArray("{}") << NoSdp << "a video stream, the receiver takes audio" << QStringList();
    const QByteArray xsCaps = video(R"({"media_types": ["video/jxsv"], "constraint_sets": [{
        "urn:x-nmos:cap:format:profile": {"enum": ["High444.12"]}, "urn:x-nmos:cap:format:level": {"enum": ["1k-1", "2k-1"]},
        "urn:x-nmos:cap:format:sublevel": {"enum": ["Sublev3bpp", "Sublev4bpp"]}, "urn:x-nmos:cap:format:bit_rate": {"maximum": 150000},
        "urn:x-nmos:cap:transport:packet_transmission_mode": {"enum": ["codestream"]},
        "urn:x-nmos:cap:transport:bit_rate": {"maximum": 120000}, "urn:x-nmos:cap:transport:st2110_21_sender_type": {"enum": ["2110TPN"]}}]})");
    QTest::newRow("JPEG XS bit rate over the receiver's") << xsCaps
        << QByteArray(R"({"transport": "urn:x-nmos:transport:rtp", "packet_transmission_mode": "codestream"})") << Xs << QByteArray("{}")
        << NoSdp << "bit rate 200000 is above the maximum 150000" << QStringList();
    // What a stream leaves out has its default: codestream packets for JPEG XS, progressive SDR video.
    QTest::newRow("JPEG XS packets by default") << video(R"({"constraint_sets": [{
        "urn:x-nmos:cap:transport:packet_transmission_mode": {"enum": ["slice_sequential"]}}]})") << Video << Xs << QByteArray("{}")
        << NoSdp << "packet transmission mode codestream is not among slice_sequential" << QStringList();
    QTest::newRow("progressive SDR by default") << video(R"({"constraint_sets": [{
        "urn:x-nmos:cap:format:interlace_mode": {"enum": ["progressive"]}, "urn:x-nmos:cap:format:transfer_characteristic": {"enum": ["SDR"]}}]})")
        << Video << QByteArray(R"({"format": "urn:x-nmos:format:video", "media_type": "video/raw"})") << QByteArray("{}") << NoSdp << "" << QStringList();
    // Where the flow says no more than that it is video or audio, the SDP's format parameters are judged.
    const QByteArray justVideo = R"({"format": "urn:x-nmos:format:video"})";
    QTest::newRow("raw video from the SDP") << video(tr05) << Video << justVideo << QByteArray("{}") << RawSdp << "" << QStringList();
    QTest::newRow("segmented frames from the SDP") << video(tr05) << Video << justVideo << QByteArray("{}")
        << QByteArray(RawSdp).replace("PM=", "interlace; segmented; PM=") << "interlace mode interlaced_psf is not among progressive"
        << QStringList();
    QTest::newRow("JPEG XS from the SDP") << xsCaps << Video << justVideo << QByteArray("{}") << XsSdp << ""
                                          << QStringList{"urn:x-nmos:cap:format:bit_rate"};
    QTest::newRow("JPEG XS slices from the SDP") << xsCaps << Video << justVideo << QByteArray("{}")
        << QByteArray(XsSdp).replace("packetmode=0", "packetmode=1; transmode=0")
        << "packet transmission mode slice_out_of_order is not among codestream" << QStringList();
    QTest::newRow("audio from the SDP") << audioSets << Video << QByteArray(R"({"format": "urn:x-nmos:format:audio"})")
                                        << QByteArray("{}") << AudioSdp << "" << QStringList{"urn:x-vendor:cap:mixer"};
}

void tst_ReceiverCapabilities::judges()
{
    QFETCH(QByteArray, receiver);
    QFETCH(QByteArray, sender);
    QFETCH(QByteArray, flow);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, sdp);
    QFETCH(QString, reason);
    QFETCH(QStringList, ignored);
    StreamFormat stream = StreamFormat::fromResources(object(sender), object(flow), object(source));
    stream.completeFromSdp(sdp);
    const ReceiverCapabilities::Verdict verdict = ReceiverCapabilities::judge(object(receiver), stream);
    QCOMPARE(verdict.reason, reason);
    QCOMPARE(verdict.canTake, reason.isEmpty());
    QCOMPARE(verdict.ignored, ignored);
}

void tst_ReceiverCapabilities::namesStream_data()
{
    QTest::addColumn<QByteArray>("sender");
    QTest::addColumn<QByteArray>("flow");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("sdp");
    QTest::addColumn<QString>("text");
    QTest::newRow("JPEG XS on two legs") << QByteArray(R"({"interface_bindings": ["a", "b"]})") << Xs << QByteArray("{}")
                                         << NoSdp << "JPEG XS 1920\u00d71080 59.94p 4:2:2 10-bit, 2 legs";
    QTest::newRow("interlaced by its field rate") << Video << Hd1080i << QByteArray("{}") << NoSdp << "Uncompressed 1920\u00d71080 50i";
    // The source's rate stands in for a flow that gives none.
    QTest::newRow("rate from the source") << Video << QByteArray(R"({"format": "urn:x-nmos:format:video", "media_type": "video/raw"})")
                                          << QByteArray(R"({"grain_rate": {"numerator": 50}})") << NoSdp << "Uncompressed 50p";
    QTest::newRow("audio") << Video << Audio << QByteArray(R"({"channels": [{}, {}]})") << NoSdp << "L24 48 kHz 2 ch";
    QTest::newRow("format and legs from the SDP") << QByteArray(R"({"transport": "urn:x-nmos:transport:rtp"})")
        << QByteArray(R"({"format": "urn:x-nmos:format:video"})") << QByteArray("{}") << XsSdp
        << "JPEG XS 1280\u00d7720 59.94p 4:2:2 10-bit, 2 legs";
    QTest::newRow("IS-04 before the SDP") << Video << Hd1080i << QByteArray("{}") << XsSdp << "Uncompressed 1920\u00d71080 50i 4:2:2 10-bit";
    QTest::newRow("audio from the SDP") << Video << QByteArray(R"({"format": "urn:x-nmos:format:audio"})") << QByteArray("{}")
                                        << AudioSdp << "L24 48 kHz 2 ch";
}

void tst_ReceiverCapabilities::namesStream()
{
    QFETCH(QByteArray, sender);
    QFETCH(QByteArray, flow);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, sdp);
    QFETCH(QString, text);
    StreamFormat stream = StreamFormat::fromResources(object(sender), object(flow), object(source));
    stream.completeFromSdp(sdp);
    QCOMPARE(stream.text(), text);
}

QTEST_GUILESS_MAIN(tst_ReceiverCapabilities)
#include "tst_receivercapabilities.moc"
