#include "fakes/FreePort.h"
#include "fakes/StubCommands.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

// The real program, run in a temporary working folder.
namespace {

struct Result
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::NormalExit;
    QString out;
    QString err;
};

// The value that the printed configuration shows for a key, or a null text.
QString printed(const QString &err, const QString &key)
{
    const QRegularExpression line("\\[Config\\]  " + QRegularExpression::escape(key) + " +: (.*)$",
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(err);
    return m.hasMatch() ? m.captured(1) : QString();
}

const QStringList kDescriptions = {
    "Print help and exit", "Print version and exit", "Set log level: 0=err, 1=warn, 2=info(dfl), 3=dbg",
    "Print messages to stderr, not just syslog", "Print messages in color.", "Set configuration file",
    "Set mqtt broker url", "Set mqtt broker port", "Set mqtt username", "Set mqtt password"};

} // namespace

class tst_Main : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void endsAtOnce_data();
    void endsAtOnce();
    void startsWithOverrides_data();
    void startsWithOverrides();
    void startsDespiteABadFile_data();
    void startsDespiteABadFile();

private:
    Result runToEnd(const QStringList &args);
    Result runUntilLoaded(const QStringList &args);
    QScopedPointer<QTemporaryDir> m_dir;
    // The program's clock asks timedatectl at start; it gets the stub, on every machine alike
    // (a minimal system has no timedatectl at all, a container one that cannot answer).
    StubCommands m_commands;
};

void tst_Main::init()
{
    QVERIFY(m_commands.isValid());
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

// Without any display: help, version and option errors must not need one.
Result tst_Main::runToEnd(const QStringList &args)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "xcb");
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(m_dir->path());
    process.start(VORN_PROGRAM, args);
    Result result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.status = process.exitStatus();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// Starts the program, waits until its window is loaded and stops it.
Result tst_Main::runUntilLoaded(const QStringList &args)
{
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.start(VORN_PROGRAM, args);
    Result result;
    auto collect = [&] { result.err += QString::fromUtf8(process.readAllStandardError()); };
    connect(&process, &QProcess::readyReadStandardError, this, collect);
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(result.err.contains("[GUIManager] Language changed : ")
                                     || process.state() == QProcess::NotRunning,
                                 30000);
    }();
    const bool running = process.state() == QProcess::Running;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
    collect();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.exitCode = running ? 0 : process.exitCode();
    result.status = running ? QProcess::NormalExit : process.exitStatus();
    return result;
}

void tst_Main::endsAtOnce_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");       // the whole standard output, or "USAGE"
    QTest::addColumn<QString>("errorLine"); // expected on stderr

    QTest::newRow("help") << QStringList{"--help"} << 0 << "USAGE" << "";
    QTest::newRow("help wins over every option")
        << QStringList{"-V", "-v", "x", "-P", "nope", "-e", "-c", "-f", "a.conf", "-u", "u", "-h"} << 0 << "USAGE"
        << "";
    QTest::newRow("version") << QStringList{"-V"} << 0 << "vorn-terminal-ui 0.0.2\n" << "";
    QTest::newRow("version wins over a bad port") << QStringList{"-P", "nope", "--version"} << 0
                                                 << "vorn-terminal-ui 0.0.2\n" << "";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << "" << "ERROR: Unknown option 'bogus'.";
    QTest::newRow("parse error wins over help") << QStringList{"-h", "-x"} << 1 << ""
                                                << "ERROR: Unknown option 'x'.";
    QTest::newRow("missing value") << QStringList{"-f"} << 1 << "" << "ERROR: Missing value after '-f'.";
    QTest::newRow("value to a flag") << QStringList{"--color=yes"} << 1 << ""
                                     << "ERROR: Unexpected value after '--color'.";
    QTest::newRow("port no number") << QStringList{"-P", "18a3"} << 1 << "" << "ERROR: Invalid port : 18a3";
    QTest::newRow("port zero") << QStringList{"--port", "0"} << 1 << "" << "ERROR: Invalid port : 0";
    QTest::newRow("port too big") << QStringList{"-P", "65536"} << 1 << "" << "ERROR: Invalid port : 65536";
    QTest::newRow("level no number") << QStringList{"-v", "abc"} << 1 << ""
                                     << "ERROR: Invalid log level : abc (expected a number from 0 to 4)";
    QTest::newRow("level too high") << QStringList{"--verbose", "5"} << 1 << "" << "ERROR: Invalid log level : 5";
    QTest::newRow("level negative") << QStringList{"-v", "-1"} << 1 << "" << "ERROR: Invalid log level : -1";
    QTest::newRow("help beside a toolkit option") << QStringList{"-platform", "xcb", "-h"} << 0 << "USAGE" << "";
    QTest::newRow("bad option beside a toolkit option") << QStringList{"-platform", "xcb", "-x"} << 1 << ""
                                                        << "ERROR: Unknown option 'x'.";
}

void tst_Main::endsAtOnce()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, errorLine);

    const Result result = runToEnd(args);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.exitCode, exitCode);
    if (out == "USAGE") {
        for (const QString &description : kDescriptions)
            QVERIFY2(result.out.contains(description), qPrintable(description));
    } else {
        QCOMPARE(result.out, out);
    }
    if (!errorLine.isEmpty())
        QVERIFY2(result.err.contains(errorLine), qPrintable(result.err));
    QVERIFY(!result.err.contains("Setting "));
    QVERIFY2(!result.err.contains("display"), qPrintable(result.err));
    // Nothing was opened: no configuration file in the working folder.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{});
}

void tst_Main::startsWithOverrides_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("existing");   // gui.conf before the start; empty: none
    QTest::addColumn<QString>("file");          // the configuration file the program uses
    QTest::addColumn<QStringList>("lines");     // on stderr
    QTest::addColumn<QVariantMap>("effective"); // as the printed configuration shows them
    QTest::addColumn<QString>("secret");        // must appear nowhere

    // Every run gets a port of its own where no broker listens (see startsWithOverrides), never 1883.
    QTest::newRow("no arguments") << QStringList{} << QByteArray() << "gui.conf"
                                  << QStringList{"[Config] Creating default config file : gui.conf",
                                                 "[Config]  SETTINGS (gui.conf)"}
                                  << QVariantMap{{"mqtt/host", "localhost"}, {"log/level", "2"},
                                                 {"card-bo/ignoreSslErrors", "false"}}
                                  << "";
    QTest::newRow("every override")
        << QStringList{"-v", "3", "-c", "-H", "127.0.0.9", "-P", "PORT", "-u", "0042", "-p", "pw-Secret9",
                       "-f", "alt.conf"}
        << QByteArray() << "alt.conf"
        << QStringList{"Setting Log level : 3", "Log with color overridden from user to true",
                       "Setting MQTT Host : 127.0.0.9", "Setting MQTT Port : PORT", "Setting MQTT User : 0042",
                       "Using configuration file : alt.conf", "[Config] Creating default config file : alt.conf",
                       "[Config]  SETTINGS (alt.conf)"}
        << QVariantMap{{"log/level", "3"}, {"log/color", "true"}, {"mqtt/host", "127.0.0.9"},
                       {"mqtt/port", "PORT"}, {"mqtt/username", "0042"}, {"mqtt/password", "****"}}
        << "pw-Secret9";
    QTest::newRow("stderr switched on over the file")
        << QStringList{"--stderr", "--password", "12345678"}
        << QByteArray("[log]\nstderr=false\nsyslog=false\n[mqtt]\nhost=file-host\npassword=in-file-pw\n")
        << "gui.conf" << QStringList{"Log to stderr overridden from user to true", "[Config]  SETTINGS (gui.conf)"}
        << QVariantMap{{"mqtt/host", "file-host"}, {"log/stderr", "true"}, {"mqtt/username", ""},
                       {"mqtt/password", "****"}}
        << "12345678";
}

void tst_Main::startsWithOverrides()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, existing);
    QFETCH(QString, file);
    QFETCH(QStringList, lines);
    QFETCH(QVariantMap, effective);
    QFETCH(QString, secret);

    // The program connects at once: to a port of its own where nothing listens.
    const QString port = QString::number(FreePort::pick());
    if (args.contains("PORT"))
        args.replaceInStrings(QRegularExpression("^PORT$"), port);
    else
        args << "-P" << port;
    lines.replaceInStrings("PORT", port);
    if (effective.contains("mqtt/port"))
        effective.insert("mqtt/port", port);

    const QString path = m_dir->filePath(file);
    if (!existing.isEmpty()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(existing);
    }

    const Result result = runUntilLoaded(args);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.contains("[GUIManager] Language changed : el_GR"), qPrintable(result.err));
    for (const QString &line : lines)
        QVERIFY2(result.err.contains(line), qPrintable(line + "\n---\n" + result.err));
    for (auto it = effective.cbegin(); it != effective.cend(); ++it)
        QCOMPARE(printed(result.err, it.key()), it.value().toString());
    if (!secret.isEmpty())
        QVERIFY(!result.err.contains(secret) && !result.out.contains(secret));
    // No broker runs for this test, the default id files are not there and port 8000 of the
    // default camera addresses may be held by another program under test: these are the errors
    // expected.
    const QStringList expected{"[GUIManager] ERROR: Mqtt client error", "[Terminal] ERROR: File does not exist : /etc/",
                               "[Backend::CardBO] ERROR: Device ID is empty",
                               "[HttpServer] ERROR: Failed to listen : The bound address is already in use"};
    for (const QString &line : result.err.split('\n')) {
        const bool known = std::any_of(expected.cbegin(), expected.cend(), [&](const QString &e) { return line.contains(e); });
        QVERIFY2(!line.contains("ERROR") || known, qPrintable(line));
    }
    // High-DPI scaling was switched on in time: Qt complains otherwise.
    QVERIFY2(!result.err.contains("must be set before"), qPrintable(result.err));

    // Only the chosen file exists beside the terminal's store; the command line never reaches it.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), (QStringList{file, "terminal.db"}));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    if (!existing.isEmpty()) {
        QCOMPARE(content, existing);
    } else {
        QSettings written(path, QSettings::IniFormat);
        QCOMPARE(written.allKeys().size(), 50);
        QCOMPARE(written.value("mqtt/host"), QVariant("localhost"));
        QCOMPARE(written.value("mqtt/port"), QVariant("1883"));
        QCOMPARE(written.value("log/level"), QVariant("2"));
        QCOMPARE(written.value("mqtt/password"), QVariant(""));
    }
}

// Files the program cannot use: it says why and starts on what it can, at once.
void tst_Main::startsDespiteABadFile_data()
{
    QTest::addColumn<QString>("file");        // -f; "gui.conf" in the working folder is written first
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("line");        // expected on stderr
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("shown");       // its value in the printed configuration

    QTest::newRow("a device") << "/dev/zero" << QByteArray() << "[Config] ERROR: Cannot read config file /dev/zero (not a regular file)"
                              << "log/level" << "2";
    QTest::newRow("50 MB file") << "gui.conf" << "[log]\nlevel=3\n;" + QByteArray(50 * 1024 * 1024, 'x') + "\n"
                                << "[Config] ERROR: Cannot read config file gui.conf (52428816 bytes, more than the 1048576"
                                << "log/level" << "2";
    QTest::newRow("port beyond 65535") << "gui.conf" << QByteArray("[mqtt]\nport=99999\n[log]\nlevel=3\n")
                                       << "[Config] WARN: Ignoring mqtt/port = 99999 in gui.conf : not a port number from 1 to 65535; keeping 1883"
                                       << "log/level" << "3";
    QTest::newRow("binary file") << "gui.conf" << QByteArray("[log]\nlevel=3\n\x1b[2J\x00\xff\n", 20)
                                 << R"([Config] WARN: Skipping unreadable line 3 of gui.conf : \x1b[2J\x00\xff)"
                                 << "log/level" << "3";
}

void tst_Main::startsDespiteABadFile()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, line);
    QFETCH(QString, key);
    QFETCH(QString, shown);

    if (!content.isEmpty()) {
        QFile f(m_dir->filePath(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    const QString port = QString::number(FreePort::pick());
    const Result result = runUntilLoaded({"-f", file, "-P", port});
    QCOMPARE(result.status, QProcess::NormalExit);
    QVERIFY2(result.err.contains("[GUIManager] Language changed : el_GR"), qPrintable(result.err.left(3000)));
    QVERIFY2(result.err.contains(line), qPrintable(result.err.left(3000)));
    QCOMPARE(printed(result.err, key), shown);
    QCOMPARE(printed(result.err, "mqtt/port"), port);
    if (!content.isEmpty()) {
        QFile f(m_dir->filePath(file));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll() == content);
    }
}

QTEST_GUILESS_MAIN(tst_Main)
#include "tst_Main.moc"
