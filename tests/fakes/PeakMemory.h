#pragma once

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

// The most memory the process has held since this object was made, over what it held then.
// The kernel's high-water mark is reset to the current size first, so that earlier tests of the
// same program do not count.
class PeakMemory
{
public:
    PeakMemory()
    {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        m_reset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
        clear.close();
        m_start = field("VmRSS:");
    }

    // False where the kernel keeps no resettable high-water mark: growth() is then meaningless.
    bool isValid() const { return m_reset && m_start > 0 && field("VmHWM:") > 0; }

    // Bytes of resident memory at the peak beyond those at the start.
    qint64 growth() const { return (field("VmHWM:") - m_start) * 1024; }

private:
    // A "kB" line of /proc/self/status.
    static qint64 field(QByteArray const &name)
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (QByteArray const &line : status.readAll().split('\n')) {
            if (line.startsWith(name))
                return line.mid(name.size()).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

    bool m_reset = false;
    qint64 m_start = 0;
};
