#include "camera/Plate.h"

#include <QtDebug>

Plate::Plate(const QUrl &url, QObject *parent)
    : ZIDCamera(url, parent)
{
}

bool Plate::processData(const QByteArray &body)
{
    qInfo().noquote().nospace() << "[ZIDCamera] " << typeTag() << "Plate::processData";
    QVariantMap map;
    if (!toMap(body, map))
        return false;

    ZIDReading *r = reading();
    r->setPlate(map.value("plate").toString());
    r->setCountry(map.value("country").toString());
    r->setConfidence(map.value("confidence").toDouble());
    r->setDirection(map.value("direction").toInt());
    r->setDirectionStr(map.value("directionstr").toString());
    r->setId(map.value("id").toString());
    r->setImageId(map.value("imageid").toString());
    r->setBlacklist(map.value("blacklist").toString());
    r->setWhitelist(map.value("whitelist").toString());
    r->setUtcDate(toDateTime(map.value("utcdate")));
    r->setIp(host());
    r->setType(type());

    qInfo().noquote().nospace() << "[ZIDCamera] " << "Plate : " << r->plate() << ", Country : " << r->country()
                                << ", Confidence : " << r->confidence() << ", Direction : " << r->direction()
                                << ", Directionstr : " << r->directionStr() << ", Id : " << r->id()
                                << ", Imageid : " << r->imageId() << ", Blacklist : " << r->blacklist()
                                << ", Whitelist : " << r->whitelist()
                                << ", Utcdate : " << r->utcDate().toString(Qt::ISODateWithMs) << ", IP : " << r->ip();
    return true;
}
