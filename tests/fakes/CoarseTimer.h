#pragma once

#include <QtGlobal>

// The earliest a Qt::CoarseTimer (the default of QTimer, and of QTimer::singleShot from 2 s up)
// of msec under 20 s fires after it was started, as QElapsedTimer::elapsed() reads it. Qt moves
// the wake-up to a rounder time up to 5 % of the interval early, and it rounds from whole
// milliseconds, which costs up to one more: a 3000 ms time-out can end after 2849 ms.
constexpr qint64 coarseTimerEarliest(qint64 msec)
{
    return msec - msec / 20 - 1;
}
