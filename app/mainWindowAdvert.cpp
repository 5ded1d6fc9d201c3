// The main window's advertising panel and connection status: the page is asked for at every
// showing until its version marker has been seen; the marker shows the panel and may offer the
// update. Nothing here waits on the network, and a page that never comes changes nothing.

#include <QFrame>
#include <QLabel>
#include <QLocale>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "app/adMarker.h"
#include "app/advertView.h"
#include "app/mainWindow.h"
#include "app/site.h"
#include "app/siteNetwork.h"
#include "app/updateWindow.h"

namespace una::app {

namespace {

inline constexpr char kAdvertPage[] = "/publicidad.htm";
inline constexpr int kAdvertReadDelayMs = 1500;

}  // namespace

void Tc_form_vo2VazuMain::buildAdvertPanel() {
    // The panel comes with its layout; a second one would be refused and leak.
    EmbeddedWB1 = new AdvertView(PanelWeb);
    PanelWeb->layout()->addWidget(EmbeddedWB1);
    EmbeddedWB1->onDocumentComplete = [this] { EmbeddedWB1DocumentComplete(); };

    timerpublicitat = new QTimer(this);
    timerpublicitat->setObjectName(QStringLiteral("timerpublicitat"));
    timerpublicitat->setSingleShot(true);
    timerpublicitat->setInterval(kAdvertReadDelayMs);
    connect(timerpublicitat, &QTimer::timeout, this, [this] { timerpublicitatTimer(); });
}

void Tc_form_vo2VazuMain::setUpdateWindow(TActualitza* window) {
    updateWindow_ = window;
}

void Tc_form_vo2VazuMain::requestAdvertPage() {
    if (destroyed_ || adFound)
        return;
    const bool connected = options_.isConnected ? options_.isConnected() : isConnected();
    if (connected)
        EmbeddedWB1->navigate(QUrl(QString::fromStdString(siteUrl(kAdvertPage))));
}

void Tc_form_vo2VazuMain::EmbeddedWB1DocumentComplete() {
    if (adFound) {
        PanelWeb->show();
        return;
    }
    pageLines = EmbeddedWB1->descriptionLines();
    timerpublicitat->start();
}

void Tc_form_vo2VazuMain::timerpublicitatTimer() {
    timerpublicitat->stop();
    if (destroyed_)
        return;
    const AdMarker marker =
        findAdMarker(pageLines, QLocale().decimalPoint().toStdString());
    if (marker.found) {
        adFound = true;
        if (announcesUpdate(marker, programVersion)) {
            offerUpdate();
            return;  // closed: nothing more to show
        }
    }
    if (adFound) {
        statusPanels_[1]->setText(QStringLiteral("Connected"));
        PanelWeb->show();
    }
    show();
}

void Tc_form_vo2VazuMain::offerUpdate() {
    if (updateWindow_) {
        updateWindow_->languageCode = languageCode;
        updateWindow_->move(x() + 100, y() + 200);
        updateWindow_->exec();
    }
    close();
}

}  // namespace una::app
