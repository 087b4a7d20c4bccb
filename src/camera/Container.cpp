#include "camera/Container.h"

#include "app/LogQuote.h"

#include <QtDebug>

Container::Container(const QUrl &url, QObject *parent)
    : ZIDCamera(url, parent)
{
}

bool Container::processData(const QByteArray &body)
{
    qInfo().noquote().nospace() << "[ZIDCamera] " << typeTag() << "Container::processData";
    QVariantMap map;
    if (!toMap(body, map))
        return false;

    ZIDReading *r = reading();
    r->setContainerCode(map.value("code").toString());
    r->setContainerDate(toDateTime(map.value("date")));
    r->setContainerConfidence(map.value("confidence").toDouble());
    r->setContainerProcessingTime(map.value("processingtime").toInt());
    r->setContainerSizeCode(map.value("sizecode").toString());
    r->setIp(host());
    r->setType(type());

    qInfo().noquote().nospace() << "[ZIDCamera] " << "Code : " << LogQuote::quote(r->containerCode())
                                << ", Date : " << r->containerDate().toString(Qt::ISODateWithMs)
                                << ", Confidence : " << r->containerConfidence()
                                << ", Processingtime : " << r->containerProcessingTime()
                                << ", SizeCode : " << LogQuote::quote(r->containerSizeCode()) << ", IP : " << r->ip();
    return true;
}
