#include "analysis/framework/analysiswidget.h"

#include "analysis/framework/analysisconsumer.h"
#include "analysis/framework/analysisexportdialog.h"
#include "analysis/framework/resultformat.h"

#include "commlib/api/kv4cl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTextStream>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

struct ToolSpec {
    const char* tooltip;
    const char* icon;
    bool checkable;
};

// In the order of AnalysisWidget::Tool.
constexpr ToolSpec toolSpecs[] = {
    {"Start analysis", ":/imgs/start protocol.png", true},
    {"Reset analysis", ":/imgs/analysis reset.png", false},
    {"Stop analysis", ":/imgs/stop protocol.png", false},
    {"", ":/imgs/limit to roi.png", true},
    {"View analysis data", ":/imgs/view table.png", true},
    {"Copy analysis results to lab-book", ":/imgs/analysis labbook.png", false},
    {"Export analysis data to .csv", ":/imgs/analysis export.png", false},
    {"Linear fit", ":/imgs/analysis linear fit.png", false},
    {"Boltzmann sigmoid fit", ":/imgs/analysis boltzmann sigmoid fit.png", false},
    {"Gaussian fit", ":/imgs/analysis gaussian fit.png", false},
    {"View fit values", ":/imgs/view table.png", true},
};

QTableWidget* valuesTable(QWidget* parent) {
    auto* table = new QTableWidget(6, 5, parent);
    table->horizontalHeader()->hide();
    table->verticalHeader()->hide();
    return table;
}

QFrame* frameWith(QWidget* content, QWidget* parent) {
    auto* frame = new QFrame(parent);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    if (content) layout->addWidget(content);
    return frame;
}

void warn(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, "KAV4", text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

// The docks waiting to draw a result, served in their order one per pass of the event loop.
class RedrawQueue : public QObject {
  public:
    static RedrawQueue& instance() {
        static QPointer<RedrawQueue> queue;
        if (!queue) queue = new RedrawQueue(QCoreApplication::instance());
        return *queue;
    }
    void add(AnalysisWidget* dock) {
        if (!waiting.contains(dock)) waiting.append(dock);
        if (!turn.isActive()) turn.start();
    }

  private:
    explicit RedrawQueue(QObject* parent) : QObject(parent) {
        turn.setInterval(0);
        connect(&turn, &QTimer::timeout, this, [this] {
            if (waiting.isEmpty()) {
                turn.stop();
                return;
            }
            // A dock deleted while it waited is null here.
            if (const QPointer<AnalysisWidget> dock = waiting.takeFirst()) dock->redrawNow();
        });
    }
    QList<QPointer<AnalysisWidget>> waiting;
    QTimer turn;
};

AnalysisWidget::AnalysisWidget(const ChannelCounts& channels, int currentChannelIdx,
                               std::initializer_list<Tool> tools, QWidget* parent)
    : QDockWidget(parent), voltageChannelsNum(int(channels.voltage)),
      currentChannelsNum(int(channels.current)), gpChannelsNum(int(channels.gp)),
      currentChannelIdx(currentChannelIdx) {
    kv4cl::getVoltageRange(voltageRange);
    currentRanges.resize(size_t(currentChannelsNum));
    for (int ch = 0; ch < currentChannelsNum; ch++)
        kv4cl::getCurrentRange(currentRanges[size_t(ch)], uint16_t(ch));
    gpRanges.resize(size_t(gpChannelsNum));
    for (int ch = 0; ch < gpChannelsNum; ch++)
        kv4cl::getGpRange(gpRanges[size_t(ch)], uint16_t(ch));

    toolbar = new QToolBar(this);
    toolbar->setStyleSheet("QToolBar{border:1px solid rgb(192,192,192);}");
    std::array<bool, ToolCount> shown{true, true, true};
    for (Tool t : tools)
        shown[t] = true;
    for (int t = 0; t < ToolCount; t++) {
        auto* button = new QToolButton(toolbar);
        button->setToolTip(toolSpecs[t].tooltip);
        button->setIcon(QIcon(toolSpecs[t].icon));
        button->setCheckable(toolSpecs[t].checkable);
        buttons[size_t(t)] = button;
        actions[size_t(t)] = toolbar->addWidget(button);
        actions[size_t(t)]->setVisible(shown[t]);
        if (t == LimitToRoiTool) separators[0] = toolbar->addSeparator();
        if (t == ExportTool) separators[1] = toolbar->addSeparator();
    }
    // A separator parts groups of tools: it shows with tools shown on both sides of it.
    const auto anyShown = [&shown](int first, int end) {
        return std::any_of(shown.begin() + first, shown.begin() + end, [](bool s) { return s; });
    };
    separators[0]->setVisible(anyShown(ViewDataTool, ToolCount));
    separators[1]->setVisible(anyShown(ViewDataTool, LinearFitTool) && anyShown(LinearFitTool, ToolCount));
    buttons[ResetTool]->setEnabled(false);
    buttons[StopTool]->setEnabled(false);
    for (Tool t : {LabbookTool, ExportTool, LinearFitTool, BoltzmannFitTool, GaussianFitTool})
        actions[t]->setEnabled(false);

    dialog = new AnalysisExportDialog(this);
    dataValues = valuesTable(this);
    fitValues = valuesTable(this);
    plot = frameWith(nullptr, this);
    data = frameWith(dataValues, this);
    fit = frameWith(fitValues, this);
    data->hide();
    fit->hide();

    auto* content = new QWidget(this);
    auto* layout = new QVBoxLayout(content);
    layout->addWidget(toolbar);
    layout->addWidget(plot, 1);
    layout->addWidget(data, 1);
    layout->addWidget(fit, 1);
    setWidget(content);

    connect(buttons[StartTool], &QToolButton::clicked, this, &AnalysisWidget::onStartClicked);
    connect(buttons[ResetTool], &QToolButton::clicked, this, &AnalysisWidget::resetConsuming);
    connect(buttons[StopTool], &QToolButton::clicked, this, &AnalysisWidget::onStopClicked);
    connect(buttons[LimitToRoiTool], &QToolButton::clicked, this, &AnalysisWidget::onLimitToRoi);
    connect(buttons[ViewDataTool], &QToolButton::toggled, this, &AnalysisWidget::onViewData);
    connect(buttons[LabbookTool], &QToolButton::clicked, this, &AnalysisWidget::onSaveToLabbook);
    connect(buttons[ExportTool], &QToolButton::clicked, this, [this] {
        dialog->setAnalysisName(exportName());
        dialog->open();
    });
    connect(buttons[LinearFitTool], &QToolButton::clicked, this, &AnalysisWidget::onLinearFit);
    connect(buttons[BoltzmannFitTool], &QToolButton::clicked, this, &AnalysisWidget::onBoltzmannSigmoidFit);
    connect(buttons[GaussianFitTool], &QToolButton::clicked, this, &AnalysisWidget::onGaussianFit);
    connect(buttons[ViewFitTool], &QToolButton::toggled, this, &AnalysisWidget::onViewFit);
    connect(dialog, &QDialog::accepted, this, &AnalysisWidget::onExportAccepted);

    holdOff = new QTimer(this);
    holdOff->setSingleShot(true);
    holdOff->setInterval(redrawPeriodMs);
    connect(holdOff, &QTimer::timeout, this, [this] {
        if (redrawPending) RedrawQueue::instance().add(this);
    });
}

void AnalysisWidget::onResult() {
    // One consumer serves the docks of every channel: only a running one draws.
    if (buttons[StartTool]->isChecked()) resultReady();
}

void AnalysisWidget::resultReady() {
    if (forOneChannel() && driven->resultsPublished(currentChannelIdx) == resultsDrawn) return;
    redrawPending = true;
    if (!holdOff->isActive()) RedrawQueue::instance().add(this);
}

void AnalysisWidget::redrawNow() {
    if (!std::exchange(redrawPending, false)) return;
    // Read before the result is fetched: one published meanwhile is drawn at the next turn.
    if (forOneChannel()) resultsDrawn = driven->resultsPublished(currentChannelIdx);
    redraw();
    holdOff->start();
}

void AnalysisWidget::setConsumer(AnalysisConsumer* consumer) {
    driven = consumer;
    const bool oneChannel = currentChannelIdx != currentChannelsNum;
    const int idx = currentChannelIdx;
    connect(this, &AnalysisWidget::startConsuming, consumer, [consumer, oneChannel, idx] {
        oneChannel ? consumer->onStartConsuming(idx) : consumer->onStartConsuming();
    });
    connect(this, &AnalysisWidget::resetConsuming, consumer, [consumer, oneChannel, idx] {
        oneChannel ? consumer->onResetConsuming(idx) : consumer->onResetConsuming();
    });
    connect(this, &AnalysisWidget::stopConsuming, consumer, [consumer, oneChannel, idx] {
        oneChannel ? consumer->onStopConsuming(idx) : consumer->onStopConsuming();
    });
    // A dock closed cannot show what it computes: it stops. One behind another's tab runs on.
    connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (!visible && isHidden() && buttons[StopTool]->isEnabled()) buttons[StopTool]->click();
    });
}

void AnalysisWidget::onNewRecordFile(QString name) {
    seriesName = name;
}

void AnalysisWidget::onRecording(bool flag) {
    recording = flag;
}

void AnalysisWidget::onVoltageRangeChanged(kv4cl::RangedMeasurement_t range) {
    voltageRange = range;
}

void AnalysisWidget::onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    if (channelIdx == currentChannelsNum)
        currentRanges.assign(currentRanges.size(), range);
    else if (channelIdx >= 0 && channelIdx < currentChannelsNum)
        currentRanges[size_t(channelIdx)] = range;
}

void AnalysisWidget::onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    if (channelIdx == gpChannelsNum)
        gpRanges.assign(gpRanges.size(), range);
    else if (channelIdx >= 0 && channelIdx < gpChannelsNum)
        gpRanges[size_t(channelIdx)] = range;
}

void AnalysisWidget::onStartClicked(bool on) {
    if (!on) return;
    buttons[StartTool]->setEnabled(false);
    buttons[ResetTool]->setEnabled(true);
    buttons[StopTool]->setEnabled(true);
    emit startConsuming();
}

void AnalysisWidget::onStopClicked() {
    buttons[StopTool]->setEnabled(false);
    buttons[StartTool]->setEnabled(true);
    buttons[StartTool]->setChecked(false);
    buttons[ResetTool]->setEnabled(false);
    emit stopConsuming();
}

void AnalysisWidget::onViewData(bool on) {
    if (on) buttons[ViewFitTool]->setChecked(false);
    showFrames();
}

void AnalysisWidget::onViewFit(bool on) {
    if (on) buttons[ViewDataTool]->setChecked(false);
    showFrames();
}

void AnalysisWidget::showFrames() {
    const bool dataShown = buttons[ViewDataTool]->isChecked();
    const bool fitShown = buttons[ViewFitTool]->isChecked();
    data->setVisible(dataShown);
    fit->setVisible(fitShown);
    plot->setVisible(!dataShown && !fitShown);
}

bool AnalysisWidget::openExportFile(QFile& file, const QString& folder) {
    if (file.exists()) {
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            warn(this, "Cannot open the file for writing");
            return false;
        }
        QMessageBox box(QMessageBox::Question, "KAV4", "The file already exists\nWhat do you want to do?",
                        QMessageBox::NoButton, this);
        QPushButton* overwrite = box.addButton("Overwrite", QMessageBox::DestructiveRole);
        QPushButton* append = box.addButton("Append", QMessageBox::AcceptRole);
        box.addButton("Do not save", QMessageBox::RejectRole);
        box.exec();
        if (box.clickedButton() == append) return true;
        file.close();
        if (box.clickedButton() != overwrite) return false;
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            warn(this, "Cannot open the file for writing");
            return false;
        }
        return true;
    }
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isWritable()) {
        warn(this, "Unable to write to dir " + folder);
        return false;
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        warn(this, "Cannot open the file for writing");
        return false;
    }
    return true;
}

void AnalysisWidget::onExportAccepted() {
    separator = dialog->separator();
    const QString folder = dialog->exportPath();
    QFile file(folder + dialog->exportFileName() + ".csv");
    if (!openExportFile(file, folder)) return;
    QTextStream out(&file);
    out << csvLine({"Analysis:", analysisTitle}, separator) << exportData();
}
