#include "devices/Connection.h"

#include "app/PropertySetter.h"

namespace manager {

Connection::Connection(QObject *parent)
    : QObject(parent)
{
}

Connection::Connection(const QVariantMap &map, QObject *parent)
    : QObject(parent)
{
    fromMap(map);
}

Connection::~Connection() = default;

Connection &Connection::fromMap(const QVariantMap &map)
{
    apply(map);
    return *this;
}

bool Connection::apply(const QVariantMap &map)
{
    bool changed = PropertySetter::set(this, m_interface, map.value(QStringLiteral("interface")).toString(), &Connection::interfaceChanged);
    changed |= PropertySetter::set(this, m_state, map.value(QStringLiteral("stateStr")).toString(), &Connection::stateChanged);
    changed |= PropertySetter::set(this, m_type, map.value(QStringLiteral("typeStr")).toString(), &Connection::typeChanged);
    const QVariantMap ipv4 = map.value(QStringLiteral("ipv4")).toMap();
    if (!m_ipv4.sameAs(ipv4)) {
        m_ipv4.fromMap(ipv4);
        emit ipv4Changed();
        changed = true;
    }
    return changed;
}

} // namespace manager
