#ifndef BROWSERWINDOW_H
#define BROWSERWINDOW_H

#include <QDialog>
#include <QItemSelection>

#include <memory>

class QListView;
class QListWidget;
class QLineEdit;
class QPushButton;
class QTableWidget;
class ServiceModel;

namespace QMdnsEngine {
class AbstractServer;
class Resolver;
class Server;
}

// A general mDNS/DNS-SD browser: the instances of one service type, or of every type, with
// the TXT attributes and host addresses of the one selected. A viewer only.
class BrowserWindow : public QDialog
{
    Q_OBJECT

public:
    // Without a server the window opens its own mDNS sockets; tests hand in a fake link,
    // which must outlive the window.
    explicit BrowserWindow(QMdnsEngine::AbstractServer *server = nullptr);
    ~BrowserWindow() override;

private slots:
    void onToggled(bool checked);
    void onClicked();
    void onSelectionChanged(const QItemSelection &selected, const QItemSelection &deselected);

private:
    void clearAttributes();

    // The model's browser and the resolver work on the server: both go first (destructor).
    std::unique_ptr<QMdnsEngine::Server> m_ownServer;
    QMdnsEngine::AbstractServer *m_server = nullptr;
    std::unique_ptr<ServiceModel> m_model;
    QLineEdit *m_typeEdit = nullptr;
    QPushButton *m_startButton = nullptr;
    QListView *m_serviceView = nullptr;
    QListWidget *m_addressList = nullptr;
    QTableWidget *m_attributeTable = nullptr;
    QMdnsEngine::Resolver *m_resolver = nullptr;
};

#endif // BROWSERWINDOW_H
