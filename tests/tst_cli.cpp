#include "nmos/nmosclient.h"
#include "tests/support/certificates.h"
#include "tests/support/netns.h"
#include "tests/support/nmosresources.h"
#include "tests/support/testhttpserver.h"
#include "tests/support/simnodeoutput.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <csignal>

// ferrolink-cli inside the private namespace against simulated nodes that announce
// themselves, and a registry that holds one more node: what it lists, patches, saves and
// recalls, read back from the nodes' own state and the saved file.
class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void commands_data();
    void commands();
    // Last: its node wants tokens, which the other rows' programs have no client for.
    void patchesInSecuredFacility();

private:
    int listedNodes();
    // The id of the resource of that node ("camera/Cam Video"), from the node's own state.
    QString idOf(const QString &resource);
    QJsonObject state(const QString &node);
    // "{addr:camera}", "{id:camera/Cam Video}" and "{registry}" in text replaced by what
    // they stand for.
    QString expand(QString text);
    // What a row does besides running the programs: "file" writes the row's file, "patch"
    // sends a node's receiver ("spare/Spare Video") a PATCH of its own, and "saved" checks
    // what the file holds ("<receiver text>=<sender text>", "=on" with no sender, "=off").
    void act(const QStringList &action, const QString &file);

    QTemporaryDir m_dir;
    QProcess m_sims;
    QHash<QString, QString> m_addresses;
    // Holds node "remote" and lists its receivers last, after the nodes announced by mDNS
    // have been quiet for longer than a listing waits for more; under /silent it answers nothing.
    TestHttpServer m_registry;
};

void tst_Cli::initTestCase()
{
    // The nodes announce themselves and the program browses, both by multicast.
    SKIP_UNLESS_PRIVATE_NETNS();
    qRegisterMetaType<QProcess::ExitStatus>();
    // Cameras on 10.77.0.1, monitors on 10.77.0.2; every resource is labelled after its
    // group ("Cam Audio 1"). Both twins label their group alike.
    QJsonArray nodes;
    QHash<QString, QString> hosts;
    const QStringList cameras{"camera=Cam", "other=Other", "twin-a=Twin", "twin-b=Twin", "dual=Dual", "xs=XS"};
    const QStringList monitors{"monitor=Mon", "lit=Lit", "spare=Spare", "picky=Picky", "wall=Wall", "mute=Mute", "fussy=Fussy", "raw=Raw"};
    for (const QString &node : cameras + monitors) {
        const QString kind = cameras.contains(node) ? "senders" : "receivers";
        hosts.insert(node.section('=', 0, 0), cameras.contains(node) ? "10.77.0.1" : "10.77.0.2");
        QJsonObject group{{"name", node.section('=', 1)}, {"video_" + kind, 1}, {"audio_" + kind, 2}, {"data_" + kind, 1}};
        // Cameras send 1080p50; Other's flow leaves its rate to the source, so that only its SDP tells it.
        if (node.startsWith("other"))
            group.insert("video_format", QJsonObject{{"grain_rate_on_source_only", true}});
        if (node.startsWith("fussy"))
            group.insert("video_caps", QJsonObject{{"media_types", QJsonArray{"video/raw"}}, {"constraint_sets", QJsonArray{QJsonObject{
                {"urn:x-nmos:cap:format:grain_rate", QJsonObject{{"enum", QJsonArray{QJsonObject{{"numerator", 60000}, {"denominator", 1001}},
                                                                                   QJsonObject{{"numerator", 60}}}}}}}}}});
        if (node.startsWith("xs"))
            group.insert("video_format", QJsonObject{{"media_type", "video/jxsv"}, {"profile", "High444.12"}, {"level", "2k-1"},
                                                     {"sublevel", "Sublev3bpp"}, {"bit_rate", 200000}});
        // Refuses at staging a transport file its caps do not allow.
        if (node.startsWith("raw"))
            group.insert("video_caps", QJsonObject{{"media_types", QJsonArray{"video/raw"}}});
        // Sends each stream on two ST 2022-7 legs.
        if (node.startsWith("dual"))
            group.insert("legs", 2);
        QJsonObject config{{"label", node.section('=', 0, 0)}, {"bind", QJsonArray{hosts.value(node.section('=', 0, 0))}},
                           {"devices", QJsonArray{QJsonObject{{"groups", QJsonArray{group}}}}}};
        // Takes its video patch and refuses a sender for every member.
        if (node.startsWith("picky"))
            config.insert("faults", QJsonObject{{"refuse_member_patch", true}});
        // Answers last when receivers are read together, though its entry comes first; its
        // first answer comes after the others' entries have been quiet for longer than a
        // listing waits for more.
        if (node.startsWith("lit"))
            config.insert("faults", QJsonObject{{"delay_ms", 700}});
        if (node.startsWith("raw"))
            config.insert("faults", QJsonObject{{"refuse_unfit_sdp", true}});
        // Cannot tell what its receivers run.
        if (node.startsWith("mute"))
            config.insert("faults", QJsonObject{{"active_500", true}});
        nodes.append(config);
    }
    QFile file(m_dir.filePath("nodes.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(QJsonObject{{"announce", true}, {"nodes", nodes}}).toJson());
    file.close();

    m_sims.setStandardErrorFile(QProcess::nullDevice());
    m_sims.start(FERROLINK_BINARY_DIR "/tools/nmos-simnode", {"--config", file.fileName()});
    const QList<QJsonObject> printed = simnodeReady(&m_sims);
    QVERIFY(!printed.isEmpty());
    for (const QJsonObject &node : printed) {
        if (node.contains("port"))
            m_addresses.insert(node["label"].toString(), hosts.value(node["label"].toString()) + ':' + QString::number(node["port"].toInt()));
    }
    QCOMPARE(m_addresses.size(), nodes.size());

    using namespace NmosResources;
    QVERIFY(m_registry.start());
    const QByteArray query = "/x-nmos/query/v1.3/";
    const QJsonObject endpoint{{"host", "127.0.0.1"}, {"port", 9}, {"protocol", "http"}};
    m_registry.setReply("GET", query + "nodes/", TestHttpServer::Reply::json(QJsonArray{QJsonObject{
        {"id", "remote-node"}, {"label", "remote"}, {"hostname", "remote"},
        {"api", QJsonObject{{"versions", QJsonArray{"v1.3"}}, {"endpoints", QJsonArray{endpoint}}}}}}));
    QJsonObject device = deviceJson("remote-device", {}, {"remote-video"});
    device.insert("node_id", "remote-node");
    m_registry.setReply("GET", query + "devices/", TestHttpServer::Reply::json(QJsonArray{device}));
    m_registry.setReply("GET", query + "flows/", TestHttpServer::Reply::json(QJsonArray()));
    m_registry.setReply("GET", query + "senders/", TestHttpServer::Reply::json(QJsonArray()));
    QJsonObject receiver = receiverJson("remote-video", "Remote Video", VideoUrn);
    receiver.insert("device_id", "remote-device");
    m_registry.setReply("GET", query + "receivers/", TestHttpServer::Reply::json(QJsonArray{receiver}).delayed(6000));
    // Every node answers before the rows run: a slow machine, or one running the sanitizers,
    // takes seconds to have a just-started simulator announce and answer.
    // One listing per try: QTRY would list again after a success and could see a slow node
    // missing from that one.
    QDeadlineTimer deadline(60000);
    int listed = 0;
    while ((listed = listedNodes()) != nodes.size() && !deadline.hasExpired())
        QTest::qWait(200);
    QCOMPARE(listed, nodes.size());
}

int tst_Cli::listedNodes()
{
    QProcess cli;
    cli.start(FERROLINK_BINARY_DIR "/cli/ferrolink-cli", {"list", "--wait", "20000"});
    cli.waitForFinished(30000);
    return QString::fromUtf8(cli.readAllStandardOutput()).count('\n');
}

void tst_Cli::cleanupTestCase()
{
    m_sims.terminate();
    m_sims.waitForFinished(5000);
}

QJsonObject tst_Cli::state(const QString &node)
{
    QNetworkAccessManager manager;
    return QJsonDocument::fromJson(NmosClient::syncGet(&manager, "http://" + m_addresses.value(node) + "/x-simnode/state")).object();
}

QString tst_Cli::idOf(const QString &resource)
{
    const QJsonObject nodeState = state(resource.section('/', 0, 0));
    for (const char *kind : {"senders", "receivers"}) {
        for (const QJsonValue &value : nodeState[kind].toArray()) {
            if (value["label"].toString() == resource.section('/', 1))
                return value["id"].toString();
        }
    }
    return "no " + resource;
}

QString tst_Cli::expand(QString text)
{
    text.replace("{registry}", m_registry.url(QString()));
    const QRegularExpression placeholder("\\{(addr|id):([^}]+)\\}");
    for (QRegularExpressionMatch match = placeholder.match(text); match.hasMatch(); match = placeholder.match(text))
        text.replace(match.capturedStart(), match.capturedLength(),
                     match.captured(1) == "addr" ? m_addresses.value(match.captured(2)) : idOf(match.captured(2)));
    return text;
}

namespace {

// What each receiver of a monitor's group must run afterwards: "Mon Audio 1=camera/Cam Audio 1",
// or "Mon Audio 1=" for nothing.
QStringList fed(const QString &monitor, const QString &camera, const QString &cameraGroup, int patched = 4)
{
    QStringList roles{"Video", "Audio 1", "Audio 2", "Anc"}, expected;
    for (int i = 0; i < roles.size(); ++i)
        expected << monitor + ' ' + roles[i] + '=' + (i < patched && !camera.isEmpty() ? camera + '/' + cameraGroup + ' ' + roles[i] : QString());
    return expected;
}

} // namespace

void tst_Cli::act(const QStringList &action, const QString &file)
{
    if (action.first() == "file") {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(expand(action[1]).toUtf8());
    } else if (action.first() == "patch") {
        QNetworkAccessManager manager;
        const QUrl url("http://" + m_addresses.value(action[1].section('/', 0, 0)) + "/x-nmos/connection/v1.1/single/receivers/"
                       + idOf(action[1]) + "/staged");
        int status = 0;
        QVERIFY(NmosClient::syncPatch(&manager, url, QJsonDocument::fromJson(action[2].toUtf8()).object(), &status));
    } else {
        QFile in(file);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QStringList saved;
        for (const QJsonValue &item : QJsonDocument::fromJson(in.readAll())["receivers"].toArray()) {
            const QJsonValue sender = item["sender"];
            saved << item["receiver"]["text"].toString() + '='
                         + (sender.isObject() ? sender["text"].toString() : item["enabled"].toBool() ? "on" : "off");
        }
        for (const QString &expected : action.mid(1))
            QVERIFY2(saved.contains(expand(expected)), qPrintable(expand(expected) + "\nnot in\n" + saved.join('\n')));
    }
}

void tst_Cli::commands_data()
{
    QTest::addColumn<QList<QStringList>>("runs"); // every run but the last must succeed
    QTest::addColumn<int>("exitCode");              // of the last run
    QTest::addColumn<QStringList>("out");           // lines the last run prints, among others, or "!" one it must not
    QTest::addColumn<QStringList>("err");           // the last run's error lines, exactly
    QTest::addColumn<QString>("monitor");
    QTest::addColumn<QStringList>("fedBy");

    const QString monitorEntry = "monitor ({addr:monitor}-Mon Video)", camEntry = "camera ({addr:camera}-Cam Video)";
    QTest::newRow("connect by label patches the group")
        << QList<QStringList>{{"connect", "Cam Video", "Mon Video"}} << 0
        << QStringList{"audio 2 of 2: {id:monitor/Mon Audio 2} <- {id:camera/Cam Audio 2} patched", "Patched " + monitorEntry + " to " + camEntry}
        << QStringList() << "monitor" << fed("Mon", "camera", "Cam");
    // The receivers of every node are read together; each line shows its own receiver's answer, and
    // whether it can take Other's stream, whose rate only its SDP tells.
    const QString params = R"j("parameters":{"urn:x-nmos:cap:format:color_sampling":"YCbCr-4:2:2","urn:x-nmos:cap:format:colorspace":"BT709","urn:x-nmos:cap:format:component_depth":10,"urn:x-nmos:cap:format:frame_height":1080,"urn:x-nmos:cap:format:frame_width":1920,"urn:x-nmos:cap:format:grain_rate":{"denominator":1,"numerator":50},"urn:x-nmos:cap:format:interlace_mode":"progressive","urn:x-nmos:cap:format:media_type":"video/raw","urn:x-nmos:cap:format:transfer_characteristic":"SDR"})j";
    const QString raw = R"j("caps":"media types video/raw",)j";
    QTest::newRow("list --json shows the entries, their formats, what each receiver runs and can take")
        << QList<QStringList>{{"connect", camEntry, "{id:lit/Lit Video}"}, {"connect", "Other Video", "Wall Video"}, {"list", "--json", "--for", "Other Video"}} << 1
        << QStringList{R"j({"address":"{addr:camera}","format":"Uncompressed 1920×1080 50p 4:2:2 10-bit","id":"{id:camera/Cam Video}","kind":"sender","label":"Cam Video","node":"camera",)j" + params + R"j(,"text":"camera ({addr:camera}-Cam Video)"})j",
                       R"j({"address":"{addr:lit}",)j" + raw + R"j("enabled":true,"fits":true,"id":"{id:lit/Lit Video}","kind":"receiver","label":"Lit Video","node":"lit","receiving":"{id:camera/Cam Video}","text":"lit ({addr:lit}-Lit Video)"})j",
                       R"j({"address":"{addr:mute}",)j" + raw + R"j("error":"Error transferring http://{addr:mute}/x-nmos/connection/v1.1/single/receivers/{id:mute/Mute Video}/active - server replied: Internal Server Error: The receiver cannot report its active parameters","fits":true,"id":"{id:mute/Mute Video}","kind":"receiver","label":"Mute Video","node":"mute","receiving":null,"text":"mute ({addr:mute}-Mute Video)"})j",
                       R"j({"address":"{addr:spare}",)j" + raw + R"j("enabled":false,"fits":true,"id":"{id:spare/Spare Video}","kind":"receiver","label":"Spare Video","node":"spare","receiving":null,"text":"spare ({addr:spare}-Spare Video)"})j",
                       R"j({"address":"{addr:wall}",)j" + raw + R"j("enabled":true,"fits":true,"id":"{id:wall/Wall Video}","kind":"receiver","label":"Wall Video","node":"wall","receiving":"{id:other/Other Video}","text":"wall ({addr:wall}-Wall Video)"})j",
                       R"j({"address":"{addr:fussy}","caps":"media types video/raw; 1 constraint set","enabled":false,"fits":false,"id":"{id:fussy/Fussy Video}","kind":"receiver","label":"Fussy Video","node":"fussy","reason":"frame rate 50 is not among 59.94, 60","receiving":null,"text":"fussy ({addr:fussy}-Fussy Video)"})j"}
        << QStringList() << "lit" << fed("Lit", "camera", "Cam");
    QTest::newRow("ambiguous label names the candidates")
        << QList<QStringList>{{"connect", "Twin Video", "Spare Video"}} << 2 << QStringList()
        << QStringList{"\"Twin Video\" matches several senders:", "twin-a ({addr:twin-a}-Twin Video) [{id:twin-a/Twin Video}]",
                       "twin-b ({addr:twin-b}-Twin Video) [{id:twin-b/Twin Video}]"}
        << "spare" << fed("Spare", "", "");
    // Recalls every receiver listed: before any row leaves one that cannot be patched back.
    QTest::newRow("save, change, recall together")
        << QList<QStringList>{{"connect", "Cam Video", "Wall Video"}, {"save", "{file}"}, {"connect", "Other Video", "Wall Video"},
                              {"recall", "{file}", "--in", "1"}} << 0
        << QStringList{"Patched wall ({addr:wall}-Wall Video) to " + camEntry} << QStringList() << "wall" << fed("Wall", "camera", "Cam");
    // A saved id not found is looked for on the saved node only: by text or by label.
    const QString gone = R"j({"id":"gone-%1","label":"%2","text":null,"node":"%3","address":"%4"})j";
    QTest::newRow("recall finds a saved entry on its own node only")
        << QList<QStringList>{{"file", R"j({"receivers":[{"receiver":)j" + gone.arg(1).arg("Wall Video", "wall", "{addr:wall}")
                                           + R"j(,"sender":)j" + gone.arg(2).arg("Other Video", "other", "{addr:other}")
                                           + R"j(},{"receiver":)j" + gone.arg(3).arg("Spare Video", "spare", "10.77.0.9:80")
                                           + R"j(,"sender":{"id":"{id:camera/Cam Video}"}},{"receiver":{"id":"{id:spare/Spare Video}"},"sender":)j"
                                           + gone.arg(4).arg("Cam Video", "camera", "10.77.0.9:80") + "}]}"},
                              {"recall", "{file}"}} << 1
        << QStringList{"Patched wall ({addr:wall}-Wall Video) to other ({addr:other}-Other Video)"}
        << QStringList{"Receiver Spare Video [gone-3] not found: skipped",
                       "spare ({addr:spare}-Spare Video): sender Cam Video [gone-4] not found: skipped"}
        << "spare" << fed("Spare", "", "");
    // Mute's receivers cannot be read: what the file held of them stays. A stream of no
    // sender is not off, and recall leaves it running.
    const QString leaving = " as it is: saved receiving a stream of no NMOS sender";
    QTest::newRow("save keeps what it cannot read, and a stream of no sender")
        << QList<QStringList>{{"connect", "Cam Video", "Mon Video"},
                              {"patch", "spare/Spare Video", R"j({"sender_id":null,"master_enable":true,"activation":{"mode":"activate_immediate"}})j"},
                              {"file", R"j({"receivers":[{"receiver":{"id":"{id:mute/Mute Video}"},"sender":null,"enabled":true}]})j"},
                              {"save", "{file}"},
                              {"saved", "monitor ({addr:monitor}-Mon Video)=" + camEntry, "picky ({addr:picky}-Picky Video)=off",
                               "spare ({addr:spare}-Spare Video)=on", "=on"},
                              {"recall", "{file}"}} << 0
        << QStringList{"Leaving spare ({addr:spare}-Spare Video)" + leaving, "Leaving mute ({addr:mute}-Mute Video)" + leaving,
                       "Took down picky ({addr:picky}-Picky Video)", "Patched " + monitorEntry + " to " + camEntry}
        << QStringList() << "spare" << QStringList{"Spare Video=on", "Spare Audio 1=", "Spare Audio 2=", "Spare Anc="};
    // ^C once it has scheduled: nothing it scheduled stays staged, so nothing switches.
    QTest::newRow("an interrupted recall cancels what it scheduled")
        << QList<QStringList>{{"connect", "Cam Video", "Spare Video"}, {"save", "{file}"}, {"connect", "Other Video", "Spare Video"},
                              {"recall", "{file}", "--in", "30", "^C"}} << 130
        << QStringList() << QStringList{"Interrupted: every scheduled activation cancelled"} << "spare" << fed("Spare", "other", "Other");
    // Staged with their video, which is refused: none switches, and each says so.
    const QString rawText = "raw ({addr:raw}-Raw Video): ", notPatched = " not patched: its video receiver refused the take, and its activation was cancelled";
    QTest::newRow("a scheduled recall switches no member of a refused video")
        << QList<QStringList>{{"file", R"j({"receivers":[{"receiver":{"id":"{id:raw/Raw Video}"},"sender":{"id":"{id:xs/XS Video}"}}]})j"},
                              {"recall", "{file}", "--in", "1"}} << 1
        << QStringList() << QStringList{rawText + "Patch failed on video: HTTP 400: The transport file does not suit this receiver",
                                        rawText + "audio {id:raw/Raw Audio 1}" + notPatched, rawText + "audio {id:raw/Raw Audio 2}" + notPatched,
                                        rawText + "anc {id:raw/Raw Anc}" + notPatched}
        << "raw" << fed("Raw", "", "");
    // The video pair is patched and stays; each refused member is named, in the window's words.
    const QString refused = "Patch failed on audio: HTTP 423: The receiver refuses to be patched";
    QTest::newRow("refused members")
        << QList<QStringList>{{"connect", "Cam Video", "Picky Video"}} << 1
        << QStringList{"anc 1 of 1: {id:picky/Picky Anc} failed", "Patched picky ({addr:picky}-Picky Video) to " + camEntry}
        << QStringList{refused, refused, QString(refused).replace("audio", "anc")} << "picky" << fed("Picky", "camera", "Cam", 1);
    // Refused without --force, Other's stream by the rate its SDP gives: Fussy keeps the camera's.
    const QString fussyEntry = "fussy ({addr:fussy}-Fussy Video)";
    QTest::newRow("a receiver that cannot take the sender is patched only if forced")
        << QList<QStringList>{{"connect", "Cam Video", "Fussy Video", "--force"}, {"connect", "Other Video", "Fussy Video"}} << 2 << QStringList()
        << QStringList{fussyEntry + " cannot take other ({addr:other}-Other Video): frame rate 50 is not among 59.94, 60 (--force patches it all the same)"}
        << "fussy" << fed("Fussy", "camera", "Cam");
    // The registry is read after the announced nodes have long been quiet; --for leaves out, and names, the receivers that cannot take the sender.
    QTest::newRow("list waits for the registry")
        << QList<QStringList>{{"list", "--registry", "{registry}/x-nmos/query/v1.3", "--for", "Cam Video"}} << 0
        << QStringList{"remote (127.0.0.1:9-Remote Video)", camEntry, monitorEntry, "!" + fussyEntry}
        << QStringList{fussyEntry + " cannot take it: frame rate 50 is not among 59.94, 60"} << QString() << QStringList();
    QTest::newRow("save leaves its file when a source was not read")
        << QList<QStringList>{{"save", "{file}", "--registry", "{registry}/silent/x-nmos/query/v1.3", "--wait", "8000"}} << 3
        << QStringList() << QStringList{"Not read in full in 8000 ms: the registry {registry}/silent/x-nmos/query/v1.3", "{file} left as it was"}
        << QString() << QStringList();
    QTest::newRow("--version with no display")
        << QList<QStringList>{{"--version"}, {"ferrolink", "--version"}} << 0 << QStringList{"ferrolink 8.0.124"} << QStringList()
        << QString() << QStringList();
    // The one-leg monitor takes the first leg of each stream, as the run says after it is done.
    QTest::newRow("connect tells of each leg left out")
        << QList<QStringList>{{"connect", "Dual Video", "Mon Video"}} << 0
        << QStringList{"Patched " + monitorEntry + " to dual ({addr:dual}-Dual Video)",
                       R"(Receiver "Mon Video" has one leg: it takes the first leg (of 2) of sender "Dual Video".)",
                       R"(Receiver "Mon Anc" has one leg: it takes the first leg (of 2) of sender "Dual Anc".)"}
        << QStringList() << "monitor" << fed("Mon", "dual", "Dual");
}

void tst_Cli::commands()
{
    QFETCH(QList<QStringList>, runs);
    QFETCH(int, exitCode);
    QFETCH(QStringList, out);
    QFETCH(QStringList, err);
    QFETCH(QString, monitor);
    QFETCH(QStringList, fedBy);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *display : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(display);
    QProcess cli;
    cli.setProcessEnvironment(environment);
    QSignalSpy finished(&cli, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    const QString file = m_dir.filePath(QTest::currentDataTag());
    for (int i = 0; i < runs.size(); ++i) {
        QStringList arguments = runs[i];
        for (QString &argument : arguments)
            argument = expand(argument).replace("{file}", file);
        if (QStringList{"file", "patch", "saved"}.contains(arguments.first())) {
            act(runs[i], file);
            if (QTest::currentTestFailed())
                return;
            continue;
        }
        const bool interrupt = arguments.removeAll("^C") > 0;
        const bool window = arguments.first() == "ferrolink";
        // A node heard late is still found by what names it, and listed: only a failing row
        // waits it out.
        if (QStringList{"connect", "recall", "list", "save"}.contains(arguments.first()) && !arguments.contains("--wait"))
            arguments << "--wait" << "20000";
        finished.clear();
        cli.start(window ? FERROLINK_BINARY_DIR "/app/ferrolink" : FERROLINK_BINARY_DIR "/cli/ferrolink-cli", arguments.mid(window));
        QByteArray printed;
        if (interrupt) {
            QTRY_VERIFY_WITH_TIMEOUT((printed += cli.readAllStandardOutput()).contains("Scheduled"), 30000);
            ::kill(cli.processId(), SIGINT);
        }
        // The registry answers from this event loop.
        QVERIFY(finished.count() > 0 || finished.wait(30000));
        // The libraries' own log lines (category first) are not the program's report.
        QStringList error;
        for (const QString &line : QString::fromUtf8(cli.readAllStandardError()).split('\n', Qt::SkipEmptyParts)) {
            if (!line.contains(QRegularExpression("^ferrolink\\.[a-z]+: ")))
                error << line;
        }
        // save reads every receiver, and ends 1 for the one that cannot be read.
        const int expectedExit = i + 1 < runs.size() ? int(arguments.first() == "save") : exitCode;
        QVERIFY2(cli.exitCode() == expectedExit,
                 qPrintable(QStringLiteral("%1 ended %2: %3").arg(arguments.first()).arg(cli.exitCode()).arg(error.join('\n'))));
        if (i + 1 < runs.size())
            continue;
        const QStringList lines = QString::fromUtf8(printed + cli.readAllStandardOutput()).split('\n');
        // "!line": a line it must not print.
        for (const QString &line : out)
            QVERIFY2(lines.contains(expand(line).remove(QRegularExpression("^!"))) != line.startsWith('!'),
                     qPrintable(expand(line) + "\nagainst\n" + lines.join('\n')));
        QStringList errors;
        for (const QString &line : err)
            errors << expand(line).replace("{file}", file);
        QCOMPARE(error.replaceInStrings(QRegularExpression("^\\s+"), ""), errors);
    }

    // The monitor's own account of what each receiver of its group runs: "on" for a stream
    // of no sender.
    QStringList expected, running;
    for (const QString &receiver : fedBy) {
        const QString sender = receiver.section('=', 1);
        expected << receiver.section('=', 0, 0) + '=' + (sender.isEmpty() || sender == "on" ? sender : idOf(sender));
    }
    for (const QJsonValue &receiver : monitor.isEmpty() ? QJsonArray() : state(monitor)["receivers"].toArray()) {
        const QString sender = receiver["sender_id"].isString() ? receiver["sender_id"].toString() : "on";
        running << receiver["label"].toString() + '=' + (receiver["master_enable"].toBool() ? sender : QString());
        QVERIFY2(receiver["staged_activation"]["mode"].isNull(), qPrintable(receiver["label"].toString() + " has an activation scheduled"));
    }
    expected.sort();
    running.sort();
    QCOMPARE(running, expected);
}

// A secured node, found by mDNS with its authorization server: ferrolink-cli signs in with the
// client of its client file and patches it; a revoked client is told why and patches nothing.
void tst_Cli::patchesInSecuredFacility()
{
    const QString pem = m_dir.filePath("vault.pem"), key = m_dir.filePath("vault.key"), ca = m_dir.filePath("ca.pem");
    QVERIFY(makeCertificate(m_dir.path(), "vault", "IP:10.77.0.1"));
    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(FERROLINK_BINARY_DIR "/tools/nmos-simnode", {"--label", "vault", "--video-senders", "1", "--video-receivers", "1", "--auth", "0",
                                                          "--tls-cert", pem, "--tls-key", key, "--bind", "10.77.0.1", "--announce"});
    const QList<QJsonObject> printed = simnodeReady(&sim);
    QVERIFY(!printed.isEmpty());
    int nodePort = 0, authPort = 0;
    for (const QJsonObject &object : printed) {
        nodePort = object.contains("port") ? object["port"].toInt() : nodePort;
        authPort = object.contains("auth") ? object["auth"].toInt() : authPort;
    }
    QVERIFY(NmosClient::addTrustedAuthorities(ca));
    // The facility's administrator registers the script's client.
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("https://10.77.0.1:%1/register").arg(authPort)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = manager.post(request, R"({"client_name": "script", "grant_types": ["client_credentials"]})");
    QTRY_VERIFY(reply->isFinished());
    const QByteArray client = reply->readAll();
    const QString clientId = QJsonDocument::fromJson(client)["client_id"].toString();
    QVERIFY2(!clientId.isEmpty(), client.constData());
    QFile clientFile(m_dir.filePath("client.json"));
    QVERIFY(clientFile.open(QIODevice::WriteOnly) && clientFile.write(client) > 0);
    clientFile.close();

    const QString base = QStringLiteral("https://10.77.0.1:%1").arg(nodePort);
    const auto nodeState = [&] { return QJsonDocument::fromJson(NmosClient::syncGet(&manager, base + "/x-simnode/state")).object(); };
    const auto first = [&](const char *kind, const char *key) { return nodeState()[kind].toArray().at(0)[key].toString(); };
    const QString sender = first("senders", "id"), receiver = first("receivers", "id");
    const auto run = [&](int exitCode, const QString &error) {
        QProcess cli;
        cli.start(FERROLINK_BINARY_DIR "/cli/ferrolink-cli",
                  QStringList{"--ca-file", ca, "--client-file", clientFile.fileName(), "connect", sender, receiver, "--wait", "60000"});
        // Signing in, finding the node and patching it take a sanitizer build on a busy machine a while.
        QVERIFY(cli.waitForFinished(90000));
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        QVERIFY2(cli.exitCode() == exitCode && err.contains(error), qPrintable(err));
    };
    run(0, QString());
    QCOMPARE(first("receivers", "sender_id"), sender);
    QNetworkReply *revoke = manager.deleteResource(QNetworkRequest(QUrl(QStringLiteral("https://10.77.0.1:%1/x-simauth/clients/%2").arg(authPort).arg(clientId))));
    QTRY_VERIFY(revoke->isFinished());
    run(1, "Sign-in needed: ");
    sim.terminate();
    sim.waitForFinished(5000);
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
