#include "app/inputWindow.h"

namespace una::app {

Tc_form_main::Tc_form_main(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Tc_form_main"));
    setWindowTitle(QStringLiteral("Seleccionar Entrada"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

}  // namespace una::app
