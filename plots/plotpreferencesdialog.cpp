#include "plots/plotpreferencesdialog.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QGridLayout>
#include <QLabel>
#include <QSettings>
#include <QVBoxLayout>

#include <array>

namespace {

const QString darkModeKey = "Preferences/Plot/darkMode";

const std::array<QColor, 16> currentPalette = {
    QColor(Qt::blue),     QColor(Qt::red),        QColor(Qt::green),     QColor("#CC6600"),
    QColor(Qt::gray),     QColor(Qt::cyan),       QColor(Qt::magenta),   QColor(Qt::yellow),
    QColor(Qt::darkBlue), QColor(Qt::darkRed),    QColor(Qt::darkGreen), QColor(Qt::darkMagenta),
    QColor(Qt::darkCyan), QColor(Qt::darkYellow), QColor(Qt::darkGray),  QColor("#00CC66")};

QColor complement(const QColor& c) {
    return QColor(255 - c.red(), 255 - c.green(), 255 - c.blue());
}

} // namespace

ColorSelectionButton::ColorSelectionButton(const QString& text, const QColor& color, QWidget* parent)
    : QPushButton(text, parent) {
    showColor(color);
    connect(this, &QPushButton::clicked, this, &ColorSelectionButton::onClicked);
}

void ColorSelectionButton::showColor(const QColor& color) {
    shownColor = color;
    // Text stays readable on any colour: black on light ones, white on dark ones.
    const QColor text = color.lightness() > 127 ? Qt::black : Qt::white;
    setStyleSheet(QString("background-color: %1; color: %2;").arg(color.name(), text.name()));
}

void ColorSelectionButton::onClicked() {
    const QColor picked = QColorDialog::getColor(shownColor, this, text());
    if (picked.isValid()) emit colorSelected(picked);
}

PlotPreferencesDialog::PlotPreferencesDialog(int currentChannels, int voltageChannels, int gpChannels,
                                             QWidget* parent)
    : QDialog(parent), darkModeBox(new QCheckBox("Dark mode")) {
    setWindowTitle("Plot preferences");
    const QSettings settings;
    dark = settings.value(darkModeKey, false).toBool();
    auto* layout = new QVBoxLayout(this);
    auto addGroup = [&](Group group, const QString& title, int channels) {
        if (channels == 0) return;
        layout->addWidget(new QLabel(title));
        auto* grid = new QGridLayout;
        for (int ch = 0; ch < channels; ch++) {
            auto* button = new ColorSelectionButton(QString("Channel %1").arg(ch + 1), color(group, ch));
            connect(button, &ColorSelectionButton::colorSelected, this,
                    [this, group, ch](QColor picked) { onSetColor(group, ch, picked); });
            grid->addWidget(button, ch / 8, ch % 8);
            buttons(group).push_back(button);
        }
        layout->addLayout(grid);
    };
    addGroup(Current, "Current channels colors:", currentChannels);
    addGroup(Voltage, "Voltage channels colors:", voltageChannels);
    addGroup(Gp, "General purpose channels colors:", gpChannels);

    auto* bottom = new QHBoxLayout;
    darkModeBox->setChecked(dark);
    connect(darkModeBox, &QCheckBox::toggled, this, &PlotPreferencesDialog::onSetDarkMode);
    bottom->addWidget(darkModeBox);
    bottom->addStretch();
    auto* restore = new QPushButton("Restore defaults");
    connect(restore, &QPushButton::clicked, this, &PlotPreferencesDialog::onRestoreDefaultColors);
    bottom->addWidget(restore);
    layout->addLayout(bottom);
}

QString PlotPreferencesDialog::colorKey(Group group, int channelIdx) {
    static const char* names[] = {"currentChannel", "voltageChannel", "gpChannel"};
    return QString("Preferences/Plot/%1%2Color").arg(names[group]).arg(channelIdx, 3, 10, QChar('0'));
}

QColor PlotPreferencesDialog::defaultColor(Group group, int channelIdx) {
    if (group != Current) return Qt::black;
    if (channelIdx < int(currentPalette.size())) return currentPalette[size_t(channelIdx)];
    // Past the palette: hues a golden angle apart stay distinct for any number of channels.
    return QColor::fromHsv(int(channelIdx * 137.508) % 360, 255, 200);
}

QColor PlotPreferencesDialog::color(Group group, int channelIdx) const {
    const QVariant stored = QSettings().value(colorKey(group, channelIdx));
    const QColor color = stored.value<QColor>();
    return stored.isValid() && color.isValid() ? color : defaultColor(group, channelIdx);
}

void PlotPreferencesDialog::onSetColor(Group group, int channelIdx, const QColor& color) {
    QSettings().setValue(colorKey(group, channelIdx), color);
    if (channelIdx < int(buttons(group).size())) buttons(group)[size_t(channelIdx)]->showColor(color);
    switch (group) {
    case Current:
        emit currentColorChanged(channelIdx, color);
        break;
    case Voltage:
        emit voltageColorChanged(channelIdx, color);
        break;
    case Gp:
        emit gpColorChanged(channelIdx, color);
        break;
    }
}

void PlotPreferencesDialog::onSetDarkMode(bool flag) {
    if (flag == dark) return;
    dark = flag;
    QSettings().setValue(darkModeKey, flag);
    {
        const QSignalBlocker blocker(darkModeBox);
        darkModeBox->setChecked(flag);
    }
    emit plotColorsChanged(backgroundColor());
    for (Group group : {Current, Voltage, Gp})
        for (int ch = 0; ch < int(buttons(group).size()); ch++)
            onSetColor(group, ch, complement(color(group, ch)));
}

void PlotPreferencesDialog::onRestoreDefaultColors() {
    // The defaults are drawn for a white background.
    if (dark) {
        dark = false;
        QSettings().setValue(darkModeKey, false);
        const QSignalBlocker blocker(darkModeBox);
        darkModeBox->setChecked(false);
        emit plotColorsChanged(backgroundColor());
    }
    for (Group group : {Current, Voltage, Gp})
        for (int ch = 0; ch < int(buttons(group).size()); ch++)
            onSetColor(group, ch, defaultColor(group, ch));
}
