#pragma once

#include <QObject>
#include <QSharedPointer>

#include "camera/ZIDReadingFields.h"

// What one recognition camera last reported: its latest result, its latest
// heartbeat and its device information. A plain value holder; every field has
// a getter, a change-only setter and a change signal, all generated from
// ZID_READING_FIELDS.
class ZIDReading : public QObject
{
    Q_OBJECT

public:
    explicit ZIDReading(QObject *parent = nullptr);
    ~ZIDReading() override;

#define ZID_READING_GETTER(Type, name, Name, init) \
    const Type &name() const { return m_##name; }
    ZID_READING_FIELDS(ZID_READING_GETTER)
#undef ZID_READING_GETTER

    // Resets the result fields (plate list and container), leaving heartbeat
    // and device fields alone.
    void clearValues();

    // A parentless copy of every field, taken now and changed by nobody.
    QSharedPointer<const ZIDReading> snapshot() const;

public:
#define ZID_READING_SETTER(Type, name, Name, init) void set##Name(const Type &value);
    ZID_READING_FIELDS(ZID_READING_SETTER)
#undef ZID_READING_SETTER

signals:
#define ZID_READING_SIGNAL(Type, name, Name, init) void name##Changed();
    ZID_READING_FIELDS(ZID_READING_SIGNAL)
#undef ZID_READING_SIGNAL

private:
#define ZID_READING_MEMBER(Type, name, Name, init) Type m_##name;
    ZID_READING_FIELDS(ZID_READING_MEMBER)
#undef ZID_READING_MEMBER
};
