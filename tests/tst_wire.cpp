#include "Error_Handler.h"
#include "GuardedConnection.h"
#include "WireBytes.h"
#include "WireScanner.h"

#include <QtTest>
#include <cerrno>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// What reaches DCMTK of the bytes a peer sends: the wire scanner splits P-DATA into one PDV
// per PDU and refuses messages out of order; the guarded connection reads through it.
namespace {

using namespace wire;

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

class WireTest : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(WireTest)
#include "tst_wire.moc"
