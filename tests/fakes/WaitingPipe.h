#pragma once

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// A named pipe whose writer waits for a reader. Code that opens it blocking gets in at once
// (and reads its end) instead of hanging the test for ever; code that opens it without blocking
// lets the writer go as well. Whatever waits still goes with the object.
class WaitingPipe
{
public:
    explicit WaitingPipe(QString const &path)
        : m_path(QFile::encodeName(path))
    {
        if (::mkfifo(m_path.constData(), 0600) != 0)
            return;
        m_writer = std::thread([path = m_path]() {
            int const fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
        });
    }

    ~WaitingPipe()
    {
        if (!m_writer.joinable())
            return;
        // A writer still waiting is let go by a reader of our own.
        int const fd = ::open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        m_writer.join();
        if (fd >= 0)
            ::close(fd);
    }

    WaitingPipe(WaitingPipe const &) = delete;
    WaitingPipe &operator=(WaitingPipe const &) = delete;

    bool isValid() const { return m_writer.joinable(); }

private:
    QByteArray m_path;
    std::thread m_writer;
};
