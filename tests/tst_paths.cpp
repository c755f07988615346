#include "AppPaths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

// Where Settings.ini and the log go: beside the program when it may write there, else in the
// user's folders.
class PathsTest : public QObject
{
    Q_OBJECT

private slots:
    void userFoldersWhenBesideTheProgramIsNotWritable_data()
    {
        QTest::addColumn<QString>("appDir");  // "" for a read-only folder of the test's own
        QTest::addColumn<QByteArray>("configHome");
        QTest::addColumn<QByteArray>("stateHome");
        QTest::addColumn<QString>("settings");  // below the temporary folder
        QTest::addColumn<QString>("logs");
        const QString ours = "/institution-stamp";
        QTest::newRow("read-only folder, variables set") << "" << QByteArray("@/cfg") << QByteArray("@/st")
                                                         << "/cfg" + ours + "/Settings.ini" << "/st" + ours + "/Logs";
        QTest::newRow("installed, variables unset") << "/usr/bin" << QByteArray() << QByteArray()
                                                    << "/home/.config" + ours + "/Settings.ini"
                                                    << "/home/.local/state" + ours + "/Logs";
        QTest::newRow("installed, relative variables ignored")
            << "/usr/bin" << QByteArray("cfg") << QByteArray("st") << "/home/.config" + ours + "/Settings.ini"
            << "/home/.local/state" + ours + "/Logs";
    }
    void userFoldersWhenBesideTheProgramIsNotWritable()
    {
        QFETCH(QString, appDir);
        QFETCH(QByteArray, configHome);
        QFETCH(QByteArray, stateHome);
        QFETCH(QString, settings);
        QFETCH(QString, logs);
        QTemporaryDir tmp;
        const QByteArray base = QFile::encodeName(tmp.path());
        const QList<std::pair<const char *, QByteArray>> env{
            {"HOME", base + "/home"}, {"XDG_CONFIG_HOME", configHome.replace('@', base)},
            {"XDG_STATE_HOME", stateHome.replace('@', base)}};
        const auto put = [](const QList<std::pair<const char *, QByteArray>> &vars) {
            for (const auto &[name, value] : vars)
                value.isNull() ? qunsetenv(name) : qputenv(name, value);
        };
        QList<std::pair<const char *, QByteArray>> saved;
        for (const auto &[name, value] : env)
            saved.append({name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray()});
        put(env);
        const bool readOnly = appDir.isEmpty();
        if (readOnly) {
            // Reachable for everybody, writable for nobody but root.
            const auto readable = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                | QFile::ReadOther | QFile::ExeOther;
            QFile::setPermissions(tmp.path(), readable | QFile::WriteOwner);
            appDir = tmp.filePath("program");
            QVERIFY(QDir().mkdir(appDir));
            QFile::setPermissions(appDir, readable);
        }
        // Root writes anywhere: ask as an ordinary user, then come back.
        const bool asNobody = readOnly && ::geteuid() == 0;
        if (asNobody)
            QVERIFY(::seteuid(65534) == 0);
        const QString settingsFile = AppPaths::settingsFile(appDir);
        const QString logFolder = AppPaths::logFolder(appDir);
        if (asNobody)
            QVERIFY(::seteuid(0) == 0);
        put(saved);
        QCOMPARE(settingsFile, tmp.path() + settings);
        QCOMPARE(logFolder, tmp.path() + logs);
    }
};

QTEST_GUILESS_MAIN(PathsTest)
#include "tst_paths.moc"
