#include "DicomServer.h"
#include "frmMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    frmMain window;
    window.show();
    const int rc = app.exec();
    // Closing the window ends the program: end the associations still in flight first.
    dicom::shutdownReception();
    return rc;
}
