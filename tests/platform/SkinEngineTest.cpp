#include "platform/SkinEngine.h"

#include "platform/PlatformError.h"
#include "platform/ProgressBar.h"
#include "platform/Shape.h"
#include "platform/SkinFile.h"
#include "platform/SkinLabel.h"
#include "support/TestUtil.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace platform;
using testutil::colorsNear;
using testutil::gradientColorAt;
using testutil::pixelAt;
using testutil::rowFraction;
using testutil::sourceFolder;

namespace {

// A window laid out like the update window's visible panel, with one plain control out of
// sight; it counts how often it is asked to close.
class PanelWindow : public QWidget
{
public:
    PanelWindow()
    {
        setFixedSize(362, 66);
        QPalette grey = palette();
        grey.setColor(QPalette::Window, QColor(224, 224, 224));
        setPalette(grey);
        setAutoFillBackground(true);
        panel = new Shape(this);
        panel->setGeometry(8, 8, 345, 49);
        label = new SkinLabel(this);
        label->setGeometry(16, 16, 129, 17);
        bar = new ProgressBar(this);
        bar->setGeometry(16, 32, 329, 21);
        edit = new QLineEdit(QStringLiteral("out of sight"), this);
        edit->setGeometry(240, 150, 200, 21);
        panel->lower();
        move(200, 200);
    }

    int closes = 0;
    Shape *panel;
    SkinLabel *label;
    ProgressBar *bar;
    QLineEdit *edit;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        ++closes;
        event->accept();
    }
};

QString shippedSkin(const char *name)
{
    return sourceFolder("skins/") + QString::fromLatin1(name);
}

void applySkin(SkinEngine &engine, QWidget &window, const QString &path)
{
    engine.AttachWindow(window.winId());
    engine.LoadSkinFile(path);
    engine.ApplySkin(window.winId());
}

QImage grabbed(QWidget &window)
{
    QApplication::processEvents();
    return window.grab().toImage();
}

// The title bar's colour at x = 300, away from the caption and the close button, on the rows a
// quarter and three quarters down.
void expectTitleBar(const QImage &image, const Skin &skin, const char *what)
{
    const int top = skin.frame.borderWidth;
    const int height = skin.title.height;
    for (const int y : {top + height / 4, top + height * 3 / 4}) {
        const QColor expected =
            gradientColorAt(skin.title.background.stops, rowFraction(y, top, height));
        const QColor actual = pixelAt(image, {300, y});
        EXPECT_TRUE(colorsNear(actual, expected))
            << what << ": title row " << y << " is " << actual.name().toStdString() << ", not "
            << expected.name().toStdString();
    }
}

// The bar's fill a little right of its left end, on rows a third and two thirds down.
void expectBarFill(const QImage &image, const QWidget &bar, const Skin &skin, const char *what)
{
    const int inset = skin.bar.grooveBorderColor.isValid() ? 1 : 0;
    const QRect track = bar.geometry().adjusted(inset, inset, -inset, -inset);
    for (const int y : {track.top() + track.height() / 3, track.top() + track.height() * 2 / 3}) {
        const QColor expected =
            gradientColorAt(skin.bar.fill.stops, rowFraction(y, track.top(), track.height()));
        const QColor actual = pixelAt(image, {track.left() + 30, y});
        EXPECT_TRUE(colorsNear(actual, expected))
            << what << ": fill row " << y << " is " << actual.name().toStdString() << ", not "
            << expected.name().toStdString();
    }
}

QPoint clientPoint(const QWidget &window, int x, int y)
{
    return SkinEngine::clientArea(&window).topLeft() + QPoint(x, y);
}

} // namespace

TEST(SkinEngine, OperationsRefuseWhatTheyCannotUse)
{
    PanelWindow window;
    SkinEngine engine;
    EXPECT_THROW(engine.AttachWindow(0), PlatformError);
    EXPECT_THROW(engine.AttachWindow(window.bar->winId()), PlatformError) << "not a window";
    EXPECT_THROW(engine.ApplySkin(window.winId()), PlatformError) << "nothing attached";
    engine.AttachWindow(window.winId());
    EXPECT_THROW(engine.ApplySkin(window.winId()), PlatformError) << "nothing loaded";
    EXPECT_THROW(engine.LoadSkinFile(shippedSkin("Missing.skn")), PlatformError);
    EXPECT_THROW(
        engine.LoadSkinFile(sourceFolder("tests/data/broken-skins/height-out-of-range.skn")),
        PlatformError);
    EXPECT_TRUE(engine.skinFile().isEmpty());
    EXPECT_EQ(window.size(), QSize(362, 66)) << "nothing drawn without a skin";
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::FramelessWindowHint));

    PanelWindow other;
    engine.LoadSkinFile(shippedSkin("FlatSage.skn"));
    EXPECT_THROW(engine.ApplySkin(other.winId()), PlatformError) << "not the attached window";
}

TEST(SkinEngine, DrawsTheFrameAroundTheDesignClientArea)
{
    PanelWindow window;
    window.show();
    const QPoint centre = window.geometry().center();
    SkinEngine engine;
    applySkin(engine, window, shippedSkin("SoftCrystal.skn"));
    window.bar->setValue(50.0F);

    const Skin crystal = readSkinFile(shippedSkin("SoftCrystal.skn"));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.isVisible()) << "a shown window stays shown when it gets its frame";
    EXPECT_EQ(window.size(), QSize(364, 90)) << "362 x 66 inside a 1-pixel border, 22 of title";
    EXPECT_EQ(SkinEngine::clientArea(&window), QRect(1, 23, 362, 66));
    EXPECT_EQ(window.bar->geometry(), QRect(17, 55, 329, 21)) << "design place in the client area";
    EXPECT_LE((window.geometry().center() - centre).manhattanLength(), 1) << "stays centred";

    QImage image = grabbed(window);
    expectTitleBar(image, crystal, "SoftCrystal");
    expectBarFill(image, *window.bar, crystal, "SoftCrystal");
    EXPECT_EQ(pixelAt(image, {0, 45}), crystal.frame.borderColor);
    EXPECT_EQ(window.label->palette().color(QPalette::WindowText), *crystal.label.textColor);

    // Another skin starts from the design places again, not from where the last one put them.
    applySkin(engine, window, shippedSkin("FlatSage.skn"));
    const Skin flat = readSkinFile(shippedSkin("FlatSage.skn"));
    EXPECT_EQ(window.size(), QSize(366, 90));
    EXPECT_EQ(window.bar->geometry(), QRect(18, 54, 329, 21));
    image = grabbed(window);
    expectTitleBar(image, flat, "FlatSage");
    expectBarFill(image, *window.bar, flat, "FlatSage");

    // A file the engine refuses leaves FlatSage in force; applying again draws it unchanged.
    EXPECT_THROW(engine.LoadSkinFile(sourceFolder("tests/data/broken-skins/colour-name.skn")),
                 PlatformError);
    EXPECT_THROW(engine.LoadSkinFile(sourceFolder("tests/data/broken-skins/image-text-bomb.skn")),
                 PlatformError);
    EXPECT_THROW(engine.LoadSkinFile(sourceFolder("skins")), PlatformError) << "a folder";
    EXPECT_EQ(engine.skinFile(), shippedSkin("FlatSage.skn"));
    engine.ApplySkin(window.winId());
    EXPECT_EQ(engine.appliedSkin()->name, QStringLiteral("Flat Sage"));
    expectTitleBar(grabbed(window), flat, "FlatSage after a refused file");
}

TEST(SkinEngine, CloseButtonAndTitleBarActLikeThePlatformFrame)
{
    PanelWindow window;
    window.show();
    SkinEngine engine;
    applySkin(engine, window, shippedSkin("SoftCrystal.skn"));
    auto *bar = window.findChild<QWidget *>(QStringLiteral("skinTitleBar"));
    ASSERT_NE(bar, nullptr);
    window.setWindowTitle(QStringLiteral("Updating Korvane 12%"));

    // Pressing the close button and sliding off it before the release closes nothing.
    const QPoint button(bar->width() - 3 - 8, bar->height() / 2);
    QTest::mousePress(bar, Qt::LeftButton, {}, button);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, button - QPoint(60, 0));
    EXPECT_EQ(window.closes, 0);

    // Dragging the title bar moves the window by as much as the mouse moved (offscreen there is
    // no window manager to take the move over).
    const QPoint start = window.pos();
    const QPoint grip(40, bar->height() / 2);
    QTest::mousePress(bar, Qt::LeftButton, {}, grip);
    QMouseEvent move(QEvent::MouseMove, QPointF(grip + QPoint(30, 20)),
                     QPointF(bar->mapToGlobal(grip + QPoint(30, 20))), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, grip + QPoint(30, 20));
    EXPECT_EQ(window.pos(), start + QPoint(30, 20));

    QTest::mouseClick(bar, Qt::LeftButton, {}, button);
    EXPECT_EQ(window.closes, 1) << "a click on the close button closes like the platform's";
}

TEST(SkinEngine, SettingsChangeWhatIsDrawn)
{
    PanelWindow window;
    window.show();
    window.bar->setValue(50.0F);
    SkinEngine engine;
    const Skin crystal = readSkinFile(shippedSkin("SoftCrystal.skn"));

    // Design settings: SoftCrystal declares no panel fill, so the engine's panel colour shows;
    // the plain controls take the engine's colours.
    applySkin(engine, window, shippedSkin("SoftCrystal.skn"));
    const QPoint panelInside = clientPoint(window, 180, 12);
    const QPoint clientOutside = clientPoint(window, 4, 30);
    QImage image = grabbed(window);
    EXPECT_EQ(pixelAt(image, panelInside), QColor(216, 233, 236));
    EXPECT_EQ(window.edit->palette().color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_EQ(window.edit->palette().color(QPalette::Text), QColor(0, 0, 0));

    // Hue turned half way round: the drawn title bar and fill follow.
    SkinSettings settings = engine.settings();
    settings.hue = 180;
    engine.setSettings(settings);
    engine.ApplySkin(window.winId());
    image = grabbed(window);
    expectTitleBar(image, rotateHue(crystal, 180), "hue 180");
    expectBarFill(image, *window.bar, rotateHue(crystal, 180), "hue 180");
    EXPECT_FALSE(colorsNear(pixelAt(image, window.bar->geometry().center()),
                            gradientColorAt(crystal.bar.fill.stops, 0.5), 40));

    // No colours applied: the panel shows the client background through, the plain controls
    // get their own palette back.
    settings.hue = 0;
    settings.applyColors = false;
    engine.setSettings(settings);
    engine.ApplySkin(window.winId());
    image = grabbed(window);
    const QRect client = SkinEngine::clientArea(&window);
    EXPECT_TRUE(
        colorsNear(pixelAt(image, panelInside),
                   gradientColorAt(crystal.client.stops,
                                   rowFraction(panelInside.y(), client.top(), client.height()))));
    EXPECT_EQ(window.edit->palette(), PanelWindow().edit->palette());
    settings.applyColors = true;
    settings.backColor = QColor(10, 20, 30);
    engine.setSettings(settings);
    engine.ApplySkin(window.winId());
    EXPECT_EQ(window.edit->palette().color(QPalette::Base), QColor(10, 20, 30));

    // Only the frame is skinned: the client area, bar and labels keep the platform's look, and
    // the panel still takes the engine's colour.
    settings.skinClientArea = false;
    settings.panelTextColor = QColor(90, 0, 0);
    engine.setSettings(settings);
    engine.ApplySkin(window.winId());
    image = grabbed(window);
    expectTitleBar(image, crystal, "frame only");
    EXPECT_EQ(pixelAt(image, clientOutside), QColor(224, 224, 224));
    EXPECT_FALSE(window.bar->look().has_value());
    EXPECT_TRUE(window.bar->bar()->isVisible());
    EXPECT_EQ(pixelAt(image, panelInside), QColor(216, 233, 236));
    EXPECT_EQ(window.label->palette().color(QPalette::WindowText), QColor(90, 0, 0))
        << "the engine's panel text colour, not the skin's";
}

// Borders, the title bar's lower edge and the end of the bar's fill fall on whole device pixels
// at the scale the test runs at (ctest runs it again at QT_SCALE_FACTOR=2).
TEST(SkinEngine, EdgesStaySharpAtAnyScale)
{
    PanelWindow window;
    window.show();
    window.bar->setValue(50.0F);
    SkinEngine engine;
    applySkin(engine, window, shippedSkin("FlatSage.skn"));
    const Skin flat = readSkinFile(shippedSkin("FlatSage.skn"));
    const QImage image = grabbed(window);
    const qreal expectedRatio = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                                    ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble()
                                    : 1.0;
    ASSERT_EQ(image.devicePixelRatio(), expectedRatio);
    const int ratio = static_cast<int>(image.devicePixelRatio());
    const QColor border = flat.frame.borderColor;
    const QColor client = flat.client.stops.front().second;
    const QColor title = flat.title.background.stops.front().second;

    const int b = flat.frame.borderWidth * ratio;
    const int row = 70 * ratio; // beside the panel, below the title bar
    for (int x = 0; x < b; ++x)
        EXPECT_EQ(image.pixelColor(x, row), border) << "border column " << x;
    EXPECT_EQ(image.pixelColor(b, row), client);

    const int titleEnd = (flat.frame.borderWidth + flat.title.height) * ratio;
    EXPECT_EQ(image.pixelColor(300 * ratio, titleEnd - 1), title);
    EXPECT_EQ(image.pixelColor(300 * ratio, titleEnd), client);

    // Half of 329 pixels is 164.5: the fill ends on a whole pixel, 165.
    const int fillEnd = (window.bar->x() + 165) * ratio;
    const int barRow = (window.bar->y() + 10) * ratio;
    EXPECT_EQ(image.pixelColor(fillEnd - 1, barRow), flat.bar.fill.stops.front().second);
    EXPECT_EQ(image.pixelColor(fillEnd, barRow), flat.bar.groove.stops.front().second);
}
