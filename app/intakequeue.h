#ifndef INTAKEQUEUE_H
#define INTAKEQUEUE_H

#include <QJsonDocument>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

// Hands discovered nodes to the window one at a time, in arrival order, from the top of the
// event loop. Each intake waits on requests in nested event loops; taken in straight from
// the discovery signal, a burst of nodes nested intakes as deep as the burst and overflowed
// a small main-thread stack.
class IntakeQueue : public QObject
{
    Q_OBJECT

public:
    explicit IntakeQueue(QObject *parent = nullptr);

    // A node already waiting is not queued twice: it is taken in once, with its last document.
    void enqueue(const QString &serviceName, const QUrl &url, const QJsonDocument &selfDoc);
    // While held, for instance during a run or a check, nothing is handed out. Holds nest.
    void hold();
    void release();
    int size() const { return m_nodes.size(); }

signals:
    void nodeDue(const QString &serviceName, const QUrl &url, const QJsonDocument &selfDoc);

private:
    void scheduleHandOut();
    void handOutNext();

    struct Node
    {
        QString serviceName;
        QUrl url;
        QJsonDocument selfDoc;
    };
    QList<Node> m_nodes;
    int m_holds = 0;
    bool m_scheduled = false;
    bool m_handingOut = false;
};

#endif // INTAKEQUEUE_H
