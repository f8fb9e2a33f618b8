#pragma once

#include <QString>
#include <utility>
#include <vector>

namespace platform {

/// An ordered collection of strings under unique, case-sensitive string keys. Not thread-safe:
/// its owner's thread only. A handful of entries at most, so a vector beats a hash here.
class KeyedCollection
{
public:
    /// Appends item under key. Throws PlatformError when the key is already present.
    void add(const QString &item, const QString &key);
    /// The item under key. Throws PlatformError when the key is absent.
    QString item(const QString &key) const;
    /// Deletes the entry under key. Throws PlatformError when the key is absent.
    void remove(const QString &key);
    /// Whether an entry has this key. Never throws.
    bool contains(const QString &key) const;
    /// Number of entries, 0 when empty. Never throws.
    int count() const { return static_cast<int>(m_entries.size()); }

private:
    std::vector<std::pair<QString, QString>>::const_iterator find(const QString &key) const;

    std::vector<std::pair<QString, QString>> m_entries; // key, item
};

} // namespace platform
