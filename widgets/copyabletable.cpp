#include "widgets/copyabletable.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLocale>

CopyableTable::CopyableTable(QWidget* parent) : QTableWidget(parent) {
    installEventFilter(this);
}

QString CopyableTable::selectionText() const {
    const QList<QTableWidgetSelectionRange> ranges = selectedRanges();
    if (ranges.isEmpty()) return {};
    const QTableWidgetSelectionRange& range = ranges.first();
    const QLocale locale = QLocale::system();
    QStringList rows;
    for (int r = range.topRow(); r <= range.bottomRow(); r++) {
        QStringList cells;
        for (int c = range.leftColumn(); c <= range.rightColumn(); c++) {
            const QTableWidgetItem* cell = item(r, c);
            const QVariant data = cell ? cell->data(Qt::DisplayRole) : QVariant();
            bool isNumber = false;
            const double number = data.toDouble(&isNumber);
            const bool numeric = isNumber && data.typeId() != QMetaType::QString;
            cells << (numeric ? locale.toString(number) : data.toString());
        }
        rows << cells.join('\t');
    }
    return rows.join('\n');
}

bool CopyableTable::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        QApplication::clipboard()->setText(selectionText());
        return true;
    }
    return QTableWidget::eventFilter(watched, event);
}
