#include "servicemodel.h"

ServiceModel::ServiceModel(QMdnsEngine::AbstractServer *server, const QByteArray &type)
    : m_typeBrowser(server, type, &m_cache)
{
    connect(&m_typeBrowser, &QMdnsEngine::Browser::serviceAdded, this, &ServiceModel::onServiceAdded);
    connect(&m_typeBrowser, &QMdnsEngine::Browser::serviceUpdated, this, &ServiceModel::onServiceUpdated);
    connect(&m_typeBrowser, &QMdnsEngine::Browser::serviceRemoved, this, &ServiceModel::onServiceRemoved);
}

ServiceModel::~ServiceModel() = default;

int ServiceModel::rowCount(const QModelIndex &) const
{
    return m_services.size();
}

QVariant ServiceModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_services.size())
        return QVariant();
    const QMdnsEngine::Service &service = m_services.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        // One arg() call: a "%2" inside a name must not be filled in with the type.
        return QStringLiteral("%1 (%2)").arg(displayText(service.name()), displayText(service.type()));
    case Qt::UserRole:
        return QVariant::fromValue(service);
    default:
        return QVariant();
    }
}

QString ServiceModel::displayText(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    for (QChar &c : text) {
        // U+2400 onwards pictures each C0 control character; U+2421 is DEL's.
        if (c.unicode() < 0x20)
            c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7f)
            c = QChar(0x2421);
    }
    return text;
}

void ServiceModel::onServiceAdded(QMdnsEngine::Service service)
{
    beginInsertRows(QModelIndex(), m_services.size(), m_services.size());
    m_services.append(service);
    endInsertRows();
}

void ServiceModel::onServiceUpdated(QMdnsEngine::Service service)
{
    const int row = findService(service.name(), service.type());
    if (row < 0)
        return;
    m_services[row] = service;
    emit dataChanged(index(row), index(row));
}

void ServiceModel::onServiceRemoved(QMdnsEngine::Service service)
{
    const int row = findService(service.name(), service.type());
    if (row < 0)
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_services.removeAt(row);
    endRemoveRows();
}

int ServiceModel::findService(const QByteArray &name, const QByteArray &type) const
{
    for (int row = 0; row < m_services.size(); ++row) {
        if (m_services.at(row).name() == name && m_services.at(row).type() == type)
            return row;
    }
    return -1;
}
