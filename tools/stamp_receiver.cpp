// The receiver as an operator runs it, for the benchmark and the robustness tests: the real
// window (offscreen), its fields filled and its switch pressed, running until SIGTERM or
// SIGINT. SIGUSR1 presses the switch again and prints the new caption.
//   stamp_receiver PORT FOLDER INSTITUTION
#include "DicomServer.h"
#include "frmMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
int signalPipe[2];
void onSignal(int sig)
{
    const char c = sig == SIGUSR1 ? 'p' : 'q';
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}
} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: stamp_receiver PORT FOLDER INSTITUTION\n");
        return 2;
    }
    QApplication app(argc, argv);
    if (::pipe(signalPipe) != 0)
        return 1;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGUSR1, onSignal);

    frmMain window;
    window.findChild<QLineEdit *>("txtPort")->setText(QString::fromLocal8Bit(argv[1]));
    window.findChild<QLineEdit *>("txtFolder")->setText(QString::fromLocal8Bit(argv[2]));
    window.findChild<QLineEdit *>("txtInstitutionName")->setText(QString::fromLocal8Bit(argv[3]));
    window.show();
    QPushButton *button = window.findChild<QPushButton *>("btnActivate");
    button->click();
    if (button->text() != QStringLiteral("Deaktivieren")) {
        std::fprintf(stderr, "stamp_receiver: reception did not start (see Logs/ErrorLog.log)\n");
        return 1;
    }
    std::printf("%s\n", qPrintable(button->text()));
    std::fflush(stdout);

    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char c = 0;
        if (::read(signalPipe[0], &c, 1) != 1 || c != 'p') {
            app.quit();
            return;
        }
        button->click();
        std::printf("%s\n", qPrintable(button->text()));
        std::fflush(stdout);
    });
    const int rc = app.exec();
    dicom::shutdownReception();
    return rc;
}
