#include "DicomServer.h"
#include "frmMain.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <csignal>

int main(int argc, char *argv[])
{
    // A full disk simulated by a file-size limit fails that one write (the log's, the
    // settings'), it does not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    // The window speaks German; so do Qt's own dialogs (the folder chooser).
    QTranslator qtGerman;
    if (qtGerman.load(QLocale(QLocale::German), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtGerman);
    frmMain window;
    window.show();
    const int rc = app.exec();
    // Closing the window ends the program: end the associations still in flight first.
    dicom::shutdownReception();
    return rc;
}
