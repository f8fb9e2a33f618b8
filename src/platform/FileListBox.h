#pragma once

#include <QListWidget>

namespace platform {

/// A list of the files of one folder that match a pattern, sorted as a file list box shows them
/// (case-insensitively). UI thread only.
class FileListBox : public QListWidget
{
    Q_OBJECT
public:
    /// UI thread. Lists the current folder with the pattern "*.*".
    explicit FileListBox(QWidget *parent = nullptr);

    /// UI thread. The listed folder, without a trailing separator unless it is a root.
    QString Path() const { return m_path; }
    /// UI thread. Lists folder. Throws PlatformError when it is not an existing folder; the
    /// list then stays as it was.
    void setPath(const QString &folder);

    QString Pattern() const { return m_pattern; }
    /// UI thread. Sets the wildcard pattern ("*.skn") and lists anew. Never throws.
    void setPattern(const QString &pattern);

    /// UI thread. The chosen file's name, "" when none. Never throws.
    QString FileName() const { return m_fileName; }
    /// UI thread. Chooses a file by name and selects its entry if listed, without raising
    /// Click. Never throws.
    void setFileName(const QString &name);

    /// UI thread. Lists the folder anew. Never throws.
    void Refresh();

Q_SIGNALS:
    /// The selection was changed by the user (mouse or keyboard), never by code.
    void Click();

private:
    void onCurrentRowChanged(int row);
    void selectFileName();

    QString m_path;
    QString m_pattern = QStringLiteral("*.*");
    QString m_fileName;
    bool m_settingByCode = false;
};

} // namespace platform
