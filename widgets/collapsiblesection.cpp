#include "widgets/collapsiblesection.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

CollapsibleSection::CollapsibleSection(const QString& title, const QStringList& buttonTexts, QWidget* parent)
    : QWidget(parent), group(new QButtonGroup(this)), hideShowButton(new QToolButton),
      buttonsArea(new QWidget) {
    hideShowButton->setStyleSheet("QToolButton {border: none;}");
    hideShowButton->setCheckable(true);
    hideShowButton->setChecked(true);
    hideShowButton->setArrowType(Qt::DownArrow);
    connect(hideShowButton, &QToolButton::toggled, this, &CollapsibleSection::onHideShowBtnClick);

    auto* header = new QHBoxLayout;
    header->addWidget(hideShowButton);
    header->addWidget(new QLabel(title));
    header->addStretch();

    auto* buttonsLayout = new QVBoxLayout(buttonsArea);
    for (int i = 0; i < buttonTexts.size(); i++) {
        auto* button = new QPushButton(buttonTexts[i]);
        button->setCheckable(true);
        group->addButton(button, i);
        buttonsLayout->addWidget(button);
    }
    group->setExclusive(true);
    connect(group, &QButtonGroup::buttonToggled, this, &CollapsibleSection::onButtonToggled);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(header);
    layout->addWidget(buttonsArea);
}

void CollapsibleSection::onClickButton(int idx) {
    if (QAbstractButton* button = group->button(idx)) button->click();
}

void CollapsibleSection::onCheckButton(int idx, bool checked) {
    if (QAbstractButton* button = group->button(idx)) button->setChecked(checked);
}

void CollapsibleSection::onSetEnabled(bool flag) {
    buttonsArea->setEnabled(flag);
}

void CollapsibleSection::onHideShowBtnClick(bool show) {
    hideShowButton->setChecked(show);
    hideShowButton->setArrowType(show ? Qt::DownArrow : Qt::RightArrow);
    buttonsArea->setVisible(show);
}

void CollapsibleSection::onButtonToggled(QAbstractButton* btn, bool checked) {
    const int index = group->id(btn);
    emit buttonToggled(index, checked);
    if (checked) emit valueChanged(index);
}
