#pragma once
// A button showing a protocol's image at a fixed size; it reports when the pointer enters
// and leaves it, so that a larger view can follow the pointer.

#include <QPushButton>

class ProtocolImageButton : public QPushButton {
    Q_OBJECT

  public:
    explicit ProtocolImageButton(QWidget* parent = nullptr);

    void setImage(const QString& path);
    QSize sizeHint() const override;

  signals:
    void mouseOver(bool over);

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};
