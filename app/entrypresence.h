#ifndef ENTRYPRESENCE_H
#define ENTRYPRESENCE_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QComboBox;
class QStandardItem;

// Entries whose sender or receiver went away stay listed, greyed and not to be chosen,
// until the same resource is back: an operator sees what vanished instead of a list that
// silently shrinks.
class EntryPresence : public QObject
{
    Q_OBJECT

public:
    EntryPresence(QComboBox *senders, QComboBox *receivers, QObject *parent = nullptr);

    // Whether the combo's chosen entry is one that went away.
    static bool isChosenGone(const QComboBox *combo);
    static bool isPresent(const QComboBox *combo, int row);
    static void setPresent(QComboBox *combo, int row, bool present);

    // A node's service was withdrawn or expired: all its entries went with it.
    void takeNodeRemoved(const QString &serviceName);
    // A registry's resource of a type ("senders", "receivers", ...) left, or came back.
    void takeResourceRemoved(const QString &type, const QString &id);
    void takeResourceAdded(const QString &type, const QString &id);

private:
    // A list's entries by the id of their resource, kept up as entries are added, removed or
    // given another record: a registry that restarts removes a facility's tens of thousands
    // of resources at once, and a search of the whole list for each would take minutes.
    struct IdIndex
    {
        QHash<QString, QList<QStandardItem *>> items;
        QHash<QStandardItem *, QString> ids;
        bool stale = true; // made whole at the next search

        void add(QStandardItem *item);
        void remove(QStandardItem *item);
    };

    void setPresentWhere(const std::function<bool(const QComboBox *, int)> &match, bool present);
    void setPresentById(const QString &type, const QString &id, bool present);
    void watch(QComboBox *combo, IdIndex *index);
    QList<QStandardItem *> itemsOf(QComboBox *combo, IdIndex *index, const QString &id);

    QComboBox *m_senders;
    QComboBox *m_receivers;
    IdIndex m_senderIds;
    IdIndex m_receiverIds;
};

#endif // ENTRYPRESENCE_H
