#include "KeyedCollection.h"

#include "RuntimeError.h"

#include <algorithm>

namespace runtime {

KeyedCollection::Entries::const_iterator KeyedCollection::find(const std::string &key) const
{
    return std::find_if(m_entries.begin(), m_entries.end(),
                        [&key](const auto &entry) { return entry.first == key; });
}

void KeyedCollection::add(const std::string &item, const std::string &key)
{
    if (find(key) != m_entries.end())
        throw RuntimeError(ErrorKind::Exists, "the key \"" + key + "\" is already in use");
    m_entries.emplace_back(key, item);
}

std::string KeyedCollection::item(const std::string &key) const
{
    const auto found = find(key);
    if (found == m_entries.end())
        throw RuntimeError(ErrorKind::NotFound, "there is no entry under \"" + key + "\"");
    return found->second;
}

void KeyedCollection::remove(const std::string &key)
{
    const auto found = find(key);
    if (found == m_entries.end())
        throw RuntimeError(ErrorKind::NotFound, "there is no entry under \"" + key + "\"");
    m_entries.erase(found);
}

bool KeyedCollection::contains(const std::string &key) const
{
    return find(key) != m_entries.end();
}

} // namespace runtime
