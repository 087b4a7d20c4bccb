#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The user's settings folder (XDG_CONFIG_HOME, where the API key goes) pointed at a folder of
// the test's own while the object lives, so that no test reads or writes the user's own.
class ConfigHome
{
public:
    explicit ConfigHome(const QString &folder)
        : m_had(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
        , m_previous(qgetenv("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", folder.toLocal8Bit());
    }
    ~ConfigHome()
    {
        if (m_had)
            qputenv("XDG_CONFIG_HOME", m_previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    ConfigHome(const ConfigHome &) = delete;
    ConfigHome &operator=(const ConfigHome &) = delete;

private:
    bool m_had;
    QByteArray m_previous;
};
