#pragma once

#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The program's only window: three settings fields, the folder button and the on/off switch.
// The fields are the working copy of Settings.ini; the switch's caption tells whether
// reception is on.
class frmMain : public QWidget
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

private slots:
    void cmdSearchFolder_Click();

private:
    friend class WindowTest;

    void Form_Load();
    void DeActivate(bool enable);
    int twips(int value) const;
    QString settingsPath() const;

    double scale_ = 1.0;
    QPushButton *btnActivate;
    QGroupBox *frmOptions;
    QPushButton *cmdSearchFolder;
    QLineEdit *txtFolder;
    QLineEdit *txtInstitutionName;
    QLineEdit *txtPort;
    QLabel *lblFolder;
    QLabel *lblInstitutionName;
    QLabel *lblPort;
};
