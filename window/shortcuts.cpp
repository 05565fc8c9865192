#include "window/shortcuts.h"

#include "controls/protocoldockwidget.h"
#include "plots/plottab.h"

#include <QShortcut>

#include <utility>

std::vector<QShortcut*> makeShortcuts(QWidget* window, PlotTab* plotTab, ProtocolDockWidget* protocolDock) {
    std::vector<QShortcut*> shortcuts;
    const std::pair<QKeySequence, void (PlotTab::*)()> plotKeys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_Plus), &PlotTab::onHorzZoomIn},
        {QKeySequence(Qt::CTRL | Qt::Key_Minus), &PlotTab::onHorzZoomOut},
        {QKeySequence(Qt::Key_Plus), &PlotTab::onVertZoomInCurrentPlots},
        {QKeySequence(Qt::Key_Minus), &PlotTab::onVertZoomOutCurrentPlots},
        {QKeySequence(Qt::SHIFT | Qt::Key_Plus), &PlotTab::onVertZoomInVoltagePlots},
        {QKeySequence(Qt::SHIFT | Qt::Key_Minus), &PlotTab::onVertZoomOutVoltagePlots},
        {QKeySequence(Qt::CTRL | Qt::Key_R), &PlotTab::onZoomReset},
        {QKeySequence(Qt::Key_F), &PlotTab::onFitYAxes},
    };
    for (const auto& [keys, slot] : plotKeys) {
        auto* shortcut = new QShortcut(keys, window);
        QObject::connect(shortcut, &QShortcut::activated, plotTab, slot);
        shortcuts.push_back(shortcut);
    }
    if (!protocolDock) return shortcuts;
    const std::pair<QKeySequence, void (ProtocolDockWidget::*)()> protocolKeys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_Up), &ProtocolDockWidget::onIncreaseVhold},
        {QKeySequence(Qt::CTRL | Qt::Key_Down), &ProtocolDockWidget::onDecreaseVhold},
        {QKeySequence(Qt::CTRL | Qt::Key_I), &ProtocolDockWidget::onInvertVhold},
        {QKeySequence(Qt::SHIFT | Qt::Key_Escape), &ProtocolDockWidget::onStopRecording},
    };
    for (const auto& [keys, slot] : protocolKeys) {
        auto* shortcut = new QShortcut(keys, window);
        QObject::connect(shortcut, &QShortcut::activated, protocolDock, slot);
        shortcuts.push_back(shortcut);
    }
    for (int n = 0; n <= 9; n++) {
        auto* start = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_0 + n)), window);
        QObject::connect(start, &QShortcut::activated, protocolDock,
                         [protocolDock, n] { protocolDock->onStartProtocolByShortCut(n); });
        auto* record = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key(Qt::Key_0 + n)), window);
        QObject::connect(record, &QShortcut::activated, protocolDock,
                         [protocolDock, n] { protocolDock->onRecordProtocolByShortCut(n); });
        shortcuts.push_back(start);
        shortcuts.push_back(record);
    }
    return shortcuts;
}
