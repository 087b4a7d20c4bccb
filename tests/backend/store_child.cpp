// Queues one transaction and stores an API key in the store of the folder it is given, says so
// on stdout, then waits without an event loop until it is killed. With "--blacklist <count>"
// it applies that many new uids to the store's blacklist instead, saying "applying" first and
// "applied" once done, and is meant to be killed on the way.
#include "app/Config.h"
#include "backend/Database.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args.at(2) == QLatin1String("--blacklist")) {
        const QString dir = args.at(1);
        QDir::setCurrent(dir);
        Config config(dir + QStringLiteral("/child.conf"), {});
        Backend::Database db(config);
        QStringList uids;
        for (int i = args.at(3).toInt(); i > 0; --i)
            uids << QStringLiteral("K%1").arg(i, 12, 16, QLatin1Char('0')).toUpper();
        std::printf("applying\n");
        std::fflush(stdout);
        if (!db.blacklistApply(uids, {}))
            return 1;
        std::printf("applied\n");
        std::fflush(stdout);
        for (;;)
            pause();
    }
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: store_child <folder> <transaction uuid> <api key>\n");
        return 2;
    }
    const QString dir = args.at(1);
    QDir::setCurrent(dir);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir + QStringLiteral("/settings")));

    Config config(dir + QStringLiteral("/child.conf"), {});
    Backend::Database db(config);
    db.setParam(QStringLiteral("apiKey"), args.at(3));
    auto trans = Backend::Transaction::create(Backend::Transaction::Issuance, QStringLiteral("SN-0042"),
                                              QStringLiteral("04C0FFEE"), QString());
    trans->setUuid(args.at(2));
    if (!db.transAdd(trans))
        return 1;
    std::printf("queued\n");
    std::fflush(stdout);
    for (;;)
        pause();
}
