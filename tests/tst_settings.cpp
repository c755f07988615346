#include "AppError.h"
#include "AppFolder.h"
#include "modINI.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using modINI::ReadINI;
using modINI::WriteINI;

class SettingsTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("Settings.ini")); }

    void writeBytes(const QByteArray &bytes) { QVERIFY(app::write(path(), bytes)); }
    QByteArray readBytes() const { return app::bytes(path()); }
    QString read(const QString &key, const QString &section = QStringLiteral("InstitutionName"))
    {
        return ReadINI(section, key, QString(), path(), 256);
    }

    // Comments, another section, mixed-case names, both line ends, Windows-1252 umlauts.
    const QByteArray handMade = "; Einstellungen von Hand\r\n"
                                "[Other]\r\n"
                                "Port=9999\n"
                                "\r\n"
                                "[institutionname]\n"
                                "PORT = 104 \r\n"
                                "# a comment line\n"
                                "folder=/srv/dicom/\r\n"
                                "InstitutionName=Klinikum S\xFC" "d\r\n"
                                "\r\n"
                                "[Last]\r\n"
                                "Key=Value";

    // Runs `save` in a child process, as an ordinary user (a read-only folder stops no root)
    // and with files limited to `maxBytes` when that is given; its exit code: 0 saved,
    // 1 refused, 77 the folder is out of the ordinary user's reach.
    static int saveInChild(const QString &file, rlim_t maxBytes, const std::function<void()> &save)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(2);
            if (::access(QFile::encodeName(file).constData(), W_OK) != 0)
                ::_exit(77);
            std::signal(SIGXFSZ, SIG_IGN);  // past the limit write() fails with EFBIG
            const rlimit limit{maxBytes, maxBytes};
            if (maxBytes != RLIM_INFINITY && ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                ::_exit(2);
            try {
                save();
            } catch (const AppError &) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    }

private slots:
    void init()
    {
        QFile::remove(path());
    }

    void missingFileSectionOrKeyReadsEmpty()
    {
        QCOMPARE(read(QStringLiteral("Port")), QString());
        writeBytes("[Other]\r\nPort=1\r\n[InstitutionName]\r\nFolder=\r\n");
        QCOMPARE(read(QStringLiteral("Port")), QString());
        QCOMPARE(read(QStringLiteral("Folder")), QString());
        QCOMPARE(read(QStringLiteral("Port"), QStringLiteral("Missing")), QString());
        QCOMPARE(ReadINI("Missing", "Port", "fallback", path(), 256), QStringLiteral("fallback"));
    }

    void readsHandMadeFile()
    {
        writeBytes(handMade);
        QCOMPARE(read(QStringLiteral("Port")), QStringLiteral("104"));
        QCOMPARE(read(QStringLiteral("Folder")), QStringLiteral("/srv/dicom/"));
        QCOMPARE(read(QStringLiteral("INSTITUTIONNAME")), QStringLiteral("Klinikum Süd"));
        QCOMPARE(read(QStringLiteral("Port"), QStringLiteral("OTHER")), QStringLiteral("9999"));
        QCOMPARE(read(QStringLiteral("key"), QStringLiteral("Last")), QStringLiteral("Value"));
    }

    void longValueIsCutToSizeMinusOne()
    {
        const QByteArray value(300, 'x');
        writeBytes("[InstitutionName]\r\nInstitutionName=" + value + "\r\n");
        QCOMPARE(read(QStringLiteral("InstitutionName")), QString(255, QLatin1Char('x')));
        QCOMPARE(ReadINI("InstitutionName", "InstitutionName", "", path(), 10), QString(9, QLatin1Char('x')));
    }

    void replacesOneKeyInPlaceAndKeepsEverythingElse()
    {
        writeBytes(handMade);
        QVERIFY(WriteINI("InstitutionName", "Port", "11112", path()));
        QByteArray expected = handMade;
        expected.replace("PORT = 104 \r\n", "Port=11112\r\n");
        QCOMPARE(readBytes(), expected);

        QVERIFY(WriteINI("InstitutionName", "InstitutionName", "Universitätsklinik Köln", path()));
        expected.replace("InstitutionName=Klinikum S\xFC" "d\r\n", "InstitutionName=Universit\xE4tsklinik K\xF6ln\r\n");
        QCOMPARE(readBytes(), expected);
        QCOMPARE(read(QStringLiteral("InstitutionName")), QStringLiteral("Universitätsklinik Köln"));
    }

    void addsMissingKeySectionAndFile()
    {
        QVERIFY(WriteINI("InstitutionName", "Port", "104", path()));
        QVERIFY(WriteINI("InstitutionName", "Folder", "/tmp/in/", path()));
        QVERIFY(WriteINI("InstitutionName", "InstitutionName", "", path()));
        QCOMPARE(readBytes(), QByteArray("[InstitutionName]\r\nPort=104\r\nFolder=/tmp/in/\r\nInstitutionName=\r\n"));

        // A key missing from a section goes after that section's last line, before the blank
        // line and the next section; a missing section goes at the end.
        writeBytes("[InstitutionName]\nPort=1\n\n[Last]\nKey=Value");
        QVERIFY(WriteINI("InstitutionName", "Folder", "/x/", path()));
        QVERIFY(WriteINI("New", "A", "b", path()));
        QCOMPARE(readBytes(), QByteArray("[InstitutionName]\nPort=1\nFolder=/x/\r\n\n[Last]\nKey=Value\r\n[New]\r\nA=b\r\n"));
    }

    void valuesRoundTrip_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("readBack");
        QTest::newRow("plain") << "Radiologie Nord" << "Radiologie Nord";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("umlauts and euro") << "Praxis Dr. Müller & Söhne €" << "Praxis Dr. Müller & Söhne €";
        QTest::newRow("quotes and equals kept") << "\"a=b\"" << "\"a=b\"";
        QTest::newRow("not in the code page, kept whole") << "Ωmega 東京 Łódź 😀" << "Ωmega 東京 Łódź 😀";
        QTest::newRow("a question mark stays one") << "Wer?" << "Wer?";
        QTest::newRow("line break cannot split the line") << "a\nb" << "a b";
    }
    void valuesRoundTrip()
    {
        QFETCH(QString, value);
        QFETCH(QString, readBack);
        QVERIFY(WriteINI("InstitutionName", "InstitutionName", value, path()));
        QCOMPARE(read(QStringLiteral("InstitutionName")), readBack);
    }

    void badBytesAndHugeFilesDoNotBreakTheReader()
    {
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk.append(char((i * 37) & 0xFF));
        writeBytes(junk + "\n[InstitutionName]\nPort=104\n");
        QCOMPARE(read(QStringLiteral("Port")), QStringLiteral("104"));

        // One 20 MiB line, no line end at all: read once, found nothing.
        writeBytes(QByteArray(20 * 1024 * 1024, '['));
        QCOMPARE(read(QStringLiteral("Port")), QString());
        // Too large to be rewritten safely: the write refuses rather than truncating.
        QVERIFY(!WriteINI("InstitutionName", "Port", "1", path()));
        QCOMPARE(QFileInfo(path()).size(), qint64(20 * 1024 * 1024));
    }

    void aSaveThatCannotCompleteLeavesTheFileAsItWas()
    {
        // The full disk: files may not grow past the old file's size.
        writeBytes(handMade);
        QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther);
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
        const QString name = QString(200, QLatin1Char('N'));
        const auto save = [&](const QString &file) {
            return [file, name] {
                modINI::WriteINIKeys("InstitutionName", {{"Port", "104"}, {"Folder", "/srv/"}, {"InstitutionName", name}},
                                     file);
            };
        };
        QCOMPARE(saveInChild(path(), rlim_t(handMade.size()), save(path())), 1);
        QCOMPARE(readBytes(), handMade);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"Settings.ini"});

        // A writable file in a folder that takes no new file: rewritten in place, but only
        // once the room is there.
        const QString folder = dir.filePath("ro");
        const QString file = folder + "/Settings.ini";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(path(), file));
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0666) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        const int full = saveInChild(file, rlim_t(handMade.size()), save(file));
        const QByteArray afterFull = app::bytes(file);
        const int room = full == 77 ? 77 : saveInChild(file, RLIM_INFINITY, save(file));
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (full == 77)
            QSKIP("the temporary folder is out of an ordinary user's reach");
        QCOMPARE(full, 1);
        QCOMPARE(afterFull, handMade);
        QCOMPARE(room, 0);
        QCOMPARE(ReadINI("InstitutionName", "InstitutionName", QString(), file, 256), name);
        QCOMPARE(ReadINI("Last", "Key", QString(), file, 256), QStringLiteral("Value"));
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"Settings.ini"});
    }

    void writeToUnwritablePlaceFails()
    {
        QVERIFY(!WriteINI("InstitutionName", "Port", "1", dir.filePath("no/such/dir/Settings.ini")));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
