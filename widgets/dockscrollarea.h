#pragma once
// The content of a dock, scrolled up and down only: a short screen still reaches every control,
// and none is ever cut at the side or needs a sideways scroll. The area asks for all of its
// content, and never for less than the content's width, so the dock area gives the dock at
// least that width; it asks again whenever the content's layout changes (rows shown or hidden).

#include <QScrollArea>

class DockScrollArea : public QScrollArea {
    Q_OBJECT

  public:
    explicit DockScrollArea(QWidget* content, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The width of the frame and of the vertical scroll bar, which may show at any time.
    int besideContent() const;
};
