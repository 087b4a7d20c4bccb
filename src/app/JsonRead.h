#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <cmath>
#include <limits>

// Lenient readers for documents from outside: a missing key or a value of
// another JSON type reads as the default, never as an error.
namespace JsonRead {

inline QString text(const QJsonValue &v)
{
    return v.isString() ? v.toString() : QString();
}

// 0 unless the value is a number holding a whole number that fits an int.
inline int integer(const QJsonValue &v)
{
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d))
        return 0;
    if (d < double(std::numeric_limits<int>::min()) || d > double(std::numeric_limits<int>::max()))
        return 0;
    return int(d);
}

// Only JSON true is true.
inline bool isTrue(const QJsonValue &v)
{
    return v.isBool() && v.toBool();
}

inline QJsonObject object(const QJsonValue &v)
{
    return v.isObject() ? v.toObject() : QJsonObject();
}

inline QJsonArray array(const QJsonValue &v)
{
    return v.isArray() ? v.toArray() : QJsonArray();
}

} // namespace JsonRead
