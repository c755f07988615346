#include "AppFolder.h"
#include "DicomTools.h"
#include "AppError.h"
#include "Image.h"
#include "ListenerRegistry.h"
#include "Spool.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcvrlo.h>

#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// The network side alone, without the window: a listener whose images go to a sink of the
// test's own, fed by DCMTK's storescu.
namespace {

class RecordingSink : public dicom::detail::ImageSink
{
public:
    explicit RecordingSink(dicom::detail::Delivery verdict) : verdict_(verdict) {}

    dicom::detail::Delivery deliver(const dicom::Connection &connection, std::unique_ptr<dicom::detail::ImageData> image,
                 const std::function<bool()> &) override
    {
        OFString uid;
        image->dataset().findAndGetOFString(DCM_SOPInstanceUID, uid);
        const QMutexLocker lock(&mutex);
        uids << QString::fromLatin1(uid.c_str());
        callingAETitles << connection.callingAETitle;
        transferSyntaxes << image->transferSyntax;
        return verdict_;
    }

    void reportLoss(std::exception_ptr reason) override
    {
        QString text;
        try {
            std::rethrow_exception(reason);
        } catch (const AppError &e) {
            text = e.description();
        } catch (...) {
            text = "unknown";
        }
        const QMutexLocker lock(&mutex);
        losses << text;
    }

    QMutex mutex;
    QStringList losses;
    QStringList uids;
    QStringList callingAETitles;
    QList<E_TransferSyntax> transferSyntaxes;

private:
    const dicom::detail::Delivery verdict_;
};

// A sink whose handler stamps each image and writes it into `folder`, as the window's does,
// taking fronts as the window's sink does; it counts the images that were streamed.
class StampingSink : public dicom::detail::ImageSink
{
public:
    StampingSink(QString folder, QString stamp) : folder_(std::move(folder)), stamp_(std::move(stamp)) {}

    bool handsOver() const override { return true; }
    std::unique_ptr<dicom::detail::ImageDelivery> handOver(const dicom::Connection &,
                                                           std::unique_ptr<dicom::detail::ImageData> image,
                                                           const std::function<bool()> &) override
    {
        auto delivery = std::make_unique<dicom::detail::ImageDelivery>(std::move(image));
        dicom::Image &received = delivery->image();
        received.attributes().setAttribute(0x0008, 0x0080, stamp_);
        received.write(folder_ + "/" + received.nameValue() + ".dcm", true);
        return delivery;
    }
    dicom::detail::Delivery deliver(const dicom::Connection &connection, std::unique_ptr<dicom::detail::ImageData> image,
                                    const std::function<bool()> &abandon) override
    {
        const auto delivery = handOver(connection, std::move(image), abandon);
        const bool stored = delivery->carryOut([this](std::exception_ptr e) { reportLoss(e); });
        return stored ? dicom::detail::Delivery::Stored : dicom::detail::Delivery::Refused;
    }
    void reportLoss(std::exception_ptr) override { ++losses; }
    void associationEnded(const dicom::AssociationEnd &end) override { streamed += int(end.streamed); }

    std::atomic<int> losses{0};
    std::atomic<int> streamed{0};

private:
    const QString folder_;
    const QString stamp_;
};

} // namespace

Q_DECLARE_METATYPE(dicom::detail::Delivery)

class StoreServiceTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    void deliversToTheSinkAndAnswersItsVerdict_data()
    {
        using dicom::detail::Delivery;
        QTest::addColumn<Delivery>("verdict");
        QTest::addColumn<QString>("response");
        QTest::newRow("stored") << Delivery::Stored << "Received Store Response (Success)";
        QTest::newRow("refused") << Delivery::Refused << "Received Store Response (Refused: OutOfResources";
        QTest::newRow("unstorable") << Delivery::Unstorable << "Received Store Response (Error: CannotUnderstand";
    }

    void deliversToTheSinkAndAnswersItsVerdict()
    {
        QFETCH(dicom::detail::Delivery, verdict);
        QFETCH(QString, response);
        const QString file = dir.filePath(QString("%1.dcm").arg(QTest::currentDataTag()));
        QVERIFY(tools::makeImage(tools::ctDump("1.2.3.600"), file));
        const quint16 port = tools::freePort();
        auto sink = std::make_shared<RecordingSink>(verdict);
        dicom::detail::startListener(port, sink);

        const tools::Result r =
            tools::run("storescu", {"-v", "-R", "-aet", "MODALITY1", "127.0.0.1", QString::number(port), file});
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();

        QVERIFY2(r.output.contains(response), qPrintable(r.output));
        QCOMPARE(sink->uids, QStringList{"1.2.3.600"});
        QCOMPARE(sink->callingAETitles, QStringList{"MODALITY1"});
        QCOMPARE(sink->transferSyntaxes, QList<E_TransferSyntax>{EXS_LittleEndianExplicit});
        QVERIFY(sink->losses.isEmpty());
    }

private:
    // An image of side x side 16-bit pixels, too large to stay in memory.
    QString largeImage(const QString &uid, int side)
    {
        const QString small = dir.filePath(uid + "-small.dcm"), large = dir.filePath(uid + ".dcm");
        if (!tools::makeImage(tools::ctDump(uid), small))
            return {};
        DcmFileFormat file;
        if (file.loadFile(small.toLocal8Bit().constData()).bad())
            return {};
        DcmDataset *ds = file.getDataset();
        std::vector<Uint16> pixels(size_t(side) * size_t(side), 0x0123);
        ds->putAndInsertUint16(DCM_Rows, Uint16(side));
        ds->putAndInsertUint16(DCM_Columns, Uint16(side));
        ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size());
        return file.saveFile(large.toLocal8Bit().constData(), EXS_LittleEndianExplicit).good() ? large : QString();
    }

    // Bounded, so that a receiver that waits for more instead of answering fails here.
    static tools::Result send(quint16 port, const QString &file)
    {
        return tools::run("storescu", {"-v", "-R", "-to", "20", "-td", "20", "127.0.0.1", QString::number(port), file});
    }

private slots:
    // An image's front is parsed alone and the rest kept as it came, in every uncompressed
    // syntax; a stamp its character set cannot hold takes the whole data set, and is stored
    // all the same. Every other element is as it was sent.
    void streamsTheRestAsItCame_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QString>("syntax");
        QTest::addColumn<int>("streamed");
        QTest::newRow("explicit little") << "" << "-xe" << 1;
        QTest::newRow("implicit little") << "" << "-xi" << 1;
        QTest::newRow("explicit big") << "" << "-xb" << 1;
        QTest::newRow("Greek set, Latin-1 stamp: whole") << "ISO_IR 126" << "-xe" << 0;
    }

    void streamsTheRestAsItCame()
    {
        QFETCH(QString, charset);
        QFETCH(QString, syntax);
        QFETCH(int, streamed);
        const QString uid = QString("1.2.3.610.%1").arg(QTest::currentDataTag()[0] == 'G' ? 9 : int(syntax[2].unicode()));
        const QString file = dir.filePath(uid + ".src");
        const QString extra = charset.isEmpty() ? QString() : "(0008,0005) CS [" + charset + "]\n";
        QVERIFY(tools::makeImage(tools::ctDump(uid, extra), file));
        const QString out = dir.filePath("streamed-" + uid);
        QVERIFY(QDir().mkpath(out));

        const quint16 port = tools::freePort();
        auto sink = std::make_shared<StampingSink>(out, "Klinikum Süd");
        dicom::detail::startListener(port, sink);
        const tools::Result r = tools::run("storescu", {"-v", syntax, "-to", "20", "127.0.0.1", QString::number(port), file});
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();

        QVERIFY2(r.output.contains("Received Store Response (Success)"), qPrintable(r.output));
        QCOMPARE(sink->streamed.load(), streamed);
        const QString stored = out + "/" + uid + ".dcm";
        QCOMPARE(tools::attribute(stored, "0008,0080"), QStringLiteral("(0008,0080) LO [Klinikum Süd]"));
        QStringList sent = tools::datasetDump(file), kept = tools::datasetDump(stored);
        for (QStringList *dump : {&sent, &kept})
            dump->removeIf([](const QString &line) { return line.startsWith("(0008,0005)") || line.startsWith("(0008,0080)"); });
        QCOMPARE(kept, sent);
        if (syntax == "-xe") {
            // Sent as the file holds it: the rest of the file is the rest of the data set, byte for byte.
            const QByteArray source = app::bytes(file);
            QVERIFY(app::bytes(stored).endsWith(source.mid(source.indexOf(QByteArray("\x08\x00\x30\x10LO", 6)))));
        }
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList{uid + ".dcm"});
    }

    // A file that cannot grow while the rest arrives (a full disk): the image is refused, the
    // failure reported, nothing of it left.
    void refusesWhatTheFolderCannotHold()
    {
        const QString large = largeImage("1.2.3.611", 512);
        QVERIFY(!large.isEmpty());
        const QString out = dir.filePath("full");
        QVERIFY(QDir().mkpath(out));
        const quint16 port = tools::freePort();
        auto sink = std::make_shared<StampingSink>(out, "Klinikum Nord");
        dicom::detail::startListener(port, sink);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 100 * 1024;
        setrlimit(RLIMIT_FSIZE, &small);
        const tools::Result r = send(port, large);
        setrlimit(RLIMIT_FSIZE, &old);
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();

        QVERIFY2(r.output.contains("Received Store Response (Refused: OutOfResources"), qPrintable(r.output));
        QCOMPARE(sink->losses.load(), 1);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // A data set whose parse would take DCMTK too long is refused for good, unparsed, and the
    // reason reported: here every private element would look through 240 private creators.
    void refusesAndReportsWhatCostsTooMuch()
    {
        const QString file = dir.filePath("costly.dcm");
        QVERIFY(tools::makeImage(tools::ctDump("1.2.3.602"), file));
        DcmFileFormat image;
        QVERIFY(image.loadFile(file.toLocal8Bit().constData()).good());
        DcmDataset *ds = image.getDataset();
        for (Uint16 e = 0x0010; e <= 0x00FF; ++e)
            QVERIFY(ds->putAndInsertString(DcmTag(0x0029, e, EVR_LO), "MAKER").good());
        for (quint32 e = 0x1000; e <= 0xFFFF; ++e)
            QVERIFY(ds->insert(new DcmLongString(DcmTag(0x0029, Uint16(e), EVR_LO))).good());
        QVERIFY(image.saveFile(file.toLocal8Bit().constData(), EXS_LittleEndianExplicit).good());

        const quint16 port = tools::freePort();
        auto sink = std::make_shared<RecordingSink>(dicom::detail::Delivery::Stored);
        dicom::detail::startListener(port, sink);
        const tools::Result r =
            tools::run("storescu", {"-v", "-R", "-to", "20", "-td", "20", "127.0.0.1", QString::number(port), file});
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();

        QVERIFY2(r.output.contains("Received Store Response (Error: CannotUnderstand"), qPrintable(r.output));
        QVERIFY(sink->uids.isEmpty());
        QCOMPARE(sink->losses.size(), 1);
        QVERIFY2(sink->losses[0].contains("too long to parse"), qPrintable(sink->losses[0]));
    }

    // Data sets too large for memory go to a spool file; where none can be made, the image is
    // refused at once and the reason reported. The smaller image crosses into the spool in its
    // last fragment.
    void refusesAndReportsWhatItCannotSpool_data()
    {
        QTest::addColumn<int>("side");
        QTest::newRow("2 MiB") << 1024;
        QTest::newRow("just over 1 MiB") << 724;
    }

    void refusesAndReportsWhatItCannotSpool()
    {
        QFETCH(int, side);
        const QString notAFolder = dir.filePath("not-a-folder");
        QFile blocker(notAFolder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString large = largeImage(QString("1.2.3.601.%1").arg(side), side);
        QVERIFY(!large.isEmpty());
        qputenv("TMPDIR", notAFolder.toLocal8Bit());

        const quint16 port = tools::freePort();
        auto sink = std::make_shared<RecordingSink>(dicom::detail::Delivery::Stored);
        dicom::detail::startListener(port, sink);
        const tools::Result r = send(port, large);
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();
        qunsetenv("TMPDIR");

        QVERIFY2(r.output.contains("Received Store Response (Refused: OutOfResources"), qPrintable(r.output));
        QVERIFY(sink->uids.isEmpty());
        QCOMPARE(sink->losses.size(), 1);
        QVERIFY2(sink->losses[0].contains("spool"), qPrintable(sink->losses[0]));
    }

    // The spool folder is looked at each time: one removed since the last image is made again,
    // and where its name is taken by a folder open to others or by a link, a private folder
    // beside it takes the images. Runs after a refusal, which must not stick.
    void spoolsWhereverItsFolderWentOrWhoeverTookItsName_data()
    {
        QTest::addColumn<QString>("squat");
        QTest::newRow("removed between images") << "";
        QTest::newRow("a folder open to others") << "folder";
        QTest::newRow("a link elsewhere") << "link";
    }

    void spoolsWhereverItsFolderWentOrWhoeverTookItsName()
    {
        QFETCH(QString, squat);
        const QString base = dir.filePath(QString("base-%1").arg(QTest::currentDataTag()));
        const QString usual = base + QString("/institution-stamp-%1").arg(::getuid());
        const QString elsewhere = dir.filePath(QString("elsewhere-%1").arg(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(base) && QDir().mkpath(elsewhere));
        if (squat == "folder") {
            QVERIFY(QDir().mkpath(usual));
            QVERIFY(QFile::setPermissions(usual, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                     | QFileDevice::ReadOther | QFileDevice::WriteOther
                                                     | QFileDevice::ExeOther));
        } else if (squat == "link") {
            QVERIFY(QFile::link(elsewhere, usual));
        }
        const QString first = largeImage("1.2.3.602.1", 724), second = largeImage("1.2.3.602.2", 724);
        QVERIFY(!first.isEmpty() && !second.isEmpty());
        qputenv("TMPDIR", base.toLocal8Bit());

        const quint16 port = tools::freePort();
        auto sink = std::make_shared<RecordingSink>(dicom::detail::Delivery::Stored);
        dicom::detail::startListener(port, sink);
        const tools::Result r1 = send(port, first);
        if (squat.isEmpty())
            QDir(usual).removeRecursively();
        const tools::Result r2 = send(port, second);
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();
        qunsetenv("TMPDIR");

        QVERIFY2(r1.output.contains("Received Store Response (Success)"), qPrintable(r1.output));
        QVERIFY2(r2.output.contains("Received Store Response (Success)"), qPrintable(r2.output));
        QCOMPARE(sink->uids, (QStringList{"1.2.3.602.1", "1.2.3.602.2"}));
        QVERIFY(sink->losses.isEmpty());
        QVERIFY(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        const QStringList own = QDir(base).entryList({"institution-stamp-*-*"}, QDir::Dirs | QDir::Hidden);
        QCOMPARE(own.size(), squat.isEmpty() ? 0 : 1);
        struct stat st {};
        if (!own.isEmpty())
            QVERIFY(::lstat(QFile::encodeName(base + "/" + own[0]).constData(), &st) == 0 && (st.st_mode & 0777) == 0700);
    }

    // Spool files a dead process left go before the first spool file of the folder; one that
    // a live owner holds locked, and anything else, stays.
    void removesOnlyTheSpoolFilesNoOneHolds()
    {
        const QString base = dir.filePath("leftovers"), spool = base + QString("/institution-stamp-%1").arg(::getuid());
        QVERIFY(QDir().mkpath(spool) && QFile::setPermissions(spool, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                        | QFileDevice::ExeOwner));
        for (const char *name : {".spool-dead01", ".spool-live01", "keep"})
            QVERIFY(QFile(spool + "/" + name).open(QIODevice::WriteOnly));
        QFile live(spool + "/.spool-live01");
        QVERIFY(live.open(QIODevice::ReadOnly) && ::flock(live.handle(), LOCK_EX) == 0);
        const QString large = largeImage("1.2.3.603", 724);
        QVERIFY(!large.isEmpty());
        qputenv("TMPDIR", base.toLocal8Bit());
        const quint16 port = tools::freePort();
        dicom::detail::startListener(port, std::make_shared<RecordingSink>(dicom::detail::Delivery::Stored));
        const tools::Result r = send(port, large);
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();
        qunsetenv("TMPDIR");
        QVERIFY2(r.output.contains("Received Store Response (Success)"), qPrintable(r.output));
        QCOMPARE(QDir(spool).entryList(QDir::Files | QDir::Hidden, QDir::Name), (QStringList{".spool-live01", "keep"}));

        // A spool file is its owner's alone, whatever the umask.
        qputenv("TMPDIR", base.toLocal8Bit());
        const mode_t umaskBefore = ::umask(0);
        struct stat st {};
        {
            dicom::detail::SpoolFile file;
            QVERIFY(::stat(file.path().c_str(), &st) == 0);
        }
        ::umask(umaskBefore);
        qunsetenv("TMPDIR");
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
    }
};

QTEST_GUILESS_MAIN(StoreServiceTest)
#include "tst_store_service.moc"
