#pragma once

#include <QString>

namespace Backend {

// What of a peer's reply goes into a log line: the start of it, with its length when cut.
inline QString replyLogText(const QString &text)
{
    constexpr int Limit = 2048;
    if (text.size() <= Limit)
        return text;
    return text.left(Limit) + QStringLiteral(" ... (%1 characters)").arg(text.size());
}

} // namespace Backend
