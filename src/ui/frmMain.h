#pragma once

#include <QWidget>
#include <memory>

namespace dicom {
class DicomServer;
class Image;
struct Connection;
} // namespace dicom

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
    void btnActivate_Click();
    void cmdSearchFolder_Click();
    void DCMServer_ImageReceivedAsync(const dicom::Connection &Connection, dicom::Image &Image);

private:
    friend class WindowTest;

    void Form_Load();
    void DeActivate(bool enable);
    int twips(int value) const;
    QString settingsPath() const;

    std::unique_ptr<dicom::DicomServer> DCMServer;
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
