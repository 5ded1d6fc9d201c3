#include "app/updateWindow.h"

namespace una::app {

TActualitza::TActualitza(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("TActualitza"));
    setWindowTitle(QStringLiteral("   Actualitzación"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(390, 70);
}

}  // namespace una::app
