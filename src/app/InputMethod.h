#pragma once

#include <QString>
#include <QStringList>

// Chooses the on-screen keyboard's input method. Qt reads QT_IM_MODULE only
// while it creates the application object, so select() runs before that.
class InputMethod
{
public:
    // The keyboard the screens are made for, and Debian's Qt Virtual Keyboard.
    static const char *const Preferred;
    static const char *const Fallback;
    // What plugins of both name in their metadata.
    static const char *const PluginIid;

    // The first of Preferred and Fallback that a plugin under the directories
    // provides; Preferred when neither is installed.
    static QString choose(const QStringList &pluginDirs);
    // Whether a platform input context plugin under <dir>/platforminputcontexts
    // of one of the directories offers the key.
    static bool installed(const QString &key, const QStringList &pluginDirs);
    // Where Qt looks for plugins: QT_PLUGIN_PATH, then Qt's own directory.
    static QStringList pluginDirs();
    // Sets QT_IM_MODULE to the chosen input method and returns it.
    static QString select();
};
