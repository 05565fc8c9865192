#pragma once
// A table whose copy key puts the first selected block on the clipboard as tab-separated
// text, so that it pastes into a spreadsheet.

#include <QTableWidget>

class CopyableTable : public QTableWidget {
    Q_OBJECT

  public:
    explicit CopyableTable(QWidget* parent = nullptr);

    // Cells separated by tabs and rows by line breaks; numbers in the system locale, so that
    // a spreadsheet of the same locale reads them as numbers.
    QString selectionText() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
