#include "fakes/LogCapture.h"

#include <QMutexLocker>

namespace {
LogCapture *s_active = nullptr;
QRecursiveMutex s_activeMutex; // the chained handler may log again
}

LogCapture::LogCapture()
{
    QMutexLocker lock(&s_activeMutex);
    s_active = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&s_activeMutex);
    qInstallMessageHandler(m_previous);
    s_active = nullptr;
}

void LogCapture::handler(QtMsgType type, QMessageLogContext const &context, QString const &text)
{
    QMutexLocker lock(&s_activeMutex);
    if (!s_active)
        return;
    {
        QMutexLocker lines(&s_active->m_mutex);
        s_active->m_lines.append({type, text, QString::fromLatin1(context.category ? context.category : "default")});
    }
    if (s_active->m_previous)
        s_active->m_previous(type, context, text);
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QStringList LogCapture::texts() const
{
    QStringList out;
    for (Line const &line : lines())
        out << line.text;
    return out;
}

QStringList LogCapture::texts(QtMsgType type) const
{
    QStringList out;
    for (Line const &line : lines()) {
        if (line.type == type)
            out << line.text;
    }
    return out;
}

int LogCapture::count(QtMsgType type, QString const &fragment) const
{
    int n = 0;
    for (Line const &line : lines()) {
        if (line.type == type && line.text.contains(fragment))
            ++n;
    }
    return n;
}

QStringList LogCapture::startingWith(QString const &prefix) const
{
    QStringList out;
    for (Line const &line : lines()) {
        if (line.text.startsWith(prefix))
            out << line.text;
    }
    return out;
}

QStringList LogCapture::startingWith(QString const &prefix, QtMsgType type) const
{
    QStringList out;
    for (Line const &line : lines()) {
        if (line.type == type && line.text.startsWith(prefix))
            out << line.text;
    }
    return out;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}
