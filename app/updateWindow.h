#pragma once
// The update download window: created hidden at start-up and shown modally from the main
// window when the site announces another version. Its one button downloads the new program and
// the updater into the current folder and starts the updater, which is only ever started when
// both files arrived complete. User-interface thread only; the downloads run on its event loop.

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>

#include "app/fileDownload.h"
#include "app/texts.h"

class QFrame;
class QLabel;
class QNetworkAccessManager;
class QPushButton;
class QUrl;

namespace una::app {

inline constexpr char kUpdateCaption[] = "   Actualitzación";
inline constexpr char kUpdatePanelCaption[] = "    Se requiere actualizar su versión.... ";
inline constexpr char kUpdateButtonCaption[] = "&Descargar Actualización";
inline constexpr char kUpdateDownloadingCaption[] = "Descargando....";
inline constexpr char kUpdateFetchingCaption[] = "Bajando archivos necesarios...";
inline constexpr char kUpdateFinishedCaption[] = "Proceso finalizado. Cerrando programa...";

// The two downloads in order: the path on the site, the name in the current folder.
inline constexpr char kUpdateProgramSource[] = "/update/ruzizavuvodideza.exe";
inline constexpr char kUpdateProgramName[] = "ruzizavuvodideza2.exe";
inline constexpr char kUpdaterSource[] = "/update/update.exe";
inline constexpr char kUpdaterName[] = "update.exe";

class TActualitza : public QDialog {
  public:
    explicit TActualitza(QWidget* parent = nullptr);
    ~TActualitza() override;
    TActualitza(const TActualitza&) = delete;
    TActualitza& operator=(const TActualitza&) = delete;

    // The language of the failure texts ("uk" English, anything else Spanish).
    std::string languageCode;

    // The button: downloads both files, starts the updater and closes the window. A failure
    // says so in the panel and gives the button back; nothing is started then.
    void SpeedDescargarClick();
    // Copies url into localName (see FileDownload); done is called once, later.
    void downloadFile(const QUrl& url, const QString& localName,
                      std::function<void(DownloadResult)> done);
    // Marks fileName executable and starts it on its own; false when either fails.
    bool runProgram(const QString& fileName, const QStringList& parameters,
                    const QString& folder);

    QString panelCaption() const;
    bool isDownloading() const { return downloading_; }

    // Closing (Escape, the window manager) is refused while the files are on their way.
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // Says what failed in the panel and gives the button back for another try.
    void failed(Msg text, const QString& name);
    void setPanelCaption(const QString& text);

    QLabel* Image1 = nullptr;
    QFrame* Panelinforma = nullptr;
    QLabel* panelText_ = nullptr;
    QPushButton* SpeedDescargar = nullptr;
    std::unique_ptr<QNetworkAccessManager> network_;
    QPointer<FileDownload> download_;
    bool downloading_ = false;
};

}  // namespace una::app
