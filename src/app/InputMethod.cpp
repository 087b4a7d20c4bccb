#include "app/InputMethod.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>

const char *const InputMethod::Preferred = "freevirtualkeyboard";
const char *const InputMethod::Fallback = "qtvirtualkeyboard";
const char *const InputMethod::PluginIid = "org.qt-project.Qt.QPlatformInputContextFactoryInterface.5.1";

QString InputMethod::choose(const QStringList &pluginDirs)
{
    for (const char *key : {Preferred, Fallback}) {
        if (installed(QString::fromLatin1(key), pluginDirs))
            return QString::fromLatin1(key);
    }
    return QString::fromLatin1(Preferred);
}

bool InputMethod::installed(const QString &key, const QStringList &pluginDirs)
{
    for (const QString &dir : pluginDirs) {
        const QDir contexts(dir + QStringLiteral("/platforminputcontexts"));
        const QStringList files = contexts.entryList(QDir::Files | QDir::Readable);
        for (const QString &file : files) {
            // Reads the metadata without loading the library.
            const QJsonObject meta = QPluginLoader(contexts.filePath(file)).metaData();
            if (meta.value(QStringLiteral("IID")).toString() != QLatin1String(PluginIid))
                continue;
            const QJsonArray keys = meta.value(QStringLiteral("MetaData")).toObject().value(QStringLiteral("Keys")).toArray();
            for (const QJsonValue &candidate : keys) {
                if (candidate.toString().compare(key, Qt::CaseInsensitive) == 0)
                    return true;
            }
        }
    }
    return false;
}

QStringList InputMethod::pluginDirs()
{
    QStringList dirs = QString::fromLocal8Bit(qgetenv("QT_PLUGIN_PATH")).split(QDir::listSeparator(), Qt::SkipEmptyParts);
    dirs << QLibraryInfo::location(QLibraryInfo::PluginsPath);
    return dirs;
}

QString InputMethod::select()
{
    const QString module = choose(pluginDirs());
    qputenv("QT_IM_MODULE", module.toLatin1());
    return module;
}
