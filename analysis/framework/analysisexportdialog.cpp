#include "analysis/framework/analysisexportdialog.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QVBoxLayout>

namespace {

const QString settingsPrefix = "Analysis/Online/Settings/";
const QString separatorKey = settingsPrefix + "exportSeparator";
// What can be typed as the file name.
const QRegularExpression nameRule("^[a-zA-Z0-9_ ]*$");

// What "Browse..." gives: an absolute folder with a slash at its end and no step up or aside in
// it. A relative one would write into the working folder.
bool isChosenFolder(const QString& path) {
    return QDir::isAbsolutePath(path) && path.endsWith('/') && QDir::cleanPath(path) + "/" == path;
}

} // namespace

AnalysisExportDialog::AnalysisExportDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Export analysis results");
    setModal(true);

    pathEdit = new QLineEdit(this);
    pathEdit->setReadOnly(true);
    browseButton = new QPushButton("Browse...", this);
    nameEdit = new QLineEdit(this);
    nameEdit->setValidator(new QRegularExpressionValidator(nameRule, nameEdit));

    auto* pathLabel = new QLabel("Export path:", this);
    pathLabel->setBuddy(pathEdit);
    auto* nameLabel = new QLabel("File name:", this);
    nameLabel->setBuddy(nameEdit);

    auto* separatorBox = new QGroupBox("Separator", this);
    commaButton = new QRadioButton("comma \",\"", separatorBox);
    semicolonButton = new QRadioButton("semicolon \";\"", separatorBox);
    tabButton = new QRadioButton("tab \"\\t\"", separatorBox);
    auto* separatorLayout = new QHBoxLayout(separatorBox);
    separatorLayout->addWidget(commaButton);
    separatorLayout->addWidget(semicolonButton);
    separatorLayout->addWidget(tabButton);

    auto* okButton = new QPushButton("OK", this);
    okButton->setDefault(true);
    auto* cancelButton = new QPushButton("Cancel", this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);

    auto* grid = new QGridLayout;
    grid->addWidget(pathLabel, 0, 0);
    grid->addWidget(pathEdit, 0, 1);
    grid->addWidget(browseButton, 0, 2);
    grid->addWidget(nameLabel, 1, 0);
    grid->addWidget(nameEdit, 1, 1, 1, 2);
    grid->addWidget(separatorBox, 2, 0, 1, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    connect(browseButton, &QPushButton::clicked, this, &AnalysisExportDialog::onExportPathBrowseBtnClicked);
    connect(okButton, &QPushButton::clicked, this, &AnalysisExportDialog::onAccept);
    connect(cancelButton, &QPushButton::clicked, this, &AnalysisExportDialog::onReject);
}

void AnalysisExportDialog::setAnalysisName(const QString& name) {
    analysisName = name;
    onLoadSettings();
}

QString AnalysisExportDialog::exportPath() const {
    return pathEdit->text();
}

QString AnalysisExportDialog::exportFileName() const {
    return nameEdit->text();
}

QString AnalysisExportDialog::separator() const {
    if (commaButton->isChecked()) return ",";
    if (semicolonButton->isChecked()) return ";";
    return "\t";
}

int AnalysisExportDialog::separatorForLocale() {
    return QLocale().decimalPoint() == "," ? 1 : 0;
}

void AnalysisExportDialog::onExportPathBrowseBtnClicked() {
    const QString dir = QFileDialog::getExistingDirectory(this, "Select directory", pathEdit->text(),
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty()) pathEdit->setText(dir + "/");
}

void AnalysisExportDialog::onLoadSettings() {
    const QSettings settings;
    // The settings may have been edited by hand: what the dialog would not take is not taken.
    const QString defaultPath = QDir::homePath() + "/KAV4/Analysis/";
    QString path = settings.value(settingsPrefix + analysisName + "ExportPath", defaultPath).toString();
    if (!isChosenFolder(path)) {
        qWarning("The %s export folder in the settings, \"%s\", is not a folder \"Browse...\" gives: %s is "
                 "used",
                 qPrintable(analysisName), qPrintable(path), qPrintable(defaultPath));
        path = defaultPath;
    }
    pathEdit->setText(path);
    QString name = settings.value(settingsPrefix + analysisName + "ExportName", "file").toString();
    if (!nameRule.match(name).hasMatch()) {
        qWarning("The %s export file name in the settings, \"%s\", holds more than letters, digits, "
                 "underscores and spaces: \"file\" is used",
                 qPrintable(analysisName), qPrintable(name));
        name = "file";
    }
    nameEdit->setText(name);
    int choice = settings.value(separatorKey, 3).toInt();
    if (choice < 0 || choice > 2) choice = separatorForLocale();
    (choice == 0 ? commaButton : choice == 1 ? semicolonButton : tabButton)->setChecked(true);
}

void AnalysisExportDialog::onSaveSettings() {
    QSettings settings;
    settings.setValue(settingsPrefix + analysisName + "ExportPath", pathEdit->text());
    settings.setValue(settingsPrefix + analysisName + "ExportName", nameEdit->text());
    settings.setValue(separatorKey, commaButton->isChecked() ? 0 : semicolonButton->isChecked() ? 1 : 2);
}

void AnalysisExportDialog::onAccept() {
    onSaveSettings();
    accept();
}

void AnalysisExportDialog::onReject() {
    reject();
}

void AnalysisExportDialog::reject() {
    onLoadSettings();
    QDialog::reject();
}
