#include "app/updateWindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/site.h"
#include "app/texts.h"

namespace una::app {

namespace {

inline constexpr int kClientWidth = 390;
inline constexpr int kClientHeight = 70;
inline constexpr int kBannerHeight = 34;

QPixmap bannerPicture() {
    QPixmap picture(kClientWidth, kBannerHeight);
    QPainter painter(&picture);
    QLinearGradient shade(0, 0, kClientWidth, 0);
    shade.setColorAt(0, QColor(0x1c, 0x3f, 0x6e));
    shade.setColorAt(1, QColor(0x4f, 0x86, 0xc6));
    painter.fillRect(picture.rect(), shade);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(16);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(picture.rect().adjusted(12, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     QStringLiteral("RuzizavuVodideza"));
    return picture;
}

Msg failureText(DownloadResult result) {
    switch (result) {
    case DownloadResult::NotCreated:
        return Msg::UpdateFileNotCreated;
    case DownloadResult::Incomplete:
        return Msg::UpdateDownloadIncomplete;
    case DownloadResult::TooLarge:
        return Msg::UpdateDownloadTooLarge;
    case DownloadResult::LinkAtName:
        return Msg::UpdateNameIsLink;
    case DownloadResult::Complete:
    case DownloadResult::Failed:
        break;
    }
    return Msg::UpdateDownloadFailed;
}

}  // namespace

TActualitza::TActualitza(QWidget* parent)
    : QDialog(parent), network_(std::make_unique<QNetworkAccessManager>()) {
    setObjectName(QStringLiteral("TActualitza"));
    setWindowTitle(QString::fromUtf8(kUpdateCaption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(kClientWidth, kClientHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(bannerPicture());
    Image1->setFixedHeight(kBannerHeight);
    layout->addWidget(Image1);

    Panelinforma = new QFrame(this);
    Panelinforma->setObjectName(QStringLiteral("Panelinforma"));
    Panelinforma->setFrameShape(QFrame::StyledPanel);
    auto* panelLayout = new QHBoxLayout(Panelinforma);
    panelLayout->setContentsMargins(4, 2, 4, 2);
    panelText_ = new QLabel(Panelinforma);
    panelText_->setObjectName(QStringLiteral("Panelinforma_caption"));
    panelText_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    panelLayout->addWidget(panelText_, 1);
    SpeedDescargar = new QPushButton(Panelinforma);
    SpeedDescargar->setObjectName(QStringLiteral("SpeedDescargar"));
    SpeedDescargar->setText(QString::fromUtf8(kUpdateButtonCaption));
    SpeedDescargar->setAutoDefault(false);
    panelLayout->addWidget(SpeedDescargar);
    layout->addWidget(Panelinforma, 1);
    setPanelCaption(QString::fromUtf8(kUpdatePanelCaption));

    connect(SpeedDescargar, &QPushButton::clicked, this, [this] { SpeedDescargarClick(); });
}

TActualitza::~TActualitza() {
    delete download_;  // a transfer still running leaves no file behind
}

void TActualitza::SpeedDescargarClick() {
    if (downloading_)
        return;
    // The current folder, which need not be the program's.
    const QString dir = QDir::currentPath();
    downloading_ = true;
    SpeedDescargar->setText(QString::fromUtf8(kUpdateDownloadingCaption));
    SpeedDescargar->setEnabled(false);
    setPanelCaption(QString::fromUtf8(kUpdateFetchingCaption));

    const QString program = dir + QLatin1Char('/') + QLatin1String(kUpdateProgramName);
    const QString updater = dir + QLatin1Char('/') + QLatin1String(kUpdaterName);
    downloadFile(QUrl(QString::fromStdString(siteUrl(kUpdateProgramSource))), program,
                 [this, updater](DownloadResult first) {
        if (first != DownloadResult::Complete)
            return failed(failureText(first), QLatin1String(kUpdateProgramName));
        downloadFile(QUrl(QString::fromStdString(siteUrl(kUpdaterSource))), updater,
                     [this, updater](DownloadResult second) {
            if (second != DownloadResult::Complete)
                return failed(failureText(second), QLatin1String(kUpdaterName));
            setPanelCaption(QString::fromUtf8(kUpdateFinishedCaption));
            if (!runProgram(updater, {}, {}))
                return failed(Msg::UpdaterNotStarted, QLatin1String(kUpdaterName));
            downloading_ = false;
            accept();
        });
    });
}

void TActualitza::downloadFile(const QUrl& url, const QString& localName,
                               std::function<void(DownloadResult)> done) {
    if (download_)
        download_->deleteLater();
    download_ = new FileDownload(*network_, url, localName,
                                 [this, done = std::move(done)](DownloadResult result) {
        // The download is in the middle of its own call: it goes once that is over.
        download_->deleteLater();
        download_ = nullptr;
        done(result);
    }, this);
}

bool TActualitza::runProgram(const QString& fileName, const QStringList& parameters,
                             const QString& folder) {
    QFile::Permissions permissions = QFile::permissions(fileName);
    permissions |= QFile::ExeOwner | QFile::ExeUser;
    if (permissions & QFile::ReadGroup)
        permissions |= QFile::ExeGroup;
    if (permissions & QFile::ReadOther)
        permissions |= QFile::ExeOther;
    if (!QFile::setPermissions(fileName, permissions))
        return false;
    return QProcess::startDetached(fileName, parameters, folder);
}

void TActualitza::failed(Msg text, const QString& name) {
    downloading_ = false;
    setPanelCaption(QString::fromStdString(msg(text, languageCode, {name.toStdString()})));
    SpeedDescargar->setText(QString::fromUtf8(kUpdateButtonCaption));
    SpeedDescargar->setEnabled(true);
}

void TActualitza::setPanelCaption(const QString& text) {
    panelText_->setText(text);
    panelText_->setToolTip(text);
}

QString TActualitza::panelCaption() const {
    return panelText_->text();
}

void TActualitza::reject() {
    if (!downloading_)
        QDialog::reject();
}

void TActualitza::closeEvent(QCloseEvent* event) {
    if (downloading_)
        event->ignore();
    else
        QDialog::closeEvent(event);
}

}  // namespace una::app
