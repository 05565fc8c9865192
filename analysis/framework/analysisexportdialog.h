#pragma once
// Where an analysis's results go as CSV: a folder, a file name and a separator, kept per
// analysis in the settings (the separator is shared by all analyses).

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;
class QRadioButton;

class AnalysisExportDialog : public QDialog {
    Q_OBJECT

  public:
    explicit AnalysisExportDialog(QWidget* parent = nullptr);

    // The analysis's short key in the settings; loads its settings.
    void setAnalysisName(const QString& name);
    // Ends with "/" so that the file name is simply appended.
    QString exportPath() const;
    QString exportFileName() const;
    // ",", ";" or a tab.
    QString separator() const;

    // The separator stored as 3 (or anything but 0, 1, 2): the one that does not clash with
    // the decimal point of the locale (the system's unless the program set another).
    static int separatorForLocale();

  public slots:
    void onExportPathBrowseBtnClicked();
    void onLoadSettings();
    void onSaveSettings();
    void onAccept();
    void onReject();
    // Escape and the window's close button drop the edits as Cancel does.
    void reject() override;

  private:
    QString analysisName;
    QLineEdit* pathEdit;
    QPushButton* browseButton;
    QLineEdit* nameEdit;
    QRadioButton* commaButton;
    QRadioButton* semicolonButton;
    QRadioButton* tabButton;
};
