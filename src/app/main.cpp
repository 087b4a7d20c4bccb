#include "app/Config.h"
#include "app/InputMethod.h"
#include "app/LogQuote.h"
#include "ui/GUIManager.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>

#include <cstdlib>

namespace {

void setIdentity()
{
    QCoreApplication::setApplicationName("vorn-terminal-ui");
    QGuiApplication::setApplicationDisplayName("vorn-terminal-ui");
    QCoreApplication::setApplicationVersion("0.0.2");
    QCoreApplication::setOrganizationName("vesk");
    QCoreApplication::setOrganizationDomain("vesk.gr");
}

// The command line as configuration overrides; ends the process on help,
// version (0) and on any error (1). `announce` logs the overrides taken.
QVariantMap parseCLIArgs(const QStringList &arguments, bool announce)
{
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, "Print help and exit");
    const QCommandLineOption version({"V", "version"}, "Print version and exit");
    const QCommandLineOption verbose({"v", "verbose"}, "Set log level: 0=err, 1=warn, 2=info(dfl), 3=dbg", "level");
    const QCommandLineOption toStderr({"e", "stderr"}, "Print messages to stderr, not just syslog");
    const QCommandLineOption color({"c", "color"}, "Print messages in color.");
    const QCommandLineOption config({"f", "config"}, "Set configuration file", "filename");
    const QCommandLineOption host({"H", "host"}, "Set mqtt broker url", "hostname");
    const QCommandLineOption port({"P", "port"}, "Set mqtt broker port", "port");
    const QCommandLineOption username({"u", "username"}, "Set mqtt username", "username");
    const QCommandLineOption password({"p", "password"}, "Set mqtt password", "password");
    parser.addOptions({help, version, verbose, toStderr, color, config, host, port, username, password});

    if (!parser.parse(arguments)) {
        qCritical().noquote().nospace() << "ERROR: " << LogQuote::quote(parser.errorText());
        std::exit(1);
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();

    QVariantMap overrides;
    if (parser.isSet(verbose)) {
        // A level the logger does not know would silently stand for the default.
        bool ok = false;
        const int level = parser.value(verbose).toInt(&ok, 10);
        if (!ok || level < 0 || level > 4) {
            qCritical().noquote().nospace() << "ERROR: Invalid log level : " << LogQuote::quote(parser.value(verbose))
                                            << " (expected a number from 0 to 4)";
            std::exit(1);
        }
        if (announce)
            qInfo().noquote().nospace() << "Setting Log level : " << level;
        overrides.insert("log/level", level);
    }
    if (parser.isSet(toStderr)) {
        if (announce)
            qInfo().noquote().nospace() << "Log to stderr overridden from user to true";
        overrides.insert("log/stderr", true);
    }
    if (parser.isSet(color)) {
        if (announce)
            qInfo().noquote().nospace() << "Log with color overridden from user to true";
        overrides.insert("log/color", true);
    }
    if (parser.isSet(host)) {
        if (announce)
            qInfo().noquote().nospace() << "Setting MQTT Host : " << LogQuote::quote(parser.value(host));
        overrides.insert("mqtt/host", parser.value(host));
    }
    if (parser.isSet(port)) {
        // Port 0 would never reach a broker: a port that is no number is an error.
        bool ok = false;
        const int number = parser.value(port).toInt(&ok, 10);
        if (!ok || number < 1 || number > 65535) {
            qCritical().noquote().nospace() << "ERROR: Invalid port : " << LogQuote::quote(parser.value(port))
                                            << " (expected a number from 1 to 65535)";
            std::exit(1);
        }
        if (announce)
            qInfo().noquote().nospace() << "Setting MQTT Port : " << LogQuote::quote(parser.value(port));
        overrides.insert("mqtt/port", number);
    }
    if (parser.isSet(username)) {
        if (announce)
            qInfo().noquote().nospace() << "Setting MQTT User : " << LogQuote::quote(parser.value(username));
        overrides.insert("mqtt/username", parser.value(username));
    }
    if (parser.isSet(password))
        overrides.insert("mqtt/password", parser.value(password));
    if (parser.isSet(config)) {
        if (announce)
            qInfo().noquote().nospace() << "Using configuration file : " << LogQuote::quote(parser.value(config));
        overrides.insert("config", parser.value(config));
    }
    return overrides;
}

// The arguments without the options the GUI application takes for itself
// (and removes) while it is created: "-platform eglfs" is no error of ours.
QStringList withoutToolkitOptions(const QStringList &arguments)
{
    static const QStringList withValue = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                          "qwindowgeometry", "qwindowtitle", "qwindowicon", "geometry",
                                          "title", "icon", "display", "name", "visual", "cmap", "session"};
    static const QStringList flags = {"reverse", "sync", "nograb", "dograb", "testability"};
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString name = argument;
        if (i > 0 && name.startsWith(QLatin1String("--")))
            name.remove(0, 2);
        else if (i > 0 && name.startsWith(QLatin1Char('-')))
            name.remove(0, 1);
        else
            name.clear();
        if (withValue.contains(name)) {
            ++i;
            continue;
        }
        if (flags.contains(name) || name.startsWith(QLatin1String("qmljsdebugger=")))
            continue;
        kept << argument;
    }
    return kept;
}

} // namespace

int main(int argc, char **argv)
{
    // The named keyboard where it is installed, else Debian's Qt Virtual Keyboard.
    InputMethod::select();
    // Qt reads this only while it creates the application object.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    // Help, version and option errors are settled before the GUI application
    // exists: without a display its creation aborts the program.
    {
        QCoreApplication commandLine(argc, argv);
        setIdentity();
        parseCLIArgs(withoutToolkitOptions(QCoreApplication::arguments()), false);
    }

    QGuiApplication app(argc, argv);
    setIdentity();

    const QVariantMap overrides = parseCLIArgs(QCoreApplication::arguments(), true);
    const QString fileName = overrides.contains("config") ? overrides.value("config").toString()
                                                          : QStringLiteral("gui.conf");
    Config config(fileName, GUIManager::Defaults);
    config.addOverrides(overrides);

    QFontDatabase::addApplicationFont(":/qml/fonts/DejaVuSans.ttf");
    QGuiApplication::setFont(QFont("DejaVu Sans"));

    GUIManager manager(config);
    manager.load();

    return app.exec();
}
