#include "platform/FileListBox.h"
#include "platform/PlatformError.h"
#include "platform/ProgressBar.h"
#include "platform/SkinLabel.h"
#include "support/TestUtil.h"

#include <QProgressBar>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <limits>

using namespace platform;

TEST(ProgressBar, KeepsTheExactValueAndRefusesOutOfRange)
{
    ProgressBar bar;
    EXPECT_EQ(bar.Value(), 0.0F);
    bar.setValue(100.0F / 3.0F);
    EXPECT_EQ(bar.Value(), 100.0F / 3.0F);
    EXPECT_EQ(bar.bar()->value(), 3333) << "drawn in hundredths, so it moves smoothly";

    EXPECT_THROW(bar.setValue(100.5F), PlatformError);
    EXPECT_THROW(bar.setValue(-0.001F), PlatformError);
    EXPECT_THROW(bar.setValue(std::numeric_limits<float>::quiet_NaN()), PlatformError);
    EXPECT_EQ(bar.Value(), 100.0F / 3.0F) << "a refused value leaves the bar as it was";

    bar.setValue(100.0F);
    EXPECT_EQ(bar.bar()->value(), bar.bar()->maximum());
}

TEST(SkinLabel, ShowsDoubleZeroUntilSet)
{
    SkinLabel label;
    EXPECT_EQ(label.Caption(), QStringLiteral("00"));
    label.setCaption(QStringLiteral("50/200"));
    EXPECT_EQ(label.text(), QStringLiteral("50/200"));
}

TEST(FileListBox, ListsMatchingFilesSortedAndRaisesClickOnlyForTheUser)
{
    QTemporaryDir dir;
    for (const char *name : {"b.skn", "A.skn", "c.SKN", "notes.txt", ".hidden.skn"})
        testutil::writeFile(dir.filePath(QString::fromLatin1(name)), "x");
    FileListBox list;
    list.setPattern(QStringLiteral("*.skn"));
    list.setPath(dir.path() + QStringLiteral("/"));
    EXPECT_EQ(list.Path(), dir.path()) << "no trailing separator";
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.item(0)->text(), QStringLiteral("A.skn"));
    EXPECT_EQ(list.item(1)->text(), QStringLiteral("b.skn"));
    EXPECT_EQ(list.item(2)->text(), QStringLiteral("c.SKN"));

    QSignalSpy clicks(&list, &FileListBox::Click);
    list.setFileName(QStringLiteral("b.skn"));
    EXPECT_EQ(list.currentRow(), 1);
    EXPECT_EQ(clicks.count(), 0) << "choosing a file in code is no click";

    list.show();
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Down);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(list.FileName(), QStringLiteral("c.SKN"));

    EXPECT_THROW(list.setPath(dir.filePath(QStringLiteral("missing"))), PlatformError);
    EXPECT_EQ(list.Path(), dir.path());
}

// What the screen shows, not a fresh rendering: the bar must repaint itself even when a sibling
// that overlaps its edge keeps repainting a strip of it (Qt skips a bar's repaint for changes it
// thinks it has already painted).
TEST(ProgressBar, ScreenShowsTheFillWhileAnOverlappingLabelRepaints)
{
    QWidget window;
    window.resize(362, 66);
    ProgressBar bar(&window);
    bar.setGeometry(16, 32, 329, 21);
    SkinLabel label(&window);
    label.setGeometry(16, 16, 129, 17); // its bottom row overlaps the bar's top row
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    for (int step = 1; step <= 60; ++step) {
        bar.setValue(static_cast<float>(step));
        label.setCaption(QString::number(step));
        QCoreApplication::processEvents();
    }
    QTest::qWait(50);
    const QImage shown = window.screen()->grabWindow(window.winId()).toImage();
    ASSERT_FALSE(shown.isNull());
    const qreal ratio = shown.devicePixelRatio();
    const int y = static_cast<int>((32 + 10) * ratio);
    const QColor filled = shown.pixelColor(static_cast<int>((16 + 60) * ratio), y);
    const QColor empty = shown.pixelColor(static_cast<int>((16 + 300) * ratio), y);
    EXPECT_NE(filled, empty) << "the filled part of the bar is not on the screen";
}
