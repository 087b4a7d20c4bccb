#pragma once

#include "fakes/ConfigHome.h"

#include <QDir>
#include <QString>
#include <QTemporaryDir>

// A fresh folder that holds the store: the working directory (where "terminal.db" goes) and
// the user settings (where the API key goes) while it exists.
class StoreDir
{
public:
    StoreDir()
        : m_previous(QDir::currentPath())
        , m_home(settingsPath())
    {
        QDir::setCurrent(m_dir.path());
    }
    ~StoreDir() { QDir::setCurrent(m_previous); }
    StoreDir(const StoreDir &) = delete;
    StoreDir &operator=(const StoreDir &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    QString settingsPath() const { return m_dir.filePath(QStringLiteral("settings")); }
    // Where the API key is written.
    QString apiKeyFile() const { return settingsPath() + QStringLiteral("/vesk/vorn-card-bo.conf"); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
    ConfigHome m_home;
};
