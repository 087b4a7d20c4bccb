#include "app/RegularFile.h"

#include "fakes/WaitingPipe.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Status = RegularFile::Contents::Status;
Q_DECLARE_METATYPE(RegularFile::Links)
Q_DECLARE_METATYPE(Status)

namespace {

constexpr qint64 Bound = 100;

bool put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

mode_t permissions(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

mode_t currentUmask()
{
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

} // namespace

class tst_RegularFile : public QObject
{
    Q_OBJECT

private slots:
    void reads_data();
    void reads();
    void catchesGrowthWhileRead_data();
    void catchesGrowthWhileRead();
    void readsTheHead_data();
    void readsTheHead();
    void replaces_data();
    void replaces();
    void replacesALinkNotItsTarget();
    void failureLeavesTheOldFile();
    void throughLink_data();
    void throughLink();
};

void tst_RegularFile::reads_data()
{
    QTest::addColumn<QString>("kind");   // what stands at the name
    QTest::addColumn<RegularFile::Links>("links");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("why");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<bool>("missing");

    const auto follow = RegularFile::FollowLinks;
    const auto refuse = RegularFile::RefuseLinks;
    const QByteArray full(int(Bound), 'x');
    const QString irregular = QStringLiteral("not a regular file");
    const QString noSuchFile = QString::fromLocal8Bit(std::strerror(ENOENT));

    QTest::newRow("regular file at the bound") << "full" << follow << Status::Read << full << "" << true << false;
    QTest::newRow("empty file") << "empty" << refuse << Status::Read << QByteArray() << "" << true << false;
    QTest::newRow("one byte over the bound")
        << "over" << follow << Status::TooLarge << QByteArray() << "larger than 100 bytes" << false << false;
    QTest::newRow("pipe without a writer") << "fifo" << follow << Status::Irregular << QByteArray() << irregular << false << false;
    QTest::newRow("pipe whose writer waits") << "waiting fifo" << follow << Status::Irregular << QByteArray() << irregular << false << false;
    QTest::newRow("endless device") << "/dev/zero" << follow << Status::Irregular << QByteArray() << irregular << false << false;
    QTest::newRow("folder") << "folder" << follow << Status::Irregular << QByteArray() << irregular << false << false;
    QTest::newRow("link followed") << "link" << follow << Status::Read << full << "" << true << false;
    QTest::newRow("link refused") << "link" << refuse << Status::Irregular << QByteArray() << irregular << false << false;
    QTest::newRow("link to a device followed, not opened")
        << "device link" << follow << Status::Irregular << QByteArray() << irregular << false << false;
    QTest::newRow("link to a pipe followed, not opened")
        << "fifo link" << follow << Status::Irregular << QByteArray() << irregular << false << false;
    QTest::newRow("link to nothing is there, not missing")
        << "dangling link" << follow << Status::Failed << QByteArray() << noSuchFile << false << false;
    QTest::newRow("missing file") << "missing" << follow << Status::Failed << QByteArray() << noSuchFile << false << true;
    QTest::newRow("missing file, refusing links")
        << "missing" << refuse << Status::Failed << QByteArray() << noSuchFile << false << true;
    QTest::newRow("a file where a folder should be") << "under a file" << follow << Status::Failed << QByteArray()
                                                     << QString::fromLocal8Bit(std::strerror(ENOTDIR)) << false << true;
}

// Only a regular file within the bound is read; nothing else is even opened, so that neither a
// pipe nor a device can hold or flood the reader, and a link is what the caller says it is.
void tst_RegularFile::reads()
{
    QFETCH(QString, kind);
    QFETCH(RegularFile::Links, links);
    QFETCH(Status, status);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    QFETCH(bool, opened);
    QFETCH(bool, missing);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath(QStringLiteral("file"));
    const QString regular = dir.filePath(QStringLiteral("regular"));
    QVERIFY(put(regular, QByteArray(int(Bound), 'x')));
    std::unique_ptr<WaitingPipe> waiting;
    if (kind == "full" || kind == "empty" || kind == "over") {
        QVERIFY(put(path, QByteArray(kind == "empty" ? 0 : int(Bound) + (kind == "over" ? 1 : 0), 'x')));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "waiting fifo") {
        waiting = std::make_unique<WaitingPipe>(path);
        QVERIFY(waiting->isValid());
    } else if (kind.startsWith('/')) {
        path = kind;
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == "link") {
        QVERIFY(QFile::link(regular, path));
    } else if (kind == "device link") {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    } else if (kind == "fifo link") {
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(QFile::link(fifo, path));
    } else if (kind == "dangling link") {
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), path));
    } else if (kind == "under a file") {
        path = regular + QStringLiteral("/file");
    } else {
        QCOMPARE(kind, QStringLiteral("missing"));
    }

    bool hooked = false;
    const RegularFile::Contents file =
        RegularFile::read(path, Bound, links, [&](int, const RegularFile::Contents &) { hooked = true; });
    QCOMPARE(file.status, status);
    QCOMPARE(file.bytes, bytes);
    QCOMPARE(file.why(Bound), why);
    QCOMPARE(file.opened, opened);
    QCOMPARE(file.missing, missing);
    QCOMPARE(file.link, kind.endsWith(QStringLiteral("link")));
    // The caller's look at the descriptor comes only before bytes that will be taken.
    QCOMPARE(hooked, status == Status::Read);
}

void tst_RegularFile::catchesGrowthWhileRead_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("grown");
    QTest::addColumn<Status>("status");

    QTest::newRow("grows to the bound") << 10 << int(Bound) << Status::Read;
    QTest::newRow("grows one byte past the bound") << 10 << int(Bound) + 1 << Status::TooLarge;
    QTest::newRow("empty, grows far past the bound") << 0 << int(Bound) * 50 << Status::TooLarge;
}

// The size checked is the size when opened; bytes written after that are counted as they are read.
void tst_RegularFile::catchesGrowthWhileRead()
{
    QFETCH(int, start);
    QFETCH(int, grown);
    QFETCH(Status, status);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("growing"));
    QVERIFY(put(path, QByteArray(start, 'a')));

    bool appended = false;
    const RegularFile::Contents file =
        RegularFile::read(path, Bound, RegularFile::RefuseLinks, [&](int, const RegularFile::Contents &seen) {
            appended = seen.info.st_size == start && put(path, QByteArray(grown, 'b'));
        });
    QVERIFY(appended);
    QCOMPARE(file.status, status);
    QCOMPARE(file.bytes, status == Status::Read ? QByteArray(grown, 'b') : QByteArray());
}

void tst_RegularFile::readsTheHead_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("size");
    QTest::addColumn<Status>("status");
    QTest::addColumn<int>("taken");

    QTest::newRow("shorter than the head") << "file" << 10 << Status::Read << 10;
    QTest::newRow("as long as the head") << "file" << int(Bound) << Status::Read << int(Bound);
    QTest::newRow("far longer: its head") << "file" << int(Bound) * 80 << Status::Read << int(Bound);
    QTest::newRow("pipe without a writer") << "fifo" << 0 << Status::Irregular << 0;
    QTest::newRow("endless device") << "/dev/zero" << 0 << Status::Irregular << 0;
}

// Only a head that counts is read of a longer file, and still nothing but a regular file.
void tst_RegularFile::readsTheHead()
{
    QFETCH(QString, kind);
    QFETCH(int, size);
    QFETCH(Status, status);
    QFETCH(int, taken);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath(QStringLiteral("head"));
    QByteArray written;
    for (int i = 0; i < size; ++i)
        written += char('a' + i % 26);
    if (kind == "file")
        QVERIFY(put(path, written));
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else
        path = kind;

    const RegularFile::Contents file = RegularFile::readHead(path, Bound);
    QCOMPARE(file.status, status);
    QCOMPARE(file.bytes, written.left(taken));
}

void tst_RegularFile::replaces_data()
{
    QTest::addColumn<int>("oldMode"); // -1: no file there
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("expected");

    const int fresh = int(0666 & ~currentUmask());
    QTest::newRow("mode given, new file") << -1 << 0600 << 0600;
    QTest::newRow("mode given over a wider file") << 0644 << 0600 << 0600;
    QTest::newRow("old mode kept") << 0640 << RegularFile::KeepMode << 0640;
    QTest::newRow("old mode kept, wider than the umask's") << 0666 << RegularFile::KeepMode << 0666;
    QTest::newRow("set-id and sticky bits not kept") << 07755 << RegularFile::KeepMode << 0755;
    QTest::newRow("no old mode to keep") << -1 << RegularFile::KeepMode << fresh;
}

// The new bytes take the old file's place whole, with the mode asked for, and nothing is left
// beside them.
void tst_RegularFile::replaces()
{
    QFETCH(int, oldMode);
    QFETCH(int, mode);
    QFETCH(int, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("target"));
    if (oldMode >= 0) {
        QVERIFY(put(path, "old bytes, longer than the new"));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(oldMode)), 0);
    }

    QString error;
    QVERIFY(RegularFile::replace(path, "new", mode, &error));
    QCOMPARE(error, QString());
    QCOMPARE(contents(path), QByteArray("new"));
    QCOMPARE(int(permissions(path)), expected);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
             QStringList{QStringLiteral("target")});
}

// A link someone put in the file's place is replaced by the file, not written through.
void tst_RegularFile::replacesALinkNotItsTarget()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("target"));
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(put(elsewhere, "not ours"));
    QCOMPARE(::chmod(QFile::encodeName(elsewhere).constData(), 0644), 0);
    QVERIFY(QFile::link(elsewhere, path));

    QString error;
    QVERIFY(RegularFile::replace(path, "ours", RegularFile::KeepMode, &error));
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(contents(path), QByteArray("ours"));
    QCOMPARE(contents(elsewhere), QByteArray("not ours"));
    QCOMPARE(int(permissions(path)), int(0666 & ~currentUmask()));
}

// A write that fails half-way (here: past the process's file size limit, which binds root too)
// leaves the old file as it was and no new one beside it.
void tst_RegularFile::failureLeavesTheOldFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("target"));
    QVERIFY(put(path, "old"));

    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    QString error;
    const bool replaced = RegularFile::replace(path, QByteArray(5000, 'n'), 0600, &error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    QVERIFY(!replaced);
    QCOMPARE(error, QString::fromLocal8Bit(std::strerror(EFBIG)));
    QCOMPARE(contents(path), QByteArray("old"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
             QStringList{QStringLiteral("target")});

    // And where no new file can be made at all, the reason is told.
    QVERIFY(!RegularFile::replace(dir.filePath(QStringLiteral("no folder/target")), "x", 0600, &error));
    QCOMPARE(error, QString::fromLocal8Bit(std::strerror(ENOENT)));
}


void tst_RegularFile::throughLink_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected"); // the name, relative to the folder, to replace; empty: refused
    QTest::addColumn<QString>("why");

    QTest::newRow("nothing there yet") << "none" << "name" << "";
    QTest::newRow("a plain file") << "file" << "name" << "";
    QTest::newRow("a link to a file of ours") << "link" << "store/target" << "";
    QTest::newRow("a relative chain") << "chain" << "store/target" << "";
    QTest::newRow("a dangling link") << "dangling" << "" << "a link to nothing";
    QTest::newRow("a link to a folder") << "folder" << "" << "a link to no regular file";
    QTest::newRow("a link to a pipe") << "pipe" << "" << "a link to no regular file";
    QTest::newRow("links in a loop") << "loop" << "" << QString::fromLocal8Bit(std::strerror(ELOOP));
}

// Where a replace lands so that a link in the name's place stays, and which links are refused.
void tst_RegularFile::throughLink()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QFETCH(QString, why);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Canonical: the temporary folder may itself lie behind a link.
    const QString base = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(base).mkdir(QStringLiteral("store")));
    const QString path = base + QStringLiteral("/name");
    const QString target = base + QStringLiteral("/store/target");
    std::unique_ptr<WaitingPipe> pipe;
    if (kind == "file") {
        QVERIFY(put(path, "x"));
    } else if (kind == "link" || kind == "chain") {
        QVERIFY(put(target, "x"));
        if (kind == "link") {
            QVERIFY(QFile::link(target, path));
        } else {
            QVERIFY(QFile::link(QStringLiteral("target"), base + QStringLiteral("/store/middle")));
            QCOMPARE(::symlink("store/middle", QFile::encodeName(path).constData()), 0);
        }
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(target, path));
    } else if (kind == "folder") {
        QVERIFY(QFile::link(base + QStringLiteral("/store"), path));
    } else if (kind == "pipe") {
        pipe = std::make_unique<WaitingPipe>(target);
        QVERIFY(pipe->isValid());
        QVERIFY(QFile::link(target, path));
    } else if (kind == "loop") {
        QVERIFY(QFile::link(path, target));
        QVERIFY(QFile::link(target, path));
    }

    QString error;
    const QString found = RegularFile::throughLink(path, &error);
    QCOMPARE(found, expected.isEmpty() ? QString() : base + QLatin1Char('/') + expected);
    QCOMPARE(error, why);
}

QTEST_GUILESS_MAIN(tst_RegularFile)
#include "tst_RegularFile.moc"
