#include "window/replaybar.h"

#include "recording/filesamplesource.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>

#include <cmath>

namespace {

// The speeds offered, the recording's own pace first; 0 runs as fast as the readers go.
const std::pair<const char*, double> speeds[] = {{"1x", 1.0},   {"2x", 2.0},   {"5x", 5.0},
                                                 {"10x", 10.0}, {"0.5x", 0.5}, {"As fast as possible", 0.0}};

} // namespace

ReplayBar::ReplayBar(FileSampleSource& source, const QString& fileName, QWidget* parent)
    : QDockWidget("Replay: " + fileName, parent), source(source), recording(source.recording()),
      rate(source.rate()), playButton(new QToolButton), speedBox(new QComboBox), slider(new QSlider),
      timeLabel(new QLabel), goToBox(new QDoubleSpinBox), tagBox(new QComboBox), lossBox(new QComboBox) {
    setObjectName("replayDw");
    auto* widget = new QWidget;
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(3, 1, 3, 1);

    playButton->setObjectName("playButton");
    playButton->setCheckable(true);
    playButton->setIconSize(QSize(20, 20));
    connect(playButton, &QToolButton::toggled, this, &ReplayBar::setPlaying);
    layout->addWidget(playButton);

    speedBox->setObjectName("speedBox");
    speedBox->setToolTip("Playback speed: times the recording's pace");
    for (const auto& [text, speed] : speeds)
        speedBox->addItem(text, speed);
    connect(speedBox, &QComboBox::currentIndexChanged, this,
            [this] { this->source.setSpeed(speedBox->currentData().toDouble()); });
    source.setSpeed(speeds[0].second);
    layout->addWidget(speedBox);

    stride = std::max<int64_t>(1, (recording.frames + 99999) / 100000);
    slider->setObjectName("positionSlider");
    slider->setOrientation(Qt::Horizontal);
    slider->setRange(0, int(recording.frames / stride));
    slider->setPageStep(std::max(1, slider->maximum() / 20));
    slider->setMinimumWidth(120);
    // A drag, a click in the groove and the keys move the slider first, the playback after it.
    connect(slider, &QSlider::actionTriggered, this,
            [this] { seekTo(int64_t(slider->sliderPosition()) * stride); });
    layout->addWidget(slider, 1);
    timeLabel->setObjectName("timeLabel");
    const double duration = double(timeOf(recording.frames)) / rate;
    timeLabel->setMinimumWidth(
        timeLabel->fontMetrics().horizontalAdvance(timeText(duration) + " / " + timeText(duration) + "  "));
    layout->addWidget(timeLabel);

    layout->addWidget(new QLabel("Go to"));
    goToBox->setObjectName("goToBox");
    goToBox->setToolTip("The time to go on from; Return goes there");
    goToBox->setSuffix(" s");
    goToBox->setDecimals(3);
    goToBox->setRange(0.0, duration);
    goToBox->setKeyboardTracking(false);
    connect(goToBox, &QDoubleSpinBox::editingFinished, this,
            [this] { seekTo(frameAt(std::llround(goToBox->value() * rate))); });
    layout->addWidget(goToBox);

    // The tags and the losses, each a list of times to go to.
    const auto addPlaces = [&](QComboBox* box, const QString& name, const QString& toolTip,
                               const QString& title, const std::vector<std::pair<int64_t, QString>>& places) {
        box->setObjectName(name);
        box->setToolTip(toolTip);
        for (const auto& [frame, text] : places)
            box->addItem(timeText(double(frame) / rate) + "  " + text, qlonglong(frame));
        box->setPlaceholderText(places.empty() ? "No " + title.toLower()
                                               : QString("%1 (%2)").arg(title).arg(places.size()));
        box->setCurrentIndex(-1);
        box->setEnabled(!places.empty());
        box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        connect(box, &QComboBox::activated, this,
                [this, box](int index) { seekTo(frameAt(box->itemData(index).toLongLong())); });
        layout->addWidget(box);
    };
    std::vector<std::pair<int64_t, QString>> tags, losses;
    for (const RecordingReader::Tag& tag : recording.tags)
        tags.emplace_back(tag.frame, tag.text);
    for (const RecordingReader::Loss& loss : recording.losses)
        losses.emplace_back(loss.frame, QString("%1 frames lost before").arg(loss.frames));
    addPlaces(tagBox, "tagBox", "Go to a tag of the recording", "Tags", tags);
    addPlaces(lossBox, "lossBox", "Go to a place where frames were lost while recording", "Losses", losses);
    setWidget(widget);

    setPlaying(source.playing());
    connect(&refresh, &QTimer::timeout, this, &ReplayBar::showPosition);
    refresh.start(100);
}

QString ReplayBar::timeText(double seconds) {
    const int64_t ms = std::llround(seconds * 1000.0);
    const QString rest =
        QString("%1.%2").arg(ms / 1000 % 60, 2, 10, QChar('0')).arg(ms % 1000, 3, 10, QChar('0'));
    const int64_t minutes = ms / 60000;
    if (minutes < 60) return QString("%1:%2").arg(minutes).arg(rest);
    return QString("%1:%2:%3").arg(minutes / 60).arg(minutes % 60, 2, 10, QChar('0')).arg(rest);
}

void ReplayBar::setPlaying(bool on) {
    // At the end, play starts again from the beginning.
    if (on && source.position() >= recording.frames) source.seek(0);
    on ? source.play() : source.pause();
    const QSignalBlocker blocker(playButton);
    playButton->setChecked(on);
    playButton->setIcon(QIcon(on ? ":/imgs/pause protocol.png" : ":/imgs/start protocol.png"));
    playButton->setToolTip(on ? "Pause" : "Play");
    showPosition();
}

void ReplayBar::seekTo(int64_t frame) {
    source.seek(frame);
    showPosition();
}

void ReplayBar::showPosition() {
    const int64_t position = source.position();
    if (source.playing() && position >= recording.frames) setPlaying(false);
    if (!slider->isSliderDown()) {
        const QSignalBlocker blocker(slider);
        slider->setValue(int(position / stride));
    }
    timeLabel->setText(timeText(double(timeOf(position)) / rate) + " / " +
                       timeText(double(timeOf(recording.frames)) / rate));
}

int64_t ReplayBar::timeOf(int64_t frame) const {
    int64_t held = 0;
    for (const RecordingReader::Sweep& sweep : recording.sweeps) {
        if (frame < held + sweep.frames) return sweep.start + frame - held;
        held += sweep.frames;
    }
    return recording.sweeps.empty() ? frame : recording.sweeps.back().start + recording.sweeps.back().frames;
}

int64_t ReplayBar::frameAt(int64_t time) const {
    int64_t held = 0;
    for (const RecordingReader::Sweep& sweep : recording.sweeps) {
        // A time between sweeps goes to the next sweep's first frame.
        if (time < sweep.start + sweep.frames) return held + std::max<int64_t>(0, time - sweep.start);
        held += sweep.frames;
    }
    return recording.sweeps.empty() ? time : held;
}
