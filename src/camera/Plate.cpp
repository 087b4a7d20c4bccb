#include "camera/Plate.h"

#include "app/LogQuote.h"

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

    qInfo().noquote().nospace() << "[ZIDCamera] " << "Plate : " << LogQuote::quote(r->plate())
                                << ", Country : " << LogQuote::quote(r->country())
                                << ", Confidence : " << r->confidence() << ", Direction : " << r->direction()
                                << ", Directionstr : " << LogQuote::quote(r->directionStr())
                                << ", Id : " << LogQuote::quote(r->id())
                                << ", Imageid : " << LogQuote::quote(r->imageId())
                                << ", Blacklist : " << LogQuote::quote(r->blacklist())
                                << ", Whitelist : " << LogQuote::quote(r->whitelist())
                                << ", Utcdate : " << r->utcDate().toString(Qt::ISODateWithMs) << ", IP : " << r->ip();
    return true;
}
