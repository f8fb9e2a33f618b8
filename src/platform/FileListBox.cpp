#include "FileListBox.h"

#include "PlatformError.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace platform {

FileListBox::FileListBox(QWidget *parent) : QListWidget(parent), m_path(QDir::currentPath())
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QListWidget::currentRowChanged, this, &FileListBox::onCurrentRowChanged);
    Refresh();
}

void FileListBox::setPath(const QString &folder)
{
    QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir())
        throw PlatformError(QStringLiteral("the folder %1 does not exist").arg(folder));
    QString path = QDir::toNativeSeparators(folder);
    while (path.size() > 1 && (path.endsWith(u'/') || path.endsWith(u'\\')) &&
           !path.endsWith(u":\\"))
        path.chop(1);
    m_path = path;
    Refresh();
}

void FileListBox::setPattern(const QString &pattern)
{
    m_pattern = pattern;
    Refresh();
}

void FileListBox::setFileName(const QString &name)
{
    m_fileName = name;
    selectFileName();
}

void FileListBox::selectFileName()
{
    const auto matches = findItems(m_fileName, Qt::MatchFixedString); // case-insensitive, whole
    m_settingByCode = true;
    setCurrentRow(matches.isEmpty() ? -1 : row(matches.front()));
    m_settingByCode = false;
}

void FileListBox::Refresh()
{
    QDir dir(m_path);
    QStringList names = dir.entryList(m_pattern.split(u';', Qt::SkipEmptyParts),
                                      QDir::Files | QDir::Readable | QDir::NoDotAndDotDot);
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(false);
    std::sort(names.begin(), names.end(), [&collator](const QString &a, const QString &b) {
        return collator.compare(a, b) < 0;
    });
    m_settingByCode = true;
    clear();
    addItems(names);
    m_settingByCode = false;
    selectFileName();
}

void FileListBox::onCurrentRowChanged(int row)
{
    if (m_settingByCode || row < 0)
        return;
    m_fileName = item(row)->text();
    Q_EMIT Click();
}

} // namespace platform
