#include "app/stationDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <utility>

#include "app/language.h"
#include "app/texts.h"

namespace una::app {

namespace {

template <class W>
W* named(QWidget* parent, const char* name) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

}  // namespace

std::string stationRefusalText(const StationEdits::Result& result, std::string_view code) {
    switch (result.refusal) {
        case StationEdits::Refusal::none:
            return {};
        case StationEdits::Refusal::nameMissing:
            return msg(Msg::StationNameMissing, code);
        case StationEdits::Refusal::nameTaken:
            return msg(Msg::StationNameTaken, code, {result.detail});
        case StationEdits::Refusal::addressRefused:
            return msg(Msg::StationAddressRefused, code, {result.detail});
        case StationEdits::Refusal::addressTaken:
            return msg(Msg::StationAddressTaken, code, {result.detail});
    }
    return {};
}

StationDialog::StationDialog(QWidget* parent, std::vector<stream::Station> stations)
    : QDialog(parent), edits_(std::move(stations)) {
    setObjectName(QStringLiteral("c_form_stations"));
    followLanguage(this, Msg::StationsTitle);
    auto* grid = new QGridLayout(this);
    list_ = named<QListWidget>(this, "c_list_stations");
    auto* nameLabel = named<QLabel>(this, "c_label_stationName");
    followLanguage(nameLabel, Msg::StationNameLabel);
    name_ = named<QLineEdit>(this, "c_edit_stationName");
    nameLabel->setBuddy(name_);
    auto* addressLabel = named<QLabel>(this, "c_label_stationAddress");
    followLanguage(addressLabel, Msg::StationAddressLabel);
    address_ = named<QLineEdit>(this, "c_edit_stationAddress");
    address_->setPlaceholderText(QStringLiteral("https://"));
    followLanguageHint(address_, Msg::StationAddressHint);
    addressLabel->setBuddy(address_);
    add_ = named<QPushButton>(this, "c_button_stationAdd");
    followLanguage(add_, Msg::StationAddCaption);
    change_ = named<QPushButton>(this, "c_button_stationChange");
    followLanguage(change_, Msg::StationChangeCaption);
    remove_ = named<QPushButton>(this, "c_button_stationRemove");
    followLanguage(remove_, Msg::StationRemoveCaption);
    auto* close = named<QPushButton>(this, "c_button_stationClose");
    followLanguage(close, Msg::StationCloseCaption);
    close->setAutoDefault(false);
    said_ = named<QLabel>(this, "c_label_stationSaid");
    said_->setWordWrap(true);
    said_->setStyleSheet(QStringLiteral("QLabel { color: #c00; }"));

    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {add_, change_, remove_})
        buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(close);
    grid->addWidget(list_, 0, 0, 1, 2);
    grid->addWidget(nameLabel, 1, 0);
    grid->addWidget(name_, 1, 1);
    grid->addWidget(addressLabel, 2, 0);
    grid->addWidget(address_, 2, 1);
    grid->addWidget(said_, 3, 0, 1, 2);
    grid->addLayout(buttons, 4, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    setMinimumWidth(460);

    connect(list_, &QListWidget::currentRowChanged, this, [this] { showSelected(); });
    connect(add_, &QPushButton::clicked, this, [this] { add(); });
    connect(change_, &QPushButton::clicked, this, [this] { change(); });
    connect(remove_, &QPushButton::clicked, this, [this] { remove(); });
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    showStations(-1);
    name_->setFocus();
}

QString StationDialog::said() const {
    return said_->text();
}

void StationDialog::showStations(int select) {
    const QSignalBlocker block(list_);
    list_->clear();
    for (const stream::Station& station : edits_.stations()) {
        auto* item = new QListWidgetItem(QString::fromStdString(station.name), list_);
        item->setToolTip(QString::fromStdString(station.url));
    }
    list_->setCurrentRow(select);
    showSelected();
}

void StationDialog::showSelected() {
    const int row = list_->currentRow();
    const bool selected = row >= 0 && row < static_cast<int>(edits_.stations().size());
    change_->setEnabled(selected);
    remove_->setEnabled(selected);
    // Enter changes the station shown; with none, it adds the one typed.
    change_->setDefault(selected);
    add_->setDefault(!selected);
    if (!selected)
        return;
    const stream::Station& station = edits_.stations()[static_cast<size_t>(row)];
    name_->setText(QString::fromStdString(station.name));
    address_->setText(QString::fromStdString(station.url));
}

void StationDialog::add() {
    done(edits_.add(name_->text().toStdString(), address_->text().toStdString()),
         static_cast<int>(edits_.stations().size()));
}

void StationDialog::change() {
    const int row = list_->currentRow();
    if (row < 0)
        return;
    done(edits_.change(static_cast<size_t>(row), name_->text().toStdString(),
                       address_->text().toStdString()),
         row);
}

void StationDialog::remove() {
    const int row = list_->currentRow();
    if (row < 0 || !edits_.remove(static_cast<size_t>(row)))
        return;
    name_->clear();
    address_->clear();
    done({}, std::min(row, static_cast<int>(edits_.stations().size()) - 1));
}

void StationDialog::done(const StationEdits::Result& result, int select) {
    said_->setText(QString::fromStdString(stationRefusalText(result, programLanguageCode())));
    if (!result)
        return;
    showStations(select);
    if (onChanged)
        if (const std::string problem = onChanged(edits_); !problem.empty())
            said_->setText(QString::fromStdString(problem));
}

}  // namespace una::app
