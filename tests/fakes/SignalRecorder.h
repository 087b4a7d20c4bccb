#pragma once

#include <QMetaMethod>
#include <QObject>
#include <QString>
#include <QStringList>

// Records the names of every signal an object's own class declares, in emission order.
class SignalRecorder : public QObject
{
    Q_OBJECT
public:
    explicit SignalRecorder(QObject *watched)
    {
        const QMetaObject *meta = watched->metaObject();
        const int slot = metaObject()->indexOfSlot("record()");
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                QMetaObject::connect(watched, i, this, slot);
    }
    // Recorded names joined by blanks; clears the record.
    QString take()
    {
        const QString out = names.join(QLatin1Char(' '));
        names.clear();
        return out;
    }
    QStringList names;

public slots:
    void record() { names << QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name()); }
};
