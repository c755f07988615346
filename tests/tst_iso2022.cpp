#include "Iso2022.h"

#include <QtTest>

// The ISO 2022 encoder alone: text in, bytes out, against the examples of the DICOM standard
// (PS3.5 annexes H and I), and a value 1 it does not know.
class Iso2022Test : public QObject
{
    Q_OBJECT

private slots:
    void encodes_data()
    {
        QTest::addColumn<QStringList>("terms");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");  // empty: refused

        QTest::newRow("Japanese person name, kanji after the ASCII group")
            << QStringList{"", "ISO 2022 IR 87"} << QString::fromUtf8("Yamada^Tarou=山田^太郎")
            << QByteArray("Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B");
        QTest::newRow("Korean person name, designated again after each delimiter")
            << QStringList{"", "ISO 2022 IR 149"} << QString::fromUtf8("Hong^Gildong=洪^吉洞")
            << QByteArray("Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7");
        QTest::newRow("ASCII alone needs no escape") << QStringList{"", "ISO 2022 IR 87"} << QStringLiteral("Klinikum")
                                                     << QByteArray("Klinikum");
        QTest::newRow("a set no term names is refused") << QStringList{"ISO 2022 IR 999"} << QStringLiteral("A")
                                                        << QByteArray();
    }

    void encodes()
    {
        QFETCH(QStringList, terms);
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        std::vector<std::string> in;
        for (const QString &t : terms)
            in.push_back(t.toStdString());
        std::string out;
        std::vector<std::string> added;
        const bool ok = dicom::detail::encodeIso2022(in, EVR_PN, text, out, added);
        QCOMPARE(ok, !bytes.isEmpty());
        if (!ok)
            return;
        QCOMPARE(QByteArray::fromStdString(out), bytes);
        QVERIFY(added.empty());  // every character in a declared set
    }
};

QTEST_GUILESS_MAIN(Iso2022Test)
#include "tst_iso2022.moc"
