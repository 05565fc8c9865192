#include "window/aboutdialog.h"

#include "widgets/images.h"
#include "window/version.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About KAV4");
    auto* logo = new QLabel;
    logo->setPixmap(imagePixmap(":/imgs/logo_with_name.png"));
    auto* poweredBy = new QLabel("Powered by Qt <a href=\"https://www.qt.io\">https://www.qt.io</a>");
    poweredBy->setTextFormat(Qt::RichText);
    poweredBy->setOpenExternalLinks(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(logo);
    layout->addWidget(new QLabel("Version " + versionString()));
    layout->addWidget(poweredBy);
    layout->addWidget(buttons);
}
