// brisca: the command line of the Velmora Brisca client.

#include "commandline.h"

#include <QCoreApplication>
#include <QLoggingCategory>

int main(int argc, char *argv[])
{
    const auto app = BriscaCli::CommandLine::createApplication(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brisca"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRISCA_VERSION));
    // The device logs every value it receives, and the Modbus master every damaged answer;
    // on a terminal that drowns the result. QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\nqt.modbus*=false"));

    BriscaCli::CommandLine commandLine;
    return commandLine.run(QCoreApplication::arguments());
}
