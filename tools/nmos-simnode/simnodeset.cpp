#include "simnodeset.h"

#include "simannouncer.h"
#include "simauthserver.h"
#include "simhttpserver.h"
#include "simnode.h"
#include "simregistry.h"
#include "simtaskpool.h"
#include "simtokencheck.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>

SimNodeSet::SimNodeSet(const SimConfig &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    for (int i = 0; i < config.nodes.size(); ++i)
        m_nodes << new SimNode(config.nodes.at(i), i, this);
}

SimNodeSet::~SimNodeSet()
{
    stop();
}

bool SimNodeSet::announceInterfaces(const SimConfig &config, QStringList *names, QString *errorString)
{
    if (!config.mdnsInterfaces.isEmpty()) {
        *names = config.mdnsInterfaces;
        return true;
    }
    QStringList found;
    for (const SimNodeConfig &node : config.nodes) {
        for (const QString &text : node.bindAddresses) {
            const QHostAddress address(text);
            bool matched = false;
            for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
                for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
                    if (entry.ip().isEqual(address, QHostAddress::TolerantConversion)) {
                        matched = true;
                        if (!found.contains(iface.name()))
                            found << iface.name();
                    }
                }
            }
            if (!matched) {
                if (errorString)
                    *errorString = QStringLiteral("no interface carries %1; name one with --mdns-interface").arg(text);
                return false;
            }
        }
    }
    *names = found;
    return true;
}

bool SimNodeSet::start(QString *errorString)
{
    QStringList interfaces;
    if (m_config.announce && !announceInterfaces(m_config, &interfaces, errorString))
        return false;
    const bool needsPool = std::any_of(m_nodes.begin(), m_nodes.end(), [](SimNode *node) {
        return !node->config().faults.hang && node->config().faults.delayMs == 0;
    });
    if (needsPool)
        m_pool = std::make_unique<SimTaskPool>(MaxPoolThreads);
    if (m_config.authPort >= 0) {
        m_auth = std::make_unique<SimAuthServer>(m_config);
        if (!m_auth->start(errorString))
            return false;
    }

    for (SimNode *node : m_nodes) {
        const SimFaults &faults = node->config().faults;
        // A node that stalls keeps its own threads, so it cannot starve the others.
        const bool stalls = faults.hang || faults.delayMs > 0;
        auto server = std::make_unique<SimHttpServer>(node, stalls ? nullptr : m_pool.get());
        if (!m_config.stateFile.isEmpty())
            server->setChangeHandler([this] { writeState(); });
        const SimNodeConfig &config = node->config();
        server->setTokenCheck(tokenCheck(QStringList{config.hostname.chopped(1), config.hrefHost} + config.bindAddresses));
        if (!server->start(errorString))
            return false;
        m_servers.push_back(std::move(server));
    }
    if (!m_config.stateFile.isEmpty())
        writeState();
    if (m_config.registryPort >= 0 && !startRegistry(errorString))
        return false;

    if (m_config.announce) {
        m_announcer = new SimAnnouncer(interfaces, this);
        for (SimNode *node : m_nodes) {
            if (!m_config.registryOnly)
                m_announcer->addNode(node);
        }
        if (m_registry) {
            const SimNodeConfig &first = m_nodes.first()->config();
            m_announcer->addRegistry(first.label + QStringLiteral(" registry"), first.bindAddresses.first(),
                                     m_registry->port(), m_config.registryPriority, m_registry->scheme(), m_auth != nullptr);
        }
        if (m_auth) {
            const SimNodeConfig &first = m_nodes.first()->config();
            m_announcer->addAuthServer(first.label + QStringLiteral(" auth"), first.bindAddresses.first(),
                                       m_auth->port(), m_config.authPriority, m_auth->scheme());
        }
    }
    if (m_config.bumpIntervalMs > 0) {
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] {
            for (SimNode *node : m_nodes)
                node->bumpSelfCounter();
        });
        timer->start(m_config.bumpIntervalMs);
    }
    return true;
}

bool SimNodeSet::startRegistry(QString *errorString)
{
    const QString address = m_nodes.first()->config().bindAddresses.first();
    m_registry = new SimRegistry(address, m_config.registryPort, m_config.registryWebSocket, this);
    m_registry->setPageLimit(m_config.registryPageLimit);
    m_registry->setTls(m_nodes.first()->config().tlsCert, m_nodes.first()->config().tlsKey);
    const QString label = m_nodes.first()->config().label + QStringLiteral(" registry");
    m_registry->setTokenCheck(tokenCheck({SimConfigParser::hostnameFor(label).chopped(1), address}));
    if (!m_registry->start(errorString))
        return false;
    for (SimNode *node : qAsConst(m_nodes)) {
        registerNode(node);
        connect(node, &SimNode::resourcesChanged, m_registry, [this, node] { registerNode(node); }, Qt::QueuedConnection);
    }
    return true;
}

// Every resource as the node's own API gives it, again after each change, as the node's
// Registration API client would keep them.
void SimNodeSet::registerNode(SimNode *node)
{
    const QString base = QStringLiteral("/x-nmos/node/v1.3/");
    m_registry->putResource(QStringLiteral("nodes"),
                            QJsonDocument::fromJson(node->handle("GET", base + QStringLiteral("self"), {}).body).object());
    for (const QString type : {"devices", "sources", "flows", "senders", "receivers"}) {
        const QJsonArray resources = QJsonDocument::fromJson(node->handle("GET", base + type + '/', {}).body).array();
        for (const QJsonValue &resource : resources)
            m_registry->putResource(type, resource.toObject());
    }
}

void SimNodeSet::restartRegistry()
{
    if (m_registry)
        m_registry->forget();
}

void SimNodeSet::registerAgain()
{
    if (!m_registry)
        return;
    for (SimNode *node : qAsConst(m_nodes))
        registerNode(node);
    qInfo().noquote() << "registry: every node registered again";
}

int SimNodeSet::registryPort() const
{
    return m_registry ? m_registry->port() : 0;
}

int SimNodeSet::authPort() const
{
    return m_auth ? m_auth->port() : 0;
}

const SimTokenCheck *SimNodeSet::tokenCheck(const QStringList &names)
{
    if (!m_auth)
        return nullptr;
    QStringList known = names;
    known.removeAll(QString());
    m_tokenChecks.push_back(std::make_unique<SimTokenCheck>(m_auth->key(), m_auth->issuer(), known));
    return m_tokenChecks.back().get();
}

void SimNodeSet::stop()
{
    for (const auto &server : m_servers)
        server->requestStop();
    m_servers.clear();
    m_pool.reset();
    delete m_announcer;
    m_announcer = nullptr;
    delete m_registry;
    m_registry = nullptr;
    m_auth.reset();
}

void SimNodeSet::writeState()
{
    // Written before the PATCH is answered, so whoever got the answer finds the file current.
    std::lock_guard<std::mutex> lock(m_stateMutex);
    QJsonArray nodes;
    for (SimNode *node : m_nodes)
        nodes << node->state();
    QSaveFile file(m_config.stateFile);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning().noquote() << QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return;
    }
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("nodes"), nodes}}).toJson());
    if (!file.commit())
        qWarning().noquote() << QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
}
