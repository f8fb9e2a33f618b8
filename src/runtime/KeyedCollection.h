#pragma once

#include <string>
#include <utility>
#include <vector>

namespace runtime {

/// An ordered collection of strings under unique, case-sensitive string keys. Not thread-safe:
/// its owner's thread only. A handful of entries at most, so a vector beats a hash here.
class KeyedCollection
{
public:
    /// Appends item under key. Throws RuntimeError (Exists) when the key is already present.
    void add(const std::string &item, const std::string &key);
    /// The item under key. Throws RuntimeError (NotFound) when the key is absent.
    std::string item(const std::string &key) const;
    /// Deletes the entry under key. Throws RuntimeError (NotFound) when the key is absent.
    void remove(const std::string &key);
    /// Whether an entry has this key. Never throws.
    bool contains(const std::string &key) const;
    /// Number of entries, 0 when empty. Never throws.
    int count() const { return static_cast<int>(m_entries.size()); }

private:
    using Entries = std::vector<std::pair<std::string, std::string>>; // key, item
    Entries::const_iterator find(const std::string &key) const;

    Entries m_entries;
};

} // namespace runtime
