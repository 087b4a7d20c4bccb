#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

// One entry of the operator event log. It never changes once made.
class Event : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString category READ category NOTIFY categoryChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(QString description READ description NOTIFY descriptionChanged)
    Q_PROPERTY(QDateTime timestamp READ timestamp NOTIFY timestampChanged)

public:
    explicit Event(QObject *parent = nullptr);
    Event(const QString &category, const QString &name, const QString &description, const QDateTime &timestamp,
          QObject *parent = nullptr);

    QString category() const { return m_category; }
    QString name() const { return m_name; }
    QString description() const { return m_description; }
    QDateTime timestamp() const { return m_timestamp; }

signals:
    void categoryChanged();
    void nameChanged();
    void descriptionChanged();
    void timestampChanged();

private:
    QString m_category;
    QString m_name;
    QString m_description;
    QDateTime m_timestamp;
};
