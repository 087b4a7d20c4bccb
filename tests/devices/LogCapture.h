#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the log lines written while it lives (and still passes them on to the previous
// handler), so a test can check which lines a class wrote, and that it wrote none.
class LogCapture
{
public:
    LogCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Lines that start with prefix, of the given type.
    QStringList lines(const QString &prefix, QtMsgType type) const
    {
        QStringList out;
        for (const auto &entry : m_entries)
            if (entry.first == type && entry.second.startsWith(prefix))
                out << entry.second;
        return out;
    }
    // Lines that start with prefix, of any type.
    QStringList lines(const QString &prefix) const
    {
        QStringList out;
        for (const auto &entry : m_entries)
            if (entry.second.startsWith(prefix))
                out << entry.second;
        return out;
    }
    void clear() { m_entries.clear(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (s_current) {
            s_current->m_entries.append({type, message});
            if (s_current->m_previous)
                s_current->m_previous(type, context, message);
        }
    }

    static inline LogCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QList<QPair<QtMsgType, QString>> m_entries;
};
