#include "app/InputMethod.h"
#include "async/ThreadWorker.h"
#include "fakes/HeldWorker.h"
#include "devices/Button.h"
#include "devices/MIOBoard.h"
#include "devices/SimulatedBoard.h"
#include "terminal/Event.h"
#include "terminal/EventManager.h"
#include "ui/GUIManager.h"

#include "ControllerRig.h"
#include "fakes/FakeCamera.h"
#include "fakes/LogCapture.h"
#include "fakes/QrDecoder.h"

#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHash>
#include <QInputMethod>
#include <QPointer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSemaphore>
#include <QtTest>

#include <climits>
#include <functional>

namespace {

// Where the pictures go, one folder per language.
const QString kScreensDir = QStringLiteral(VORN_SCREENS_DIR);

// The fake cameras of this program live on 127.78.y.x.
QString cameraSubnet()
{
    static const QString subnet = FakeCamera::loopbackSubnet(78);
    return subnet;
}

QRectF sceneRect(const QQuickItem *item, const QRectF &local)
{
    return item->mapRectToScene(local);
}

QRectF sceneRect(const QQuickItem *item)
{
    return sceneRect(item, QRectF(0, 0, item->width(), item->height()));
}

qreal number(const QObject *object, const char *name)
{
    return object->property(name).toReal();
}

// "ErrorScreen" "Card jam" -> "ErrorScreen-card-jam".
QString pictureName(const QString &screen, const QString &message)
{
    QString slug = message.toLower();
    slug.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
    // The first few words name it well enough.
    slug = slug.section(QLatin1Char('-'), 0, 5, QString::SectionSkipEmpty);
    while (slug.startsWith(QLatin1Char('-')))
        slug.remove(0, 1);
    while (slug.endsWith(QLatin1Char('-')))
        slug.chop(1);
    return slug.isEmpty() ? screen : screen + QLatin1Char('-') + slug;
}

// How an item is named in a finding: its type, its name and its text.
QString describe(const QQuickItem *item)
{
    QString text = item->metaObject()->className();
    if (!item->objectName().isEmpty())
        text += QStringLiteral(" \"%1\"").arg(item->objectName());
    const QString shown = item->property("text").toString();
    if (!shown.isEmpty())
        text += QStringLiteral(" [%1]").arg(shown.left(60).replace(QLatin1Char('\n'), QStringLiteral("\\n")));
    return text;
}

// The rectangle a text item draws its text in, by its alignment, in its own coordinates.
QRectF drawnText(const QQuickItem *item, qreal contentWidth, qreal contentHeight)
{
    const qreal left = number(item, "leftPadding");
    const qreal right = number(item, "rightPadding");
    const qreal top = number(item, "topPadding");
    const qreal bottom = number(item, "bottomPadding");
    const int horizontal = item->property("effectiveHorizontalAlignment").isValid()
                               ? item->property("effectiveHorizontalAlignment").toInt()
                               : item->property("horizontalAlignment").toInt();
    const int vertical = item->property("verticalAlignment").toInt();
    const qreal boxWidth = item->width() - left - right;
    const qreal boxHeight = item->height() - top - bottom;
    qreal x = left;
    if (horizontal & Qt::AlignRight)
        x = left + boxWidth - contentWidth;
    else if (horizontal & Qt::AlignHCenter)
        x = left + (boxWidth - contentWidth) / 2;
    qreal y = top;
    if (vertical & Qt::AlignBottom)
        y = top + boxHeight - contentHeight;
    else if (vertical & Qt::AlignVCenter)
        y = top + (boxHeight - contentHeight) / 2;
    return QRectF(x, y, contentWidth, contentHeight);
}

// Whether any ancestor scrolls its content (a list, a flickable page, a swipe view): what it
// shows at its edges may be cut, the rest is a scroll away.
bool scrolled(const QQuickItem *item)
{
    for (const QQuickItem *parent = item->parentItem(); parent; parent = parent->parentItem()) {
        if (parent->inherits("QQuickFlickable"))
            return true;
    }
    return false;
}

// One text item: is all of its text in its box, and its box on the screen?
void checkText(const QQuickItem *item, const QRectF &window, QStringList &faults)
{
    const QString text = item->property("text").toString();
    if (text.trimmed().isEmpty())
        return;
    const qreal contentWidth = number(item, "contentWidth");
    const qreal contentHeight = number(item, "contentHeight");
    const qreal boxWidth = item->width() - number(item, "leftPadding") - number(item, "rightPadding");
    const qreal boxHeight = item->height() - number(item, "topPadding") - number(item, "bottomPadding");

    // A name the page reads and nothing publishes shows up as text of its own.
    static const QRegularExpression missing(QStringLiteral("\\bundefined\\b|\\bNaN\\b|\\[object "));
    if (missing.match(text).hasMatch())
        faults << QStringLiteral("shows a value nothing provides: ") + describe(item);
    // A text capped to a number of lines elides on purpose.
    const bool capped = item->property("elide").toInt() != 0 && item->property("maximumLineCount").toInt() < INT_MAX;
    if (item->property("truncated").toBool() && !capped)
        faults << QStringLiteral("cut off (elided): ") + describe(item);
    if (contentWidth > boxWidth + 1)
        faults << QStringLiteral("wider than its box (%1 > %2): ").arg(contentWidth).arg(boxWidth) + describe(item);
    if (contentHeight > boxHeight + 1)
        faults << QStringLiteral("taller than its box (%1 > %2): ").arg(contentHeight).arg(boxHeight) + describe(item);

    const QRectF drawn = sceneRect(item, drawnText(item, qMin(contentWidth, boxWidth), qMin(contentHeight, boxHeight)));
    const bool scrolls = scrolled(item);
    for (const QQuickItem *parent = item->parentItem(); parent; parent = parent->parentItem()) {
        if (!parent->clip())
            continue;
        const QRectF clip = sceneRect(parent);
        if (!clip.intersects(drawn))
            return; // not shown at all
        if (!clip.contains(drawn.adjusted(1, 1, -1, -1)) && !scrolls)
            faults << QStringLiteral("cut off by %1: ").arg(describe(parent)) + describe(item);
    }
    if (scrolls && !window.intersects(drawn))
        return;
    if (!window.contains(drawn.adjusted(1, 1, -1, -1)) && !scrolls)
        faults << QStringLiteral("off the screen (%1,%2 %3x%4): ")
                      .arg(drawn.x())
                      .arg(drawn.y())
                      .arg(drawn.width())
                      .arg(drawn.height())
                  + describe(item);
}

void checkTexts(const QQuickItem *item, const QRectF &window, QStringList &faults)
{
    if (!item->isVisible() || item->opacity() < 0.01)
        return;
    if (item->inherits("QQuickText") || item->inherits("QQuickTextInput"))
        checkText(item, window, faults);
    const QList<QQuickItem *> children = item->childItems();
    for (const QQuickItem *child : children)
        checkTexts(child, window, faults);
}

// The share of the pixels in the rectangle that differ from its commonest colour (colours a
// few steps apart count as one).
double variety(const QImage &image, const QRect &rect)
{
    const QRect area = rect.intersected(image.rect());
    if (area.isEmpty())
        return 0;
    QHash<QRgb, int> counts;
    int commonest = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = area.left(); x <= area.right(); ++x) {
            const int count = ++counts[line[x] & 0xf0f0f0];
            commonest = qMax(commonest, count);
        }
    }
    return 1.0 - double(commonest) / (double(area.width()) * area.height());
}

void visit(QQuickItem *item, const std::function<bool(QQuickItem *)> &match, QList<QQuickItem *> &found)
{
    if (!item->isVisible())
        return;
    if (match(item))
        found << item;
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children)
        visit(child, match, found);
}

} // namespace

// A picture of the window and what is wrong in it.
struct Picture
{
    QString name;
    QImage image;
    QStringList faults;
};

// Drives the real controller's window, on the real broker with the fake card, network and
// system services, through every driver screen and every settings page, in Greek and in
// English, and saves each picture under build/screens/<language>/. A picture fails on a blank
// or nearly uniform page, on text outside its box, and the whole run on any QML warning.
class tst_ScreenPictures : public ControllerTestCase
{
    Q_OBJECT

private slots:
    void cleanup();
    void driverScreens_data();
    void driverScreens();
    void collectScreen_data();
    void collectScreen();
    void settingsPages_data();
    void settingsPages();
    void interruptedSettings_data();
    void interruptedSettings();
    void eventLogFilters();
    void loginPageLeaves_data();
    void loginPageLeaves();
    void sessionScreenAfterReconnection_data();
    void sessionScreenAfterReconnection();
    void timedScreenWhileLoggedIn_data();
    void timedScreenWhileLoggedIn();
    void sessionEndsWhileLoggedIn();
    void logInEnds_data();
    void logInEnds();
    void longErrorText_data();
    void longErrorText();
    void brokerLost_data();
    void brokerLost();
    void pinBackOff_data();
    void pinBackOff();
    void ntpServerRefused_data();
    void ntpServerRefused();
    void ntpServerTypedWithBlanks();
    void ntpServerWhileTheClockIsBusy_data();
    void ntpServerWhileTheClockIsBusy();
    void versionLabelLeavesRoom();
    void keyboardLeavesFieldInView_data();
    void keyboardLeavesFieldInView();
    void ethernetConfigChecks_data();
    void ethernetConfigChecks();

private:
    // The controller with its window loaded, in the language, and a camera on the lane; with
    // `watch` every driver screen it shows is taken as it comes.
    bool open(const ControllerSetup &setup, const QString &language, bool watch = false);
    void close();
    QQuickWindow *window() const;

    // Grabs the window now and checks the region (the shown page when none is given).
    Picture take(const QString &name, QQuickItem *region = nullptr, bool uniform = false);
    // Takes the picture, saves it and fails the test on its faults.
    void shoot(const QString &name, QQuickItem *region = nullptr, bool uniform = false);
    void save(const Picture &picture);
    // Checks and saves every picture the driver screens produced on their own.
    void verifyScreenPictures();
    // Fails on every QML warning logged so far.
    void verifyNoQmlWarnings();

    QQuickItem *find(const QString &objectName, QQuickItem *under = nullptr) const;
    QQuickItem *findText(const QString &text, QQuickItem *under = nullptr) const;
    QObject *findObject(const QString &objectName, QObject *under) const;
    bool tap(QQuickItem *item);
    QQuickItem *shownPage() const;
    QQuickItem *settingsStack() const;
    bool stackSettled(int depth) const;
    bool openRow(const QString &title);
    // A vending lane in the language, its driver's first screen up.
    bool openVendingLane(const QString &language);
    // The log-in page by three taps on the header's clock; a PIN on its pad and LOGIN.
    bool openLogin();
    bool enterPin(const QString &pin);
    // From the driver's screen to the settings menu with the right PIN.
    bool logIn();
    bool back();
    bool answer(QObject *popup, bool yes);
    bool opened(QObject *popup) const;
    bool closed(QObject *popup) const;
    QVariant evaluate(QObject *scope, const QString &expression);
    QQuickItem *clock() const;
    // Three taps on the header's clock.
    bool tapClock();
    // The settings frame as a log-in must find it: the menu whole under a tool bar of 70 px.
    void verifyFrameWhole();
    // A vending lane's driver: the loop, the button, and the card waiting in the mouth.
    bool cardInMouth();
    // The driver takes the card and drives off; the session is idle again.
    bool driveOff();

    QString m_language;
    std::unique_ptr<FakeCamera> m_camera;
    std::unique_ptr<LogCapture> m_log;
    // The driver screens' pictures, one per screen and message, in the order they came.
    QList<Picture> m_screens;
    QSet<QString> m_taken;
};

bool tst_ScreenPictures::open(const ControllerSetup &given, const QString &language, bool watch)
{
    m_language = language;
    ControllerSetup setup = given;
    setup.extraConfig += QStringLiteral("[gui]\nlocale=%1\n").arg(language);
    ControllerRig &lane = rig(setup);
    if (!lane.start() || !lane.typeKnown())
        return false;
    m_log = std::make_unique<LogCapture>();

    // One plate camera: its reading shows on the idle screen while the driver is asked.
    const quint16 receiver = FreePort::pick(QHostAddress::Any);
    m_camera = std::make_unique<FakeCamera>(QHostAddress(cameraSubnet() + QStringLiteral("2")));
    m_camera->setReceiverPort(receiver);
    m_camera->setResult("/result", FakeCamera::plateResult(QStringLiteral("ΙΚΥ-4821")));
    if (!m_camera->listen())
        return false;
    lane.config->set(QStringLiteral("cameras/triggerDelayMsec"), 0);
    lane.config->set(setup.model == QLatin1String("KTW4163") ? QStringLiteral("cameras/alpr2") : QStringLiteral("cameras/alpr1"),
                     QStringLiteral("http://%1:%2").arg(m_camera->address().toString()).arg(receiver));

    GUIManager &manager = *lane.manager;
    manager.load();
    if (!window() || manager.language() != language)
        return false;
    // The window has shown its first frame: from here on it can be grabbed.
    QSignalSpy swapped(window(), &QQuickWindow::frameSwapped);
    if (!waitUntil([&] { return swapped.count() > 0; }, 10000))
        return false;

    m_screens.clear();
    m_taken.clear();
    if (!watch)
        return true;
    // Every driver screen, each new screen or message as it is shown.
    const auto capture = [this, &manager] {
        // The out-of-order screen shows the terminal's reason, not the message.
        const QString name = pictureName(manager.screen(), manager.screen() == QLatin1String("OutOfOrder")
                                                               ? manager.terminal().reason()
                                                               : manager.message());
        if (manager.screen() == QLatin1String("Login") || manager.screen() == QLatin1String("Settings")
            || m_taken.contains(name))
            return;
        m_taken.insert(name);
        m_screens << take(name);
    };
    // Taken once the change stands, as the next frame shows it: a message comes before its
    // screen, and a session's reset follows the screen it brings back.
    const auto later = [capture, &manager] { QTimer::singleShot(0, &manager, capture); };
    connect(&manager, &GUIManager::screenChanged, &manager, later);
    connect(&manager, &GUIManager::messageChanged, &manager, later);
    return true;
}

void tst_ScreenPictures::close()
{
    // The run's log beside its pictures.
    if (m_log) {
        QSaveFile file(kScreensDir + QLatin1Char('/') + m_language + QLatin1Char('/') + QTest::currentTestFunction()
                       + QStringLiteral(".log"));
        if (QDir().mkpath(kScreensDir + QLatin1Char('/') + m_language) && file.open(QIODevice::WriteOnly)) {
            for (const LogCapture::Line &line : m_log->lines())
                file.write(line.text.toUtf8() + '\n');
            file.commit();
        }
    }
    m_rig.reset();
    m_camera.reset();
    m_log.reset();
}

QQuickWindow *tst_ScreenPictures::window() const
{
    const QList<QObject *> roots = m_rig->manager->engine().rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.first());
}

QQuickItem *tst_ScreenPictures::shownPage() const
{
    const QString screen = m_rig->manager->screen();
    if (screen == QLatin1String("Settings")) {
        QQuickItem *stack = settingsStack();
        QQuickItem *current = stack ? qvariant_cast<QQuickItem *>(stack->property("currentItem")) : nullptr;
        return current ? current : stack;
    }
    return find(screen);
}

Picture tst_ScreenPictures::take(const QString &name, QQuickItem *region, bool uniform)
{
    Picture picture;
    picture.name = name;
    QQuickWindow *shown = window();
    picture.image = shown->grabWindow().convertToFormat(QImage::Format_RGB32);
    if (picture.image.size() != QSize(1024, 600))
        picture.faults << QStringLiteral("picture of %1x%2, not 1024x600").arg(picture.image.width()).arg(picture.image.height());

    if (!region)
        region = shownPage();
    if (!region) {
        picture.faults << QStringLiteral("no page shown for screen ") + m_rig->manager->screen();
    } else if (!uniform) {
        const QRect area = sceneRect(region).toAlignedRect();
        const double share = variety(picture.image, area);
        // A page that shows anything (one short word, an icon) differs in more than a fifth of
        // a percent of its pixels; "Please wait" alone in 22 pt differs in 0.38%.
        if (share < 0.002)
            picture.faults << QStringLiteral("blank or nearly uniform page: %1% of %2 differs").arg(share * 100, 0, 'f', 3).arg(describe(region));
    }
    checkTexts(shown->contentItem(), QRectF(0, 0, shown->width(), shown->height()), picture.faults);
    // The on-screen keyboard only while a text field has it open.
    if (!QGuiApplication::inputMethod()->isVisible()) {
        QList<QQuickItem *> keyboards;
        visit(shown->contentItem(),
              [](QQuickItem *item) { return QByteArray(item->metaObject()->className()).contains("InputPanel"); }, keyboards);
        for (const QQuickItem *keyboard : qAsConst(keyboards))
            picture.faults << QStringLiteral("keyboard shown with no text field to type in: ") + describe(keyboard);
    }
    return picture;
}

void tst_ScreenPictures::save(const Picture &picture)
{
    const QString folder = kScreensDir + QLatin1Char('/') + m_language;
    QVERIFY(QDir().mkpath(folder));
    // Written whole or not at all: another run of the suite may be reading them.
    QSaveFile file(folder + QLatin1Char('/') + picture.name + QStringLiteral(".png"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(picture.image.save(&file, "PNG"));
    QVERIFY(file.commit());
}

void tst_ScreenPictures::shoot(const QString &name, QQuickItem *region, bool uniform)
{
    m_taken.insert(name);
    const Picture picture = take(name, region, uniform);
    save(picture);
    QVERIFY2(picture.faults.isEmpty(), qPrintable(name + QStringLiteral(":\n  ") + picture.faults.join(QStringLiteral("\n  "))));
}

void tst_ScreenPictures::verifyScreenPictures()
{
    QStringList faults;
    for (const Picture &picture : qAsConst(m_screens)) {
        save(picture);
        for (const QString &fault : picture.faults)
            faults << picture.name + QStringLiteral(": ") + fault;
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void tst_ScreenPictures::verifyNoQmlWarnings()
{
    QStringList warnings;
    for (const LogCapture::Line &line : m_log->lines()) {
        if (line.type != QtWarningMsg && line.type != QtCriticalMsg && line.type != QtFatalMsg)
            continue;
        // The program's own lines carry their class's tag; everything else is the toolkit's.
        if (line.category == QLatin1String("default") && line.text.startsWith(QLatin1Char('[')))
            continue;
        // So do the pages' own (a refused PIN is a warning of the log-in page).
        if (line.category == QLatin1String("qml") && line.text.startsWith(QLatin1String("[QML] ")))
            continue;
        warnings << line.category + QStringLiteral(": ") + line.text;
    }
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

QQuickItem *tst_ScreenPictures::find(const QString &objectName, QQuickItem *under) const
{
    QList<QQuickItem *> found;
    visit(under ? under : window()->contentItem(), [&](QQuickItem *item) { return item->objectName() == objectName; }, found);
    return found.value(0);
}

QQuickItem *tst_ScreenPictures::findText(const QString &text, QQuickItem *under) const
{
    QList<QQuickItem *> found;
    visit(under ? under : window()->contentItem(),
          [&](QQuickItem *item) { return item->inherits("QQuickText") && item->property("text").toString() == text; }, found);
    return found.value(0);
}

QObject *tst_ScreenPictures::findObject(const QString &objectName, QObject *under) const
{
    return under ? under->findChild<QObject *>(objectName) : nullptr;
}

// A finger on the item's centre.
bool tst_ScreenPictures::tap(QQuickItem *item)
{
    if (!item)
        return false;
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    return true;
}

QQuickItem *tst_ScreenPictures::settingsStack() const
{
    return find(QStringLiteral("settingsStack"));
}

bool tst_ScreenPictures::stackSettled(int depth) const
{
    return waitUntil([&] {
        QQuickItem *stack = settingsStack();
        return stack && stack->property("depth").toInt() == depth && !stack->property("busy").toBool();
    }, 10000);
}

bool tst_ScreenPictures::openRow(const QString &title)
{
    return tap(find(QStringLiteral("row_") + title)) && stackSettled(2);
}

bool tst_ScreenPictures::openVendingLane(const QString &language)
{
    ControllerSetup setup;
    setup.model = QStringLiteral("KTV52817");
    return open(setup, language)
           && waitUntil([this] { return m_rig->manager->screen() == QLatin1String("DispenseScreen"); }, 10000);
}

bool tst_ScreenPictures::openLogin()
{
    return tapClock() && waitUntil([this] { return m_rig->manager->screen() == QLatin1String("Login"); }, 10000);
}

bool tst_ScreenPictures::enterPin(const QString &pin)
{
    QQuickItem *pad = find(QStringLiteral("numberPad"));
    for (const QChar digit : pin) {
        if (!tap(findText(QString(digit), pad)))
            return false;
    }
    return tap(find(QStringLiteral("loginButton")));
}

bool tst_ScreenPictures::logIn()
{
    return openLogin() && enterPin(QStringLiteral("8306"))
           && waitUntil([this] { return m_rig->manager->screen() == QLatin1String("Settings"); }, 10000) && stackSettled(1);
}

bool tst_ScreenPictures::back()
{
    const int depth = settingsStack()->property("depth").toInt();
    return tap(find(QStringLiteral("backButton"), find(QStringLiteral("toolBar")))) && stackSettled(depth - 1);
}

bool tst_ScreenPictures::opened(QObject *popup) const
{
    return popup && waitUntil([popup] { return popup->property("opened").toBool(); }, 10000);
}

bool tst_ScreenPictures::closed(QObject *popup) const
{
    return popup && waitUntil([popup] { return !popup->property("visible").toBool(); }, 10000);
}

bool tst_ScreenPictures::answer(QObject *popup, bool yes)
{
    auto *content = popup ? qvariant_cast<QQuickItem *>(popup->property("contentItem")) : nullptr;
    return opened(popup) && tap(find(yes ? QStringLiteral("buttonYes") : QStringLiteral("buttonNo"), content))
           && closed(popup);
}

QVariant tst_ScreenPictures::evaluate(QObject *scope, const QString &expression)
{
    QQmlExpression script(qmlContext(scope), scope, expression);
    const QVariant result = script.evaluate();
    if (script.hasError())
        qWarning() << "Test expression failed:" << script.error().toString();
    return result;
}

// ---------------------------------------------------------------------------

void tst_ScreenPictures::cleanup()
{
    close();
    // A test that stopped the broker and failed before starting it again.
    if (!m_broker.isRunning())
        QVERIFY(m_broker.start());
}

void tst_ScreenPictures::driverScreens_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("Greek") << "el_GR";
    QTest::newRow("English") << "en_US";
}

// A vending lane: the idle screen, a vehicle with its plate, a passage (busy, card to collect,
// thank you), a card the reader cannot write (error), a card that jams in the mouth (out of
// order), and the screen saver.
void tst_ScreenPictures::driverScreens()
{
    QFETCH(QString, language);
    ControllerSetup setup;
    setup.model = QStringLiteral("KTV52817");
    QVERIFY(open(setup, language, true));
    ControllerRig &lane = *m_rig;
    GUIManager &manager = *lane.manager;
    Session *session = manager.terminal().session();

    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen" && !session->cardId().isEmpty(); }, 10000));
    shoot(QStringLiteral("DispenseScreen"));

    SimulatedBoard::setLevel(1, 1);
    QVERIFY(waitUntil([&] { return session->state() == Session::WaitUser; }, 10000));
    QCOMPARE(session->readings().value("Front").toString(), QString("ΙΚΥ-4821"));
    QVERIFY(findText(QString("ΙΚΥ-4821")));
    shoot(QStringLiteral("DispenseScreen-plate"));

    SimulatedBoard::setLevel(0, 1);
    QVERIFY(waitUntil([&] { return manager.screen() == "Success"; }, 10000));
    SimulatedBoard::setLevel(0, 0);
    QVERIFY(waitUntil([&] { return !lane.cards.dispenser.cardInMouth().isNull(); }, 10000));
    lane.cards.dispenser.driverTakeCard();
    SimulatedBoard::setLevel(1, 0);
    QVERIFY(waitUntil([&] { return manager.message() == "Thank you"; }, 10000));
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen" && !session->cardId().isEmpty(); }, 20000));

    // A card the reader cannot write: the driver is told, the lane goes on.
    lane.cards.rfid.refuse("card/write", 9, "Card write failed", 1);
    SimulatedBoard::setLevel(0, 1);
    QVERIFY(waitUntil([&] { return manager.screen() == "ErrorScreen"; }, 10000));
    QCOMPARE(manager.message(), QString("Write card failed : Card write failed"));
    SimulatedBoard::setLevel(0, 0);
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen" && !session->cardId().isEmpty(); }, 20000));

    // A card that jams in the mouth: the lane is out of order until it is cleared.
    lane.cards.dispenser.jamOnNext("eject");
    SimulatedBoard::setLevel(0, 1);
    QVERIFY(waitUntil([&] { return manager.screen() == "OutOfOrder"; }, 20000));
    SimulatedBoard::setLevel(0, 0);
    QCOMPARE(manager.terminal().reason(), QString("Dispenser jammed"));
    QVERIFY(waitUntil([&] { return m_taken.contains("OutOfOrder-dispenser-jammed"); }));

    QStringList names;
    for (const Picture &picture : qAsConst(m_screens))
        names << picture.name;
    for (const char *expected : {"Busy-please-wait", "Success-please-collect-your-card", "Success-thank-you",
                                    "ErrorScreen-write-card-failed-card-write-failed", "OutOfOrder-dispenser-jammed"})
        QVERIFY2(names.contains(QString(expected)), qPrintable(names.join(", ")));
    verifyScreenPictures();

    // Nothing shows the screen saver: it is shown here as a page would be, in the real window.
    QQmlComponent component(&manager.engine(), QUrl("qrc:/qml/screens/ScreenSaver.qml"));
    QQuickItem *page = find("OutOfOrder");
    QVERIFY(page);
    auto *saver = qobject_cast<QQuickItem *>(component.create(manager.engine().rootContext()));
    QVERIFY2(saver, qPrintable(component.errorString()));
    saver->setParentItem(page->parentItem());
    saver->setPosition(page->position());
    saver->setSize(page->size());
    saver->setZ(1);
    shoot(QStringLiteral("ScreenSaver"), saver);
    delete saver;

    verifyNoQmlWarnings();
}

void tst_ScreenPictures::collectScreen_data()
{
    driverScreens_data();
}

// A collection lane: the idle screen and a vehicle with its rear plate.
void tst_ScreenPictures::collectScreen()
{
    QFETCH(QString, language);
    ControllerSetup setup;
    setup.model = QStringLiteral("KTW4163");
    QVERIFY(open(setup, language));
    GUIManager &manager = *m_rig->manager;
    Session *session = manager.terminal().session();

    QVERIFY(waitUntil([&] { return manager.screen() == "CollectScreen" && session->state() == Session::Idle; }, 10000));
    shoot(QStringLiteral("CollectScreen"));
    SimulatedBoard::setLevel(1, 1);
    QVERIFY(waitUntil([&] { return session->state() == Session::WaitUser; }, 10000));
    QCOMPARE(session->readings().value("Rear").toString(), QString("ΙΚΥ-4821"));
    QVERIFY(findText(QString("ΙΚΥ-4821")));
    shoot(QStringLiteral("CollectScreen-plate"));
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::settingsPages_data()
{
    driverScreens_data();
}

// The maintenance log-in reached by tapping the clock, the settings menu, its tool-bar menu and
// confirmation, every page a row opens with the pages they open in turn, the diagnostics page's
// questions, colour test and report with its QR code, and the two pages no row opens.
void tst_ScreenPictures::settingsPages()
{
    QFETCH(QString, language);
    QVERIFY(openVendingLane(language));
    ControllerRig &lane = *m_rig;
    GUIManager &manager = *lane.manager;

    // The checks of the diagnostics page look at a USB tree and an SD card of the test's own.
    QDir usb(lane.dir());
    QVERIFY(usb.mkpath("usb/1-1") && usb.mkpath("usb/1-1.3"));
    const auto write = [](const QString &path, const QByteArray &text) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    // The hub where it belongs, a stranger on the reader's port, the other ports empty.
    const QList<QStringList> devices{{"1-1", "0451", "2077", "USB 2.0 Hub"}, {"1-1.3", "1234", "5678", "Gadget"}};
    for (const QStringList &device : devices) {
        const QString folder = lane.dir() + "/usb/" + device.at(0) + "/";
        QVERIFY(write(folder + "idVendor", device.at(1).toUtf8() + '\n') && write(folder + "idProduct", device.at(2).toUtf8() + '\n')
                && write(folder + "product", device.at(3).toUtf8() + '\n'));
    }
    QVERIFY(write(lane.dir() + "/mmcblk1p1", ""));
    manager.diagnostics()->setUsbRoot(lane.dir() + "/usb");
    manager.diagnostics()->setSdCardPath(lane.dir() + "/mmcblk1p1");

    // Three taps on the clock: the log-in page.
    QQuickItem *header = find("header");
    QQuickItem *clock = nullptr;
    for (QQuickItem *child : header->childItems()) {
        if (child->property("pressCount").isValid())
            clock = child;
    }
    QVERIFY(clock);
    for (int i = 0; i < 3; ++i)
        QVERIFY(tap(clock));
    QVERIFY(waitUntil([&] { return manager.screen() == "Login"; }, 10000));
    shoot("Login");
    QQuickItem *pad = find("numberPad");
    for (const char *digit : {"8", "3", "0", "6"})
        QVERIFY(tap(findText(QString(digit), pad)));
    shoot("Login-pin");
    QVERIFY(tap(find("loginButton")));
    QVERIFY(waitUntil([&] { return manager.screen() == "Settings"; }, 10000));
    QVERIFY(stackSettled(1));
    shoot("Settings");

    // The tool bar's menu and the confirmation of a power command, declined.
    QQuickItem *toolBar = find("toolBar");
    QObject *menu = findObject("menu", toolBar);
    QVERIFY(tap(find("menuButton", toolBar)) && opened(menu));
    shoot("Settings-menu", qvariant_cast<QQuickItem *>(menu->property("contentItem")));
    QVERIFY(tap(findText("Reboot")));
    QObject *confirmation = findObject("confirmation", find("Settings"));
    QVERIFY(opened(confirmation));
    shoot("Settings-confirm", qvariant_cast<QQuickItem *>(confirmation->property("contentItem")));
    QVERIFY(answer(confirmation, false));
    QCOMPARE(lane.system.requests("power/reboot").size(), 0);

    QVERIFY(openRow("Validator"));
    shoot("Settings-Validator");
    QVERIFY(tap(find("configureButton")) && stackSettled(3));
    shoot("Settings-ValidatorConfig");
    QVERIFY(back() && back());

    QVERIFY(openRow("Region"));
    shoot("Settings-Region");
    // A text field brings up the on-screen keyboard.
    QVERIFY(tap(find("ntpServerField")));
    QVERIFY(waitUntil([&] {
        QQuickItem *keyboard = find("keyboard");
        return keyboard && qFuzzyCompare(sceneRect(keyboard).bottom(), 600.0);
    }, 10000));
    shoot("Settings-Region-keyboard");
    QGuiApplication::inputMethod()->hide();
    QVERIFY(back());

    for (const char *row : {"Audio", "Display", "Update", "Event Log"}) {
        QVERIFY(openRow(row));
        shoot("Settings-" + QString(row).remove(' '));
        QVERIFY(back());
    }

    QVERIFY(openRow("Network"));
    shoot("Settings-Network");
    QVERIFY(tap(findText("Ethernet", find("tabs"))));
    QQuickItem *swipe = find("swipe");
    QVERIFY(waitUntil([&] {
        auto *ethernet = qvariant_cast<QQuickItem *>(swipe->property("currentItem"));
        return swipe->property("currentIndex").toInt() == 1 && qAbs(sceneRect(ethernet).x() - sceneRect(swipe).x()) < 0.5;
    }, 10000));
    shoot("Settings-Network-Ethernet", qvariant_cast<QQuickItem *>(swipe->property("currentItem")));
    QVERIFY(tap(findText("Configure", swipe)) && stackSettled(3));
    shoot("Settings-EthernetConfig");
    QVERIFY(back() && back());

    // Pages no row opens, on the stack as a row would put them.
    for (const char *page : {"Overview", "Power"}) {
        evaluate(settingsStack(), QStringLiteral("frame.pageTitle = \"%1\"; stack.push(\"qrc:/qml/screens/settings/%1.qml\")").arg(QString(page)));
        QVERIFY(stackSettled(2));
        shoot("Settings-" + QString(page));
        QVERIFY(back());
    }

    // Diagnostics: the operator's answers, the colour test and the report with its QR code.
    QVERIFY(openRow("Diagnostics"));
    QQuickItem *diagnostics = shownPage();
    QVERIFY(waitUntil([&] { return manager.diagnostics()->usbHub() == "OK"; }));
    shoot("Settings-Diagnostics");
    QObject *dialog = findObject("verdictDialog", diagnostics);
    QVERIFY(tap(find("buzzerButton")) && opened(dialog));
    shoot("Settings-Diagnostics-question", qvariant_cast<QQuickItem *>(dialog->property("contentItem")));
    QVERIFY(answer(dialog, true));
    QVERIFY(tap(find("ledsButton")) && answer(dialog, false));
    QVERIFY(tap(find("speakerButton")) && answer(dialog, true));
    QVERIFY(tap(find("sensorButton")) && answer(dialog, true));
    QObject *cardPopup = findObject("cardPopup", diagnostics);
    QVERIFY(tap(find("rfidButton")) && opened(cardPopup));
    shoot("Settings-Diagnostics-card", qvariant_cast<QQuickItem *>(cardPopup->property("contentItem")));
    QVERIFY(tap(qvariant_cast<QQuickItem *>(cardPopup->property("contentItem"))) && closed(cardPopup));

    QVERIFY(tap(find("rgbButton")) && stackSettled(3));
    QQuickItem *colours = find("colourTest");
    QVERIFY(colours);
    QCOMPARE(sceneRect(colours), QRectF(0, 0, 1024, 600));
    shoot("Settings-Diagnostics-RGB", nullptr, true);
    for (int i = 0; i < 3; ++i)
        QVERIFY(tap(colours));
    QVERIFY(stackSettled(2));
    QVERIFY(answer(dialog, true));
    QCOMPARE(manager.diagnostics()->buzzer(), QString("OK"));
    QCOMPARE(manager.diagnostics()->leds(), QString("ERROR"));
    QCOMPARE(manager.diagnostics()->rgbTest(), QString("OK"));

    QObject *report = findObject("reportPopup", diagnostics);
    QVERIFY(tap(find("finishButton")) && opened(report));
    QQuickItem *qr = nullptr;
    {
        QList<QQuickItem *> images;
        visit(qvariant_cast<QQuickItem *>(report->property("contentItem")), [](QQuickItem *item) {
            return item->inherits("QQuickImage") && item->property("source").toString().startsWith("data:image/svg,");
        }, images);
        QCOMPARE(images.size(), 1);
        qr = images.first();
    }
    QVERIFY(waitUntil([&] { return qr->property("status").toInt() == 1; })); // Image.Ready
    const QDateTime shownAt = QDateTime::currentDateTime();
    const Picture picture = take("Settings-Diagnostics-report", qvariant_cast<QQuickItem *>(report->property("contentItem")));
    save(picture);
    QVERIFY2(picture.faults.isEmpty(), qPrintable(picture.faults.join('\n')));

    // The code as a phone sees it on the screen: the picture's square around it, white margin
    // included.
    const QRect square = sceneRect(qr).toAlignedRect().adjusted(-12, -12, 12, 12);
    QTemporaryDir crops;
    const QString cropped = crops.filePath("qr.png");
    QVERIFY(picture.image.copy(square).save(cropped));
    QString error;
    const QString decoded = QrDecoder::decodePng(cropped, &error);
    QVERIFY2(!decoded.isNull(), qPrintable(error));
    const QStringList values = decoded.split(';');
    QCOMPARE(values.size(), 23);
    QCOMPARE(values.at(0), manager.terminal().serialNum());
    QCOMPARE(values.at(0), QString("SN-%1").arg(lane.id));
    const QDateTime stamped = QDateTime::fromString(values.at(1), "yyyy-MM-dd hh:mm");
    QVERIFY2(stamped.isValid() && qAbs(stamped.secsTo(shownAt)) <= 120, qPrintable(values.at(1)));
    QCOMPARE(values.at(2), manager.terminal().board()->firmware());
    const QStringList rest{"0.0.2", "", "", "",                       // version, bundle, image, RTC
                           "OK",                                      // the fake service's wired link
                           "OK", "MISSING", "ERROR", "MISSING", "MISSING", "MISSING", // USB by port
                           "OK",                                      // SD card
                           "OK", "ERROR", "OK", "",                   // buzzer, LEDs, speaker, card scan
                           "OK", "",                                  // the reader service, the board service
                           "OK", "OK"};                               // light sensor, colour test
    QCOMPARE(values.mid(3), rest);

    // Closing the report leaves the page.
    QVERIFY(tap(qvariant_cast<QQuickItem *>(report->property("contentItem"))) && closed(report));
    QVERIFY(stackSettled(1));

    // The event log shows the log-in; logging out returns to the driver's screen.
    QVERIFY(openRow("Event Log"));
    QVERIFY(findText("Maintenance login"));
    QVERIFY(back());
    QVERIFY(tap(find("menuButton", toolBar)) && opened(menu));
    QVERIFY(tap(findText("Logout")));
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 10000));

    // Back in, a reboot confirmed: the busy screen stands until the machine goes down.
    QVERIFY(tap(clock) && tap(clock) && tap(clock));
    QVERIFY(waitUntil([&] { return manager.screen() == "Login"; }, 10000));
    for (const char *digit : {"8", "3", "0", "6"})
        QVERIFY(tap(findText(QString(digit), pad)));
    QVERIFY(tap(find("loginButton")));
    QVERIFY(waitUntil([&] { return manager.screen() == "Settings"; }, 10000));
    QVERIFY(tap(find("menuButton", toolBar)) && opened(menu));
    QVERIFY(tap(findText("Reboot")));
    QVERIFY(answer(confirmation, true));
    QVERIFY(waitUntil([&] { return manager.screen() == "Busy"; }, 10000));
    QCOMPARE(manager.message(), QString("Rebooting"));
    QList<QQuickItem *> spinners;
    visit(find("Busy"), [](QQuickItem *item) { return item->inherits("QQuickBusyIndicator"); }, spinners);
    QCOMPARE(spinners.size(), 1);
    auto *spinner = qvariant_cast<QQuickItem *>(spinners.first()->property("contentItem"));
    QVERIFY(waitUntil([&] { return spinner->opacity() == 1.0; }, 10000));
    shoot("Busy-rebooting");
    QVERIFY(waitUntil([&] { return lane.system.requests("power/reboot").size() == 1; }, 10000));

    verifyNoQmlWarnings();
}


QQuickItem *tst_ScreenPictures::clock() const
{
    QQuickItem *header = find("header");
    if (!header)
        return nullptr;
    for (QQuickItem *child : header->childItems()) {
        if (child->property("pressCount").isValid())
            return child;
    }
    return nullptr;
}

bool tst_ScreenPictures::tapClock()
{
    QQuickItem *item = clock();
    return item && tap(item) && tap(item) && tap(item);
}

void tst_ScreenPictures::verifyFrameWhole()
{
    QVERIFY(stackSettled(1));
    QQuickItem *toolBar = find("toolBar");
    QVERIFY(toolBar);
    QCOMPARE(toolBar->height(), 70.0);
    QVERIFY(find("menuButton", toolBar));
    QVERIFY(!find("backButton", toolBar));
    QCOMPARE(findText("Settings", toolBar) != nullptr, true);
    QQuickItem *menu = find("settingsMenu");
    QVERIFY(menu);
    QCOMPARE(menu->opacity(), 1.0);
    // Below the tool bar down to the strip the version label keeps to itself.
    QQuickItem *version = find("versionLabel");
    QVERIFY(version);
    const qreal margin = version->property("anchors").value<QObject *>()->property("margins").toReal();
    const QRectF area(0, 70, 1024, sceneRect(version).top() - margin - 70);
    QCOMPARE(sceneRect(menu), area);
    for (const char *row : {"Validator", "Diagnostics", "Event Log"}) {
        QQuickItem *button = find(QStringLiteral("row_") + row);
        QVERIFY2(button, row);
        QVERIFY2(area.contains(sceneRect(button)), row);
    }
    // A row opens its page, with the way back.
    QVERIFY(openRow("Region"));
    QVERIFY(find("backButton", toolBar));
    QVERIFY(back());
    shoot(QStringLiteral("Settings-again"));
}

bool tst_ScreenPictures::cardInMouth()
{
    GUIManager &manager = *m_rig->manager;
    SimulatedBoard::setLevel(1, 1);
    if (!waitUntil([&] { return manager.terminal().session()->state() == Session::WaitUser; }, 10000))
        return false;
    SimulatedBoard::setLevel(0, 1);
    const bool shown = waitUntil([&] {
        return manager.terminal().session()->state() == Session::WaitCollect
               && !m_rig->cards.dispenser.cardInMouth().isNull();
    }, 20000);
    SimulatedBoard::setLevel(0, 0);
    return shown;
}

bool tst_ScreenPictures::driveOff()
{
    GUIManager &manager = *m_rig->manager;
    m_rig->cards.dispenser.driverTakeCard();
    SimulatedBoard::setLevel(1, 0);
    return waitUntil([&] { return manager.terminal().session()->state() == Session::Idle; }, 20000);
}

void tst_ScreenPictures::interruptedSettings_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<bool>("colourTest");
    QTest::addColumn<bool>("expiry"); // the log-in period ends; otherwise a driver's session takes the screen

    QTest::newRow("colour test, driver session") << "Diagnostics" << true << false;
    QTest::newRow("colour test, log-in period ends") << "Diagnostics" << true << true;
    QTest::newRow("Region, driver session") << "Region" << false << false;
    QTest::newRow("Event Log, driver session") << "Event Log" << false << false;
    QTest::newRow("Diagnostics, log-in period ends") << "Diagnostics" << false << true;
}

// Whatever takes the screen from a page, the next visit to the settings finds the frame whole,
// and the driver's screens keep their header and clock.
void tst_ScreenPictures::interruptedSettings()
{
    QFETCH(QString, row);
    QFETCH(bool, colourTest);
    QFETCH(bool, expiry);
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    GUIManager &manager = *m_rig->manager;

    QVERIFY(logIn());
    QVERIFY(openRow(row));
    if (colourTest) {
        QVERIFY(tap(find("rgbButton")) && stackSettled(3));
        QVERIFY(!find("toolBar")); // collapsed for the full screen
    }

    if (expiry) {
        manager.sessionManager().findChild<QTimer *>("loginTimer")->start(1);
        QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 10000));
    } else {
        QVERIFY(cardInMouth());
        QCOMPARE(manager.screen(), QString("Success"));
    }
    QQuickItem *header = find("header");
    QVERIFY(header->isVisible());
    QCOMPARE(header->height(), 120.0);
    QVERIFY(clock() && clock()->isVisible());
    QCOMPARE(sceneRect(find(manager.screen())).top(), 120.0);

    if (expiry) {
        QVERIFY(logIn());
    } else {
        // The operator is still logged in: the clock leads straight back.
        QVERIFY(tapClock());
        QVERIFY(waitUntil([&] { return manager.screen() == "Settings"; }, 10000));
    }
    verifyFrameWhole();
    verifyNoQmlWarnings();
}

// The event log's page applies the filters it shows whenever it opens; CLEAR always clears,
// and a period up to now keeps taking newer events.
void tst_ScreenPictures::eventLogFilters()
{
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    GUIManager &manager = *m_rig->manager;
    // The log beside the test program keeps the events of earlier runs: those older than the
    // last hour would fall out of the period chosen below.
    manager.eventManager().clear(QDateTime::currentDateTime().addSecs(-1800));
    QVERIFY(logIn());
    const auto shown = [this] { return find("eventList")->property("count").toInt(); };

    QVERIFY(openRow("Event Log"));
    const int all = shown();
    QVERIFY(all >= 2); // started, logged in
    find("searchField")->setProperty("text", "no such event");
    QVERIFY(waitUntil([&] { return shown() == 0; }));
    QVERIFY(back());

    // Reopened: an empty search, all history, every event.
    QVERIFY(openRow("Event Log"));
    QCOMPARE(find("searchField")->property("text").toString(), QString());
    QCOMPARE(find("periodBox")->property("currentText").toString(), QString("All history"));
    QCOMPARE(shown(), all);

    // CLEAR with a search typed.
    find("searchField")->setProperty("text", "Maintenance login");
    QVERIFY(waitUntil([&] { return shown() > 0 && shown() < all; }));
    QVERIFY(tap(find("clearButton")));
    QVERIFY(waitUntil([&] { return shown() == all; }));

    // The last hour, then a newer event.
    QQuickItem *period = find("periodBox");
    evaluate(period, QStringLiteral("periodBox.currentIndex = 1; periodBox.activated(1)"));
    QCOMPARE(period->property("currentText").toString(), QString("Last hour"));
    QCOMPARE(shown(), all);
    const QDateTime chosen = QDateTime::currentDateTime();
    QVERIFY(waitUntil([&] { return QDateTime::currentDateTime() > chosen.addMSecs(50); }));
    manager.eventManager().push(new Event(QStringLiteral("General"), QStringLiteral("Newer event"), QString(),
                                          QDateTime::currentDateTime()));
    QVERIFY(waitUntil([&] { return shown() == all + 1; }));
    QVERIFY(findText("Newer event"));
    QVERIFY(back());

    // Reopened after a period: all history again.
    QVERIFY(openRow("Event Log"));
    QCOMPARE(shown(), all + 1);
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::loginPageLeaves_data()
{
    QTest::addColumn<bool>("timeOut"); // otherwise the clock again
    QTest::newRow("time-out") << true;
    QTest::newRow("clock again") << false;
}

// The log-in page opened over the collect prompt gives the prompt back when it leaves.
void tst_ScreenPictures::loginPageLeaves()
{
    QFETCH(bool, timeOut);
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    GUIManager &manager = *m_rig->manager;
    QVERIFY(cardInMouth());
    QCOMPARE(manager.screen(), QString("Success"));

    QVERIFY(tapClock());
    QVERIFY(waitUntil([&] { return manager.screen() == "Login"; }, 10000));
    if (timeOut)
        manager.screenTimer().start(1); // its time is up
    else
        QVERIFY(tapClock());
    QVERIFY(waitUntil([&] { return manager.screen() != "Login"; }, 10000));
    QCOMPARE(manager.screen(), QString("Success"));
    QCOMPARE(manager.message(), QString("Please collect your card"));
    QVERIFY(findText("Please collect your card", find("Success")));
    QVERIFY(driveOff());
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 10000));
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::sessionScreenAfterReconnection_data()
{
    QTest::addColumn<bool>("restart"); // the broker restarts; otherwise the MQTT settings change
    QTest::newRow("broker restart") << true;
    QTest::newRow("MQTT settings changed") << false;
}

// A new MQTT connection in the middle of a session shows the session's own screen again.
void tst_ScreenPictures::sessionScreenAfterReconnection()
{
    QFETCH(bool, restart);
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    GUIManager &manager = *m_rig->manager;
    QVERIFY(cardInMouth());
    QCOMPARE(manager.screen(), QString("Success"));

    QSignalSpy connected(&manager.mqtt(), &manager::MqttClient::connected);
    // A restarted broker starts a new log; the same broker logs the new session's lines after the old.
    const int renewed = restart ? 1 : m_rig->subscriptions() + 1;
    if (restart) {
        m_broker.stop();
        QVERIFY(waitUntil([&] { return !manager.mqtt().isConnected(); }, 10000));
        QVERIFY(m_broker.start());
    } else {
        m_rig->config->set(QStringLiteral("mqtt/username"), QStringLiteral("lane"));
    }
    QVERIFY(waitUntil([&] { return connected.count() > 0; }, 20000));
    QCOMPARE(manager.terminal().session()->state(), Session::WaitCollect);
    QCOMPARE(manager.screen(), QString("Success"));
    QCOMPARE(manager.message(), QString("Please collect your card"));
    QVERIFY(m_rig->subscribed(renewed));
    QVERIFY(driveOff());
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 20000));
}

void tst_ScreenPictures::timedScreenWhileLoggedIn_data()
{
    QTest::addColumn<bool>("serviceOnline");
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QString>("message");
    QTest::newRow("reboot not carried out") << true << "Busy" << "Rebooting";
    QTest::newRow("reboot request failed") << false << "ErrorScreen" << "Reboot failed: system service unavailable";
}

// A screen shown for a while over the settings gives the settings back when its time is up.
void tst_ScreenPictures::timedScreenWhileLoggedIn()
{
    QFETCH(bool, serviceOnline);
    QFETCH(QString, screen);
    QFETCH(QString, message);
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    ControllerRig &lane = *m_rig;
    GUIManager &manager = *lane.manager;
    QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("online"); }));
    if (!serviceOnline) {
        lane.system.setServiceOnline(false);
        QVERIFY(waitUntil([&] { return manager.inspector().status() == QLatin1String("offline"); }));
    }
    QVERIFY(logIn());

    QQuickItem *toolBar = find("toolBar");
    QObject *menu = findObject("menu", toolBar);
    QVERIFY(tap(find("menuButton", toolBar)) && opened(menu));
    QVERIFY(tap(findText("Reboot")));
    QVERIFY(answer(findObject("confirmation", find("Settings")), true));
    QVERIFY(waitUntil([&] { return manager.screen() == screen; }, 10000));
    QCOMPARE(manager.message(), message);
    if (serviceOnline)
        QVERIFY(waitUntil([&] { return lane.system.requests("power/reboot").size() == 1; }, 10000));

    // What a terminal state change or a new connection does keeps the time-out running.
    manager.setIdleScreen();
    QCOMPARE(manager.screen(), screen);
    QVERIFY(manager.screenTimer().isActive());
    // The machine stays up (or the request never left): the screen's time is up.
    manager.screenTimer().start(1);
    QVERIFY(waitUntil([&] { return manager.screen() != screen; }, 10000));
    QCOMPARE(manager.screen(), QString("Settings"));
    verifyFrameWhole();
    verifyNoQmlWarnings();
}

// A driver's session that ends while an operator is logged in leaves the idle screen for the
// next driver, not its "Thank you".
void tst_ScreenPictures::sessionEndsWhileLoggedIn()
{
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    GUIManager &manager = *m_rig->manager;
    QVERIFY(logIn());

    QVERIFY(cardInMouth());
    QCOMPARE(manager.screen(), QString("Success"));
    QVERIFY(driveOff());
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 10000));
    QVERIFY(manager.sessionManager().sessionActive());
    // The next driver is served as ever; the operator's clock leads to the settings.
    QVERIFY(tapClock());
    QVERIFY(waitUntil([&] { return manager.screen() == "Settings"; }, 10000));
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::logInEnds_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("cardInMouth"); // a driver's card waits; otherwise the broker is lost
    QTest::addColumn<bool>("expiry");      // the log-in period ends; otherwise Logout from the menu
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QString>("picture");

    for (const char *language : {"el_GR", "en_US"}) {
        QTest::addRow("%s, card waits, Logout", language) << language << true << false << "Success"
                                                           << "Success-collect-after-logout";
        QTest::addRow("%s, broker lost, Logout", language) << language << false << false << "OutOfOrder"
                                                            << "OutOfOrder-disconnected-after-logout";
    }
    // The end of the log-in period takes the same way (every path: the screen flow's own test).
    QTest::newRow("en_US, card waits, log-in period ends") << "en_US" << true << true << "Success" << QString();
}

// The settings left by Logout or the end of the log-in period show at once what the driver is
// to see: the collect prompt while a card waits in the mouth, out of order while the broker is
// lost; never the idle screen meanwhile.
void tst_ScreenPictures::logInEnds()
{
    QFETCH(QString, language);
    QFETCH(bool, cardInMouth);
    QFETCH(bool, expiry);
    QFETCH(QString, screen);
    QFETCH(QString, picture);
    QVERIFY(openVendingLane(language));
    GUIManager &manager = *m_rig->manager;
    QVERIFY(logIn());
    if (cardInMouth) {
        QVERIFY(this->cardInMouth());
        QCOMPARE(manager.screen(), QString("Success"));
        QVERIFY(tapClock());
        QVERIFY(waitUntil([&] { return manager.screen() == "Settings"; }, 10000));
    } else {
        m_broker.stop();
        QVERIFY(waitUntil([&] { return !manager.mqtt().isConnected(); }, 10000));
        QCOMPARE(manager.screen(), QString("Settings"));
    }
    QVERIFY(stackSettled(1));

    QStringList shown;
    connect(&manager, &GUIManager::screenChanged, &manager, [&] { shown << manager.screen(); });
    if (expiry) {
        manager.sessionManager().findChild<QTimer *>("loginTimer")->start(1);
    } else {
        QQuickItem *toolBar = find("toolBar");
        QObject *menu = findObject("menu", toolBar);
        QVERIFY(tap(find("menuButton", toolBar)) && opened(menu));
        QVERIFY(tap(findText("Logout")));
        QVERIFY(closed(menu)); // pictured once it has faded away
    }
    QVERIFY(waitUntil([&] { return !manager.sessionManager().sessionActive(); }, 10000));
    QCOMPARE(shown, QStringList{screen});
    if (cardInMouth) {
        QCOMPARE(manager.message(), QString("Please collect your card"));
    } else {
        QCOMPARE(manager.message(), QString("Disconnected"));
        QCOMPARE(manager.terminal().reason(), QString());
    }
    if (!picture.isEmpty())
        shoot(picture);

    if (cardInMouth) {
        QVERIFY(driveOff());
    } else {
        QVERIFY(m_broker.start());
    }
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 20000));
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::longErrorText_data()
{
    driverScreens_data();
}

// An error text of any length stays on the screen, capped and elided.
void tst_ScreenPictures::longErrorText()
{
    QFETCH(QString, language);
    QVERIFY(openVendingLane(language));
    ControllerRig &lane = *m_rig;
    GUIManager &manager = *lane.manager;

    const QString prefix = QStringLiteral("Write card failed : ");
    QString reason;
    while (reason.size() < 312 - prefix.size())
        reason += QStringLiteral("The reader reported a fault while writing sector %1; ").arg(reason.size() % 16);
    reason.truncate(312 - prefix.size());
    lane.cards.rfid.refuse("card/write", 9, reason, 1);
    SimulatedBoard::setLevel(1, 1);
    SimulatedBoard::setLevel(0, 1);
    QVERIFY(waitUntil([&] { return manager.screen() == "ErrorScreen"; }, 20000));
    SimulatedBoard::setLevel(0, 0);
    QCOMPARE(manager.message().size(), 312);
    QCOMPARE(manager.message(), prefix + reason);

    QQuickItem *text = find("message", find("ErrorScreen"));
    QVERIFY(text);
    QList<QQuickItem *> labels;
    visit(text, [](QQuickItem *item) { return item->inherits("QQuickText"); }, labels);
    QCOMPARE(labels.size(), 1);
    const QQuickItem *label = labels.first();
    const QRectF drawn = sceneRect(label, QRectF(0, 0, label->width(), number(label, "contentHeight")));
    QVERIFY2(drawn.bottom() <= 600, qPrintable(QString::number(drawn.bottom())));
    QVERIFY(label->property("truncated").toBool());
    shoot(QStringLiteral("ErrorScreen-long-text"));
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::brokerLost_data()
{
    driverScreens_data();
}

// The broker lost: "Out-of-order" says why.
void tst_ScreenPictures::brokerLost()
{
    QFETCH(QString, language);
    QVERIFY(openVendingLane(language));
    GUIManager &manager = *m_rig->manager;

    m_broker.stop();
    QVERIFY(waitUntil([&] { return manager.screen() == "OutOfOrder"; }, 10000));
    QCOMPARE(manager.message(), QString("Disconnected"));
    QCOMPARE(manager.terminal().reason(), QString());
    // The controller's word, in the driver's language.
    QVERIFY(findText(language == QLatin1String("el_GR") ? QString::fromUtf8("Αποσυνδέθηκε") : QStringLiteral("Disconnected"),
                     find("OutOfOrder")));
    shoot(QStringLiteral("OutOfOrder-disconnected"));

    QVERIFY(m_broker.start());
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 20000));
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::pinBackOff_data()
{
    driverScreens_data();
}

// PINs guessed at the lane: from the fifth wrong one in a row the page says how long the next
// try waits, the event log has it, and tries within the wait are refused, the right PIN too;
// once the wait is over the right PIN gets in.
void tst_ScreenPictures::pinBackOff()
{
    QFETCH(QString, language);
    QVERIFY(openVendingLane(language));
    GUIManager &manager = *m_rig->manager;
    qint64 now = 0;
    manager.sessionManager().setClock([&now] { return now; });
    QVERIFY(openLogin());

    QSignalSpy denied(&manager, &GUIManager::settingsAccessDenied);
    for (int i = 1; i <= 4; ++i) {
        QVERIFY(enterPin("1234"));
        QVERIFY(waitUntil([&] { return denied.count() == i; }));
    }
    QVERIFY(!find("delayMessage"));
    QVERIFY(enterPin("1234"));
    QVERIFY(waitUntil([&] { return find("delayMessage"); }));
    QQuickItem *message = find("delayMessage");
    const QString shown = message->property("text").toString();
    if (language == "en_US")
        QCOMPARE(shown, QString::fromUtf8("Too many wrong PINs. Try again in 30\u00a0s."));
    else
        QVERIFY2(shown.contains("30") && !shown.contains("Try again"), qPrintable(shown));
    // The page's words for a wait of that many seconds, in the language.
    const auto shownAfter = [&shown](int seconds) { return QString(shown).replace("30", QString::number(seconds)); };
    shoot("Login-delayed");
    const Event *event = manager.eventManager().events().last();
    QCOMPARE(event->name(), QString("Maintenance login delayed"));
    QCOMPARE(event->description(), QString("Wrong PINs in a row : 5\nNext try in : 30 s"));

    // The right PIN within the wait: refused, the page still says so.
    now += 20000;
    QVERIFY(enterPin("8306"));
    QVERIFY(waitUntil([&] { return message->property("text").toString().contains("10"); }));
    QCOMPARE(manager.screen(), QString("Login"));
    QVERIFY(!manager.sessionManager().sessionActive());

    // Left and opened again within the wait: the page says so at once, with the time the
    // controller's clock leaves (it has not moved), not the prompt.
    QVERIFY(tapClock());
    QVERIFY(waitUntil([&] { return manager.screen() == "DispenseScreen"; }, 10000));
    QVERIFY(openLogin());
    QVERIFY(find("delayMessage"));
    QCOMPARE(find("delayMessage")->property("text").toString(), shownAfter(10));
    shoot("Login-delayed-reopened");

    // The wait over, the right PIN gets in.
    now += 10000;
    QVERIFY(enterPin("8306"));
    QVERIFY(waitUntil([&] { return manager.screen() == "Settings"; }, 10000));
    QCOMPARE(manager.eventManager().events().last()->name(), QString("Maintenance login"));
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::ntpServerRefused_data()
{
    driverScreens_data();
}

// A server name the clock refuses: the field shows the clock's server again and says what was
// not taken; the next edit takes the mark away.
void tst_ScreenPictures::ntpServerRefused()
{
    QFETCH(QString, language);
    QVERIFY(openVendingLane(language));
    GUIManager &manager = *m_rig->manager;
    QVERIFY(logIn());
    QVERIFY(openRow("Region"));
    const QString server = manager.terminal().clock()->ntpServer();
    QQuickItem *field = find("ntpServerField");
    QCOMPARE(field->property("text").toString(), server);
    QVERIFY(!find("ntpServerRefused"));

    QVERIFY(tap(field));
    QVERIFY(waitUntil([&] { return field->hasActiveFocus(); }));
    QVERIFY(field->setProperty("text", QString()));
    for (const char key : QByteArray("ntp;reboot"))
        QTest::keyClick(window(), key);
    QCOMPARE(field->property("text").toString(), QString("ntp;reboot"));
    QTest::keyClick(window(), Qt::Key_Return);
    QCOMPARE(manager.terminal().clock()->ntpServer(), server);
    QVERIFY(waitUntil([&] { return find("ntpServerRefused"); }));
    QCOMPARE(field->property("text").toString(), server);
    QVERIFY2(find("ntpServerRefused")->property("text").toString().contains("ntp;reboot"),
             qPrintable(find("ntpServerRefused")->property("text").toString()));
    QGuiApplication::inputMethod()->hide();
    QVERIFY(waitUntil([&] { return !find("keyboard"); })); // slid away, not caught half-way
    shoot("Settings-Region-refused");

    // Typing again clears the mark.
    QVERIFY(tap(field));
    QTest::keyClick(window(), Qt::Key_End);
    QTest::keyClick(window(), 'x');
    QVERIFY(waitUntil([&] { return !find("ntpServerRefused"); }));
    QGuiApplication::inputMethod()->hide();
    verifyNoQmlWarnings();
}

// A server typed with stray blanks is the server the clock writes: no mark, the field shows it as
// written, and it lands in the rig's own file and restart, never in the system's.
void tst_ScreenPictures::ntpServerTypedWithBlanks()
{
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    manager::Clock *clock = m_rig->manager->terminal().clock();
    QCOMPARE(clock->configFile(), m_rig->stubs.timesyncdConf());
    QVERIFY(logIn());
    QVERIFY(openRow("Region"));
    QQuickItem *field = find("ntpServerField");
    QVERIFY(tap(field));
    QVERIFY(waitUntil([&] { return field->hasActiveFocus(); }));
    QVERIFY(field->setProperty("text", QString()));
    for (const char key : QByteArray("ntp1.example.org  10.0.0.1 "))
        QTest::keyClick(window(), key);
    m_rig->stubs.clearCalls();
    QTest::keyClick(window(), Qt::Key_Return);
    QVERIFY(waitUntil([&] { return clock->ntpServer() == QLatin1String("ntp1.example.org 10.0.0.1") && !clock->busy(); }, 10000));
    QVERIFY(!find("ntpServerRefused"));
    QCOMPARE(field->property("text").toString(), QString("ntp1.example.org 10.0.0.1"));
    QFile conf(m_rig->stubs.timesyncdConf());
    QVERIFY(conf.open(QIODevice::ReadOnly));
    QVERIFY(conf.readAll().contains("\nNTP=ntp1.example.org 10.0.0.1\n"));
    QVERIFY(m_rig->stubs.callLines().contains("systemctl try-restart systemd-timesyncd"));
    QGuiApplication::inputMethod()->hide();
    verifyNoQmlWarnings();
}

// The technician types a server while the clock still writes an earlier one (a slow disk), so
// the field shows the file's old server a while. The clock decides what a typed server changes,
// comparing with what was asked last: the server in force typed back is written again; the field
// merely left, showing the file's old text, asks nothing.
void tst_ScreenPictures::ntpServerWhileTheClockIsBusy_data()
{
    QTest::addColumn<QString>("then");
    QTest::addColumn<QString>("written");

    QTest::newRow("the old server typed back") << "old.example.org" << "old.example.org";
    QTest::newRow("the field left") << "" << "new.example.org";
}

void tst_ScreenPictures::ntpServerWhileTheClockIsBusy()
{
    QFETCH(QString, then);
    QFETCH(QString, written);

    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    manager::Clock *clock = m_rig->manager->terminal().clock();
    {
        QFile conf(m_rig->stubs.timesyncdConf());
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(conf.write("[Time]\nNTP=old.example.org\n") > 0);
    }
    clock->refresh();
    QVERIFY(waitUntil([&] { return clock->ntpServer() == QLatin1String("old.example.org") && !clock->busy(); }, 10000));
    QVERIFY(logIn());
    QVERIFY(openRow("Region"));

    // The disk, busy until released.
    HeldWorker disk;
    QVERIFY(disk.isHeld());
    clock->setWorker(disk.worker());

    QQuickItem *field = find("ntpServerField");
    const auto type = [&](const QString &text) {
        QVERIFY(tap(field));
        QVERIFY(waitUntil([&] { return field->hasActiveFocus(); }));
        QVERIFY(field->setProperty("text", QString()));
        for (const QChar key : text)
            QTest::keyClick(window(), key.toLatin1());
        QCOMPARE(field->property("text").toString(), text);
        QTest::keyClick(window(), Qt::Key_Return);
    };
    type(QStringLiteral("new.example.org"));
    QVERIFY(clock->busy());
    QCOMPARE(field->property("text").toString(), QString("old.example.org"));
    if (then.isEmpty()) {
        QVERIFY(tap(find("ntpSyncButton")));
        QVERIFY(waitUntil([&] { return !field->hasActiveFocus(); }));
    } else {
        type(then);
    }
    QVERIFY(clock->busy());

    disk.release();
    QVERIFY(waitUntil([&] { return !clock->busy(); }, 10000));
    QCOMPARE(clock->ntpServer(), written);
    QFile conf(m_rig->stubs.timesyncdConf());
    QVERIFY(conf.open(QIODevice::ReadOnly));
    QCOMPARE(conf.readAll(), "[Time]\nNTP=" + written.toUtf8() + "\n");
    QCOMPARE(field->property("text").toString(), written);
    QVERIFY(!find("ntpServerRefused"));
    QGuiApplication::inputMethod()->hide();
    verifyNoQmlWarnings();
}

// The version in the bottom-right corner stays clear of the settings pages' buttons there (the
// menu's last row with its arrow, SAVE, INSTALL, NTP SYNC).
void tst_ScreenPictures::versionLabelLeavesRoom()
{
    QVERIFY(openVendingLane(QStringLiteral("en_US")));
    QQuickItem *version = find("versionLabel");
    QVERIFY(version);
    const QRectF label = sceneRect(version);
    QVERIFY(label.bottom() <= 600 && label.right() <= 1024);

    QStringList faults;
    const auto check = [&](const QString &page) {
        QList<QQuickItem *> touched;
        visit(shownPage(), [&](QQuickItem *item) {
            return (item->inherits("QQuickAbstractButton") || item->inherits("QQuickImage"))
                   && sceneRect(item).intersects(label);
        }, touched);
        for (const QQuickItem *item : qAsConst(touched))
            faults << page + QStringLiteral(": ") + describe(item);
    };
    QVERIFY(logIn());
    check("menu");
    QVERIFY(openRow("Update"));
    check("Update");
    QVERIFY(back());
    QVERIFY(openRow("Region"));
    check("Region");
    QVERIFY(back());
    QVERIFY(openRow("Network"));
    QVERIFY(tap(findText("Ethernet", find("tabs"))));
    QQuickItem *swipe = find("swipe");
    QVERIFY(waitUntil([&] {
        auto *ethernet = qvariant_cast<QQuickItem *>(swipe->property("currentItem"));
        return swipe->property("currentIndex").toInt() == 1 && qAbs(sceneRect(ethernet).x() - sceneRect(swipe).x()) < 0.5;
    }, 10000));
    QVERIFY(tap(findText("Configure", swipe)) && stackSettled(3));
    check("EthernetConfig");
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
}

void tst_ScreenPictures::keyboardLeavesFieldInView_data()
{
    driverScreens_data();
}

// A field low on its page, tapped: the on-screen keyboard comes up and the field stands above
// it (DNS #1, the display-off interval); the editable spin boxes of the validator settings keep
// the keyboard too.
void tst_ScreenPictures::keyboardLeavesFieldInView()
{
    QFETCH(QString, language);
    QVERIFY(openVendingLane(language));
    QVERIFY(logIn());
    // Up and settled, and the field above it, clear of the tool bar.
    const auto inView = [&](QQuickItem *field) {
        return waitUntil([&] {
            QQuickItem *keyboard = find("keyboard");
            if (!keyboard)
                return false;
            const QRectF board = sceneRect(keyboard);
            const QRectF shown = sceneRect(field);
            // At the screen's bottom edge, over the version's strip.
            return QGuiApplication::inputMethod()->isVisible() && qFuzzyCompare(board.bottom(), 600.0)
                   && shown.bottom() <= board.top() && shown.top() >= sceneRect(find("toolBar")).bottom();
        }, 10000);
    };
    const auto tapAndCheck = [&](const QString &name, const QString &picture) {
        QQuickItem *field = find(name);
        if (!field || !tap(field))
            return false;
        const bool ok = inView(field);
        if (!picture.isEmpty())
            shoot(picture);
        QGuiApplication::inputMethod()->hide();
        return ok && waitUntil([&] { return !find("keyboard"); });
    };

    QVERIFY(openRow("Network"));
    QVERIFY(tap(findText("Ethernet", find("tabs"))));
    QQuickItem *swipe = find("swipe");
    QVERIFY(waitUntil([&] {
        auto *ethernet = qvariant_cast<QQuickItem *>(swipe->property("currentItem"));
        return swipe->property("currentIndex").toInt() == 1 && qAbs(sceneRect(ethernet).x() - sceneRect(swipe).x()) < 0.5;
    }, 10000));
    QVERIFY(tap(findText("Configure", swipe)) && stackSettled(3));
    QQuickItem *mode = find("modeBox");
    QObject *modes = qvariant_cast<QObject *>(mode->property("popup"));
    QVERIFY(tap(mode) && opened(modes));
    QVERIFY(tap(findText("manual", qvariant_cast<QQuickItem *>(modes->property("contentItem")))) && closed(modes));
    QVERIFY(find("dns1Field")->isEnabled());
    QVERIFY(tapAndCheck("dns1Field", "Settings-EthernetConfig-keyboard"));
    // Hidden again, the page is back in its place.
    QVERIFY(waitUntil([&] { return sceneRect(find("modeBox")).top() > sceneRect(find("toolBar")).bottom(); }));
    QVERIFY(back() && back());

    QVERIFY(openRow("Display"));
    QVERIFY(tapAndCheck("displayOffMin", "Settings-Display-keyboard"));
    QVERIFY(back());

    QVERIFY(openRow("Validator"));
    QVERIFY(tap(find("configureButton")) && stackSettled(3));
    QVERIFY(tapAndCheck("shutdownBox", QString()));
    QVERIFY(back() && back());
    verifyNoQmlWarnings();
}

void tst_ScreenPictures::ethernetConfigChecks_data()
{
    driverScreens_data();
}

// The wired interface's configuration by hand: an unsound one is refused with the field and
// the reason in the operator's language; a /32 with its gateway, and 0.0.0.0
// for no gateway, reach the network service.
void tst_ScreenPictures::ethernetConfigChecks()
{
    QFETCH(QString, language);
    QVERIFY(openVendingLane(language));
    ControllerRig &lane = *m_rig;
    QVERIFY(logIn());
    QVERIFY(openRow("Network"));
    QVERIFY(tap(findText("Ethernet", find("tabs"))));
    QQuickItem *swipe = find("swipe");
    QVERIFY(waitUntil([&] {
        auto *ethernet = qvariant_cast<QQuickItem *>(swipe->property("currentItem"));
        return swipe->property("currentIndex").toInt() == 1 && qAbs(sceneRect(ethernet).x() - sceneRect(swipe).x()) < 0.5;
    }, 10000));
    QVERIFY(tap(findText("Configure", swipe)) && stackSettled(3));
    QQuickItem *mode = find("modeBox");
    QObject *modes = qvariant_cast<QObject *>(mode->property("popup"));
    QVERIFY(tap(mode) && opened(modes));
    QVERIFY(tap(findText("manual", qvariant_cast<QQuickItem *>(modes->property("contentItem")))) && closed(modes));
    const auto type = [&](const QStringList &texts) {
        const char *names[] = {"addressField", "maskField", "gatewayField", "dns0Field", "dns1Field"};
        for (int i = 0; i < 5; ++i)
            find(names[i])->setProperty("text", texts.at(i));
    };

    type({"192.168.1.20", "255.255.255.0", "192.168.1.20", "1.1.1.1", ""});
    QVERIFY(tap(find("saveButton")));
    QObject *popup = findObject("problemPopup", shownPage());
    QVERIFY(opened(popup));
    const QString said = popup->property("text").toString();
    QCOMPARE(said, language == QLatin1String("en_US")
                       ? QString("IPv4 gateway cannot be the terminal's own address")
                       : QString::fromUtf8("Η πύλη IPv4 δεν μπορεί να είναι η διεύθυνση του ίδιου του τερματικού"));
    shoot("Settings-EthernetConfig-refused", qvariant_cast<QQuickItem *>(popup->property("contentItem")));
    QVERIFY(tap(qvariant_cast<QQuickItem *>(popup->property("contentItem"))) && closed(popup));
    QCOMPARE(lane.network.method(), QString("auto")); // nothing sent

    type({"10.9.8.7", "255.255.255.255", "0.0.0.0", "127.0.0.53", ""});
    QVERIFY(tap(find("saveButton")));
    QVERIFY(stackSettled(2));
    QVERIFY(waitUntil([&] { return lane.network.configured().value("address") == QLatin1String("10.9.8.7"); }, 10000));
    QCOMPARE(lane.network.method(), QString("manual"));
    QCOMPARE(lane.network.configured().value("gateway").toString(), QString());
    QCOMPARE(lane.network.configured().value("dns0").toString(), QString("127.0.0.53"));
    verifyNoQmlWarnings();
}


int main(int argc, char **argv)
{
    // As start-up does: the input method before the application, the identity, the font.
    InputMethod::select();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName("vorn-terminal-ui");
    QCoreApplication::setApplicationVersion("0.0.2");
    QCoreApplication::setOrganizationName("vesk");
    QCoreApplication::setOrganizationDomain("vesk.gr");
    QFontDatabase::addApplicationFont(":/qml/fonts/DejaVuSans.ttf");
    QGuiApplication::setFont(QFont("DejaVu Sans"));
    // Only this run's pictures.
    QDir(kScreensDir).removeRecursively();
    tst_ScreenPictures test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ScreenPictures.moc"
