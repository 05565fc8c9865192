#pragma once
// The colours of the channel traces and the plots' background (light or dark), kept in the
// settings between runs.

#include <QColor>
#include <QDialog>
#include <QPushButton>

#include <vector>

class QCheckBox;

// A button that shows a colour and lets the user pick another.
class ColorSelectionButton : public QPushButton {
    Q_OBJECT

  public:
    ColorSelectionButton(const QString& text, const QColor& color, QWidget* parent = nullptr);
    QColor color() const { return shownColor; }
    // Shows the colour without announcing it.
    void showColor(const QColor& color);

  signals:
    void colorSelected(QColor color);

  private slots:
    void onClicked();

  private:
    QColor shownColor;
};

class PlotPreferencesDialog : public QDialog {
    Q_OBJECT

  public:
    enum Group { Current, Voltage, Gp };

    PlotPreferencesDialog(int currentChannels, int voltageChannels, int gpChannels,
                          QWidget* parent = nullptr);

    static QString colorKey(Group group, int channelIdx);
    static QColor defaultColor(Group group, int channelIdx);

    QColor color(Group group, int channelIdx) const;
    bool darkMode() const { return dark; }
    QColor backgroundColor() const { return dark ? Qt::black : Qt::white; }

  signals:
    void currentColorChanged(int channelIdx, QColor color);
    void gpColorChanged(int channelIdx, QColor color);
    void voltageColorChanged(int channelIdx, QColor color);
    void plotColorsChanged(QColor backgroundColor);

  public slots:
    void onSetDarkMode(bool flag);
    void onRestoreDefaultColors();
    // Stores the colour of one channel and announces it.
    void onSetColor(PlotPreferencesDialog::Group group, int channelIdx, const QColor& color);

  private:
    std::vector<ColorSelectionButton*>& buttons(Group group) { return groupButtons[group]; }

    std::vector<ColorSelectionButton*> groupButtons[3];
    QCheckBox* darkModeBox;
    bool dark = false;
};
