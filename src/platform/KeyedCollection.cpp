#include "KeyedCollection.h"

#include "PlatformError.h"

#include <algorithm>

namespace platform {

std::vector<std::pair<QString, QString>>::const_iterator
KeyedCollection::find(const QString &key) const
{
    return std::find_if(m_entries.cbegin(), m_entries.cend(),
                        [&key](const auto &entry) { return entry.first == key; });
}

void KeyedCollection::add(const QString &item, const QString &key)
{
    if (contains(key))
        throw PlatformError(QStringLiteral("the key \"%1\" is already in use").arg(key));
    m_entries.emplace_back(key, item);
}

QString KeyedCollection::item(const QString &key) const
{
    const auto it = find(key);
    if (it == m_entries.cend())
        throw PlatformError(QStringLiteral("there is no entry under \"%1\"").arg(key));
    return it->second;
}

void KeyedCollection::remove(const QString &key)
{
    const auto it = find(key);
    if (it == m_entries.cend())
        throw PlatformError(QStringLiteral("there is no entry under \"%1\"").arg(key));
    m_entries.erase(it);
}

bool KeyedCollection::contains(const QString &key) const
{
    return find(key) != m_entries.cend();
}

} // namespace platform
