#include "frmMain.h"

#include "AppPaths.h"
#include "BrowseForFolder.h"
#include "DicomServer.h"
#include "Error_Handler.h"
#include "ReceivedImage.h"
#include "TextToNumber.h"
#include "modINI.h"

#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSvgRenderer>
#include <algorithm>

// Resources of a static library are registered explicitly.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace {

const QString kSection = QStringLiteral("InstitutionName");
const QString kActivate = QStringLiteral("Aktivieren");
const QString kDeactivate = QStringLiteral("Deaktivieren");

QPixmap renderSvg(const QString &resource, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QSvgRenderer(resource).render(&painter);
    return pixmap;
}

QIcon iconFromSvg(const QString &resource, std::initializer_list<int> sizes)
{
    initIconResources();
    QIcon icon;
    for (int size : sizes)
        icon.addPixmap(renderSvg(resource, size));
    return icon;
}

} // namespace

frmMain::frmMain(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Institution Name ändern"));
    setWindowIcon(iconFromSvg(QStringLiteral(":/icons/app.svg"), {16, 24, 32, 48}));

    btnActivate = new QPushButton(kActivate, this);
    frmOptions = new QGroupBox(QStringLiteral("Einstellungen"), this);
    cmdSearchFolder = new QPushButton(frmOptions);
    txtFolder = new QLineEdit(frmOptions);
    txtInstitutionName = new QLineEdit(frmOptions);
    txtPort = new QLineEdit(frmOptions);
    lblFolder = new QLabel(QStringLiteral("Temp-Ordner:"), frmOptions);
    lblInstitutionName = new QLabel(QStringLiteral("Institution Name:"), frmOptions);
    lblPort = new QLabel(QStringLiteral("Port:"), frmOptions);

    btnActivate->setObjectName(QStringLiteral("btnActivate"));
    frmOptions->setObjectName(QStringLiteral("frmOptions"));
    cmdSearchFolder->setObjectName(QStringLiteral("cmdSearchFolder"));
    txtFolder->setObjectName(QStringLiteral("txtFolder"));
    txtInstitutionName->setObjectName(QStringLiteral("txtInstitutionName"));
    txtPort->setObjectName(QStringLiteral("txtPort"));
    lblFolder->setObjectName(QStringLiteral("lblFolder"));
    lblInstitutionName->setObjectName(QStringLiteral("lblInstitutionName"));
    lblPort->setObjectName(QStringLiteral("lblPort"));

    cmdSearchFolder->setIcon(iconFromSvg(QStringLiteral(":/icons/magnifier.svg"), {16}));
    cmdSearchFolder->setIconSize(QSize(16, 16));
    for (QLabel *label : {lblFolder, lblInstitutionName, lblPort})
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    // The layout is drawn in twips for a small 8-point font. Larger default fonts scale the
    // whole design evenly, so that no caption is clipped and the proportions stay.
    const QFontMetrics fm(font());
    const int labelRoom = 1215 / 15 - 2;
    const int buttonRoom = 1215 / 15 - 14;
    scale_ = std::max({1.0,
                       double(fm.horizontalAdvance(lblInstitutionName->text())) / labelRoom,
                       double(fm.horizontalAdvance(lblFolder->text())) / labelRoom,
                       double(fm.horizontalAdvance(kDeactivate)) / buttonRoom,
                       double(txtPort->sizeHint().height()) / (315 / 15)});

    btnActivate->setGeometry(twips(4440), twips(1680), twips(1215), twips(375));
    frmOptions->setGeometry(twips(120), twips(120), twips(5535), twips(1455));
    cmdSearchFolder->setGeometry(twips(5040), twips(600), twips(325), twips(325));
    txtFolder->setGeometry(twips(1440), twips(600), twips(3495), twips(315));
    txtInstitutionName->setGeometry(twips(1440), twips(960), twips(3975), twips(315));
    txtPort->setGeometry(twips(1440), twips(240), twips(735), twips(315));
    // Labels share one right edge, a small gap left of the text boxes.
    const int labelRight = twips(1440) - twips(105);
    lblFolder->setGeometry(labelRight - twips(1215), twips(645), twips(1215), twips(255));
    lblInstitutionName->setGeometry(labelRight - twips(1215), twips(1000), twips(1215), twips(255));
    lblPort->setGeometry(labelRight - twips(375), twips(285), twips(375), twips(255));
    setFixedSize(twips(5790), twips(2145));

    setTabOrder(txtPort, txtInstitutionName);
    setTabOrder(txtInstitutionName, txtFolder);
    setTabOrder(txtFolder, cmdSearchFolder);
    setTabOrder(cmdSearchFolder, btnActivate);
    // Qt would start on the switch, which was created first: typing would go nowhere and
    // Space would switch reception on. Start where the work starts.
    txtPort->setFocus();

    connect(btnActivate, &QPushButton::clicked, this, &frmMain::btnActivate_Click);
    connect(cmdSearchFolder, &QPushButton::clicked, this, &frmMain::cmdSearchFolder_Click);

    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::DCMServer_ImageReceivedAsync(const dicom::Connection &Connection, dicom::Image &Image)
{
    Q_UNUSED(Connection);
    ReceivedImage::Store(Image, txtInstitutionName->text(), txtFolder->text());
}

int frmMain::twips(int value) const
{
    return qRound(value * scale_ / 15.0);
}

QString frmMain::settingsPath() const
{
    return AppPaths::settingsFile();
}

void frmMain::Form_Load()
{
    try {
        txtPort->setText(modINI::ReadINI(kSection, QStringLiteral("Port"), QString(), settingsPath(), 256));
        txtFolder->setText(modINI::ReadINI(kSection, QStringLiteral("Folder"), QString(), settingsPath(), 256));
        txtInstitutionName->setText(
            modINI::ReadINI(kSection, QStringLiteral("InstitutionName"), QString(), settingsPath(), 256));
    } catch (...) {
        Error_Handler::LogError(QStringLiteral("Form_Load"));
    }
}

void frmMain::DeActivate(bool enable)
{
    try {
        txtFolder->setEnabled(enable);
        txtPort->setEnabled(enable);
        txtInstitutionName->setEnabled(enable);
        cmdSearchFolder->setEnabled(enable);
        // A greyed field cannot be scrolled: show the start of a long text, not its end.
        if (!enable) {
            for (QLineEdit *field : {txtPort, txtInstitutionName, txtFolder})
                field->setCursorPosition(0);
        }
        btnActivate->setText(enable ? kActivate : kDeactivate);
    } catch (...) {
        Error_Handler::LogError(QStringLiteral("DeActivate"));
    }
}

void frmMain::btnActivate_Click()
{
    try {
        auto server = std::make_unique<dicom::DicomServer>();
        connect(server.get(), &dicom::DicomServer::ImageReceivedAsync, this, &frmMain::DCMServer_ImageReceivedAsync);
        // The handler's write completes after it returns; its failure is the handler's.
        server->setWriteFailureHandler(ReceivedImage::LogFailure);
        DCMServer = std::move(server);

        // The user's config folder may not exist yet.
        QDir().mkpath(QFileInfo(settingsPath()).path());
        try {
            modINI::WriteINIKeys(kSection,
                                 {{QStringLiteral("Port"), txtPort->text()},
                                  {QStringLiteral("Folder"), txtFolder->text()},
                                  {QStringLiteral("InstitutionName"), txtInstitutionName->text()}},
                                 settingsPath());
        } catch (const AppError &) {
            // The old file stays as it was; the press goes on, as with any unsaved setting.
            Error_Handler::LogError(QStringLiteral("btnActivate_Click"));
        }

        const qint32 port = textToInt32(txtPort->text());
        if (btnActivate->text() == kActivate) {
            DCMServer->setSwitch(true);
            DeActivate(false);
            try {
                DCMServer->startListening(port);
            } catch (...) {
                // Nothing listens: show that, so the operator can pick another port.
                Error_Handler::LogError(QStringLiteral("btnActivate_Click"));
                DeActivate(true);
                DCMServer->setSwitch(false);
            }
        } else {
            DeActivate(true);
            DCMServer->setSwitch(false);
            DCMServer->stopListening(port);
        }
    } catch (...) {
        Error_Handler::LogError(QStringLiteral("btnActivate_Click"));
    }
}

void frmMain::cmdSearchFolder_Click()
{
    try {
        QString path = BrowseForFolder::BrowseFolder(QStringLiteral("Bitte wählen Sie den Temp Ordner aus..."),
                                                     txtFolder->text());
        if (path.isEmpty())
            return;
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        txtFolder->setText(path);
    } catch (...) {
        Error_Handler::LogError(QStringLiteral("cmdSearchFolder_Click"));
    }
}
