#pragma once
// The logo that fills the window while nothing is connected, scaled to the window's width.

#include <QLabel>
#include <QPixmap>

class CorvaneLogoWidget : public QLabel {
    Q_OBJECT

  public:
    explicit CorvaneLogoWidget(QWidget* parent = nullptr);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    QPixmap logo;
};
