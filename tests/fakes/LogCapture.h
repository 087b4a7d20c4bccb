#pragma once

#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every Qt log line (from any thread) while it exists; lines still reach the previous
// handler, so test output keeps them. One instance at a time.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QString text;
        // The logging category: "default" for plain qDebug() and the like, "qml" for a page's console.
        QString category;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(LogCapture const &) = delete;
    LogCapture &operator=(LogCapture const &) = delete;

    QList<Line> lines() const;
    // Texts of the lines of one type (all types when none is given), in order.
    QStringList texts() const;
    QStringList texts(QtMsgType type) const;
    // Lines of the type whose text contains the fragment.
    int count(QtMsgType type, QString const &fragment) const;
    bool contains(QtMsgType type, QString const &fragment) const { return count(type, fragment) > 0; }
    // Texts that start with the prefix, of any type or of one type, in order.
    QStringList startingWith(QString const &prefix) const;
    QStringList startingWith(QString const &prefix, QtMsgType type) const;
    void clear();

private:
    static void handler(QtMsgType type, QMessageLogContext const &context, QString const &text);

    mutable QMutex m_mutex;
    QList<Line> m_lines;
    QtMessageHandler m_previous = nullptr;
};
