#include "ImageSources.h"
#include "DicomTools.h"
#include "Error_Handler.h"

#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/file.h>
#include <sys/resource.h>


class ImageTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString source(const QString &name, const QString &more = QString(), const QStringList &extra = {"+te"})
    {
        const QString file = dir.filePath(name + ".src");
        if (!tools::makeImage(tools::ctDump("1.2.3." + QString::number(qHash(name) % 100000), more), file, extra))
            qWarning("dump2dcm failed for %s", qPrintable(name));
        return file;
    }

    // Stamps `text` into a copy of `src` and returns the stored file.
    QString stamp(const QString &src, const QString &text)
    {
        auto image = dicom::detail::readImageFile(src);
        image->attributes().setAttribute(0x0008, 0x0080, text);
        const QString out = dir.filePath(QFileInfo(src).baseName() + ".dcm");
        image->write(out, true);
        return out;
    }

    static QStringList without(QStringList lines, const QStringList &tags)
    {
        lines.removeIf([&](const QString &l) {
            for (const QString &t : tags)
                if (l.startsWith('(' + t + ')'))
                    return true;
            return false;
        });
        return lines;
    }

private slots:
    void stampsAndKeepsEverythingElse_data()
    {
        QTest::addColumn<QStringList>("dump2dcmArgs");
        QTest::addColumn<QString>("syntax");
        QTest::newRow("explicit little endian") << QStringList{"+te"} << "LittleEndianExplicit";
        QTest::newRow("implicit little endian") << QStringList{"+ti"} << "LittleEndianImplicit";
        QTest::newRow("explicit big endian") << QStringList{"+tb"} << "BigEndianExplicit";
    }
    void stampsAndKeepsEverythingElse()
    {
        QFETCH(QStringList, dump2dcmArgs);
        QFETCH(QString, syntax);
        const QString src = source(QTest::currentDataTag(), QString(), dump2dcmArgs);
        const QString out = stamp(src, "Radiologie Nord");
        QCOMPARE(tools::transferSyntax(out), syntax);
        QCOMPARE(tools::attribute(out, "0008,0080"), QStringLiteral("(0008,0080) LO [Radiologie Nord]"));
        // Only the stamped attribute differs, every pixel byte included.
        QCOMPARE(without(tools::datasetDump(out), {"0008,0080"}), without(tools::datasetDump(src), {"0008,0080"}));

        // The file meta information names the image and us.
        const QString meta = tools::run("dcmdump", {"-q", "+P", "0002,0003", "+P", "0002,0012", "+P", "0002,0013", out}).output;
        QVERIFY2(meta.contains("[1.2.3.") && meta.contains("[2.25.") && meta.contains("INSTSTAMP"), qPrintable(meta));
    }

    void encapsulatedPixelDataIsKept()
    {
        const QString plain = source("rle");
        const QString src = dir.filePath("rle.encapsulated");
        QCOMPARE(tools::run("dcmcrle", {plain, src}).exitCode, 0);
        const QString out = stamp(src, "Radiologie Nord");
        QCOMPARE(tools::transferSyntax(out), QStringLiteral("RLELossless"));
        QCOMPARE(without(tools::datasetDump(out), {"0008,0080"}), without(tools::datasetDump(src), {"0008,0080"}));
    }

    void characterSets_data()
    {
        QTest::addColumn<QString>("charset");      // (0008,0005) of the source image
        QTest::addColumn<QString>("patient");      // (0010,0010) of the source image
        QTest::addColumn<QString>("text");         // the institution field
        QTest::addColumn<QString>("stampedSet");   // (0008,0005) afterwards

        QTest::newRow("default repertoire, umlauts -> Latin-1") << "" << "Doe^John" << "Klinikum Süd" << "ISO_IR 100";
        QTest::newRow("default repertoire, ASCII stays default") << "" << "Doe^John" << "Klinikum Nord" << "";
        QTest::newRow("default repertoire, Japanese -> UTF-8") << "" << "Doe^John" << "東京病院" << "ISO_IR 192";
        QTest::newRow("UTF-8 stays UTF-8") << "ISO_IR 192" << "Müller^Jürgen" << "Klinikum Süd – Köln" << "ISO_IR 192";
        QTest::newRow("Latin-1 stays Latin-1") << "ISO_IR 100" << "Müller^Jürgen" << "Klinikum Süd" << "ISO_IR 100";
        QTest::newRow("Latin-1 with Greek -> UTF-8") << "ISO_IR 100" << "Müller^Jürgen" << "Νοσοκομείο Αθηνών"
                                                     << "ISO_IR 192";
        QTest::newRow("Latin-1 with Japanese -> UTF-8") << "ISO_IR 100" << "Müller^Jürgen" << "東京病院" << "ISO_IR 192";
        QTest::newRow("Greek stays Greek") << "ISO_IR 126" << "Παπαδόπουλος^Γιώργος" << "Νοσοκομείο" << "ISO_IR 126";
        QTest::newRow("Greek with umlauts -> UTF-8") << "ISO_IR 126" << "Παπαδόπουλος^Γιώργος" << "Klinikum Süd"
                                                      << "ISO_IR 192";
    }
    void characterSets()
    {
        QFETCH(QString, charset);
        QFETCH(QString, patient);
        QFETCH(QString, text);
        QFETCH(QString, stampedSet);
        QString dump = tools::ctDump("1.2.3.77", charset.isEmpty() ? QString() : "(0008,0005) CS [" + charset + "]\n");
        dump.replace("Doe^John", patient);
        // dump2dcm stores the dump's bytes as they are: write them in the image's own encoding.
        const QString name = dir.filePath(QString("cs%1").arg(qHash(QString(QTest::currentDataTag()))));
        QFile utf8(name + ".utf8");
        QVERIFY(utf8.open(QIODevice::WriteOnly));
        utf8.write(dump.toUtf8());
        utf8.close();
        const QString encoding = charset == "ISO_IR 100" ? "ISO-8859-1" : charset == "ISO_IR 126" ? "ISO-8859-7" : "UTF-8";
        QCOMPARE(tools::run("iconv", {"-f", "UTF-8", "-t", encoding, "-o", name + ".txt", name + ".utf8"}).exitCode, 0);
        QCOMPARE(tools::run("dump2dcm", {"-g", "+te", name + ".txt", name + ".src"}).exitCode, 0);

        const QString out = stamp(name + ".src", text);
        QCOMPARE(tools::attribute(out, "0008,0080"), QStringLiteral("(0008,0080) LO [%1]").arg(text));
        QCOMPARE(tools::attribute(out, "0010,0010"), QStringLiteral("(0010,0010) PN [%1]").arg(patient));
        QCOMPARE(tools::attribute(out, "0008,1030"), QStringLiteral("(0008,1030) LO [Thorax]"));
        // dcmdump +U8 shows every converted set as UTF-8: read this one raw.
        const QString cs = tools::attribute(out, "0008,0005", {});
        if (stampedSet.isEmpty())
            QVERIFY2(cs.isEmpty(), qPrintable(cs));
        else
            QCOMPARE(cs, QStringLiteral("(0008,0005) CS [%1]").arg(stampedSet));
    }

    void undeclaredBytesCannotBeConverted()
    {
        // An image with Latin-1 bytes but no character set cannot be moved to UTF-8 safely.
        QFile f(dir.filePath("undeclared.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QString dump = tools::ctDump("1.2.3.78");
        dump.replace("Doe^John", "M\u00fcller");
        f.write(dump.toLatin1());
        f.close();
        const QString src = dir.filePath("undeclared.src");
        QCOMPARE(tools::run("dump2dcm", {"-g", "+te", f.fileName(), src}).exitCode, 0);
        auto image = dicom::detail::readImageFile(src);
        QVERIFY_THROWS_EXCEPTION(AppError, image->attributes().setAttribute(0x0008, 0x0080, "東京病院"));
    }

    void valueForm_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored");
        QTest::newRow("empty stays present") << "" << "(0008,0080) LO (no value available)";
        QTest::newRow("cut to 64 characters") << QString(70, 'a') << "(0008,0080) LO [" + QString(64, 'a') + "]";
        QTest::newRow("cut between characters, not bytes")
            << QString(63, 'a') + "üü" << "(0008,0080) LO [" + QString(63, 'a') + "ü]";
        QTest::newRow("no second value, no control characters")
            << "Klinik\\Nord\tHaus\n2" << "(0008,0080) LO [Klinik Nord Haus 2]";
    }
    void valueForm()
    {
        QFETCH(QString, text);
        QFETCH(QString, stored);
        const QString src = source("form");
        const QString out = stamp(src, text);
        QCOMPARE(tools::attribute(out, "0008,0080"), stored);
    }

    void missingAttributeIsAdded()
    {
        QString dump = tools::ctDump("1.2.3.79");
        dump.remove("(0008,0080) LO [Old Hospital]\n");
        const QString src = dir.filePath("noinst.src");
        QVERIFY(tools::makeImage(dump, src));
        QCOMPARE(tools::attribute(src, "0008,0080"), QString());
        QCOMPARE(tools::attribute(stamp(src, "Neu"), "0008,0080"), QStringLiteral("(0008,0080) LO [Neu]"));
    }

    void nameValue_data()
    {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("name");  // empty with refused = true
        QTest::addColumn<bool>("refused");
        QTest::newRow("plain") << "1.2.840.99.1" << "1.2.840.99.1" << false;
        QTest::newRow("empty") << "" << "" << false;
        QTest::newRow("slash") << "../../etc/x" << "" << true;
        QTest::newRow("backslash") << "1.2\\..\\3" << "" << true;
        QTest::newRow("control character") << QString("1.2\x01" "3") << "" << true;
    }
    void nameValue()
    {
        QFETCH(QString, uid);
        QFETCH(QString, name);
        QFETCH(bool, refused);
        const QString src = dir.filePath("name.src");
        QVERIFY(tools::makeImage(tools::ctDump(uid), src));
        auto image = dicom::detail::readImageFile(src);
        if (refused)
            QVERIFY_THROWS_EXCEPTION(AppError, image->nameValue());
        else
            QCOMPARE(image->nameValue(), name);
    }

    void writeIsAtomic()
    {
        const QString out = dir.filePath("atomic/1.2.3.dcm");
        auto image = dicom::detail::readImageFile(source("atomic"));
        // A missing folder fails with the folder in the description.
        try {
            image->write(out, true);
            QFAIL("write into a missing folder succeeded");
        } catch (const AppError &e) {
            QVERIFY2(e.description().contains(dir.filePath("atomic")), qPrintable(e.description()));
        }
        QVERIFY(!dicom::detail::written(*image));

        QVERIFY(QDir(dir.path()).mkdir("atomic"));
        QFile earlier(out);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier file");
        earlier.close();

        // A write that fails part-way (a file-size limit, as on a full disk) leaves the
        // earlier file and no temporary file.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 200;
        setrlimit(RLIMIT_FSIZE, &small);
        bool threw = false;
        try {
            image->write(out, true);
        } catch (const AppError &) {
            threw = true;
        }
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(threw);
        QVERIFY(!dicom::detail::written(*image));
        QCOMPARE(QDir(dir.filePath("atomic")).entryList(QDir::Files | QDir::Hidden), QStringList{"1.2.3.dcm"});
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier file"));
        earlier.close();

        image->write(out, true);
        QVERIFY(dicom::detail::written(*image));
        QCOMPARE(QDir(dir.filePath("atomic")).entryList(QDir::Files | QDir::Hidden), QStringList{"1.2.3.dcm"});
        QCOMPARE(tools::attribute(out, "0008,0080"), QStringLiteral("(0008,0080) LO [Old Hospital]"));
        QVERIFY_THROWS_EXCEPTION(AppError, image->write(out, false));
    }

    // What a killed writer left is removed before the first write into the folder; a
    // temporary file that a live writer holds, and anything else, stays.
    void staleTemporaryFilesAreRemoved()
    {
        QVERIFY(QDir(dir.path()).mkdir("stale"));
        const QString folder = dir.filePath("stale");
        for (const char *name : {".institution-stamp-dead01.part", ".institution-stamp-live01.part", "keep.part"}) {
            QFile f(folder + "/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QFile live(folder + "/.institution-stamp-live01.part");
        QVERIFY(live.open(QIODevice::ReadOnly));
        QCOMPARE(::flock(live.handle(), LOCK_EX), 0);
        auto image = dicom::detail::readImageFile(source("stale"));
        image->write(folder + "/1.2.3.dcm", true);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{".institution-stamp-live01.part", "1.2.3.dcm", "keep.part"}));
    }
};

QTEST_GUILESS_MAIN(ImageTest)
#include "tst_image.moc"
