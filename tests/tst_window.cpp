#include "AppFolder.h"
#include "BrowseForFolder.h"
#include "Error_Handler.h"
#include "TextToNumber.h"
#include "frmMain.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

class WindowTest : public QObject
{
    Q_OBJECT

private:
    template <class T> static T *child(frmMain &w, const char *name)
    {
        T *c = w.findChild<T *>(QLatin1String(name));
        if (!c)
            qFatal("no control %s", name);
        return c;
    }
    static QList<QWidget *> settingsControls(frmMain &w)
    {
        return {child<QLineEdit>(w, "txtPort"), child<QLineEdit>(w, "txtFolder"),
                child<QLineEdit>(w, "txtInstitutionName"), child<QPushButton>(w, "cmdSearchFolder")};
    }
    static void verifyIdleLook(frmMain &w)
    {
        for (QWidget *c : settingsControls(w))
            QVERIFY2(c->isEnabled(), qPrintable(c->objectName()));
        QCOMPARE(child<QPushButton>(w, "btnActivate")->text(), QStringLiteral("Aktivieren"));
        QVERIFY(child<QPushButton>(w, "btnActivate")->isEnabled());
    }

private slots:
    void init()
    {
        app::clear();
    }

    void startsIdleWithEmptyFieldsWithoutSettings()
    {
        frmMain w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Institution Name ändern"));
        QCOMPARE(child<QLineEdit>(w, "txtPort")->text(), QString());
        QCOMPARE(child<QLineEdit>(w, "txtFolder")->text(), QString());
        QCOMPARE(child<QLineEdit>(w, "txtInstitutionName")->text(), QString());
        verifyIdleLook(w);
        QVERIFY(!QFile::exists(app::logPath()));
        QVERIFY(!QFile::exists(app::settingsPath()));
    }

    void fillsFieldsFromSettings()
    {
        QVERIFY(app::write(app::settingsPath(), "[InstitutionName]\r\nPort=104\r\nFolder=/srv/in/\r\n"
                                                "InstitutionName=Klinikum S\xFC" "d " + QByteArray(300, 'x') + "\r\n"));
        frmMain w;
        QCOMPARE(child<QLineEdit>(w, "txtPort")->text(), QStringLiteral("104"));
        QCOMPARE(child<QLineEdit>(w, "txtFolder")->text(), QStringLiteral("/srv/in/"));
        const QString name = child<QLineEdit>(w, "txtInstitutionName")->text();
        QCOMPARE(name.size(), 255);
        QVERIFY(name.startsWith(QStringLiteral("Klinikum Süd xxx")));
        QVERIFY(!QFile::exists(app::logPath()));
    }

    void startsWithTheCursorInThePort()
    {
        // Typing right after start-up goes into the first field; Space must not switch on.
        frmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QLineEdit *port = child<QLineEdit>(w, "txtPort");
        QCOMPARE(QApplication::focusWidget(), port);
        QVERIFY(port->hasFocus());
    }

    void deActivateLocksAndRestores()
    {
        frmMain w;
        // A long name typed to its end is shown from its start once the field is greyed.
        QLineEdit *name = child<QLineEdit>(w, "txtInstitutionName");
        name->setText(QString(300, QLatin1Char('x')));
        name->end(false);
        w.DeActivate(false);
        QCOMPARE(name->cursorPosition(), 0);
        for (QWidget *c : settingsControls(w))
            QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
        QCOMPARE(child<QPushButton>(w, "btnActivate")->text(), QStringLiteral("Deaktivieren"));
        QVERIFY(child<QPushButton>(w, "btnActivate")->isEnabled());
        QVERIFY(child<QGroupBox>(w, "frmOptions")->isEnabled());
        w.DeActivate(true);
        verifyIdleLook(w);
    }

    void layoutAndTabOrder()
    {
        frmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Focus walks the fields in working order, then the two buttons.
        const QStringList expected{"txtPort", "txtInstitutionName", "txtFolder", "cmdSearchFolder", "btnActivate"};
        QWidget *start = child<QLineEdit>(w, "txtPort");
        QWidget *c = start;
        for (const QString &name : expected) {
            QCOMPARE(c->objectName(), name);
            c = c->nextInFocusChain();
            while (c->focusPolicy() == Qt::NoFocus)
                c = c->nextInFocusChain();
        }
        QCOMPARE(c, start);

        // Every caption fits its control; labels end on one edge, left of the boxes.
        for (const char *name : {"lblPort", "lblFolder", "lblInstitutionName"}) {
            QLabel *l = child<QLabel>(w, name);
            QVERIFY2(l->sizeHint().width() <= l->width(), name);
            QCOMPARE(l->geometry().right(), child<QLabel>(w, "lblPort")->geometry().right());
            QVERIFY(l->geometry().right() < child<QLineEdit>(w, "txtPort")->x());
        }
        QPushButton *activate = child<QPushButton>(w, "btnActivate");
        QVERIFY(activate->fontMetrics().horizontalAdvance("Deaktivieren") < activate->width() - 8);
        QCOMPARE(child<QLineEdit>(w, "txtFolder")->x(), child<QLineEdit>(w, "txtPort")->x());
        QVERIFY(child<QPushButton>(w, "cmdSearchFolder")->text().isEmpty());
        // The icons are drawn, not blank.
        const QImage glass = child<QPushButton>(w, "cmdSearchFolder")->icon().pixmap(16, 16).toImage();
        QCOMPARE(glass.size(), QSize(16, 16));
        QVERIFY(qAlpha(glass.pixel(6, 6)) > 0 && qAlpha(glass.pixel(0, 15)) == 0);
        QVERIFY(qAlpha(w.windowIcon().pixmap(48, 48).toImage().pixel(20, 20)) > 0);
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(w.frameGeometry().contains(activate->mapTo(&w, activate->rect().bottomRight())));
        QCOMPARE(w.windowIcon().availableSizes().size(), 4);
    }

    void aSaveThatFailsIsLoggedAndTheSwitchGoesOn()
    {
        QTcpServer probe;  // a port free right now
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString port = QString::number(probe.serverPort());
        probe.close();
        QVERIFY(QDir().mkdir(app::settingsPath()));  // nothing can be renamed over a folder
        frmMain w;
        child<QLineEdit>(w, "txtPort")->setText(port);
        child<QLineEdit>(w, "txtFolder")->setText(app::dir());
        QPushButton *button = child<QPushButton>(w, "btnActivate");
        QTest::mouseClick(button, Qt::LeftButton);
        const bool on = button->text() == QStringLiteral("Deaktivieren");
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(QDir().rmdir(app::settingsPath()));
        QVERIFY(on);
        const QList<QByteArray> lines = app::log().split('\n');
        QCOMPARE(lines.size(), 3);  // one line per press, the last one empty
        QVERIFY2(lines[0].contains("Settings.ini") && lines[0].endsWith(" - btnActivate_Click\r"), lines[0].constData());
    }

    void portConversion_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("value");  // -1000000000000 where the text is refused
        const qint64 refused = -1000000000000;
        QTest::newRow("digits") << "104" << qint64(104);
        QTest::newRow("blanks around") << "  11112\t " << qint64(11112);
        QTest::newRow("plus sign") << "+104" << qint64(104);
        QTest::newRow("minus sign") << "-5" << qint64(-5);
        QTest::newRow("largest") << "2147483647" << qint64(2147483647);
        QTest::newRow("smallest") << "-2147483648" << qint64(-2147483648LL);
        QTest::newRow("just too large") << "2147483648" << refused;
        QTest::newRow("huge") << "99999999999999999999999" << refused;
        QTest::newRow("empty") << "" << refused;
        QTest::newRow("blanks only") << "   " << refused;
        QTest::newRow("sign only") << "-" << refused;
        QTest::newRow("blank inside") << "1 04" << refused;
        QTest::newRow("letters") << "104a" << refused;
        QTest::newRow("hex") << "0x68" << refused;
        QTest::newRow("decimal point") << "104.0" << refused;
        QTest::newRow("other digits") << "\u0661\u0660\u0664" << refused;
    }
    void portConversion()
    {
        QFETCH(QString, text);
        QFETCH(qint64, value);
        if (value == -1000000000000) {
            QVERIFY_THROWS_EXCEPTION(AppError, textToInt32(text));
        } else {
            QCOMPARE(qint64(textToInt32(text)), value);
        }
    }

    void folderChooser_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("field");
        QTest::newRow("cancel keeps the field") << "" << "/before/";
        QTest::newRow("folder gets one slash") << "/srv/dicom in" << "/srv/dicom in/";
        QTest::newRow("root keeps its single slash") << "/" << "/";
        const QString deep = "/" + QString(300, QLatin1Char('d')) + "/" + QString(200, QLatin1Char('e'));
        QTest::newRow("long paths are not cut") << deep << deep + "/";
    }
    void folderChooser()
    {
        QFETCH(QString, answer);
        QFETCH(QString, field);
        frmMain w;
        child<QLineEdit>(w, "txtFolder")->setText("/before/");
        BrowseForFolder::setNextAnswer(answer);
        QTest::mouseClick(child<QPushButton>(w, "cmdSearchFolder"), Qt::LeftButton);
        QCOMPARE(child<QLineEdit>(w, "txtFolder")->text(), field);
        QVERIFY(!QFile::exists(app::logPath()));
        QVERIFY(!QFile::exists(app::settingsPath()));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
