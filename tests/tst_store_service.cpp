#include "DicomTools.h"
#include "AppError.h"
#include "ListenerRegistry.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcvrlo.h>

#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

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

    // A data set whose parse would take DCMTK too long is refused for good, unparsed, and the
    // reason reported: here every private element would look through 240 private creators.
    // Small enough to stay in memory: the spool folder is chosen once, by the test below.
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
    // refused at once and the reason reported. Runs last: the spool folder is chosen once per
    // process. The smaller image crosses into the spool in its last fragment.
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
        qputenv("TMPDIR", notAFolder.toLocal8Bit());

        const QString small = dir.filePath("small.dcm"), large = dir.filePath("large.dcm");
        QVERIFY(tools::makeImage(tools::ctDump("1.2.3.601"), small));
        DcmFileFormat file;
        QVERIFY(file.loadFile(small.toLocal8Bit().constData()).good());
        DcmDataset *ds = file.getDataset();
        std::vector<Uint16> pixels(size_t(side) * size_t(side), 0x0123);
        QVERIFY(ds->putAndInsertUint16(DCM_Rows, Uint16(side)).good());
        QVERIFY(ds->putAndInsertUint16(DCM_Columns, Uint16(side)).good());
        QVERIFY(ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size()).good());
        QVERIFY(file.saveFile(large.toLocal8Bit().constData(), EXS_LittleEndianExplicit).good());

        const quint16 port = tools::freePort();
        auto sink = std::make_shared<RecordingSink>(dicom::detail::Delivery::Stored);
        dicom::detail::startListener(port, sink);
        // Bounded, so that a receiver that waits for more instead of answering fails here.
        const tools::Result r =
            tools::run("storescu", {"-v", "-R", "-to", "20", "-td", "20", "127.0.0.1", QString::number(port), large});
        dicom::detail::stopListener(port);
        dicom::detail::shutdownAll();
        qunsetenv("TMPDIR");

        QVERIFY2(r.output.contains("Received Store Response (Refused: OutOfResources"), qPrintable(r.output));
        QVERIFY(sink->uids.isEmpty());
        QCOMPARE(sink->losses.size(), 1);
        QVERIFY2(sink->losses[0].contains("spool"), qPrintable(sink->losses[0]));
    }
};

QTEST_GUILESS_MAIN(StoreServiceTest)
#include "tst_store_service.moc"
