#include "widgets/messagedialog.h"

#include "widgets/images.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

MessageDialog::MessageDialog(const QString& title, const QString& message, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(title);
    auto* logo = new QLabel;
    logo->setPixmap(imagePixmap(":/imgs/logo_with_name.png"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(logo);
    layout->addWidget(new QLabel(message));
    layout->addWidget(buttons);
}
