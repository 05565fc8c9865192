#pragma once
// A two-state switch drawn as an image; a mouse press toggles it.

#include <QLabel>

class ActivationButton : public QLabel {
    Q_OBJECT

  public:
    explicit ActivationButton(QWidget* parent = nullptr);

  signals:
    void clicked(bool);

  public slots:
    void click();
    void click(bool flag);
    void setChecked(bool flag);
    bool isChecked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;

  private:
    bool checked = false;
};
