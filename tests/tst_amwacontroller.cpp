#include "app/fitlines.h"
#include "app/lightindicator.h"
#include "app/mainwindow.h"
#include "app/receiverstatelabel.h"
#include "discovery/nmosregistrybrowser.h"
#include "nmos/nmosclient.h"
#include "workflow/securedfacility.h"
#include "tests/support/dialogcatcher.h"
#include "tests/support/netns.h"
#include "tests/support/testhttpserver.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QHostAddress>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QDesktopServices>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <signal.h>

namespace {

// The testing tool poses each question here and takes the answer at the question's answer_uri.
const QByteArray QuestionPath = "/x-nmos/testquestion/v1.0/";

// Long enough for the suites' own random waits (up to 60 s) and their 30 s of grace.
const int SuiteMs = 8 * 60 * 1000;
const int ComeBackMs = 75 * 1000;

// An operator gives up waiting after a while and answers what the window shows; the suite
// judges the answer.
template<typename Condition>
void waitFor(Condition condition, int ms)
{
    (void)QTest::qWaitFor(condition, ms);
}

bool isEnabled(const QComboBox *combo, int row)
{
    return row >= 0 && (combo->model()->flags(combo->model()->index(row, 0)) & Qt::ItemIsEnabled);
}

// The operator's browser: the sign-in page a window opens is fetched, and its redirect, back to
// the window's listener on 127.0.0.1, followed, as a browser whose operator is signed in would.
class OperatorBrowser : public QObject
{
    Q_OBJECT

public slots:
    void open(const QUrl &url)
    {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply *reply = m_manager.get(request);
        connect(reply, &QNetworkReply::finished, this, [this, reply] {
            reply->deleteLater();
            const QUrl next = reply->url().resolved(QUrl::fromEncoded(reply->rawHeader("Location")));
            ++opened;
            if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() / 100 == 3 && next.isValid())
                open(next);
        });
    }

public:
    int opened = 0;

private:
    QNetworkAccessManager m_manager;
};

// Plays the suite's operator at the window: it reads only what the window shows (the
// entries, whether they are greyed, the lamps, the receiver's connection state, the chosen
// entries' formats and whether they fit) and acts only as an operator would (choosing
// entries, pressing the buttons).
class Operator : public DialogCatcher
{
public:
    MainWindow window;
    QComboBox *tx = window.findChildren<QComboBox *>().value(0);
    QComboBox *rx = window.findChildren<QComboBox *>().value(1);
    LightIndicator *rxLamp = window.findChildren<LightIndicator *>().value(1);
    QLabel *state = window.findChild<QLabel *>(QStringLiteral("receiverState"));
    QLabel *sends = window.findChild<QLabel *>(QStringLiteral("senderFormat"));
    QLabel *takes = window.findChild<QLabel *>(QStringLiteral("receiverFormat"));
    QLabel *fit = window.findChild<QLabel *>(QStringLiteral("fit"));

    QJsonValue answer(const QJsonObject &question)
    {
        const QString id = question.value("question_id").toString();
        const QString text = question.value("question").toString();
        const QJsonArray answers = question.value("answers").toArray();
        const QJsonObject metadata = question.value("metadata").toObject();
        if (id == "pre_tests_message") {
            // Where the registry is published by unicast DNS-SD the operator sets up the name
            // server and search domain the message gives, and the window finds the registry.
            const QRegularExpression dns(QStringLiteral("primary DNS .* set to \"([^\"]+)\".*search domain is set to \"([^\"]+)\""),
                                         QRegularExpression::DotMatchesEverythingOption);
            const QRegularExpression query(QStringLiteral("http://\\S+/x-nmos/query/v\\d+\\.\\d+"));
            const QRegularExpressionMatch published = dns.match(text);
            if (published.hasMatch()) {
                window.registryBrowser()->setDnsNameserver(QHostAddress(published.captured(1)));
                window.registryBrowser()->setDnsDomains({published.captured(2)});
                window.facility()->setDnsNameserver(QHostAddress(published.captured(1)));
                window.facility()->setDnsDomains({published.captured(2)});
            } else {
                window.registryBrowser()->setRegistry(QUrl(query.match(text).captured()));
            }
            waitFor([this] { return tx->count() > 0 && rx->count() > 0; }, 20000);
            return QJsonValue();
        }
        const QString type = question.value("test_type").toString();
        if (type == "multi_choice") {
            const QRegularExpression given(QStringLiteral("following (Sender|Receiver):\\s+(\\S+) \\("));
            const QRegularExpressionMatch match = given.match(text);
            if (match.hasMatch())
                return fitting(match.captured(1) == "Sender" ? tx : rx, match.captured(2), answers);
            if (text.contains("JPEG XS capable Senders"))
                return shownFor(tx, sends, "Sends: JPEG XS", answers);
            if (text.contains("JPEG XS capable Receivers"))
                return shownFor(rx, takes, "video/jxsv", answers);
            return text.contains("have a Connection API") ? connectable(answers) : listed(answers);
        }
        if (type == "single_choice") {
            if (text.contains("put 'offline'"))
                return wentAway(answers);
            if (text.contains("has just been connected"))
                return connectedReceiver(answers);
            return senderOf(label(metadata, "receiver"), answers);
        }
        if (text.contains("come back online"))
            waitFor([this] { return isEnabled(tx, entry(tx, m_away)); }, ComeBackMs);
        else if (text.contains("perform an 'immediate' activation"))
            patch(label(metadata, "sender"), label(metadata, "receiver"));
        else if (text.contains("remove the connection"))
            patch(QString(), label(metadata, "receiver"));
        else if (text.contains("will be disconnected"))
            waitForState(label(metadata, "receiver"), notReceiving(), ComeBackMs);
        return QJsonValue();
    }

private:
    static QString label(const QJsonObject &metadata, const char *key)
    {
        return metadata.value(key).toObject().value("label").toString();
    }
    static QString labelOf(const QJsonValue &answer) { return answer.toObject().value("resource").toObject().value("label").toString(); }
    static QString idOf(const QJsonValue &answer) { return answer.toObject().value("answer_id").toString(); }

    // The entry of a resource: "node (address-label)".
    static int entry(const QComboBox *combo, const QString &label)
    {
        return label.isEmpty() ? -1 : combo->findText("-" + label + ")", Qt::MatchEndsWith);
    }
    static QString notReceiving() { return ReceiverStateLabel::notReceivingText(); }

    bool choose(QComboBox *combo, const QString &label)
    {
        if (!QTest::qWaitFor([&] { return isEnabled(combo, entry(combo, label)); }, 10000))
            return false;
        combo->setCurrentIndex(entry(combo, label));
        return true;
    }
    // The connection state of a receiver, once the window has read it.
    QString stateOf(const QString &receiver)
    {
        if (!choose(rx, receiver))
            return QString();
        waitFor([this] { return !state->text().endsWith(QStringLiteral("\u2026")); }, 5000);
        return state->text();
    }
    void waitForState(const QString &receiver, const QString &shown, int ms)
    {
        choose(rx, receiver);
        waitFor([&] { return state->text() == shown; }, ms);
    }

    QJsonArray listed(const QJsonArray &answers)
    {
        QJsonArray chosen;
        for (const QJsonValue &answer : answers) {
            if (isEnabled(tx, entry(tx, labelOf(answer))) || isEnabled(rx, entry(rx, labelOf(answer))))
                chosen << idOf(answer);
        }
        return chosen;
    }
    // A receiver can be patched when its row's lamp lights for it.
    QJsonArray connectable(const QJsonArray &answers)
    {
        QJsonArray chosen;
        for (const QJsonValue &answer : answers) {
            const int row = entry(rx, labelOf(answer));
            if (!isEnabled(rx, row))
                continue;
            rx->setCurrentIndex(row);
            if (rxLamp->isOn())
                chosen << idOf(answer);
        }
        return chosen;
    }
    // The answers whose entry, chosen, shows this in the line.
    QJsonArray shownFor(QComboBox *combo, const QLabel *line, const QString &shown, const QJsonArray &answers)
    {
        QJsonArray chosen;
        for (const QJsonValue &answer : answers) {
            if (choose(combo, labelOf(answer)) && line->text().contains(shown))
                chosen << idOf(answer);
        }
        return chosen;
    }
    // With the given entry chosen in its row, the answers chosen in the other that fit it.
    QJsonArray fitting(QComboBox *given, const QString &label, const QJsonArray &answers)
    {
        if (!choose(given, label))
            return {};
        return shownFor(given == tx ? rx : tx, fit, FitLines::canTakeText(), answers);
    }
    QJsonValue wentAway(const QJsonArray &answers)
    {
        QJsonValue away;
        waitFor([&] {
            for (const QJsonValue &answer : answers) {
                if (!isEnabled(tx, entry(tx, labelOf(answer)))) {
                    m_away = labelOf(answer);
                    away = idOf(answer);
                }
            }
            return !away.isNull();
        }, 30000);
        return away;
    }
    QJsonValue connectedReceiver(const QJsonArray &answers)
    {
        QJsonValue connected;
        waitFor([&] {
            for (const QJsonValue &answer : answers) {
                const QString shown = stateOf(labelOf(answer));
                if (!shown.isEmpty() && shown != notReceiving())
                    connected = idOf(answer);
            }
            return !connected.isNull();
        }, 10000);
        return connected;
    }
    QJsonValue senderOf(const QString &receiver, const QJsonArray &answers)
    {
        QJsonValue sender;
        waitFor([&] {
            const QString shown = stateOf(receiver);
            for (const QJsonValue &answer : answers) {
                const QJsonObject resource = answer.toObject().value("resource").toObject();
                if (shown.endsWith("-" + resource.value("label").toString() + ")") || shown == resource.value("id").toString())
                    sender = idOf(answer);
            }
            return !sender.isNull();
        }, 10000);
        return sender;
    }
    // Connects the receiver to the sender, or disconnects it without one, and waits until
    // the window shows the result.
    void patch(const QString &sender, const QString &receiver)
    {
        if ((!sender.isEmpty() && !choose(tx, sender)) || !choose(rx, receiver))
            return;
        // An operator takes a receiver down once the window shows it up.
        if (sender.isEmpty())
            waitFor([this] { return state->text().startsWith("Receiving"); }, 5000);
        button(sender.isEmpty() ? "Disconnect Rx" : "Connect (Tx->Rx)")->click();
        const QString shown = sender.isEmpty() ? notReceiving() : tx->currentText();
        waitFor([&] { return state->text().endsWith(shown); }, 5000);
    }
    QPushButton *button(const QString &text) const
    {
        for (QPushButton *candidate : window.findChildren<QPushButton *>()) {
            if (candidate->text() == text)
                return candidate;
        }
        return nullptr;
    }

    QString m_away;
};

// The tests of a suite's JUnit file: "name: passed" or "name: <the suite's reason>".
QStringList outcomes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("no results in ") + path};
    QStringList list;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("testcase"))
            list << xml.attributes().value("name").toString() + QStringLiteral(": passed");
        else if (!list.isEmpty() && xml.name() != QLatin1String("system-out"))
            list.last() = list.last().section(':', 0, 0) + ": " + xml.name() + " " + xml.attributes().value("message");
    }
    return list;
}

} // namespace

// AMWA's controller test suites, run against the main window: the suite plays a registry
// and its devices, and this test plays the operator who answers the suite's questions.
class tst_AmwaController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void passesSuite_data();
    void passesSuite();

private:
    static QString suiteCopy()
    {
        return qEnvironmentVariable("FERROLINK_NMOS_TESTING", FERROLINK_SOURCE_DIR "/../shared/nmos-testing");
    }
    static QString runSuite() { return suiteCopy() + "/run-suite"; }

    QTemporaryDir m_settings;
};

void tst_AmwaController::initTestCase()
{
    // The suite and the window must not reach a real network. A clone on its own has neither
    // the suite's copy nor, perhaps, a namespace: it skips. CI sets FERROLINK_REQUIRE_NMOS_TESTING,
    // under which either missing is a failure, so that a missing suite cannot pass CI.
    const bool required = qgetenv("FERROLINK_REQUIRE_NMOS_TESTING") == "1";
    QString why;
    if (!insidePrivateNetns(&why)) {
        if (required)
            QFAIL(qPrintable(why));
        QSKIP(qPrintable(why));
    }
    if (!QFileInfo(runSuite()).isExecutable()) {
        why = runSuite() + " is missing: AMWA's nmos-testing, set up as ../shared/nmos-testing beside the checkout "
                           "or named by FERROLINK_NMOS_TESTING, runs these suites";
        if (required)
            QFAIL(qPrintable(why));
        QSKIP(qPrintable(why));
    }
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    MainWindow::splashDurationMs = 100;
}

void tst_AmwaController::passesSuite_data()
{
    QTest::addColumn<bool>("unicast"); // the registry published by the suite's own DNS server
    QTest::addColumn<QStringList>("required");
    QTest::newRow("IS-04-04") << true << QStringList{"test_01", "test_02", "test_03", "test_04", "test_05"};
    QTest::newRow("IS-05-03") << false << QStringList{"test_01", "test_02", "test_03", "test_04"};
    // Every mock over https, with an authorization server, all published by unicast DNS-SD.
    QTest::newRow("IS-04-04-secure") << true << QStringList{"test_01", "test_02", "test_03", "test_04", "test_05"};
    QTest::newRow("IS-05-03-secure") << true << QStringList{"test_01", "test_02", "test_03", "test_04"};
    // JPEG XS: which entries are, which fit which, and connecting pairs that fit.
    QTest::newRow("BCP-006-01-02") << false << QStringList{"test_01", "test_02", "test_03", "test_04", "test_05"};
}

void tst_AmwaController::passesSuite()
{
    QFETCH(bool, unicast);
    QFETCH(QStringList, required);
    const QString copy = suiteCopy();
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const bool secure = tag.endsWith("-secure");
    const QString suiteName = secure ? tag.chopped(int(strlen("-secure"))) : tag;
    QTemporaryDir results;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A copy of the suite of this run's own, configured as its documentation says; the shared
    // one stays as it is. The suite gives the testing facade 1 s to take each question: a
    // window under a sanitizer on a busy machine may not answer that soon, which says nothing
    // of how it controls, and the question would be lost.
    environment.insert("NMOS_TESTING_DIR", results.filePath("nmos-testing"));
    QProcess setup;
    setup.setProcessEnvironment(environment);
    setup.start(copy + "/setup", QStringList());
    QVERIFY2(setup.waitForFinished(120000) && setup.exitCode() == 0, qPrintable(setup.readAllStandardError()));
    QFile config(results.filePath("nmos-testing/nmos-testing/nmostesting/UserConfig.py"));
    QVERIFY(config.open(QIODevice::Append));
    config.write("\nCONFIG.HTTP_TIMEOUT = 10\n");
    if (unicast)
        config.write("CONFIG.DNS_SD_MODE = \"unicast\"\n");
    if (secure)
        config.write("CONFIG.ENABLE_HTTPS = True\nCONFIG.ENABLE_AUTH = True\n");
    config.close();
    // The facility's authority, as an operator installs it.
    if (secure)
        QVERIFY(NmosClient::addTrustedAuthorities(
            results.filePath("nmos-testing/nmos-testing/test_data/BCP00301/ca/certs/ca.cert.pem")));

    TestHttpServer facade;
    QVERIFY(facade.start());
    facade.setReply("POST", QuestionPath, TestHttpServer::Reply::empty(202));
    // In a session of its own, so that a test that fails midway ends the Python suite under
    // the script with it.
    QProcess suite;
    suite.setProcessEnvironment(environment);
    suite.setProcessChannelMode(QProcess::ForwardedChannels);
    suite.start("setsid", {runSuite(), suiteName, results.path(), "127.0.0.1", QString::number(facade.port())});
    QVERIFY2(suite.waitForStarted(), qPrintable(suite.errorString()));
    const auto endSuite = qScopeGuard([&suite] {
        if (suite.state() != QProcess::NotRunning && ::kill(-pid_t(suite.processId()), SIGTERM) == 0)
            suite.waitForFinished(5000);
    });

    // The sign-in a secured facility asks for happens in the operator's browser.
    OperatorBrowser browser;
    QDesktopServices::setUrlHandler("https", &browser, "open");
    const auto noBrowser = qScopeGuard([] { QDesktopServices::unsetUrlHandler("https"); });
    Operator desk;
    QVERIFY(desk.tx && desk.rx && desk.rxLamp && desk.state && desk.sends && desk.takes && desk.fit);
    QNetworkAccessManager answers;
    int asked = 0;
    while (QTest::qWaitFor([&] { return facade.requestCount() > asked || suite.state() == QProcess::NotRunning; }, SuiteMs)
           && facade.requestCount() > asked) {
        const QJsonObject question = QJsonDocument::fromJson(facade.requests().at(asked++).body).object();
        if (!question.contains("question_id"))
            continue;
        const QJsonObject answer{{"question_id", question.value("question_id")},
                                 {"answer_response", desk.answer(question)}};
        QNetworkRequest request(QUrl(question.value("answer_uri").toString()));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply *reply = answers.post(request, QJsonDocument(answer).toJson(QJsonDocument::Compact));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
        reply->deleteLater();
    }
    QVERIFY2(suite.state() == QProcess::NotRunning, "the suite did not end");

    QStringList got;
    const QStringList all = outcomes(results.filePath(suiteName + ".xml"));
    for (const QString &outcome : all) {
        if (required.contains(outcome.section(':', 0, 0)))
            got << outcome;
    }
    QStringList expected;
    for (const QString &name : required)
        expected << name + ": passed";
    if (got != expected)
        results.setAutoRemove(false);
    QVERIFY2(got == expected, qPrintable(all.join("; ") + "; dialogs: " + desk.shown.join("; ")
                                         + "; log in " + results.filePath("suite.log")));
    // Signed in through the browser.
    QCOMPARE(browser.opened > 0, secure);
}

QTEST_MAIN(tst_AmwaController)
#include "tst_amwacontroller.moc"
