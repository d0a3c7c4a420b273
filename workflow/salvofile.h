#ifndef SALVOFILE_H
#define SALVOFILE_H

#include <QList>
#include <QString>

// A salvo as a file holds it: what each receiver ran when it was saved. The window and the
// console program read and write the same JSON, so that a salvo saved by one is recalled
// by the other.
struct SalvoFile
{
    // A receiver or sender as saved: the node it is on goes with it, so that it is never
    // taken for another node's resource of the same label.
    struct Resource
    {
        QString id;
        QString label;
        QString text;     // the entry's text, which names its node and address
        QString node;     // empty for a sender kept by its id alone
        QString address;
        QString nodeId;   // the node's own id, when it was known

        // "label [id]", or the id alone.
        QString named() const;
    };

    struct Route
    {
        Resource receiver;
        bool hasSender = false;
        Resource sender;
        // On without a sender: a stream no NMOS sender describes, which a recall leaves running.
        bool enabled = false;
    };

    QList<Route> routes;

    // Nothing saved when the file does not exist or is empty; false when it holds anything
    // but saved receivers.
    static bool read(const QString &path, SalvoFile *salvo);
    bool write(const QString &path, QString *errorString = nullptr) const;

    // Which of the resources listed now a saved one stands for: the position of the one
    // found, or -1 when none or several are. Listed resources may repeat one id, for a node
    // listed under each of its addresses.
    static int find(const Resource &saved, const QList<Resource> &listed);
};

#endif // SALVOFILE_H
