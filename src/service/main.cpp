#include "Error_Handler.h"
#include "Service.h"
#include "SignalPipe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>

int main(int argc, char *argv[])
{
    // A closed standard error must not end reception.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("institution-stampd"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("DICOM storage receiver that stamps the institution name"));
    parser.addHelpOption();
    const QCommandLineOption config(QStringLiteral("config"), QStringLiteral("Folder that holds Settings.ini."),
                                    QStringLiteral("DIR"), QStringLiteral("/etc/institution-stamp"));
    const QCommandLineOption logDir(QStringLiteral("log-dir"), QStringLiteral("Folder for ErrorLog.log."),
                                    QStringLiteral("DIR"), QStringLiteral("/var/log/institution-stamp"));
    parser.addOption(config);
    parser.addOption(logDir);
    parser.process(app);

    Error_Handler::SetLogFolder(parser.value(logDir));
    Error_Handler::SetCopyToStandardError(true);

    try {
        SignalPipe signalPipe({SIGTERM, SIGINT, SIGHUP});
        Service service(parser.value(config));
        QObject::connect(&signalPipe, &SignalPipe::received, &service,
                         [&service](int signal) { signal == SIGHUP ? service.reload() : service.stop(); });
        if (!service.start())
            return 1;
        return app.exec();
    } catch (...) {
        Error_Handler::LogError(QStringLiteral("main"));
        return 1;
    }
}
