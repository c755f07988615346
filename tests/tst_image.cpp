#include "ImageAccess.h"
#include "ImageSources.h"
#include "ImageDelivery.h"
#include "FolderFlush.h"
#include "AppFolder.h"
#include "DicomTools.h"
#include "Error_Handler.h"

#include <QTemporaryDir>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <QtTest>
#include <csignal>
#include <future>
#include <thread>
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

    // The image as a server delivers it: its writes wait for the delivery to carry them out.
    static std::unique_ptr<dicom::detail::ImageDelivery> received(const QString &file)
    {
        using dicom::detail::ImageAccess;
        auto read = dicom::detail::readImageFile(file);
        return std::make_unique<dicom::detail::ImageDelivery>(
            std::make_unique<dicom::detail::ImageData>(std::move(ImageAccess::data(*read))));
    }

    // dump2dcm drops blanks from UIDs as DCMTK reads them: they are put in afterwards, in
    // place of each '_' of `placeholder`.
    static void withBlanks(const QString &file, const QByteArray &placeholder)
    {
        QByteArray bytes = app::bytes(file);
        QVERIFY(bytes.contains(placeholder));
        QVERIFY(app::write(file, bytes.replace(placeholder, QByteArray(placeholder).replace('_', ' '))));
    }

    static QStringList withoutInstitution(QStringList lines)
    {
        lines.removeIf([](const QString &l) { return l.startsWith("(0008,0080)"); });
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
        QTest::newRow("encapsulated, RLE") << QStringList{"+te"} << "RLELossless";
    }
    void stampsAndKeepsEverythingElse()
    {
        QFETCH(QStringList, dump2dcmArgs);
        QFETCH(QString, syntax);
        // UIDs with blanks, at the top and in a sequence, as some modalities send them.
        QString src = source(QTest::currentDataTag(),
                             "(0008,1140) SQ (Sequence with explicit length #=1)\n"
                             "(fffe,e000) na (Item with explicit length #=1)\n"
                             "(0008,1155) UI [1.2.3.4_5]\n"
                             "(fffe,e00d) na (ItemDelimitationItem for re-encoding)\n"
                             "(fffe,e0dd) na (SequenceDelimitationItem for re-encoding)\n"
                             "(0020,0052) UI [_1.2.3.4_6]\n",
                             dump2dcmArgs);
        if (syntax == "RLELossless") {
            QCOMPARE(tools::run("dcmcrle", {src, src + ".rle"}).exitCode, 0);
            src += ".rle";
        }
        withBlanks(src, "1.2.3.4_5");
        withBlanks(src, "_1.2.3.4_6");
        const QString out = stamp(src, "Radiologie Nord");
        QCOMPARE(tools::transferSyntax(out), syntax);
        QCOMPARE(tools::attribute(out, "0008,0080"), QStringLiteral("(0008,0080) LO [Radiologie Nord]"));
        // Only the stamped attribute differs, every pixel byte and every blank in a UID included.
        const QStringList stored = tools::datasetDump(out, {"-dc"});
        const QString shown = stored.join('\n');
        QVERIFY2(shown.contains("(0020,0052) UI [ 1.2.3.4 6]") && shown.contains("(0008,1155) UI [1.2.3.4 5"),
                 qPrintable(shown));
        QCOMPARE(withoutInstitution(stored), withoutInstitution(tools::datasetDump(src, {"-dc"})));

        // The file meta information names the image and us.
        const QString meta = tools::run("dcmdump", {"-q", "+P", "0002,0003", "+P", "0002,0012", "+P", "0002,0013", out}).output;
        QVERIFY2(meta.contains("[1.2.3.") && meta.contains("[2.25.") && meta.contains("INSTSTAMP"), qPrintable(meta));
    }

    void characterSets_data()
    {
        QTest::addColumn<QByteArray>("charset");     // (0008,0005) of the source image; empty: none
        QTest::addColumn<QByteArray>("patient");     // the bytes of its (0010,0010)
        QTest::addColumn<QString>("text");           // the institution field
        QTest::addColumn<QByteArray>("stampedSet");  // (0008,0005) afterwards
        QTest::addColumn<QByteArray>("stamped");     // the bytes of (0008,0080); null: the image is refused

        const QByteArray yamada = "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B";
        const QByteArray yamadaKatakana = "\xd4\xcf\xc0\xde^\xc0\xdb\xb3=\x1b$B;3ED\x1b(J^\x1b$BB@O:\x1b(J="
                                          "\x1b$B$d$^$@\x1b(J^\x1b$B$?$m$&\x1b(J";
        const QByteArray hong = "Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7=\x1b$)C\xc8\xab^\x1b$)C\xb1\xe6\xb5\xbf";
        const QByteArray greek = "\xd0\xe1\xf0\xe1\xe4\xfc\xf0\xef\xf5\xeb\xef\xf2^\xc3\xe9\xfe\xf1\xe3\xef\xf2";
        const QByteArray muller = "M\xfcller^J\xfcrgen";

        QTest::newRow("default repertoire, umlauts -> Latin-1") << QByteArray() << QByteArray("Doe^John") << "Klinikum Süd"
                                                                << QByteArray("ISO_IR 100") << QByteArray("Klinikum S\xfc" "d");
        QTest::newRow("default repertoire, Japanese -> UTF-8") << QByteArray() << QByteArray("Doe^John") << "東京病院"
                                                               << QByteArray("ISO_IR 192") << QString("東京病院").toUtf8();
        // Undeclared 8-bit bytes would read differently as UTF-8; code extensions keep them as they are.
        QTest::newRow("undeclared 8-bit text, Japanese -> code extensions")
            << QByteArray() << muller << "東京病院" << QByteArray("\\ISO 2022 IR 87") << QByteArray("\x1b$BEl5~IB1!\x1b(B");
        QTest::newRow("undeclared 8-bit text, no ISO 2022 set -> refused")
            << QByteArray() << muller << "Klinik 🏥" << QByteArray() << QByteArray();
        QTest::newRow("UTF-8 stays UTF-8") << QByteArray("ISO_IR 192") << QString("Müller^Jürgen").toUtf8()
                                           << "Klinikum Süd – Köln" << QByteArray("ISO_IR 192")
                                           << QString("Klinikum Süd – Köln").toUtf8();
        QTest::newRow("Latin-1 stays Latin-1") << QByteArray("ISO_IR 100") << muller << "Klinikum Süd"
                                               << QByteArray("ISO_IR 100") << QByteArray("Klinikum S\xfc" "d");
        QTest::newRow("Latin-1 with Greek -> UTF-8") << QByteArray("ISO_IR 100") << muller << "Νοσοκομείο Αθηνών"
                                                     << QByteArray("ISO_IR 192") << QString("Νοσοκομείο Αθηνών").toUtf8();
        QTest::newRow("Greek stays Greek") << QByteArray("ISO_IR 126") << greek << "Νοσοκομείο" << QByteArray("ISO_IR 126")
                                           << QByteArray("\xcd\xef\xf3\xef\xea\xef\xec\xe5\xdf\xef");
        QTest::newRow("Greek with umlauts -> UTF-8") << QByteArray("ISO_IR 126") << greek << "Klinikum Süd"
                                                     << QByteArray("ISO_IR 192") << QString("Klinikum Süd").toUtf8();
        // Code extensions: the text starts in value 1's sets, designates others by escape
        // sequences and returns at its end; every other byte stays as received.
        QTest::newRow("\\IR 87, umlaut -> IR 100 added as G1")
            << QByteArray("\\ISO 2022 IR 87") << yamada << "Klinikum Süd" << QByteArray("\\ISO 2022 IR 87\\ISO 2022 IR 100")
            << QByteArray("Klinikum S\x1b-A\xfc" "d");
        QTest::newRow("\\IR 87, en dash in no ISO 2022 set -> refused")
            << QByteArray("\\ISO 2022 IR 87") << yamada << "Klinikum Süd – Köln" << QByteArray() << QByteArray();
        QTest::newRow("IR 6\\IR 87, Greek in JIS X 0208, IR 126 added for the letter it lacks")
            << QByteArray("ISO 2022 IR 6\\ISO 2022 IR 87") << yamada << "Νοσοκομείο"
            << QByteArray("ISO 2022 IR 6\\ISO 2022 IR 87\\ISO 2022 IR 126")
            << QByteArray("\x1b$B&-&O&R&O&J&O&L&E\x1b(B\x1b-F\xdf\xef");
        QTest::newRow("IR 13\\IR 87, umlaut -> G1 back to katakana")
            << QByteArray("ISO 2022 IR 13\\ISO 2022 IR 87") << yamadaKatakana << "Klinikum Süd"
            << QByteArray("ISO 2022 IR 13\\ISO 2022 IR 87\\ISO 2022 IR 100") << QByteArray("Klinikum S\x1b-A\xfc" "d\x1b)I");
        QTest::newRow("IR 13\\IR 87, katakana and kanji -> G0 back to romaji")
            << QByteArray("ISO 2022 IR 13\\ISO 2022 IR 87") << yamadaKatakana << "ﾔﾏﾀﾞ病院"
            << QByteArray("ISO 2022 IR 13\\ISO 2022 IR 87") << QByteArray("\xd4\xcf\xc0\xde\x1b$BIB1!\x1b(J");
        QTest::newRow("\\IR 149, hangul in G1, blank in G0")
            << QByteArray("\\ISO 2022 IR 149") << hong << "서울 병원" << QByteArray("\\ISO 2022 IR 149")
            << QByteArray("\x1b$)C\xbc\xad\xbf\xef \xba\xb4\xbf\xf8");
        QTest::newRow("\\IR 149, umlaut -> IR 100 replaces it in G1")
            << QByteArray("\\ISO 2022 IR 149") << hong << "서울 Süd" << QByteArray("\\ISO 2022 IR 149\\ISO 2022 IR 100")
            << QByteArray("\x1b$)C\xbc\xad\xbf\xef S\x1b-A\xfc" "d");
        // Declarations DCMTK cannot read: ASCII needs none of it, other text can never be stored.
        QByteArray thousand = "ISO_IR 100";
        for (int i = 1; i < 1000; ++i)
            thousand += "\\ISO_IR 100";
        QTest::newRow("IR 149 alone, ASCII as it is") << QByteArray("ISO 2022 IR 149") << QByteArray("Doe^John")
                                                      << "Klinikum Nord" << QByteArray("ISO 2022 IR 149")
                                                      << QByteArray("Klinikum Nord");
        QTest::newRow("IR 100 a thousand times, ASCII as it is") << thousand << muller << "Klinikum Nord" << thousand
                                                                 << QByteArray("Klinikum Nord");
        QTest::newRow("IR 100\\IR 126, umlaut -> refused") << QByteArray("ISO_IR 100\\ISO_IR 126") << muller
                                                          << "Klinikum Süd" << QByteArray() << QByteArray();
    }
    void characterSets()
    {
        QFETCH(QByteArray, charset);
        QFETCH(QByteArray, patient);
        QFETCH(QString, text);
        QFETCH(QByteArray, stampedSet);
        QFETCH(QByteArray, stamped);
        QByteArray dump = tools::ctDump("1.2.3.77", charset.isEmpty() ? QString() : "(0008,0005) CS [" + charset + "]\n").toUtf8();
        const QString name = dir.filePath(QString("cs%1").arg(qHash(QString(QTest::currentDataTag()))));
        QVERIFY(tools::makeImage(dump.replace("Doe^John", patient), name + ".src", {"+te", "+l", "65536"}));
        const QStringList tags{"0008,0005", "0008,0080", "0010,0010"};
        const auto before = tools::readText(name + ".src", tags);
        QCOMPARE(before.value("0010,0010").raw, patient);

        auto image = dicom::detail::readImageFile(name + ".src");
        if (stamped.isNull()) {
            QVERIFY_THROWS_EXCEPTION(AppError, image->attributes().setAttribute(0x0008, 0x0080, text));
            // The image itself keeps the text out: no retry can mend that.
            const auto delivery = received(name + ".src");
            delivery->image().attributes().setAttribute(0x0008, 0x0080, text);
            delivery->image().write(name + ".dcm", true);
            QVERIFY(!delivery->carryOut({}));
            QVERIFY(delivery->unstorable());
            QVERIFY(!QFile::exists(name + ".dcm"));
            return;
        }
        image->attributes().setAttribute(0x0008, 0x0080, text);
        const QString out = name + ".dcm";
        image->write(out, true);
        const auto after = tools::readText(out, tags);
        QCOMPARE(after.value("0008,0080").raw, stamped);
        QCOMPARE(after.value("0008,0080").read, text);
        QCOMPARE(after.value("0008,0005").raw, stampedSet);
        QCOMPARE(after.value("0010,0010").read, before.value("0010,0010").read);
        // Only a move to UTF-8 rewrites the other text.
        if (stampedSet != "ISO_IR 192" || charset == "ISO_IR 192")
            QCOMPARE(after.value("0010,0010").raw, patient);
    }

    // After a delimiter, G1 is value 1's again (the examples with G0 back to ASCII and G1
    // designated again are tst_iso2022's).
    void personNameDelimitersReturnToTheInitialSets()
    {
        const QString name = QStringLiteral("Süd^ﾀﾛｳ");
        const QString src = source("pn", "(0008,0005) CS [ISO 2022 IR 13\\ISO 2022 IR 87]\n");
        auto image = dicom::detail::readImageFile(src);
        image->attributes().setAttribute(0x0010, 0x0010, name);
        image->write(src + ".dcm", true);
        const auto after = tools::readText(src + ".dcm", {"0010,0010"});
        QCOMPARE(after.value("0010,0010").raw, QByteArray("S\x1b-A\xfc" "d\x1b)I^\xc0\xdb\xb3"));
        QCOMPARE(after.value("0010,0010").read, name);
    }

    void wholeDataSetConversionWaitsForTheWrite()
    {
        // As for a received image: the handler's thread only records a stamp that needs the
        // whole data set converted; the conversion runs with the write, a failure is the write's.
        QStringList failures;
        const auto onFailure = [&](std::exception_ptr why) {
            try {
                std::rethrow_exception(why);
            } catch (const AppError &e) {
                failures << e.description();
            }
        };
        const auto greekDelivery = received(source("deferred", "(0008,0005) CS [ISO_IR 126]\n"));
        dicom::Image *greek = &greekDelivery->image();
        dicom::detail::ImageData &data = greekDelivery->data();
        greek->attributes().setAttribute(0x0008, 0x0080, "Klinikum Süd");
        OFString charset;
        data.dataset().findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
        QCOMPARE(charset, OFString("ISO_IR 126"));
        // A later stamp that needs no conversion still comes after the waiting one.
        greek->attributes().setAttribute(0x0008, 0x0080, "Klinikum Nord");
        const QString out = dir.filePath("deferred.dcm");
        greek->write(out, true);
        QVERIFY(greekDelivery->carryOut(onFailure));
        QCOMPARE(failures, QStringList());
        QCOMPARE(tools::attribute(out, "0008,0080"), QStringLiteral("(0008,0080) LO [Klinikum Nord]"));
        QCOMPARE(tools::attribute(out, "0008,0005", {}), QStringLiteral("(0008,0005) CS [ISO_IR 192]"));

        const auto japaneseDelivery = received(source("deferredFails", "(0008,0005) CS [\\ISO 2022 IR 87]\n"));
        dicom::Image *japanese = &japaneseDelivery->image();
        japanese->attributes().setAttribute(0x0008, 0x0080, "Klinikum Süd – Köln");
        const QString none = dir.filePath("deferredFails.dcm");
        japanese->write(none, true);
        QVERIFY(!japaneseDelivery->carryOut(onFailure));
        QVERIFY(japaneseDelivery->unstorable());
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures[0].startsWith("Cannot convert the image's character set to UTF-8"), qPrintable(failures[0]));
        QVERIFY(!QFile::exists(none));
    }

    void valueForm_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored");
        QTest::newRow("empty is still written") << "" << "(0008,0080) LO (no value available)";
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
        // On an image without the attribute: the stamp adds it.
        const QString src = dir.filePath("form.src");
        QVERIFY(tools::makeImage(tools::ctDump("1.2.3.79").remove("(0008,0080) LO [Old Hospital]\n"), src));
        QCOMPARE(tools::attribute(src, "0008,0080"), QString());
        QCOMPARE(tools::attribute(stamp(src, text), "0008,0080"), stored);
    }

    void nameValue_data()
    {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("name");  // empty with refused = true
        QTest::addColumn<bool>("refused");
        QTest::newRow("plain") << "1.2.840.99.1" << "1.2.840.99.1" << false;
        QTest::newRow("padded with a blank") << "1.2.840.99.2_" << "1.2.840.99.2" << false;
        QTest::newRow("64 characters") << "1." + QString(62, '9') << "1." + QString(62, '9') << false;
        QTest::newRow("slash") << "../../etc/x" << "" << true;
        QTest::newRow("backslash") << "1.2\\..\\3" << "" << true;
        QTest::newRow("control character") << QString("1.2\x01" "3") << "" << true;
        // Another image's UID once a blank is dropped, which DCMTK does as it reads a UID.
        QTest::newRow("blank inside") << "1.2_3" << "" << true;
        QTest::newRow("blank in front") << "_1.2.3" << "" << true;
        QTest::newRow("letters") << "1.2.abc" << "" << true;
        QTest::newRow("65 characters") << "1." + QString(63, '9') << "" << true;
        // A hidden file, ".1.2.dcm" (".hidden" has letters, "." is a dot first too).
        QTest::newRow("dot first") << ".1.2" << "" << true;
        QTest::newRow("empty") << "" << "" << true;
    }
    void nameValue()
    {
        QFETCH(QString, uid);
        QFETCH(QString, name);
        QFETCH(bool, refused);
        const QString src = dir.filePath("name.src");
        QVERIFY(tools::makeImage(tools::ctDump(uid), src));
        if (uid.contains('_'))
            withBlanks(src, uid.toLatin1());
        const auto delivery = received(src);
        if (refused)
            QVERIFY_THROWS_EXCEPTION(AppError, delivery->image().nameValue());
        else
            QCOMPARE(delivery->image().nameValue(), name);
        // Refused for good: the sender is told not to send it again.
        QCOMPARE(delivery->unstorable(), refused);
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
        QVERIFY(!QFile::exists(out));

        QVERIFY(QDir(dir.path()).mkdir("atomic"));
        QVERIFY(app::write(out, "earlier file"));

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
        QCOMPARE(QDir(dir.filePath("atomic")).entryList(QDir::Files | QDir::Hidden), QStringList{"1.2.3.dcm"});
        QCOMPARE(app::bytes(out), QByteArray("earlier file"));

        image->write(out, true);
        QCOMPARE(QDir(dir.filePath("atomic")).entryList(QDir::Files | QDir::Hidden), QStringList{"1.2.3.dcm"});
        QCOMPARE(tools::attribute(out, "0008,0080"), QStringLiteral("(0008,0080) LO [Old Hospital]"));
        QVERIFY_THROWS_EXCEPTION(AppError, image->write(out, false));
    }

    // Writers in one folder share its flushes, but a flush that began before a writer came
    // never counts for it: B and C arrive while the first flush is held, and both wait for a
    // second one, which they share. When that one fails, it fails both.
    void folderFlushesAreShared()
    {
        const std::string folder = dir.path().toStdString();
        for (const int second : {0, EIO}) {
            std::promise<void> firstStarted, releaseFirst;
            std::shared_future<void> released = releaseFirst.get_future().share();
            std::atomic<int> flushes{0}, failed{0};
            const auto flush = [&](const std::string &) {
                if (++flushes > 1)
                    return second;
                firstStarted.set_value();
                released.wait();
                return 0;
            };
            const auto writer = [&] {
                try {
                    dicom::detail::syncFolder(folder, flush);
                } catch (const AppError &e) {
                    failed += e.description().startsWith("Cannot flush the folder") ? 1 : 100;
                }
            };
            std::thread a(writer);
            firstStarted.get_future().wait();
            std::thread b(writer), c(writer);
            QTRY_COMPARE_WITH_TIMEOUT(dicom::detail::writersSyncing(folder), size_t(3), 60000);
            releaseFirst.set_value();
            for (std::thread *t : {&a, &b, &c})
                t->join();
            QCOMPARE(flushes.load(), 2);
            QCOMPARE(failed.load(), second == 0 ? 0 : 2);
            QCOMPARE(dicom::detail::writersSyncing(folder), size_t(0));
        }
    }

    // What a killed writer left is removed before the first write into the folder; a
    // temporary file that a live writer holds, and anything else, stays.
    void staleTemporaryFilesAreRemoved()
    {
        QVERIFY(QDir(dir.path()).mkdir("stale"));
        const QString folder = dir.filePath("stale");
        for (const char *name : {".institution-stamp-dead01.part", ".institution-stamp-live01.part", "keep.part"})
            QVERIFY(app::write(folder + "/" + name, {}));
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
