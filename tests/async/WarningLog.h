#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

// Records every warning logged while it exists (from any thread).
class WarningLog
{
public:
    WarningLog()
    {
        instance() = this;
        m_previous = qInstallMessageHandler(&WarningLog::handler);
    }
    ~WarningLog()
    {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }

    QStringList warnings() const
    {
        QMutexLocker locker(&m_mutex);
        return m_warnings;
    }

    int count(const QString& text) const { return warnings().count(text); }

private:
    static WarningLog*& instance()
    {
        static WarningLog* current = nullptr;
        return current;
    }

    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        WarningLog* self = instance();
        if (self && type == QtWarningMsg) {
            QMutexLocker locker(&self->m_mutex);
            self->m_warnings << message;
        }
        if (self && self->m_previous)
            self->m_previous(type, context, message);
    }

    mutable QMutex m_mutex;
    QStringList m_warnings;
    QtMessageHandler m_previous = nullptr;
};
