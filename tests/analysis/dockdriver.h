#pragma once
// An analysis dock driven as a user drives it: its boxes found by the labels beside them,
// values typed over what they hold, its tools clicked, docked in a window of a user's size.

#include "analysis/framework/analysiswidget.h"
#include "commlib/api/kv4cl.h"

#include <QAbstractSpinBox>
#include <QLabel>
#include <QMainWindow>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

namespace kv4test {

// The widget the label showing `text` stands for, or nullptr.
template <typename Widget> Widget* labelled(const QWidget& parent, const QString& text) {
    for (const QLabel* label : parent.findChildren<QLabel*>())
        if (label->text() == text) return qobject_cast<Widget*>(label->buddy());
    return nullptr;
}

// The button or check box showing `text`, or nullptr.
template <typename Button> Button* withText(const QWidget& parent, const QString& text) {
    for (Button* button : parent.findChildren<Button*>())
        if (button->text() == text) return button;
    return nullptr;
}

// The user selects what the box holds and types a new value.
inline void type(QAbstractSpinBox* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
}

// A read-out such as "990.099 pS" in the base unit (9.90099e-10 for the unit "S"); NaN when it
// is no value in that unit.
inline double labelValue(const QString& text, const QString& unit) {
    const QStringList parts = text.split(' ');
    if (parts.size() != 2 || !parts[1].endsWith(unit)) return std::nan("");
    bool ok = false;
    const double value = parts[0].toDouble(&ok);
    const QString prefix = parts[1].chopped(unit.size());
    for (int p = 0; ok && p < kv4cl::UnitPfxNum; p++)
        if (prefix == QString::fromUtf8(kv4cl::unitPrefixes[p]))
            return value * kv4cl::prefixFactor(kv4cl::UnitPfx_t(p), kv4cl::UnitPfxNone);
    return std::nan("");
}

// What a table's cell shows, "<empty>" for a cell with nothing in it.
inline QString cellText(const QTableWidget* table, int row, int column) {
    return table->item(row, column) ? table->item(row, column)->text() : QString("<empty>");
}

// The lines of an export.
inline QStringList lines(const QString& text) {
    return text.split('\n', Qt::SkipEmptyParts);
}

// The sum of a plot's values (a histogram's counts, a spectrum's densities).
template <typename Data> double sumOf(const Data& data) {
    return std::accumulate(data.constBegin(), data.constEnd(), 0.0,
                           [](double sum, const auto& point) { return sum + point.value; });
}

inline void click(AnalysisWidget& dock, AnalysisWidget::Tool tool) {
    QTest::mouseClick(dock.toolButton(tool), Qt::LeftButton);
}

// The dock docked in a window of 1366 x 768.
inline void showDocked(QMainWindow& window, QDockWidget& dock) {
    window.resize(1366, 768);
    window.setCentralWidget(new QWidget);
    window.addDockWidget(Qt::RightDockWidgetArea, &dock);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
}

} // namespace kv4test
