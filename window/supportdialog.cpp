#include "window/supportdialog.h"

#include "window/errormanager.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QVBoxLayout>

SupportDialog::SupportDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Support");
    const QString address = ErrorManager::supportAddress;
    auto* mail = new QLabel(QString("<a href=\"mailto:%1\">%1</a>").arg(address));
    mail->setTextFormat(Qt::RichText);
    mail->setOpenExternalLinks(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("For support or bug reporting please contact the email address"));
    layout->addWidget(mail);
    layout->addWidget(new QLabel("In bug report emails please briefly describe the bug, include"));
    layout->addWidget(new QLabel("the information available in Device Info dialog and attach"));
    layout->addWidget(new QLabel("the last error log in " + QDir::homePath() + "/KAV4/Logs/"));
    layout->addWidget(buttons);
}
