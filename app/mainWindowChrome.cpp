// The main window's chrome and language: the header's buttons, the popup menus, the tray icon,
// the reduced form, the opacity, the skins, the links to the web site, and the language switch
// over both windows.

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QUrl>

#include "app/mainWindow.h"
#include "app/remotePanel.h"
#include "app/site.h"
#include "app/skinEngine.h"
#include "app/windowChrome.h"

namespace una::app {

namespace {

inline constexpr char kTrayTip[] = "RuzizavuVodideza";
inline constexpr char kManualPath[] = "/ruzizavuvodideza.pdf";
// The skin dialog's "Skin files (*.skn)|*.SKN" as a Qt filter; both cases, since a desktop's
// own file dialog may tell them apart.
inline constexpr char kSkinFilter[] = "Skin files (*.skn *.SKN)";
// Where the language menu drops below the button.
inline constexpr int kLanguageMenuDrop = 45;

template <class W>
W* chromeWidget(QWidget* parent, const char* name) {
    W* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QAction* menuItem(QMenu* menu, const char* name, const char* text = nullptr) {
    QAction* item = menu->addAction(text ? QString::fromUtf8(text) : QString());
    item->setObjectName(QString::fromLatin1(name));
    return item;
}

QUrl siteLink(const std::string& address) {
    return QUrl(QString::fromStdString(address));
}

}  // namespace

void Tc_form_vo2VazuMain::buildChrome() {
    // A normal top-level window (it keeps its task bar entry) whose only border icons are
    // the system menu and the close box; SpeedMin reduces it.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    bodyMargins_ = centralWidget()->layout()->contentsMargins();

    auto* header = new QHBoxLayout(Panellogo);
    header->setContentsMargins(0, 0, 0, 2);
    header->setSpacing(4);

    Speedlogo = chromeWidget<QToolButton>(Panellogo, "Speedlogo");
    Speedlogo->setText(QStringLiteral("RuzizavuVodideza"));
    Speedlogo->setAutoRaise(true);
    Speedlogo->setCursor(Qt::PointingHandCursor);
    QFont logoFont = Speedlogo->font();
    logoFont.setBold(true);
    logoFont.setPointSizeF(logoFont.pointSizeF() * 1.4);
    Speedlogo->setFont(logoFont);
    followLanguageHint(Speedlogo, Msg::LogoHint);

    PdfManual = chromeWidget<QToolButton>(Panellogo, "PdfManual");
    PdfManual->setIcon(style()->standardIcon(QStyle::SP_FileIcon));
    PdfManual->setAutoRaise(true);
    PdfManual->setCursor(Qt::PointingHandCursor);

    TrackOpaciti = chromeWidget<QSlider>(Panellogo, "TrackOpaciti");
    TrackOpaciti->setOrientation(Qt::Horizontal);
    TrackOpaciti->setRange(100, kFullOpacity);
    TrackOpaciti->setTickInterval(30);
    TrackOpaciti->setTickPosition(QSlider::TicksBelow);
    TrackOpaciti->setPageStep(30);
    TrackOpaciti->setValue(kFullOpacity);
    TrackOpaciti->setFixedWidth(90);

    LoadBtn = chromeWidget<QToolButton>(Panellogo, "LoadBtn");
    Speedlang = chromeWidget<QToolButton>(Panellogo, "Speedlang");
    SpeedMin = chromeWidget<QToolButton>(Panellogo, "SpeedMin");
    SpeedMin->setIcon(style()->standardIcon(QStyle::SP_TitleBarMinButton));

    header->addWidget(Speedlogo);
    header->addStretch(1);
    header->addWidget(PdfManual);
    header->addWidget(TrackOpaciti);
    header->addWidget(LoadBtn);
    header->addWidget(Speedlang);
    header->addWidget(SpeedMin);

    // The popup of the window and of the tray icon.
    Menu = chromeWidget<QMenu>(this, "Menu");
    Maximizar1 = menuItem(Menu, "Maximizar1");
    Maximizar1->setVisible(false);
    Minimizar1 = menuItem(Menu, "Minimizar1");
    LoadSkin1 = menuItem(Menu, "LoadSkin1");
    DefaultSkin1 = menuItem(Menu, "DefaultSkin1");
    Intensity1 = menuItem(Menu, "Intensity1");
    Idioma1 = menuItem(Menu, "Idioma1");
    QAction* remoteItem = menuItem(Menu, "RemoteMenu1", "");
    followLanguage(remoteItem, Msg::RemoteMenu);
    connect(remoteItem, &QAction::triggered, this, [this] {
        if (remote_)
            remote_->showPanel(this);
    });
    Menu->addSeparator();
    Sortir1 = menuItem(Menu, "Sortir1");
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { popup(Menu, mapToGlobal(at)); });

    MenuLanguage = chromeWidget<QMenu>(this, "MenuLanguage");
    Espaol1 = menuItem(MenuLanguage, "Espaol1", "E&spañol");
    English1 = menuItem(MenuLanguage, "English1", "&English");

    SkinData1 = std::make_unique<SkinEngine>(QCoreApplication::applicationDirPath());

    connect(Speedlogo, &QToolButton::clicked, this, [this] { SpeedlogoClick(); });
    connect(PdfManual, &QToolButton::clicked, this, [this] { PdfManualClick(); });
    connect(TrackOpaciti, &QSlider::valueChanged, this, [this] { TrackOpacitiChange(); });
    connect(LoadBtn, &QToolButton::clicked, this, [this] { LoadBtnClick(); });
    connect(Speedlang, &QToolButton::clicked, this, [this] { SpeedlangClick(); });
    connect(SpeedMin, &QToolButton::clicked, this, [this] { Minimizar1Click(); });
    connect(Maximizar1, &QAction::triggered, this, [this] { Maximizar1Click(); });
    connect(Minimizar1, &QAction::triggered, this, [this] { Minimizar1Click(); });
    connect(LoadSkin1, &QAction::triggered, this, [this] { LoadBtnClick(); });
    connect(DefaultSkin1, &QAction::triggered, this, [this] { DefaultSkin1Click(); });
    connect(Intensity1, &QAction::triggered, this, [this] { Intensity1Click(); });
    connect(Idioma1, &QAction::triggered, this, [this] { SpeedlangClick(); });
    connect(Sortir1, &QAction::triggered, this, [this] { Sortir1Click(); });
    connect(Espaol1, &QAction::triggered, this, [this] { Espaol1Click(); });
    connect(English1, &QAction::triggered, this, [this] { English1Click(); });
}

void Tc_form_vo2VazuMain::createChrome(const QString& storedSkin) {
    programFolder_ = QCoreApplication::applicationDirPath();
    if (!storedSkin.isEmpty())
        SkinData1->setSkinFile(storedSkin);
    SkinData1->setActive(true);
    PanelWeb->hide();

    const bool trayAvailable = options_.trayAvailable ? options_.trayAvailable()
                                                      : QSystemTrayIcon::isSystemTrayAvailable();
    if (!trayAvailable)
        return;  // the window's own popup menu restores the reduced form
    TrayIcon1 = new QSystemTrayIcon(style()->standardIcon(QStyle::SP_MediaVolume), this);
    TrayIcon1->setObjectName(QStringLiteral("TrayIcon1"));
    TrayIcon1->setToolTip(QString::fromLatin1(kTrayTip));
    TrayIcon1->setContextMenu(Menu);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    Maximizar1Click();
            });
    TrayIcon1->show();
}

void Tc_form_vo2VazuMain::destroyChrome() {
    if (TrayIcon1)
        TrayIcon1->hide();
}

void Tc_form_vo2VazuMain::popup(QMenu* menu, const QPoint& at) {
    if (options_.popupMenu)
        options_.popupMenu(menu, at);
    else
        menu->popup(at);
}

// ---- language

void Tc_form_vo2VazuMain::showEvent(QShowEvent* event) {
    // A window the desktop maps again (after a minimise) is not shown anew.
    if (!event->spontaneous())
        FormShow();
    QMainWindow::showEvent(event);
}

void Tc_form_vo2VazuMain::FormShow() {
    applyLanguage(languageCode.empty() ? kSpanish : std::string_view(languageCode));
    // The page's texts may depend on the language just applied.
    requestAdvertPage();
}

void Tc_form_vo2VazuMain::applyLanguage(std::string_view code) {
    if (!applyLanguageTexts(code, this, inputWindow_))
        return;
    for (uint32_t line = 0; line < kBannerLines; ++line)
        bannerLines[line] = QString::fromStdString(bannerText(line, code));
    Panel1->setText(bannerLines[(captionPhase >> 7) & (kBannerLines - 1)]);
}

void Tc_form_vo2VazuMain::Espaol1Click() {
    languageCode = kSpanish;
    applyLanguage(kSpanish);
}

void Tc_form_vo2VazuMain::English1Click() {
    languageCode = kEnglish;
    applyLanguage(kEnglish);
}

void Tc_form_vo2VazuMain::SpeedlangClick() {
    const QPoint button = Speedlang->mapTo(this, QPoint(0, 0));
    popup(MenuLanguage, QPoint(x() + button.x(), y() + button.y() + kLanguageMenuDrop));
}

// ---- the reduced and the full form

bool Tc_form_vo2VazuMain::isReduced() const {
    return Maximizar1->isVisible();
}

void Tc_form_vo2VazuMain::Minimizar1Click() {
    Minimizar1->setVisible(false);
    Maximizar1->setVisible(true);
    hide();
    resize(PanelWeb->width(), PanelWeb->height() + 5);
    setMinimumHeight(kReducedMinHeight);
    PanelPlayRecord->hide();
    PanelWeb->setContentsMargins(0, 0, 0, 0);
    c_statusBar_main->hide();
    // Only the panel: the client area's own margins would push it off a 190-pixel window.
    centralWidget()->layout()->setContentsMargins(0, 0, 0, 0);
    centralWidget()->setToolTip(QString::fromStdString(msg(Msg::RestoreHint, languageCode)));
    const QRect bounds = reducedBounds(screen()->geometry().width(), PanelWeb->width());
    move(bounds.topLeft());
    resize(width(), bounds.height());
    show();
}

void Tc_form_vo2VazuMain::Maximizar1Click() {
    Minimizar1->setVisible(true);
    Maximizar1->setVisible(false);
    hide();
    setMinimumHeight(kRestoredMinHeight);
    const QRect screenArea = screen()->geometry();
    const QRect bounds = restoredBounds(screenArea.width(), screenArea.height());
    move(bounds.topLeft());
    c_statusBar_main->show();
    PanelPlayRecord->show();
    PanelWeb->setContentsMargins(kPanelWebBorder, kPanelWebBorder, kPanelWebBorder,
                                 kPanelWebBorder);
    centralWidget()->layout()->setContentsMargins(bodyMargins_);
    centralWidget()->setToolTip(QString());
    resize(bounds.width(), bounds.height());
    show();
}

void Tc_form_vo2VazuMain::mouseDoubleClickEvent(QMouseEvent* event) {
    // Without a tray icon the reduced window is also restored where it is.
    if (isReduced()) {
        Maximizar1Click();
        return;
    }
    QMainWindow::mouseDoubleClickEvent(event);
}

// ---- opacity

void Tc_form_vo2VazuMain::TrackOpacitiChange() {
    alphaBlendValue_ = TrackOpaciti->value();
    alphaBlend_ = alphaBlendValue_ != kFullOpacity;
    setWindowOpacity(alphaBlend_ ? alphaBlendValue_ / 255.0 : 1.0);
}

void Tc_form_vo2VazuMain::Intensity1Click() {
    TrackOpaciti->setValue(kHalfOpacity);
}

// ---- skins

void Tc_form_vo2VazuMain::LoadBtnClick() {
    const QString caption = QString::fromStdString(msg(Msg::LoadSkinTitle, languageCode));
    const QString filter = QString::fromLatin1(kSkinFilter);
    std::optional<QString> chosen;
    if (options_.chooseSkinFile) {
        chosen = options_.chooseSkinFile(caption, shippedSkinFolder(programFolder_), filter);
    } else {
        QString name =
            QFileDialog::getOpenFileName(this, caption, shippedSkinFolder(programFolder_), filter);
        if (!name.isEmpty())
            chosen = name;
    }
    if (chosen && !chosen->isEmpty())
        SkinData1->setSkinFile(*chosen);
    if (!SkinData1->active())
        SkinData1->setActive(true);
}

void Tc_form_vo2VazuMain::DefaultSkin1Click() {
    const QString text = QString::fromStdString(msg(Msg::RestartNeeded, languageCode));
    if (options_.showMessage) {
        options_.showMessage(this, text);
    } else {
        QMessageBox box(QMessageBox::Question, QGuiApplication::applicationDisplayName(), text,
                        QMessageBox::Ok, this);
        box.exec();
    }
    SkinData1->setSkinFile(QString());
    close();
}

void Tc_form_vo2VazuMain::Sortir1Click() {
    close();
}

// ---- the web site

void Tc_form_vo2VazuMain::SpeedlogoClick() {
    const QUrl url = siteLink(siteAddress());
    if (options_.openUrl)
        options_.openUrl(url);
    else
        QDesktopServices::openUrl(url);
}

void Tc_form_vo2VazuMain::PdfManualClick() {
    const QUrl url = siteLink(siteUrl(kManualPath));
    if (options_.openUrl)
        options_.openUrl(url);
    else
        QDesktopServices::openUrl(url);
}

}  // namespace una::app
