#include "devices/IPv4.h"

const QStringList &IPv4::keys()
{
    static const QStringList names{QStringLiteral("address"), QStringLiteral("netmask"), QStringLiteral("gateway"),
                                   QStringLiteral("dns0"), QStringLiteral("dns1")};
    return names;
}

IPv4::IPv4(QObject *parent)
    : QObject(parent)
{
}

IPv4::~IPv4() = default;

void IPv4::set(const QString &key, const QString &text, void (IPv4::*changed)())
{
    // A key once set holds a text, empty or not, so the map compares like the getters.
    const bool same = value(key) == text;
    m_values.insert(key, text);
    if (!same)
        emit(this->*changed)();
}

void IPv4::setAddress(const QString &address)
{
    set(QStringLiteral("address"), address, &IPv4::addressChanged);
}

void IPv4::setMask(const QString &mask)
{
    set(QStringLiteral("netmask"), mask, &IPv4::maskChanged);
}

void IPv4::setGateway(const QString &gateway)
{
    set(QStringLiteral("gateway"), gateway, &IPv4::gatewayChanged);
}

void IPv4::setDns0(const QString &dns0)
{
    set(QStringLiteral("dns0"), dns0, &IPv4::dns0Changed);
}

void IPv4::setDns1(const QString &dns1)
{
    set(QStringLiteral("dns1"), dns1, &IPv4::dns1Changed);
}

IPv4 &IPv4::fromMap(const QVariantMap &map)
{
    setAddress(map.value(QStringLiteral("address")).toString());
    setMask(map.value(QStringLiteral("netmask")).toString());
    setGateway(map.value(QStringLiteral("gateway")).toString());
    setDns0(map.value(QStringLiteral("dns0")).toString());
    setDns1(map.value(QStringLiteral("dns1")).toString());
    return *this;
}

bool IPv4::sameAs(const QVariantMap &map) const
{
    for (const QString &key : keys())
        if (map.value(key).toString() != value(key))
            return false;
    return true;
}
