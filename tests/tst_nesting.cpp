#include "Error_Handler.h"
#include "NestingGuard.h"
#include "VrLookup.h"
#include "WireBytes.h"
#include "ImageSources.h"

#include <QtTest>
#include <dcmtk/dcmdata/dctag.h>
#include <zlib.h>

// Data sets nested deep, in every encoding the receiver's nesting guard follows. Past 64
// levels of sequence and item the data set is refused before DCMTK's recursive parser sees
// it; legitimate structures (shallower nesting, many pixel data fragments) still parse.
namespace {

using namespace wire;

QByteArray rawDeflate(const QByteArray &in)
{
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(in.size()))), 0);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.constData()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(int(z.total_out));
    deflateEnd(&z);
    return out;
}

const QString kImplicit = QStringLiteral("1.2.840.10008.1.2");
const QString kExplicit = QStringLiteral("1.2.840.10008.1.2.1");
const QString kBig = QStringLiteral("1.2.840.10008.1.2.2");
const QString kDeflated = QStringLiteral("1.2.840.10008.1.2.1.99");

// True when the data set parsed, false when the guard refused it; any other failure is
// reported as it is, so that a parse error never passes for a refusal.
QVariant outcome(const QByteArray &bytes, const QString &syntax)
{
    try {
        dicom::detail::parseReceivedDataSet(bytes, syntax);
        return true;
    } catch (const AppError &e) {
        return e.description().contains(QLatin1String("nested too deep")) ? QVariant(false) : QVariant(e.description());
    }
}

} // namespace

class NestingTest : public QObject
{
    Q_OBJECT

private slots:
    void guard_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("syntax");
        QTest::addColumn<bool>("parses");

        for (bool defined : {false, true}) {
            const QString how = defined ? " defined lengths" : " undefined lengths";
            QTest::newRow(qPrintable("implicit 60" + how)) << nested(60, Enc::Implicit, defined) << kImplicit << true;
            QTest::newRow(qPrintable("implicit 70" + how)) << nested(70, Enc::Implicit, defined) << kImplicit << false;
            QTest::newRow(qPrintable("explicit 60" + how)) << nested(60, Enc::ExplicitLittle, defined) << kExplicit << true;
            QTest::newRow(qPrintable("explicit 70" + how)) << nested(70, Enc::ExplicitLittle, defined) << kExplicit << false;
            QTest::newRow(qPrintable("big endian 60" + how)) << nested(60, Enc::ExplicitBig, defined) << kBig << true;
            QTest::newRow(qPrintable("big endian 70" + how)) << nested(70, Enc::ExplicitBig, defined) << kBig << false;
        }
        QTest::newRow("deflated 60") << rawDeflate(nested(60, Enc::ExplicitLittle, false)) << kDeflated << true;
        QTest::newRow("deflated 5000") << rawDeflate(nested(5000, Enc::ExplicitLittle, false)) << kDeflated << false;
        QTest::newRow("very deep") << nested(20000, Enc::Implicit, false) << kImplicit << false;

        // Sequences that only an implicit reading reveals: UN of undefined length in explicit
        // VR, and private elements whose value starts with an item.
        const QByteArray innerImplicit = nested(70, Enc::Implicit, false);
        const auto undefinedUN = [&](quint16 g, quint16 e) {
            return sequenceHeader(g, e, 0xFFFFFFFF, Enc::ExplicitLittle, "UN") + itemHeader(0xFFFFFFFF, false)
                   + innerImplicit + tag(0xFFFE, 0xE00D, false) + u32(0, false) + tag(0xFFFE, 0xE0DD, false) + u32(0, false);
        };
        QTest::newRow("explicit UN holding deep implicit content") << undefinedUN(0x0009, 0x1001) << kExplicit << false;
        QTest::newRow("private defined-length elements nesting items")
            << nested(70, Enc::Implicit, true, 0x0009, 0x1001) << kImplicit << false;

        // Headers the guard must read as DCMTK does, or nesting hides behind them: VRs that
        // DCMTK reads with a 4-byte length (reserved bytes that look like a 2-byte length of
        // 0xFFFE), a group FFFE element that is no item, UN pixel data of undefined length (an
        // implicit sequence, not fragments), and a value of defined length claiming more.
        const QByteArray deepExplicit = nested(70, Enc::ExplicitLittle, false);
        for (const char *vr : {"ZZ", "ox", "lt"})
            QTest::newRow(qPrintable(QString("explicit VR %1 with the 4-byte length").arg(vr)))
                << tag(0x0009, 0x1002, false) + QByteArray(vr, 2) + u16(0xFFFE, false) + u32(4, false) + "abcd"
                       + deepExplicit
                << kExplicit << false;
        QTest::newRow("group FFFE element that is no item")
            << tag(0xFFFE, 0x1234, false) + QByteArray("OB") + u16(0, false) + u32(0, false) + deepExplicit
            << kExplicit << false;
        QTest::newRow("UN pixel data of undefined length") << undefinedUN(0x7FE0, 0x0010) << kExplicit << false;
        QTest::newRow("value whose content claims to run past its end")
            << tag(0x0009, 0x1001, false) + u32(16, false) + itemHeader(8, false) + tag(0x0009, 0x1002, false)
                   + u32(100000, false) + innerImplicit
            << kImplicit << false;

        // Encapsulated pixel data: a thousand fragments are no nesting at all.
        QByteArray pixels = sequenceHeader(0x7FE0, 0x0010, 0xFFFFFFFF, Enc::ExplicitLittle, "OB");
        pixels += itemHeader(0, false);
        for (int i = 0; i < 1000; ++i)
            pixels += itemHeader(4, false) + QByteArray("\x01\x02\x03\x04", 4);
        pixels += tag(0xFFFE, 0xE0DD, false) + u32(0, false);
        QTest::newRow("encapsulated pixel data") << pixels << "1.2.840.10008.1.2.5" << true;
    }

    // The guard asks DCMTK once per tag and VR name: what it remembers must be DCMTK's answer,
    // also for tags that meet in one slot of the per-thread memory, and asked again.
    void rememberedVRsAreDcmtks()
    {
        for (int pair = 0; pair < 0x10000; ++pair) {
            const uint8_t bytes[2] = {uint8_t(pair >> 8), uint8_t(pair)};
            const char name[3] = {char(bytes[0]), char(bytes[1]), 0};
            QCOMPARE(dicom::detail::wireVR(bytes), DcmVR(name).getEVR());
        }
        for (int round = 0; round < 2; ++round)
            for (uint16_t group : {0x0000, 0x0002, 0x0008, 0x0009, 0x0010, 0x0028, 0x5000, 0x6002, 0x7FE0, 0xFFFE})
                for (uint32_t element = 0; element < 0x10000; element += 7)
                    QCOMPARE(dicom::detail::dictionaryVR(group, uint16_t(element)),
                             DcmTag(group, uint16_t(element)).getEVR());
    }

    void guard()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, syntax);
        QFETCH(bool, parses);
        QCOMPARE(outcome(bytes, syntax), QVariant(parses));
    }

    // What DCMTK's parse of a data set costs, as the guard counts it: objects, steps of the
    // sorted insert (per item) and of private creator look-ups, value bytes held for each read
    // length (64 KiB, 4 KiB, 256); and a value or container running past the defined end of
    // one enclosing it, which DCMTK reads on as claimed.
    void shape_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("explicitVR");
        // Objects, steps, held at each read length; none to compare for a data set not to parse.
        QTest::addColumn<QList<quint64>>("counts");
        QTest::addColumn<bool>("overrun");
        // Its top-level elements in tag order, none repeated: kept as they came after the front.
        QTest::addColumn<bool>("ordered");
        const auto el = [](quint16 g, quint16 e, const QByteArray &v = {}) {
            return tag(g, e, false) + u32(quint32(v.size()), false) + v;
        };
        const auto ex = [](quint16 g, quint16 e, const char *vr, const QByteArray &v) {
            const bool wide = QByteArray(vr) == "OB" || QByteArray(vr) == "UT";
            return tag(g, e, false) + QByteArray(vr, 2) + (wide ? u16(0, false) + u32(quint32(v.size()), false)
                                                              : u16(quint16(v.size()), false)) + v;
        };
        const QByteArray end = tag(0xFFFE, 0xE00D, false) + u32(0, false);
        const QByteArray seqEnd = tag(0xFFFE, 0xE0DD, false) + u32(0, false);
        QTest::newRow("ascending") << el(0x0010, 0x0010) + el(0x0010, 0x0020) + el(0x0010, 0x0030) << false
                                   << QList<quint64>{3, 0, 0, 0, 0} << false << true;
        QTest::newRow("descending") << el(0x0010, 0x0030) + el(0x0010, 0x0020) + el(0x0010, 0x0010) << false
                                    << QList<quint64>{3, 3, 0, 0, 0} << false << false;
        QTest::newRow("repeated") << el(0x0010, 0x0010) + el(0x0010, 0x0010) + el(0x0010, 0x0010) << false
                                  << QList<quint64>{3, 3, 0, 0, 0} << false << false;
        QTest::newRow("private creators, looked up twice per private element")
            << el(0x0009, 0x0010, "AB") + el(0x0009, 0x0011, "CD") + el(0x0009, 0x1000) + el(0x0009, 0x1100) << false
            << QList<quint64>{4, 8, 4, 4, 4} << false << true;
        QTest::newRow("an element whose VR DCMTK looks up in its item")
            << el(0x0009, 0x1000) + el(0x0010, 0x0010) + el(0x0028, 0x0120, "ab") << false
            << QList<quint64>{3, 2, 2, 2, 2} << false << true;
        const QByteArray descending = el(0x0010, 0x0020) + el(0x0010, 0x0010);
        QTest::newRow("each item its own list")
            << el(0x0008, 0x1032, {}).left(4) + u32(0xFFFFFFFF, false) + itemHeader(0xFFFFFFFF, false) + descending
                   + end + itemHeader(0xFFFFFFFF, false) + descending + end + seqEnd + el(0x0010, 0x0010)
            << false << QList<quint64>{8, 2, 0, 0, 0} << false << true;
        QTest::newRow("values by read length, text whatever its length")
            << ex(0x0009, 0x1000, "OB", QByteArray(300, 'a')) + ex(0x0009, 0x1001, "OB", QByteArray(5000, 'a'))
                   + ex(0x0009, 0x1002, "OB", QByteArray(70000, 'a')) + ex(0x0040, 0xA160, "UT", QByteArray(70000, 'a'))
            << true << QList<quint64>{4, 0, 75300, 70300, 70000} << false << true;
        // (0008,1032) a sequence of defined length, its item of undefined length.
        const auto sequence = [&](const QByteArray &content) {
            return el(0x0008, 0x1032, itemHeader(0xFFFFFFFF, false) + content) + el(0x0008, 0x1040);
        };
        QTest::newRow("value within its sequence") << sequence(el(0x0008, 0x0104, QByteArray(16, 'a'))) << false
                                                   << QList<quint64>{4, 0, 16, 16, 16} << false << true;
        QTest::newRow("value claiming 0xFFFFFFF0 bytes in a sequence of defined length")
            << sequence(tag(0x0008, 0x0104, false) + u32(0xFFFFFFF0, false) + QByteArray(16, 'a')) << false
            << QList<quint64>{} << true << true;
        QTest::newRow("item longer than its sequence")
            << el(0x0008, 0x1032, itemHeader(100, false) + el(0x0008, 0x0104)) + el(0x0008, 0x1040) << false
            << QList<quint64>{} << true << true;
        QTest::newRow("header across the end of its item")
            << el(0x0008, 0x1032, itemHeader(12, false) + el(0x0008, 0x0104) + tag(0x0008, 0x0105, false))
                   + el(0x0008, 0x1040)
            << false << QList<quint64>{} << true << true;
    }

    void shape()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, explicitVR);
        QFETCH(QList<quint64>, counts);
        QFETCH(bool, overrun);
        QFETCH(bool, ordered);
        // Whole, and a byte at a time: what the guard counts must not hang on where reads end.
        for (qsizetype piece : {bytes.size(), qsizetype(1)}) {
            dicom::detail::NestingGuard guard({explicitVR, false, false});
            for (qsizetype at = 0; at < bytes.size(); at += piece)
                QVERIFY(guard.feed(reinterpret_cast<const uint8_t *>(bytes.constData()) + at,
                                   size_t(std::min(piece, bytes.size() - at))));
            const auto &shape = guard.shape();
            if (!overrun)
                QCOMPARE((QList<quint64>{shape.objects, shape.parseSteps, shape.heldValues[0], shape.heldValues[1],
                                         shape.heldValues[2]}),
                         counts);
            QCOMPARE(guard.endsInsideElement(), overrun);
            if (!overrun)
                QCOMPARE(shape.topLevelOrdered, ordered);
        }
    }
};

QTEST_GUILESS_MAIN(NestingTest)
#include "tst_nesting.moc"

