// The copyable table. The switch and the collapsible button group are driven through the docks
// that hold them (the controls dock's sections, the filter preferences' switches).

#include "widgets/copyabletable.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QTest>

TEST(CopyableTable, CopyKeyCopiesTheFirstSelectedBlock) {
    CopyableTable table;
    table.setRowCount(3);
    table.setColumnCount(3);
    for (int r = 0; r < 3; r++) {
        table.setItem(r, 0, new QTableWidgetItem(QString("ch %1").arg(r + 1)));
        for (int c = 1; c < 3; c++) {
            table.setItem(r, c, new QTableWidgetItem);
            table.item(r, c)->setData(Qt::DisplayRole, 1000.5 * (r + 1) + c);
        }
    }
    table.setRangeSelected(QTableWidgetSelectionRange(1, 0, 2, 1), true);
    table.setRangeSelected(QTableWidgetSelectionRange(0, 2, 0, 2), true);
    QApplication::clipboard()->clear();
    QTest::keyClick(&table, Qt::Key_C, Qt::ControlModifier);
    const QLocale locale = QLocale::system();
    EXPECT_EQ(QApplication::clipboard()->text(),
              "ch 2\t" + locale.toString(2002.0) + "\nch 3\t" + locale.toString(3002.5));
}
