#include "AppFolder.h"
#include "DicomServer.h"
#include "DicomTools.h"
#include "frmMain.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// The receiver end to end: the real window and handler, DCMTK's storescu and echoscu as peers.
class ReceptionTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString folder;
    quint16 port = 0;
    std::unique_ptr<frmMain> window;

    template <class T> T *child(const char *name) { return window->findChild<T *>(QLatin1String(name)); }
    QPushButton *button() { return child<QPushButton>("btnActivate"); }
    void press() { QTest::mouseClick(button(), Qt::LeftButton); }
    void fill(const QString &portText, const QString &folderText, const QString &name)
    {
        child<QLineEdit>("txtPort")->setText(portText);
        child<QLineEdit>("txtFolder")->setText(folderText);
        child<QLineEdit>("txtInstitutionName")->setText(name);
    }
    void switchOn(const QString &name = "Klinikum Süd")
    {
        fill(QString::number(port), folder, name);
        press();
        QCOMPARE(button()->text(), QStringLiteral("Deaktivieren"));
    }
    // storescu with its options, then the files. -R offers only the files' own classes; -v
    // reports every response.
    tools::Result send(const QStringList &files, const QStringList &options = {}, bool required = true)
    {
        return tools::runPumping("storescu", QStringList{"-v"} + (required ? QStringList{"-R"} : QStringList{})
                                                 + options + QStringList{"127.0.0.1", QString::number(port)} + files);
    }
    // storescu offering one CT context of the transfer syntaxes `syntaxes` (a profile's lines
    // "TransferSyntaxN = ..."): only a profile offers such a choice, and -R cannot go with it.
    tools::Result sendWithProfile(const QString &file, const QByteArray &syntaxes)
    {
        const QString cfg = dir.filePath("profile.cfg");
        QFile f(cfg);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qWarning("cannot write %s", qPrintable(cfg));
        f.write("[[TransferSyntaxes]]\n[P]\n" + syntaxes + "[[PresentationContexts]]\n[P]\n"
                "PresentationContext1 = CTImageStorage\\P\n[[Profiles]]\n[P]\nPresentationContexts = P\n");
        f.close();
        return send({file}, {"-xf", cfg, "P"}, false);
    }
    tools::Result echo() { return tools::runPumping("echoscu", {"127.0.0.1", QString::number(port)}); }
    QString image(const QString &uid, const QString &more = QString())
    {
        const QString file = dir.filePath("src/" + uid.section('/', -1) + ".src");
        if (!tools::makeImage(tools::ctDump(uid, more), file))
            qWarning("cannot make %s", qPrintable(file));
        return file;
    }
    QStringList stored() const { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    static QStringList withoutStamp(QStringList lines)
    {
        lines.removeIf([](const QString &l) { return l.startsWith("(0008,0080)") || l.startsWith("(0008,0005)"); });
        return lines;
    }
    static bool succeeded(const tools::Result &r)
    {
        return r.exitCode == 0 && !r.output.contains("Failed") && !r.output.contains("Refused")
               && !r.output.contains("Error");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir(dir.path()).mkpath("src"));
    }

    void init()
    {
        app::clear();
        folder = dir.filePath(QString("in%1").arg(QTest::currentTestFunction()));
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
        port = tools::freePort();
        window = std::make_unique<frmMain>();
    }

    void cleanup()
    {
        window.reset();
        dicom::shutdownReception();
    }

    void switchesOnAndOffAndSavesOnEveryPress()
    {
        switchOn();
        for (const char *name : {"txtPort", "txtFolder", "txtInstitutionName", "cmdSearchFolder"})
            QVERIFY(!window->findChild<QWidget *>(name)->isEnabled());
        QCOMPARE(app::settings(), "[InstitutionName]\r\nPort=" + QByteArray::number(port) + "\r\nFolder=" + folder.toLatin1()
                                 + "\r\nInstitutionName=Klinikum S\xFC" "d\r\n");
        QVERIFY2(succeeded(echo()), "echo while on");

        QFile::remove(app::settingsPath());
        press();
        QCOMPARE(button()->text(), QStringLiteral("Aktivieren"));
        QVERIFY(child<QLineEdit>("txtPort")->isEnabled());
        QVERIFY(app::settings().contains(QString("Port=%1\r\n").arg(port).toLatin1()));
        QVERIFY(!succeeded(echo()));
        QVERIFY(app::logLines().isEmpty());
    }

    void badPortIsLoggedAndStaysIdle_data()
    {
        QTest::addColumn<QString>("portText");
        QTest::newRow("empty") << "";
        QTest::newRow("not a number") << "10 4";
        QTest::newRow("beyond 32 bits") << "4294967400";
        QTest::newRow("outside 1-65535") << "70000";
        QTest::newRow("zero") << "0";
    }
    void badPortIsLoggedAndStaysIdle()
    {
        QFETCH(QString, portText);
        fill(portText, folder, "X");
        press();
        QVERIFY(app::settings().contains(("Port=" + portText + "\r\n").toLatin1()));
        const QStringList lines = app::logLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].endsWith(" - btnActivate_Click"), qPrintable(lines[0]));
        QCOMPARE(button()->text(), QStringLiteral("Aktivieren"));
        QVERIFY(child<QLineEdit>("txtPort")->isEnabled());
    }

    void portInUseReturnsToIdle()
    {
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::AnyIPv4, port));
        fill(" " + QString::number(port) + " ", folder, "X");
        press();
        const QStringList lines = app::logLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(QString::number(port)) && lines[0].endsWith("btnActivate_Click"), qPrintable(lines[0]));
        QCOMPARE(button()->text(), QStringLiteral("Aktivieren"));
        QVERIFY(child<QLineEdit>("txtPort")->isEnabled());

        port = tools::freePort();
        switchOn();
        QVERIFY(succeeded(echo()));
        QCOMPARE(app::logLines().size(), 1);
    }

    void storesStampedImagesIntact_data()
    {
        QTest::addColumn<QStringList>("storescuArgs");
        QTest::addColumn<QByteArray>("profile");  // syntaxes offered through a profile instead
        QTest::addColumn<bool>("rle");            // the image compressed first
        QTest::addColumn<QString>("syntax");
        QTest::newRow("explicit little endian") << QStringList{} << QByteArray() << false << "LittleEndianExplicit";
        QTest::newRow("implicit little endian") << QStringList{"-xi"} << QByteArray() << false << "LittleEndianImplicit";
        // storescu offers big endian alone only through a profile.
        QTest::newRow("explicit big endian") << QStringList{} << QByteArray("TransferSyntax1 = BigEndianExplicit\n")
                                             << false << "BigEndianExplicit";
        QTest::newRow("deflated") << QStringList{"-xd"} << QByteArray() << false << "DeflatedLittleEndianExplicit";
        QTest::newRow("RLE") << QStringList{"-xr"} << QByteArray() << true << "RLELossless";
    }
    void storesStampedImagesIntact()
    {
        QFETCH(QStringList, storescuArgs);
        QFETCH(QByteArray, profile);
        QFETCH(bool, rle);
        QFETCH(QString, syntax);
        const QString uid = "1.2.826.0.1.3680043.2.1125.9." + QString::number(qHash(syntax) % 1000);
        QString src = image(uid);
        if (rle) {
            QCOMPARE(tools::run("dcmcrle", {src, src + ".rle"}).exitCode, 0);
            src += ".rle";
        }
        switchOn();
        const tools::Result r = profile.isNull() ? send({src}, storescuArgs) : sendWithProfile(src, profile);
        QVERIFY2(succeeded(r), qPrintable(r.output));
        const QString out = folder + "/" + uid + ".dcm";
        QCOMPARE(stored(), QStringList{uid + ".dcm"});
        QCOMPARE(tools::transferSyntax(out), syntax);
        QCOMPARE(tools::attribute(out, "0008,0080"), QStringLiteral("(0008,0080) LO [Klinikum Süd]"));
        QCOMPARE(withoutStamp(tools::datasetDump(out)), withoutStamp(tools::datasetDump(src)));
        QVERIFY(tools::run("dcmdump", {"+P", "0002,0016", out}).output.contains("[STORESCU]"));
        QVERIFY(app::logLines().isEmpty());
    }

    void characterSetsOfRealImages_data()
    {
        QTest::addColumn<QString>("file");           // from pydicom's test data
        QTest::addColumn<QString>("name");           // the institution field
        QTest::addColumn<QByteArray>("stampedSet");  // (0008,0005) stored; null: the image is refused
        const QString data = "/usr/lib/python3/dist-packages/pydicom/data/charset_files/";
        QTest::newRow("\\IR 87: IR 100 added") << data + "chrH31.dcm" << "Klinikum Süd"
                                               << QByteArray("\\ISO 2022 IR 87\\ISO 2022 IR 100");
        QTest::newRow("IR 13\\IR 87: IR 100 added") << data + "chrH32.dcm" << "Klinikum Süd"
                                                    << QByteArray("ISO 2022 IR 13\\ISO 2022 IR 87\\ISO 2022 IR 100");
        QTest::newRow("Greek: UTF-8 on the association's thread") << data + "chrGreek.dcm" << "Klinikum Süd"
                                                                  << QByteArray("ISO_IR 192");
        QTest::newRow("\\IR 87, en dash: refused") << data + "chrH31.dcm" << "Klinikum Süd – Köln" << QByteArray();
    }
    void characterSetsOfRealImages()
    {
        QFETCH(QString, file);
        QFETCH(QString, name);
        QFETCH(QByteArray, stampedSet);
        QVERIFY2(QFile::exists(file), "python3-pydicom's test data is missing: scripts/test.sh installs it");
        switchOn(name);
        const tools::Result r = send({file});
        if (stampedSet.isNull()) {
            // The image's own character set keeps the text out: no retry can mend that.
            QVERIFY2(r.output.contains("Error: CannotUnderstand"), qPrintable(r.output));
            QVERIFY(stored().isEmpty());
            const QStringList lines = app::logLines();
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0].contains("Cannot convert the image's character set to UTF-8")
                         && lines[0].endsWith(" - DCMServer_ImageReceivedAsync"),
                     qPrintable(lines[0]));
            return;
        }
        QVERIFY2(succeeded(r), qPrintable(r.output));
        QCOMPARE(stored().size(), 1);
        const QStringList tags{"0008,0005", "0008,0080", "0010,0010"};
        const auto before = tools::readText(file, tags);
        const auto after = tools::readText(folder + "/" + stored().first(), tags);
        QCOMPARE(after.value("0008,0005").raw, stampedSet);
        QCOMPARE(after.value("0008,0080").read, name);
        QCOMPARE(after.value("0010,0010").read, before.value("0010,0010").read);
        if (stampedSet != "ISO_IR 192")
            QCOMPARE(after.value("0010,0010").raw, before.value("0010,0010").raw);
        QVERIFY(app::logLines().isEmpty());
    }

    void missingFolderFailsEachImageUntilItExists()
    {
        const QString a = image("1.2.3.100.1"), b = image("1.2.3.100.2");
        QVERIFY(QDir(folder).removeRecursively());
        switchOn();
        const tools::Result r = send({a, b}, {"--no-halt"});
        QVERIFY2(!succeeded(r) && r.output.count("Refused: OutOfResources") == 2, qPrintable(r.output));
        const QStringList lines = app::logLines();
        QCOMPARE(lines.size(), 2);
        for (const QString &l : lines)
            QVERIFY2(l.endsWith(" - DCMServer_ImageReceivedAsync") && l.contains(folder), qPrintable(l));
        QCOMPARE(button()->text(), QStringLiteral("Deaktivieren"));

        QVERIFY(QDir().mkpath(folder));
        QVERIFY(succeeded(send({a, b})));
        QCOMPARE(stored(), (QStringList{"1.2.3.100.1.dcm", "1.2.3.100.2.dcm"}));
        QCOMPARE(app::logLines().size(), 2);
    }

    // A context offering lossy compression beside uncompressed ones must never get it.
    void mixedContextStoresUncompressed()
    {
        const QString src = image("1.2.3.160");
        switchOn();
        const tools::Result r = sendWithProfile(src, "TransferSyntax1 = JPEGBaseline\n"
                                                     "TransferSyntax2 = JPEGLossless:Non-hierarchical-1stOrderPrediction\n"
                                                     "TransferSyntax3 = LittleEndianExplicit\n");
        QVERIFY2(succeeded(r) && !r.output.contains("-> JPEG"), qPrintable(r.output));
        QCOMPARE(tools::transferSyntax(folder + "/1.2.3.160.dcm"), QStringLiteral("LittleEndianExplicit"));
    }

    void emptyFolderRefusesEachImage()
    {
        const QString uid = QString("1.2.3.150.%1").arg(QCoreApplication::applicationPid());
        const QString src = image(uid);
        fill(QString::number(port), "", "Klinikum Süd");
        press();
        const tools::Result r = send({src});
        QVERIFY2(r.output.contains("Refused: OutOfResources"), qPrintable(r.output));
        QVERIFY(!QFile::exists("/" + uid + ".dcm"));
        QCOMPARE(app::logLines().size(), 1);
        QVERIFY(app::logLines()[0].endsWith("DCMServer_ImageReceivedAsync"));
    }

    void namesThatLeaveTheFolderAreRefused()
    {
        const QString evil = image("../../escaped");
        switchOn();
        const tools::Result r = send({evil});
        // Never storable: the sender is told not to retry it.
        QVERIFY2(r.output.contains("Error: CannotUnderstand"), qPrintable(r.output));
        QVERIFY(stored().isEmpty());
        QVERIFY(!QFile::exists(dir.filePath("escaped.dcm")));
        QVERIFY(!QFile::exists(QDir(folder).absoluteFilePath("../../escaped.dcm")));
        QCOMPARE(app::logLines().size(), 1);
        QVERIFY(app::logLines()[0].endsWith("DCMServer_ImageReceivedAsync"));
    }

    void sameUidTwiceKeepsTheLaterImage()
    {
        const QString first = image("1.2.3.200");
        const QString second = dir.filePath("src/second.src");
        QVERIFY(tools::makeImage(tools::ctDump("1.2.3.200").replace("Doe^John", "Roe^Jane"), second));
        switchOn();
        QVERIFY(succeeded(send({first})));
        QVERIFY(succeeded(send({second})));
        QCOMPARE(stored(), QStringList{"1.2.3.200.dcm"});
        QCOMPARE(tools::attribute(folder + "/1.2.3.200.dcm", "0010,0010"), QStringLiteral("(0010,0010) PN [Roe^Jane]"));
    }

    void parallelSendersAndBadPeers()
    {
        QStringList a, b;
        for (int i = 0; i < 5; ++i) {
            a << image(QString("1.2.3.300.%1").arg(i));
            b << image(QString("1.2.3.301.%1").arg(i));
        }
        const QString unknownClass = dir.filePath("src/unknown.src");
        QVERIFY(tools::makeImage(tools::ctDump("1.2.3.302").replace("=CTImageStorage", "[1.2.3.4.5.6.7.8.9]"), unknownClass));
        switchOn();

        // Garbage, a request that never finishes, and one that claims 4 GiB.
        QTcpSocket garbage, stalled, huge;
        for (QTcpSocket *s : {&garbage, &stalled, &huge}) {
            s->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(s->waitForConnected(5000));
        }
        garbage.write(QByteArray(4096, '\x5a'));
        stalled.write(QByteArray("\x01\x00\x00\x00\x01\x00", 6));
        huge.write(QByteArray("\x01\x00\xff\xff\xff\xff\x00\x01", 8));
        for (QTcpSocket *s : {&garbage, &stalled, &huge})
            s->flush();
        QVERIFY(!succeeded(send({unknownClass})));

        QProcess p1, p2;
        for (auto [p, files] : {std::pair{&p1, a}, std::pair{&p2, b}}) {
            p->setProcessChannelMode(QProcess::MergedChannels);
            p->start("storescu", QStringList{"127.0.0.1", QString::number(port)} + files);
        }
        QVERIFY(QTest::qWaitFor([&] { return p1.state() == QProcess::NotRunning && p2.state() == QProcess::NotRunning; },
                                60000));
        QCOMPARE(p1.exitCode(), 0);
        QCOMPARE(p2.exitCode(), 0);
        QCOMPARE(stored().size(), 10);
        QVERIFY(succeeded(echo()));
        // Garbage and a request claiming 4 GiB are dropped; the request that never finishes,
        // once the deadline for a request has passed.
        for (QTcpSocket *s : {&garbage, &huge, &stalled})
            QVERIFY2(s->state() == QAbstractSocket::UnconnectedState || s->waitForDisconnected(45000),
                     s == &garbage ? "garbage" : s == &huge ? "huge" : "stalled");
    }

    void stopThenStartOnTheSamePort()
    {
        const QString src = image("1.2.3.400");
        switchOn();
        QVERIFY(succeeded(send({src})));
        press();
        press();
        QCOMPARE(button()->text(), QStringLiteral("Deaktivieren"));
        QVERIFY(succeeded(echo()));
        QVERIFY(app::logLines().isEmpty());
    }

    void closingWithImagesInFlight()
    {
        const QString src = image("1.2.3.500");
        switchOn();
        QVERIFY(succeeded(send({src})));
        // Our own peer holds an image half-sent (1 of 2 MB) until reception ends.
        QProcess peer;
        peer.setProcessChannelMode(QProcess::MergedChannels);
        peer.start("python3", {QFINDTESTDATA("robustness/peer.py"), QString::number(port), "half-image", "1", "2", "300"});
        QByteArray said;
        QVERIFY2(QTest::qWaitFor([&] { return (said += peer.readAll()).contains("holding 1"); }, 30000), said.constData());
        // As when the window closes: the window goes, then reception ends.
        window.reset();
        dicom::shutdownReception();
        QCOMPARE(peer.state(), QProcess::Running);  // its association was ended, not waited for
        peer.kill();
        peer.waitForFinished();
        // The finished image is kept, nothing of the one in flight is left behind.
        QCOMPARE(stored(), QStringList{"1.2.3.500.dcm"});

        window = std::make_unique<frmMain>();
        switchOn();
        QVERIFY(succeeded(echo()));
    }
};

QTEST_MAIN(ReceptionTest)
#include "tst_reception.moc"
