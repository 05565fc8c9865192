#pragma once
// A titled group of mutually exclusive check buttons whose buttons a borderless tool button
// hides and shows again.

#include <QWidget>

class QAbstractButton;
class QButtonGroup;
class QToolButton;

class CollapsibleSection : public QWidget {
    Q_OBJECT

  public:
    CollapsibleSection(const QString& title, const QStringList& buttonTexts, QWidget* parent = nullptr);

  signals:
    void buttonToggled(int index, bool flag);
    // The index of the button that became checked.
    void valueChanged(int);

  public slots:
    void onClickButton(int idx);
    void onCheckButton(int idx, bool checked);
    void onSetEnabled(bool flag);
    void onHideShowBtnClick(bool show);
    void onButtonToggled(QAbstractButton* btn, bool checked);

  private:
    QButtonGroup* group;
    QToolButton* hideShowButton;
    QWidget* buttonsArea;
};
