#include "app/InputMethod.h"

#include <QFile>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QtTest>

// Plugin folders as Qt lays them out, with the fake plugin or a decoy copied in.
class tst_InputMethod : public QObject
{
    Q_OBJECT

private slots:
    void choice_data();
    void choice();
    void selectSetsTheEnvironment();

private:
    // A plugin folder whose platforminputcontexts holds a copy of `source` as `name`.
    static QString pluginDir(QTemporaryDir &root, const QString &source, const QString &name);
};

QString tst_InputMethod::pluginDir(QTemporaryDir &root, const QString &source, const QString &name)
{
    const QString dir = root.filePath("plugins");
    QDir().mkpath(dir + "/platforminputcontexts");
    const QString target = dir + "/platforminputcontexts/" + name;
    if (source.isEmpty()) {
        QFile file(target);
        if (!file.open(QIODevice::WriteOnly) || file.write("not a plugin") < 0)
            return QString();
    } else if (!QFile::copy(source, target)) {
        return QString();
    }
    return dir;
}

void tst_InputMethod::choice_data()
{
    QTest::addColumn<QString>("installedFile"); // empty: a file that is no plugin
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("withSystemDir");
    QTest::addColumn<QString>("expected");

    // Debian's Qt Virtual Keyboard is installed with the program's packages.
    QTest::newRow("only the system's keyboard") << QString() << QString() << true << "qtvirtualkeyboard";
    QTest::newRow("named keyboard installed wins")
        << QString(FAKE_KEYBOARD_PLUGIN) << "libfakekeyboard.so" << true << "freevirtualkeyboard";
    QTest::newRow("named keyboard alone") << QString(FAKE_KEYBOARD_PLUGIN) << "libfakekeyboard.so" << false
                                          << "freevirtualkeyboard";
    // The file name is no proof: only the plugin's own metadata counts.
    QTest::newRow("decoy file named like the plugin")
        << QString() << "libfreevirtualkeyboardplugin.so" << true << "qtvirtualkeyboard";
    QTest::newRow("nothing installed keeps the named one")
        << QString() << "libfreevirtualkeyboardplugin.so" << false << "freevirtualkeyboard";
}

void tst_InputMethod::choice()
{
    QFETCH(QString, installedFile);
    QFETCH(QString, fileName);
    QFETCH(bool, withSystemDir);
    QFETCH(QString, expected);

    QTemporaryDir root;
    QStringList dirs;
    if (!fileName.isEmpty()) {
        const QString dir = pluginDir(root, installedFile, fileName);
        QVERIFY(!dir.isEmpty());
        dirs << dir;
    }
    if (withSystemDir)
        dirs << QLibraryInfo::location(QLibraryInfo::PluginsPath);

    QCOMPARE(InputMethod::choose(dirs), expected);
    QCOMPARE(InputMethod::installed("freevirtualkeyboard", dirs), expected == "freevirtualkeyboard" && !installedFile.isEmpty());
}

void tst_InputMethod::selectSetsTheEnvironment()
{
    QTemporaryDir root;
    const QString dir = pluginDir(root, FAKE_KEYBOARD_PLUGIN, "libfakekeyboard.so");
    QVERIFY(!dir.isEmpty());

    qputenv("QT_PLUGIN_PATH", dir.toLocal8Bit());
    QCOMPARE(InputMethod::select(), QString("freevirtualkeyboard"));
    QCOMPARE(qgetenv("QT_IM_MODULE"), QByteArray("freevirtualkeyboard"));

    qunsetenv("QT_PLUGIN_PATH");
    QCOMPARE(InputMethod::select(), QString("qtvirtualkeyboard"));
    QCOMPARE(qgetenv("QT_IM_MODULE"), QByteArray("qtvirtualkeyboard"));
}

QTEST_GUILESS_MAIN(tst_InputMethod)
#include "tst_InputMethod.moc"
