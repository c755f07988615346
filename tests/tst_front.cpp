#include "FrontScanner.h"
#include "WireBytes.h"

#include <QtTest>

// Where a data set's front ends, read from its bytes as they arrive, and what makes the front
// unusable alone (the whole data set is parsed then).
using namespace wire;
using Scanner = dicom::detail::FrontScanner;
Q_DECLARE_METATYPE(Scanner::State)

class FrontTest : public QObject
{
    Q_OBJECT

private slots:
    void front_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("encoding");
        QTest::addColumn<Scanner::State>("state");
        QTest::addColumn<int>("frontEnd");
        const auto el = [](quint16 g, quint16 e, const char *vr, const QByteArray &v, Enc enc) {
            const bool big = enc == Enc::ExplicitBig;
            if (enc == Enc::Implicit)
                return tag(g, e, false) + u32(quint32(v.size()), false) + v;
            const bool wide = QByteArray(vr) == "OB" || QByteArray(vr) == "SQ" || QByteArray(vr) == "UN";
            return tag(g, e, big) + QByteArray(vr, 2)
                   + (wide ? u16(0, big) + u32(quint32(v.size()), big) : u16(quint16(v.size()), big)) + v;
        };
        for (const Enc enc : {Enc::Implicit, Enc::ExplicitLittle, Enc::ExplicitBig}) {
            const QByteArray front = el(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.2", enc)
                                     + el(0x0008, 0x0018, "UI", "1.2.3.4.", enc)
                                     + el(0x0008, 0x0080, "LO", "Old Hospital", enc);
            const QByteArray rest = el(0x0010, 0x0010, "PN", "Doe^John", enc);
            const QByteArray name = QByteArray::number(int(enc));
            QTest::newRow("front, rest: " + name) << front + rest << int(enc) << Scanner::State::Found
                                                  << int(front.size());
            QTest::newRow("header of the rest not yet whole: " + name)
                << front + rest.left(5) << int(enc) << Scanner::State::Reading << 0;
            QTest::newRow("no institution, rest: " + name)
                << front.left(front.size() - 20) + rest << int(enc) << Scanner::State::Found << int(front.size() - 20);
            QTest::newRow("out of order: " + name) << front + el(0x0008, 0x0070, "LO", "MAKER!", enc) + rest << int(enc)
                                                   << Scanner::State::Unusable << 0;
            QTest::newRow("a sequence of undefined length: " + name)
                << el(0x0008, 0x0006, "SQ", {}, enc).left(enc == Enc::Implicit ? 4 : 8) + u32(0xFFFFFFFF, enc == Enc::ExplicitBig)
                       + front + rest
                << int(enc) << Scanner::State::Unusable << 0;
            QTest::newRow("group 0008's length: " + name)
                << el(0x0008, 0x0000, "UL", u32(100, enc == Enc::ExplicitBig), enc) + front + rest << int(enc)
                << Scanner::State::Unusable << 0;
            QTest::newRow("larger than the bound: " + name)
                << el(0x0008, 0x0008, "OB", QByteArray(70000, 'x'), enc) + front + rest << int(enc)
                << Scanner::State::Unusable << 0;
        }
        // A VR DCMTK keeps for itself, or does not know, is read otherwise than its length says.
        for (const char *vr : {"ox", "ZZ"})
            QTest::newRow(vr) << tag(0x0008, 0x0016, false) + QByteArray(vr, 2) + u16(2, false) + "1." << int(Enc::ExplicitLittle)
                              << Scanner::State::Unusable << 0;
    }

    void front()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, encoding);
        QFETCH(Scanner::State, state);
        QFETCH(int, frontEnd);
        // Whole, and a byte at a time: the answer must not hang on where reads end.
        for (qsizetype piece : {bytes.size(), qsizetype(1)}) {
            Scanner scanner(encoding != int(Enc::Implicit), encoding == int(Enc::ExplicitBig));
            for (qsizetype have = std::min(piece, bytes.size());; have = std::min(have + piece, bytes.size())) {
                scanner.follow(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(have));
                if (have == bytes.size() || scanner.state() != Scanner::State::Reading)
                    break;
            }
            QCOMPARE(scanner.state(), state);
            if (state == Scanner::State::Found)
                QCOMPARE(int(scanner.frontEnd()), frontEnd);
        }
    }
};

QTEST_APPLESS_MAIN(FrontTest)
#include "tst_front.moc"
