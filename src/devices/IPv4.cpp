#include "devices/IPv4.h"

#include <QtGlobal>

#include <optional>

namespace {

const QString NoGateway = QStringLiteral("0.0.0.0");

// Four decimal numbers from 0 to 255, dot-separated, without leading zeros; nothing else.
std::optional<quint32> parse(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    quint32 value = 0;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.at(0) == QLatin1Char('0')))
            return std::nullopt;
        int number = 0;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
            number = number * 10 + (c.unicode() - '0');
        }
        if (number > 255)
            return std::nullopt;
        value = value << 8 | quint32(number);
    }
    return value;
}

bool isLoopback(quint32 value)
{
    return value >> 24 == 127;
}

bool isMulticast(quint32 value)
{
    return value >> 28 == 0xE;
}

const quint32 AllOnes = 0xFFFFFFFFu;

} // namespace

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

bool IPv4::isAddressText(const QString &text) const
{
    return text.isEmpty() || parse(text).has_value();
}

QString IPv4::effectiveGateway() const
{
    return gateway() == NoGateway ? QString() : gateway();
}

// The texts are those of the configuration page's translation context.
QString IPv4::problem() const
{
    if (address().isEmpty())
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 address cannot be empty in 'manual' mode"));
    if (mask().isEmpty())
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 netmask cannot be empty in 'manual' mode"));
    const struct
    {
        QString text;
        const char *invalid;
    } fields[] = {
        {address(), QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 address is not a valid IP address")},
        {mask(), QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 netmask is not a valid IP address")},
        {gateway(), QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 gateway is not a valid IP address")},
        {dns0(), QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #0 is not a valid IP address")},
        {dns1(), QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #1 is not a valid IP address")},
    };
    for (const auto &field : fields) {
        if (!isAddressText(field.text))
            return QString::fromLatin1(field.invalid);
    }

    // A mask with holes or none, a host that is no host, a gateway it cannot reach or that is
    // no router: each would cut the terminal off the network.
    const quint32 mask = *parse(this->mask());
    const quint32 hosts = ~mask;
    if (mask == 0 || (hosts & (hosts + 1)) != 0)
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 netmask is not a valid netmask"));
    const quint32 host = *parse(address());
    if (host == 0)
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 address cannot be 0.0.0.0"));
    if (isLoopback(host))
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 address cannot be a loopback address (127.0.0.0/8)"));
    if (isMulticast(host))
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 address cannot be a multicast address (224.0.0.0/4)"));
    if (host == AllOnes)
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 address cannot be 255.255.255.255"));
    const quint32 network = host & mask;
    const quint32 broadcast = network | hosts;
    // A /31 or /32 has no network or broadcast address of its own.
    const auto reserved = [&](quint32 value) { return hosts > 1 && (value == network || value == broadcast); };
    if (reserved(host))
        return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 address cannot be the network or broadcast address"));

    if (!effectiveGateway().isEmpty()) {
        const quint32 router = *parse(gateway());
        if (router == host)
            return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 gateway cannot be the terminal's own address"));
        if (isLoopback(router))
            return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 gateway cannot be a loopback address (127.0.0.0/8)"));
        if (isMulticast(router))
            return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 gateway cannot be a multicast address (224.0.0.0/4)"));
        if (router == AllOnes)
            return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 gateway cannot be 255.255.255.255"));
        // A /32 reaches its gateway by a route of its own, outside its subnet.
        if (hosts != 0 && (router & mask) != network)
            return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 gateway is outside the subnet"));
        if (reserved(router))
            return QStringLiteral(QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 gateway cannot be the network or broadcast address"));
    }

    // A resolver on the terminal itself (127.0.0.53, say) is a server like any other; the
    // subnet's broadcast address is none (the resolver may not send there), nor its network.
    const struct
    {
        QString text;
        const char *unspecified;
        const char *allOnes;
        const char *multicast;
        const char *reserved;
    } servers[] = {
        {dns0(), QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #0 cannot be 0.0.0.0"),
         QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #0 cannot be 255.255.255.255"),
         QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #0 cannot be a multicast address (224.0.0.0/4)"),
         QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #0 cannot be the network or broadcast address")},
        {dns1(), QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #1 cannot be 0.0.0.0"),
         QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #1 cannot be 255.255.255.255"),
         QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #1 cannot be a multicast address (224.0.0.0/4)"),
         QT_TRANSLATE_NOOP("EthernetConfig", "IPv4 DNS #1 cannot be the network or broadcast address")},
    };
    for (const auto &server : servers) {
        if (server.text.isEmpty())
            continue;
        const quint32 value = *parse(server.text);
        if (value == 0)
            return QString::fromLatin1(server.unspecified);
        if (value == AllOnes)
            return QString::fromLatin1(server.allOnes);
        if (isMulticast(value))
            return QString::fromLatin1(server.multicast);
        if (reserved(value))
            return QString::fromLatin1(server.reserved);
    }
    return QString();
}
