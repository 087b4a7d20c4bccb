#include "QmlFixture.h"

#include "app/InputMethod.h"
#include "devices/IPv4.h"
#include "terminal/EventManager.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QtQuickTest>

// Runs the QML tests of the screens with the program's resources, style,
// font and input method. Each test file gets a fixture ("fixture") and the
// real event log ("eventLogManager"); the other objects the controller
// publishes are small QML objects of the tests.
class Setup : public QObject
{
    Q_OBJECT

public:
    Setup()
        // Qt reads the input method only while it creates the application.
        : m_inputMethod(InputMethod::select())
    {
    }

public slots:
    void applicationAvailable()
    {
        QCoreApplication::setOrganizationName("vesk");
        QCoreApplication::setOrganizationDomain("vesk.gr");
        QCoreApplication::setApplicationName("vorn-terminal-ui");
        QCoreApplication::setApplicationVersion("0.0.2");
        QFontDatabase::addApplicationFont(":/qml/fonts/DejaVuSans.ttf");
        QGuiApplication::setFont(QFont("DejaVu Sans"));
        QQuickStyle::setStyle("Material");
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        // As the controller registers it: the configuration page checks its fields with it.
        qmlRegisterType<IPv4>("com.vesk.network.ipv4", 1, 0, "IPv4");
        auto *fixture = new QmlFixture(*engine, m_inputMethod, engine);
        engine->rootContext()->setContextProperty("fixture", fixture);
        engine->rootContext()->setContextProperty("eventLogManager", &fixture->eventLog());
    }

private:
    QString m_inputMethod;
};

QUICK_TEST_MAIN_WITH_SETUP(qml, Setup)

#include "tst_qml.moc"
