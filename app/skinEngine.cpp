#include "app/skinEngine.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

#include "app/skinSheet.h"

namespace una::app {

namespace {

// The sheet of a skin file; none when it cannot be read or is no usable sheet.
std::optional<QString> readSheet(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > static_cast<qint64>(kMaxSkinBytes))
        return std::nullopt;
    // One byte more than allowed tells a file that grew since its size was read.
    const QByteArray bytes = file.read(static_cast<qint64>(kMaxSkinBytes) + 1);
    if (!isUsableSkinSheet(std::string_view(bytes.constData(), size_t(bytes.size()))))
        return std::nullopt;
    return QString::fromUtf8(bytes);
}

}  // namespace

QString shippedSkinFolder(const QString& programFolder) {
    const QStringList skins = {QStringLiteral("*.skn"), QStringLiteral("*.SKN")};
    const QDir beside(programFolder);
    if (!beside.entryList(skins, QDir::Files).isEmpty())
        return programFolder;
    const QString installed =
        QDir::cleanPath(beside.filePath(QStringLiteral("../share/ruzizavuvodideza/skins")));
    return QFileInfo(installed).isDir() ? installed : programFolder;
}

SkinEngine::SkinEngine(QString programFolder) : programFolder_(std::move(programFolder)) {}

void SkinEngine::setSkinFile(const QString& name) {
    skinFile_ = name;
    if (active_)
        reload();
}

void SkinEngine::setActive(bool active) {
    active_ = active;
    reload();
}

void SkinEngine::reload() {
    std::optional<QString> sheet;
    if (active_ && !skinFile_.trimmed().isEmpty()) {
        // A bare name such as "noche.skn" finds the shipped skin also in an installed program.
        QString path = QDir(programFolder_).filePath(skinFile_.trimmed());
        if (!QFileInfo::exists(path))
            path = QDir(shippedSkinFolder(programFolder_)).filePath(skinFile_.trimmed());
        sheet = readSheet(path);
    }
    applied_ = sheet.has_value();
    const QString look = sheet.value_or(QString());
    if (qApp->styleSheet() != look)  // every change repolishes every widget
        qApp->setStyleSheet(look);
}

}  // namespace una::app
