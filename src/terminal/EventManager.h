#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVariant>

class Config;
class Event;

// The operator event log: application start, maintenance log-ins and
// log-outs. Kept in "events.ini" beside the program (see EventLogFile), purged
// of entries older than 30 days at start-up, and offered to the event-log
// screen as a filtered list, newest first.
class EventManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant data READ data NOTIFY dataChanged)

public:
    static constexpr int MaxLoaded = 1000;
    static constexpr int RetentionDays = 30;
    // Unusable logs kept aside, the newest first: "<file>.bad", "<file>.bad.1", ...
    static constexpr int KeptAside = 3;

    explicit EventManager(Config &config, QObject *parent = nullptr);
    // The same on a file of the caller's choice.
    EventManager(Config &config, const QString &fileName, QObject *parent = nullptr);
    ~EventManager() override;

    // The log file beside the program.
    static QString defaultFileName();
    QString fileName() const { return m_fileName; }

    // The filtered events as "QList<QObject*>", newest first.
    QVariant data() const;
    // Every held event, oldest first.
    QList<Event *> events() const { return m_events; }

public slots:
    void push(Event *event);
    void clear(const QDateTime &before);
    void clear();
    void applyFilter(const QString &name);
    void applyFilter(int severity);
    void applyFilter(const QDateTime &from, const QDateTime &to = QDateTime());
    void applyFilterPeriod(const QString &period);

signals:
    void dataChanged();

private:
    // Takes the file's events before those held, or moves an unusable file aside; false (logged)
    // while what is in the file's place can be neither read nor moved.
    bool load();
    void save();
    // Moves what is in the file's place aside, as "<file>.bad", the earlier ones one number up
    // and the oldest beyond KeptAside removed; false (logged) when it stays where it is.
    bool setAside(const QString &reason);
    // Drops the events stamped at or before `before`; how many.
    int purge(const QDateTime &before);
    void update();
    void release(Event *event);
    // The bounds of a named period as of now; both invalid for a name it does not know.
    static QPair<QDateTime, QDateTime> periodBounds(const QString &period);

    Config &m_config;
    QString m_fileName;
    // What is in the file's place was neither read nor moved aside: it may hold events, so
    // nothing is written over it until it is.
    bool m_unsettled = false;
    QList<Event *> m_events;
    QList<QObject *> m_filtered;
    int m_severity = 0;
    QString m_nameFilter;
    QDateTime m_from;
    QDateTime m_to;
    // The named period the bounds come from: taken again as of now at every update.
    QString m_period;
};
