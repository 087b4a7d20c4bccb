// Registers a callback (or not) and exits, for the test of the library's exit message.
#include "async/Deferred.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == "register") {
        const Deferred<int> deferred;
        deferred.done([](int) {});
        deferred.resolve(1);
    }
    return 0;
}
