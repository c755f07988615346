#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kFolderName = QStringLiteral("institution-stamp");

bool besideTheProgram(const QString &appDir)
{
    // /usr holds installed programs and is no place for their data, even for root, who may
    // write there: the package manager would not know the files.
    if (appDir == QLatin1String("/usr") || appDir.startsWith(QLatin1String("/usr/")))
        return false;
    // The files are written with the effective user's rights; access() would ask about the
    // real user.
    return ::faccessat(AT_FDCWD, QFile::encodeName(appDir).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

QString userFolder(const char *variable, const QString &belowHome)
{
    // A relative value is to be ignored, as if the variable were unset.
    QString base = qEnvironmentVariable(variable);
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + belowHome;
    return QDir::cleanPath(base) + QLatin1Char('/') + kFolderName;
}

} // namespace

namespace AppPaths {

QString settingsFile(const QString &appDir)
{
    const QString folder = besideTheProgram(appDir) ? appDir : userFolder("XDG_CONFIG_HOME", QStringLiteral("/.config"));
    return folder + QStringLiteral("/Settings.ini");
}

QString logFolder(const QString &appDir)
{
    const QString folder =
        besideTheProgram(appDir) ? appDir : userFolder("XDG_STATE_HOME", QStringLiteral("/.local/state"));
    return folder + QStringLiteral("/Logs");
}

QString settingsFile() { return settingsFile(QCoreApplication::applicationDirPath()); }
QString logFolder() { return logFolder(QCoreApplication::applicationDirPath()); }

} // namespace AppPaths
