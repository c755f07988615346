#include "Error_Handler.h"
#include "GuardedConnection.h"
#include "WireScanner.h"
#include "ImageSources.h"

#include <QtTest>
#include <cerrno>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

// Data sets nested deep, in every encoding the receiver's nesting guard follows. Past 64
// levels of sequence and item the data set is refused before DCMTK's recursive parser sees
// it; legitimate structures (shallower nesting, many pixel data fragments) still parse.
namespace {

enum class Enc { Implicit, ExplicitLittle, ExplicitBig };

QByteArray u16(quint16 v, bool big)
{
    QByteArray out;
    out.append(char(big ? v >> 8 : v));
    out.append(char(big ? v : v >> 8));
    return out;
}
QByteArray u32(quint32 v, bool big) { return big ? u16(v >> 16, true) + u16(v, true) : u16(v, false) + u16(v >> 16, false); }

QByteArray u32be(quint32 v) { return u32(v, true); }

QByteArray tag(quint16 g, quint16 e, bool big) { return u16(g, big) + u16(e, big); }

QByteArray sequenceHeader(quint16 g, quint16 e, quint32 length, Enc enc, const char *vr = "SQ")
{
    const bool big = enc == Enc::ExplicitBig;
    if (enc == Enc::Implicit)
        return tag(g, e, false) + u32(length, false);
    return tag(g, e, big) + QByteArray(vr, 2) + u16(0, big) + u32(length, big);
}

QByteArray itemHeader(quint32 length, bool big) { return tag(0xFFFE, 0xE000, big) + u32(length, big); }

// `depth` levels of (0040,A730) sequence > item, with undefined or defined lengths.
QByteArray nested(int depth, Enc enc, bool defined, quint16 g = 0x0040, quint16 e = 0xA730, const char *vr = "SQ")
{
    const bool big = enc == Enc::ExplicitBig;
    QByteArray inner;
    for (int i = 0; i < depth; ++i) {
        if (defined) {
            const QByteArray item = itemHeader(quint32(inner.size()), big) + inner;
            inner = sequenceHeader(g, e, quint32(item.size()), enc, vr) + item;
        } else {
            inner = sequenceHeader(g, e, 0xFFFFFFFF, enc, vr) + itemHeader(0xFFFFFFFF, big) + inner
                    + tag(0xFFFE, 0xE00D, big) + u32(0, big) + tag(0xFFFE, 0xE0DD, big) + u32(0, big);
        }
    }
    return inner;
}

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

// A PDV item: `command` or data set, `last` fragment or not.
QByteArray item(quint8 context, bool command, const QByteArray &value, bool last = true)
{
    return u32be(quint32(value.size()) + 2) + char(context) + char((command ? 1 : 0) | (last ? 2 : 0)) + value;
}

// A P-DATA PDU holding `items`.
QByteArray pdu(const QByteArray &items) { return QByteArray("\x04\x00", 2) + u32be(quint32(items.size())) + items; }

// P-DATA as most peers send it: one PDV per PDU.
QByteArray pdv(quint8 context, bool command, const QByteArray &value) { return pdu(item(context, command, value)); }

// A command set announcing a data set (0000,0800) = `dataSetType`, implicit VR little endian.
QByteArray command(quint16 dataSetType)
{
    return tag(0x0000, 0x0100, false) + u32(2, false) + u16(0x0001, false) + tag(0x0000, 0x0800, false)
           + u32(2, false) + u16(dataSetType, false);
}

using Seen = dicom::detail::WireScanner::DataSetSummary;

// What DCMTK gets to read of `bytes` fed to the scanner `chunk` bytes at a time: null once
// refused; and into `seen`, as many data-set summaries as it has room for, in the order taken.
std::optional<QByteArray> scanned(const QByteArray &bytes, size_t chunk = SIZE_MAX, std::vector<Seen> *seen = nullptr)
{
    dicom::detail::WireScanner scanner;
    scanner.setEncoding(1, {true, false, false});
    scanner.setEncoding(3, {});
    std::string out;
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.constData());
    for (size_t at = 0; at < size_t(bytes.size()); at += chunk) {
        if (!scanner.feed(p + at, std::min(chunk, size_t(bytes.size()) - at), out))
            return std::nullopt;
    }
    if (seen)
        for (Seen &each : *seen)
            each = scanner.takeDataSet();
    return QByteArray(out.data(), qsizetype(out.size()));
}

bool passes(const QByteArray &bytes) { return scanned(bytes) == bytes && scanned(bytes, 1) == bytes; }

// What DCMTK reads of `bytes` sent to a guarded connection, reading as DCMTK does: a wait, a
// PDU header, then exactly the body it announces. Null once a read fails.
// The first `received` bytes come as the acceptor hands them over, read already.
std::optional<QByteArray> throughConnection(QByteArray bytes, qsizetype received = 0)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return std::nullopt;
    dicom::detail::GuardedConnection connection(fds[0], {bytes.begin(), bytes.begin() + received});  // closes fds[0]
    bytes.remove(0, received);
    connection.setTransferSyntax(1, EXS_LittleEndianExplicit);
    std::thread writer([&] {
        (void)!::write(fds[1], bytes.constData(), size_t(bytes.size()));
        ::close(fds[1]);
    });
    QByteArray got;
    auto readExactly = [&](size_t n) {
        QByteArray part(qsizetype(n), '\0');
        for (size_t have = 0; have < n;) {
            const ssize_t r = connection.read(part.data() + have, n - have);
            if (r <= 0)
                return false;
            have += size_t(r);
        }
        got += part;
        return true;
    };
    bool ok = true;
    while (ok && connection.networkDataAvailable(1) && readExactly(6))
        ok = readExactly(dicom::detail::bigEndian32(reinterpret_cast<const uint8_t *>(got.constData()) + got.size() - 4));
    writer.join();
    char end;
    if (!ok || connection.read(&end, 1) != 0)
        return std::nullopt;
    return got;
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
        QTest::newRow("explicit UN holding deep implicit content")
            << sequenceHeader(0x0009, 0x1001, 0xFFFFFFFF, Enc::ExplicitLittle, "UN") + itemHeader(0xFFFFFFFF, false)
                   + innerImplicit + tag(0xFFFE, 0xE00D, false) + u32(0, false) + tag(0xFFFE, 0xE0DD, false)
                   + u32(0, false)
            << kExplicit << false;
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
        QTest::newRow("UN pixel data of undefined length")
            << sequenceHeader(0x7FE0, 0x0010, 0xFFFFFFFF, Enc::ExplicitLittle, "UN") + itemHeader(0xFFFFFFFF, false)
                   + innerImplicit + tag(0xFFFE, 0xE00D, false) + u32(0, false) + tag(0xFFFE, 0xE0DD, false)
                   + u32(0, false)
            << kExplicit << false;
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
                                   << QList<quint64>{3, 0, 0, 0, 0} << false;
        QTest::newRow("descending") << el(0x0010, 0x0030) + el(0x0010, 0x0020) + el(0x0010, 0x0010) << false
                                    << QList<quint64>{3, 3, 0, 0, 0} << false;
        QTest::newRow("repeated") << el(0x0010, 0x0010) + el(0x0010, 0x0010) + el(0x0010, 0x0010) << false
                                  << QList<quint64>{3, 3, 0, 0, 0} << false;
        QTest::newRow("private creators, looked up twice per private element")
            << el(0x0009, 0x0010, "AB") + el(0x0009, 0x0011, "CD") + el(0x0009, 0x1000) + el(0x0009, 0x1100) << false
            << QList<quint64>{4, 8, 4, 4, 4} << false;
        QTest::newRow("an element whose VR DCMTK looks up in its item")
            << el(0x0009, 0x1000) + el(0x0010, 0x0010) + el(0x0028, 0x0120, "ab") << false
            << QList<quint64>{3, 2, 2, 2, 2} << false;
        const QByteArray descending = el(0x0010, 0x0020) + el(0x0010, 0x0010);
        QTest::newRow("each item its own list")
            << el(0x0008, 0x1032, {}).left(4) + u32(0xFFFFFFFF, false) + itemHeader(0xFFFFFFFF, false) + descending
                   + end + itemHeader(0xFFFFFFFF, false) + descending + end + seqEnd + el(0x0010, 0x0010)
            << false << QList<quint64>{8, 2, 0, 0, 0} << false;
        QTest::newRow("values by read length, text whatever its length")
            << ex(0x0009, 0x1000, "OB", QByteArray(300, 'a')) + ex(0x0009, 0x1001, "OB", QByteArray(5000, 'a'))
                   + ex(0x0009, 0x1002, "OB", QByteArray(70000, 'a')) + ex(0x0040, 0xA160, "UT", QByteArray(70000, 'a'))
            << true << QList<quint64>{4, 0, 75300, 70300, 70000} << false;
        // (0008,1032) a sequence of defined length, its item of undefined length.
        const auto sequence = [&](const QByteArray &content) {
            return el(0x0008, 0x1032, itemHeader(0xFFFFFFFF, false) + content) + el(0x0008, 0x1040);
        };
        QTest::newRow("value within its sequence") << sequence(el(0x0008, 0x0104, QByteArray(16, 'a'))) << false
                                                   << QList<quint64>{4, 0, 16, 16, 16} << false;
        QTest::newRow("value claiming 0xFFFFFFF0 bytes in a sequence of defined length")
            << sequence(tag(0x0008, 0x0104, false) + u32(0xFFFFFFF0, false) + QByteArray(16, 'a')) << false
            << QList<quint64>{} << true;
        QTest::newRow("item longer than its sequence")
            << el(0x0008, 0x1032, itemHeader(100, false) + el(0x0008, 0x0104)) + el(0x0008, 0x1040) << false
            << QList<quint64>{} << true;
        QTest::newRow("header across the end of its item")
            << el(0x0008, 0x1032, itemHeader(12, false) + el(0x0008, 0x0104) + tag(0x0008, 0x0105, false))
                   + el(0x0008, 0x1040)
            << false << QList<quint64>{} << true;
    }

    void shape()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, explicitVR);
        QFETCH(QList<quint64>, counts);
        QFETCH(bool, overrun);
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
        }
    }


    // DCMTK's command reader parses whatever PDV comes while a command is due as a command:
    // a data set passes only where a command announced one, on that command's context.
    void dimseOrder_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("passes");
        const QByteArray data = nested(3, Enc::ExplicitLittle, false);
        QTest::newRow("command, then its data set") << pdv(1, true, command(0x0000)) + pdv(1, false, data) << true;
        QTest::newRow("two messages") << pdv(1, true, command(0x0000)) + pdv(1, false, data) + pdv(1, true, command(0x0101))
                                       << true;
        QTest::newRow("data set where a command is due") << pdv(1, false, data) << false;
        QTest::newRow("data set after a command announcing none") << pdv(1, true, command(0x0101)) + pdv(1, false, data)
                                                                   << false;
        QTest::newRow("data set on another context") << pdv(1, true, command(0x0000)) + pdv(3, false, data) << false;
        QTest::newRow("data set on a context not accepted") << pdv(5, true, command(0x0000)) + pdv(5, false, data)
                                                             << false;
        QTest::newRow("command where its data set is due") << pdv(1, true, command(0x0000)) + pdv(1, true, command(0x0101))
                                                            << false;
        QTest::newRow("command whose announcement cannot be read")
            << pdv(1, true, nested(1, Enc::Implicit, false) + command(0x0000)) << false;
        // P-DATA PDUs DCMTK refuses: the guard refuses them before it.
        QTest::newRow("P-DATA without PDVs") << pdu({}) << false;
        QTest::newRow("PDV shorter than its header") << pdu(u32be(1) + char(1)) << false;
        QTest::newRow("PDV running past its PDU") << pdu(item(1, true, command(0x0101)).chopped(1)) << false;
        QTest::newRow("PDU ending inside a PDV header")
            << pdu(item(1, true, command(0x0000)) + item(1, false, data).left(5)) << false;
        QTest::newRow("P-DATA larger than DCMTK's buffer")
            << pdu(item(1, true, command(0x0000)) + item(1, false, QByteArray(128 * 1024 + 100, '\0'))) << false;
    }

    void dimseOrder()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, passes);
        QCOMPARE(::passes(bytes), passes);
    }

    // Once refused, a connection stays refused, also while its peer keeps it open and says
    // nothing more: no read waits on it.
    void refusalHolds()
    {
        int fds[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        dicom::detail::GuardedConnection connection(fds[0], {});  // closes fds[0]
        connection.setTransferSyntax(1, EXS_LittleEndianExplicit);
        const timeval bound{10, 0};  // only a connection that waits after all meets this
        ::setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        const QByteArray refused = pdv(1, false, nested(1, Enc::ExplicitLittle, false));
        QCOMPARE(::write(fds[1], refused.constData(), size_t(refused.size())), refused.size());
        char buffer[6];
        ssize_t n;
        while ((n = connection.read(buffer, sizeof buffer)) > 0) {
        }
        QCOMPARE(n, ssize_t(-1));
        QCOMPARE(connection.read(buffer, sizeof buffer), ssize_t(-1));
        QCOMPARE(errno, EPROTO);
        ::close(fds[1]);
    }

    // Several PDVs in one PDU (fragments of a command and its data set, or whole messages)
    // reach DCMTK as one PDU per PDV, each PDV unchanged; other PDUs as they came.
    void onePdvPerPdu_data()
    {
        QTest::addColumn<QList<QByteArray>>("items");
        const QByteArray data = nested(2, Enc::ExplicitLittle, false);
        const QByteArray store = command(0x0000);
        QTest::newRow("command and data set in three fragments")
            << QList<QByteArray>{item(1, true, store), item(1, false, data.left(5), false),
                                 item(1, false, data.mid(5, 30), false), item(1, false, data.mid(35))};
        QTest::newRow("two whole C-STOREs")
            << QList<QByteArray>{item(1, true, store), item(1, false, data), item(1, true, store), item(1, false, data)};
        QTest::newRow("two C-ECHOs") << QList<QByteArray>{item(1, true, command(0x0101)), item(1, true, command(0x0101))};
        const QByteArray large = nested(1, Enc::ExplicitLittle, false) + tag(0x0009, 0x1010, false) + "OB"
                                 + u16(0, false) + u32(100000, false) + QByteArray(100000, '\x55');
        QTest::newRow("a large data set in two fragments")
            << QList<QByteArray>{item(1, true, store), item(1, false, large.left(70000), false),
                                 item(1, false, large.mid(70000))};
        QTest::newRow("command in fragments, an empty one among them")
            << QList<QByteArray>{item(1, true, store.left(3), false), item(1, true, {}, false),
                                 item(1, true, store.mid(3))};
    }

    void onePdvPerPdu()
    {
        QFETCH(QList<QByteArray>, items);
        const QByteArray release("\x05\x00\x00\x00\x00\x04\x00\x00\x00\x00", 10);
        QByteArray expected;
        for (const QByteArray &each : items)
            expected += pdu(each);
        const QByteArray sent = pdu(items.join()) + release;
        for (size_t chunk : {size_t(1), size_t(7), SIZE_MAX})
            QCOMPARE(scanned(sent, chunk), std::optional<QByteArray>(expected + release));
        QCOMPARE(throughConnection(sent), std::optional<QByteArray>(expected + release));
        QCOMPARE(throughConnection(sent, 9), std::optional<QByteArray>(expected + release));
    }

    // A data set's summary is its own, however many messages the scanner is ahead by, so a
    // data set that ends inside a value is never judged by its successor's.
    void summaryPerDataSet()
    {
        const QByteArray good = nested(1, Enc::ExplicitLittle, false);
        const QByteArray cut = good + tag(0x7FE0, 0x0010, false) + QByteArray("OB\0\0", 4) + u32(0xFFFFFFF0, false)
                               + QByteArray(64, '\0');
        std::vector<Seen> seen(3);
        QVERIFY(scanned(pdu(item(1, true, command(0x0000)) + item(1, false, cut) + item(1, true, command(0x0000))
                            + item(1, false, good)),
                        SIZE_MAX, &seen));
        QVERIFY(seen[0].endsInsideElement);
        QVERIFY(!seen[1].endsInsideElement);
        QCOMPARE(seen[1].size, quint64(good.size()));
        QCOMPARE(seen[1].shape.objects, quint64(2));  // its sequence and item
        QVERIFY(seen[2].endsInsideElement);  // none left: nothing to parse
    }

    // A message must keep coming: however fast it began, a minute that brings too little
    // ends it.
    void slowMessageIsRefused()
    {
        dicom::detail::WireScanner scanner;
        scanner.setEncoding(1, {true, false, false});
        std::string out;
        const QByteArray start = pdv(1, true, command(0x0000));
        QVERIFY(scanner.feed(reinterpret_cast<const uint8_t *>(start.constData()), size_t(start.size()), out));
        const auto t0 = dicom::detail::WireScanner::Clock::now();
        using std::chrono::seconds;
        QVERIFY(scanner.arrived(100u << 20, t0));  // 100 MiB at once
        QVERIFY(scanner.arrived(2, t0 + seconds(59)));
        QVERIFY(!scanner.arrived(2, t0 + seconds(70)));  // the last minute brought 2 bytes
        QVERIFY(scanner.refused());

        dicom::detail::WireScanner steady;
        steady.setEncoding(1, {true, false, false});
        QVERIFY(steady.feed(reinterpret_cast<const uint8_t *>(start.constData()), size_t(start.size()), out));
        for (int s = 0; s < 300; ++s)
            QVERIFY(steady.arrived(64 * 1024, t0 + seconds(s)));
    }
};

QTEST_GUILESS_MAIN(NestingTest)
#include "tst_nesting.moc"
