#include "widgets/activationbutton.h"

#include "widgets/images.h"

#include <QPixmap>

ActivationButton::ActivationButton(QWidget* parent) : QLabel(parent) {
    setPixmap(imagePixmap(":/imgs/activation button off.png"));
}

void ActivationButton::click() {
    setChecked(!checked);
}

void ActivationButton::click(bool flag) {
    setChecked(flag);
}

void ActivationButton::setChecked(bool flag) {
    checked = flag;
    setPixmap(imagePixmap(flag ? ":/imgs/activation button on.png" : ":/imgs/activation button off.png"));
    emit clicked(flag);
}

bool ActivationButton::isChecked() {
    return checked;
}

void ActivationButton::mousePressEvent(QMouseEvent*) {
    click();
}
