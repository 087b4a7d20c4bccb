#include "camera/ZIDReading.h"

ZIDReading::ZIDReading(QObject *parent)
    : QObject(parent)
#define ZID_READING_INIT(Type, name, Name, init) , m_##name(init)
    ZID_READING_FIELDS(ZID_READING_INIT)
#undef ZID_READING_INIT
{
}

ZIDReading::~ZIDReading() = default;

// Plain equality of the type: empty and null texts are equal, a NaN never is.
#define ZID_READING_SETTER(Type, name, Name, init) \
    void ZIDReading::set##Name(const Type &value)  \
    {                                              \
        if (m_##name == value)                     \
            return;                                \
        m_##name = value;                          \
        emit name##Changed();                      \
    }
ZID_READING_FIELDS(ZID_READING_SETTER)
#undef ZID_READING_SETTER

void ZIDReading::clearValues()
{
    setPlate(QString());
    setId(QString());
    setCountry(QString());
    setBlacklist(QString());
    setWhitelist(QString());
    setVehicleMake(QString());
    setVehicleModel(QString());
    setVehicleColor(QString());
    setImageId(QString());
    setDate(QDateTime());
    setIp(QString());
    setType(QString());
    setContainerConfidence(-1.0);
    setContainerProcessingTime(-1);
    setContainerDate(QDateTime());
    setContainerCode(QString());
    setContainerSizeCode(QString());
}

QSharedPointer<const ZIDReading> ZIDReading::snapshot() const
{
    QSharedPointer<ZIDReading> copy(new ZIDReading);
#define ZID_READING_COPY(Type, name, Name, init) copy->m_##name = m_##name;
    ZID_READING_FIELDS(ZID_READING_COPY)
#undef ZID_READING_COPY
    return copy;
}
