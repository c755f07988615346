#include "DicomTools.h"
#include "ListenerRegistry.h"

#include <dcmtk/dcmdata/dcdeftag.h>

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

    QMutex mutex;
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
    }
};

QTEST_GUILESS_MAIN(StoreServiceTest)
#include "tst_store_service.moc"
