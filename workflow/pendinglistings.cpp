#include "pendinglistings.h"

#include <algorithm>

namespace {

template<typename Record>
void removeRecord(QList<Record> *records, const QString &id)
{
    records->erase(std::remove_if(records->begin(), records->end(), [&id](const Record &r) { return r.id == id; }),
                   records->end());
}

} // namespace

// A node that answers on several addresses is listed once for each; a registry lists a node
// once, under all of them. Ids are UUIDs and addresses hold no space: the keys cannot meet.
QString PendingListings::keyOf(const Listing &listing)
{
    if (listing.isFromRegistry())
        return listing.nodeId;
    return listing.url.toString() + QLatin1Char(' ') + listing.nodeName;
}

void PendingListings::put(const Listing &listing)
{
    const QString key = keyOf(listing);
    const auto waiting = m_listings.find(key);
    if (waiting != m_listings.end()) {
        unindex(key, waiting.value());
        waiting.value() = listing;
    } else {
        m_listings.insert(key, listing);
        m_order.append(key);
    }
    index(key, listing);
}

PendingListings::Listing PendingListings::takeFirst()
{
    const QString key = m_order.takeFirst();
    const Listing listing = m_listings.take(key);
    unindex(key, listing);
    return listing;
}

void PendingListings::removeIf(const std::function<bool(const Listing &)> &match)
{
    bool removed = false;
    for (auto listing = m_listings.begin(); listing != m_listings.end();) {
        if (!match(listing.value())) {
            ++listing;
            continue;
        }
        unindex(listing.key(), listing.value());
        listing = m_listings.erase(listing);
        removed = true;
    }
    if (removed) {
        m_order.erase(std::remove_if(m_order.begin(), m_order.end(),
                                     [this](const QString &key) { return !m_listings.contains(key); }),
                      m_order.end());
    }
}

void PendingListings::removeResource(const QString &type, const QString &id)
{
    const bool sender = type == QLatin1String("senders");
    if (!sender && type != QLatin1String("receivers"))
        return;
    const QStringList keys = m_byResource.values(id);
    m_byResource.remove(id);
    for (const QString &key : keys) {
        const auto listing = m_listings.find(key);
        if (listing == m_listings.end())
            continue;
        if (sender)
            removeRecord(&listing->senders, id);
        else
            removeRecord(&listing->receivers, id);
    }
}

void PendingListings::index(const QString &key, const Listing &listing)
{
    for (const auto &sender : listing.senders)
        m_byResource.insert(sender.id, key);
    for (const auto &receiver : listing.receivers)
        m_byResource.insert(receiver.id, key);
}

void PendingListings::unindex(const QString &key, const Listing &listing)
{
    for (const auto &sender : listing.senders)
        m_byResource.remove(sender.id, key);
    for (const auto &receiver : listing.receivers)
        m_byResource.remove(receiver.id, key);
}
