#ifndef SERVICEMODEL_H
#define SERVICEMODEL_H

#include "mdns/browser.h"
#include "mdns/cache.h"
#include "mdns/service.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QList>

namespace QMdnsEngine {
class AbstractServer;
}

// The services that one mDNS browser reports, one row each, in the order they came.
class ServiceModel : public QAbstractListModel
{
    Q_OBJECT

public:
    // Browses on server, which must outlive the model.
    ServiceModel(QMdnsEngine::AbstractServer *server, const QByteArray &type);
    ~ServiceModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    // Display: "name (type)"; user role: the whole QMdnsEngine::Service.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // Bytes from the network as text to show: UTF-8, every byte of it (Qt would stop at the
    // first NUL), with control characters drawn as visible symbols.
    static QString displayText(const QByteArray &bytes);

private slots:
    void onServiceAdded(QMdnsEngine::Service service);
    void onServiceUpdated(QMdnsEngine::Service service);
    void onServiceRemoved(QMdnsEngine::Service service);

private:
    // The row of that instance of that type, or -1. The type counts: browsing every type,
    // one printer commonly announces "_ipp._tcp" and "_http._tcp" under one name.
    int findService(const QByteArray &name, const QByteArray &type) const;

    // Destroyed bottom up: the rows, then the browser, then the cache it reads.
    QMdnsEngine::Cache m_cache;
    QMdnsEngine::Browser m_typeBrowser;
    QList<QMdnsEngine::Service> m_services;
};

#endif // SERVICEMODEL_H
