#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <string>

namespace testutil {

/// Deterministic pseudo-random bytes, so a corrupted or shifted byte is noticed.
std::string randomBytes(std::size_t size, unsigned seed = 1);

/// Pumps the event loop until predicate holds or timeoutMs pass; returns predicate's last value.
bool waitUntil(const std::function<bool()> &predicate, int timeoutMs = 10000);

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &data);
/// Names of the entries of a folder, hidden ones included, sorted.
QStringList entriesOf(const QString &folder);

} // namespace testutil
