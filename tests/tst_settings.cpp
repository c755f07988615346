#include "Windows1252.h"
#include "modINI.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using modINI::ReadINI;
using modINI::WriteINI;

class SettingsTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("Settings.ini")); }

    void writeBytes(const QByteArray &bytes)
    {
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray readBytes() const
    {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
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
        QTest::newRow("not in the code page") << "Ωmega 東京" << "?mega ??";
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

    void writeToUnwritablePlaceFails()
    {
        QVERIFY(!WriteINI("InstitutionName", "Port", "1", dir.filePath("no/such/dir/Settings.ini")));
    }

    void codePage()
    {
        QCOMPARE(Windows1252::encode(QStringLiteral("€Ÿ\u00A0ÿ")), QByteArray("\x80\x9F\xA0\xFF"));
        QCOMPARE(Windows1252::decode(QByteArray("\x80\x81\x9F\xFF")), QStringLiteral("€\u0081Ÿÿ"));
        QCOMPARE(Windows1252::encode(QString::fromUtf8("\xF0\x9F\x98\x80")), QByteArray("?"));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
