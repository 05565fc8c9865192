#include "controls/protocoldockwidget.h"

#include "commlib/api/kv4cl.h"
#include "controls/fastpulsescustomprotocolwidget.h"
#include "controls/recordsettingsdialog.h"
#include "widgets/dockscrollarea.h"
#include "widgets/images.h"
#include "widgets/protocolimagebutton.h"
#include "widgets/steppedspinbox.h"
#include "widgets/timerdisplay.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextStream>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

using kv4cl::ErrorCodes_t;
using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

namespace {

using Getter = ErrorCodes_t (*)(std::vector<std::string>&, std::vector<RangedMeasurement_t>&,
                                std::vector<Measurement_t>&);
using Setter = ErrorCodes_t (*)(uint16_t, const Measurement_t&);
using Checker = ErrorCodes_t (*)(uint16_t, const Measurement_t&, std::string&);
struct FamilyCalls {
    Getter get;
    Setter set;
    Checker check;
};
const FamilyCalls familyCalls[] = {
    {kv4cl::getProtocolVoltage, kv4cl::setProtocolVoltage, kv4cl::checkProtocolVoltage},
    {kv4cl::getProtocolTime, kv4cl::setProtocolTime, kv4cl::checkProtocolTime},
    {kv4cl::getProtocolSlope, kv4cl::setProtocolSlope, kv4cl::checkProtocolSlope},
    {kv4cl::getProtocolFrequency, kv4cl::setProtocolFrequency, kv4cl::checkProtocolFrequency},
    {kv4cl::getProtocolAdimensional, kv4cl::setProtocolAdimensional, kv4cl::checkProtocolAdimensional},
};

const QString lockKey = "Protocol/Settings/vholdLock";
const QString savePathKey = "Protocol/Parameters/savePath";
const QString recordIcon = ":/imgs/record protocol.png";
const QString recordingIcon = ":/imgs/recording protocol.png";
const QString invalidText = "Invalid protocol parameters";
const double vholdStep = 10.0; // in the Vhold spin box's unit

QString imagePath(const QString& image) {
    return ":/imgs/protocols/" + image + ".png";
}

// Twice the thumbnail's size: the sharper variant, scaled only where the screen needs more.
QPixmap previewImage(const QString& path) {
    const qreal ratio = qApp->devicePixelRatio();
    const QSize logical = 2 * QImageReader(path).size();
    QPixmap preview =
        largestImage(path).scaled(logical * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    preview.setDevicePixelRatio(ratio);
    return preview;
}

QString protocolsFolder() {
    return QDir::homePath() + "/KAV4/Protocols/";
}

// "version: 4" → 4; false unless the line is exactly two fields with an unsigned number.
bool readNumber(QTextStream& in, uint32_t& number) {
    const QStringList fields = in.readLine().split(": ");
    bool ok = false;
    if (fields.size() == 2) number = fields[1].toUInt(&ok);
    return ok;
}

} // namespace

// Each line of text is a label and a value elided in the middle to the button's width, so that
// a long path neither widens the dock nor loses its ends; the full text belongs in the tool tip.
class RecordButton : public QPushButton {
  public:
    RecordButton() { setSizePolicy(QSizePolicy::Ignored, sizePolicy().verticalPolicy()); }

    void setLines(std::vector<std::pair<QString, QString>> labelled) {
        lines = std::move(labelled);
        elide();
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QPushButton::resizeEvent(event);
        elide();
    }

  private:
    void elide() {
        if (lines.empty()) return;
        QStyleOptionButton option;
        initStyleOption(&option);
        // The frame, the margins and the icon with its gap to the text; without the text, whose
        // presence makes the style ask for a minimum width that is not taken from the text.
        option.text.clear();
        const QSize bare(iconSize().width() + 4, 0);
        const int room =
            width() - style()->sizeFromContents(QStyle::CT_PushButton, &option, bare, this).width();
        QStringList shown;
        for (const auto& [label, value] : lines) {
            const int valueRoom = std::max(0, room - fontMetrics().horizontalAdvance(label));
            shown << label + fontMetrics().elidedText(value, Qt::ElideMiddle, valueRoom);
        }
        setText(shown.join("\n"));
    }

    std::vector<std::pair<QString, QString>> lines;
};

ProtocolDockWidget::ProtocolDockWidget(QWidget* parent) : QDockWidget("Voltage stimulus", parent) {
    setObjectName("protocolDw");
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);

    std::vector<std::string> names;
    std::vector<std::string> imageNames;
    kv4cl::getProtocolList(names, imageNames, idxs[Voltages], idxs[Times], idxs[Slopes], idxs[Frequencies],
                           idxs[Adimensionals]);
    for (const std::string& image : imageNames)
        images.push_back(QString::fromStdString(image));

    auto* protocolRow = new QHBoxLayout;
    auto* protocolLabel = new QLabel("Protocol");
    protocolBox = new QComboBox;
    for (const std::string& name : names)
        protocolBox->addItem(QString::fromStdString(name));
    protocolLabel->setBuddy(protocolBox);
    protocolRow->addWidget(protocolLabel);
    protocolRow->addWidget(protocolBox, 1);
    layout->addLayout(protocolRow);
    // The protocol chosen above may not be the one the amplifier runs until it is applied.
    runningLabel = new QLabel;
    runningLabel->setObjectName("runningProtocolLabel");
    runningLabel->hide();
    layout->addWidget(runningLabel);

    imageButton = new ProtocolImageButton;
    layout->addWidget(imageButton);
    waveformView = new QDialog(this);
    waveformView->setWindowTitle("Protocol waveform");
    auto* waveformLayout = new QVBoxLayout(waveformView);
    waveformImage = new QLabel;
    waveformLayout->addWidget(waveformImage);
    auto* closeButton = new QPushButton("Close");
    waveformLayout->addWidget(closeButton);
    connect(closeButton, &QPushButton::clicked, waveformView, &QDialog::hide);
    // Hovering must not take the keyboard from the field being edited.
    waveformView->setAttribute(Qt::WA_ShowWithoutActivating);
    connect(static_cast<ProtocolImageButton*>(imageButton), &ProtocolImageButton::mouseOver, this,
            &ProtocolDockWidget::showWaveform);

    // Built before the rows, whose first values are validated as edits.
    messageLabel = new QLabel;
    messageLabel->setStyleSheet("QLabel { background-color : rgb(255, 255, 128); color : rgb(255, 0, 0) }");
    messageLabel->hide();
    auto* parameters = new QWidget;
    new QGridLayout(parameters);
    for (int f = 0; f < FamiliesNum; f++)
        buildRows(Family(f), parameters);
    layout->addWidget(parameters);
    parametersArea = parameters;
    layout->addWidget(messageLabel);

    uint16_t segments = 0;
    RangedMeasurement_t voltageRange, durationRange;
    if (kv4cl::getFastPulsesWaveform1(segments, voltageRange, durationRange) == kv4cl::Success &&
        segments > 0) {
        fastPulsesEntry = protocolBox->count();
        protocolBox->addItem("Fast pulses");
        fastPulses = new FastPulsesCustomProtocolWidget;
        connect(fastPulses, &FastPulsesCustomProtocolWidget::applyProtocol, this,
                [this] { onApplyProtocol(true); });
        // Its rows outgrow a short screen: they scroll, up and down only.
        auto* scroll = new DockScrollArea(fastPulses);
        scroll->hide();
        fastPulsesArea = scroll;
        layout->addWidget(scroll, 1);
    }

    auto* buttons = new QHBoxLayout;
    const auto add = [&](const QString& icon, const QString& toolTip, auto slot) {
        QPushButton* button = addButton(icon, toolTip);
        buttons->addWidget(button);
        connect(button, &QPushButton::clicked, this, slot);
        return button;
    };
    add(":/imgs/start protocol.png", "Apply the current stimulus (ENTER/RETURN)",
        [this] { onApplyProtocol(true); });
    add(":/imgs/pause protocol.png", "Stop the current stimulus", [this] { onApplyProtocol(false); });
    add(":/imgs/save parameters.png", "Save protocol parameters", &ProtocolDockWidget::onSaveParameters);
    add(":/imgs/load parameters.png", "Load protocol parameters", &ProtocolDockWidget::onLoadParameters);
    add(":/imgs/restore default protocols.png", "Restore default protocol parameters",
        &ProtocolDockWidget::onRestoreDefaultProtocolParameters);
    recordSettings = new RecordSettingsDialog(this);
    add(":/imgs/folder settings.png", "Set file properties", [this] { recordSettings->exec(); });
    layout->addLayout(buttons);

    // The recording's buttons on a row of their own: the record button shows the path.
    auto* recording = new QHBoxLayout;
    recordButton = new RecordButton;
    recordButton->setIcon(QIcon(imagePixmap(recordIcon)));
    recordButton->setToolTip("Start recording (SHIFT + ENTER/RETURN)");
    connect(recordButton, &QPushButton::clicked, this, &ProtocolDockWidget::requestRecording);
    recording->addWidget(recordButton, 1);
    QPushButton* stopRecording = addButton(":/imgs/stop protocol.png", "Stop recording (SHIFT + ESC)");
    connect(stopRecording, &QPushButton::clicked, this, &ProtocolDockWidget::onStopRecording);
    recording->addWidget(stopRecording);
    layout->addLayout(recording);

    recordTime = new TimerDisplay(nullptr, "hh.mm.ss");
    layout->addWidget(recordTime);
    if (!fastPulses) layout->addStretch();
    setWidget(content);

    // Every protocol not yet visited shows the library's defaults.
    for (int f = 0; f < FamiliesNum; f++)
        for (const std::vector<uint16_t>& protocolIdxs : idxs[f]) {
            std::vector<double> values;
            for (uint16_t i : protocolIdxs)
                values.push_back(defaults[f][i].value);
            memory[f].push_back(values);
        }

    uint16_t defaultProtocol = 0;
    kv4cl::getDefaultProtocol(defaultProtocol);
    protocolBox->setCurrentIndex(defaultProtocol);
    showProtocol(defaultProtocol);
    connect(protocolBox, &QComboBox::currentIndexChanged, this, &ProtocolDockWidget::onProtocolChanged);
    if (QFile::exists(lastSessionFile()) && !loadParameters(lastSessionFile()))
        qWarning("The last session's protocol parameters in %s are for another device or unreadable: "
                 "starting from the defaults",
                 qPrintable(lastSessionFile()));
}

ProtocolDockWidget::~ProtocolDockWidget() {
    QDir().mkpath(protocolsFolder());
    saveParameters(lastSessionFile());
}

QString ProtocolDockWidget::lastSessionFile() {
    return protocolsFolder() + "lastSessionParams.txt";
}

QPushButton* ProtocolDockWidget::addButton(const QString& icon, const QString& toolTip) {
    auto* button = new QPushButton;
    button->setIcon(QIcon(imagePixmap(icon)));
    button->setToolTip(toolTip);
    return button;
}

void ProtocolDockWidget::buildRows(Family family, QWidget* parent) {
    std::vector<std::string> names;
    std::vector<RangedMeasurement_t> ranges;
    if (familyCalls[family].get(names, ranges, defaults[family]) != kv4cl::Success) return;
    auto* grid = static_cast<QGridLayout*>(parent->layout());
    for (size_t i = 0; i < names.size(); i++) {
        defaults[family][i] = defaults[family][i].converted(ranges[i].prefix);
        const QString unit = QString::fromStdString(ranges[i].label());
        auto* label =
            new QLabel(QString::fromStdString(names[i]) + (unit.isEmpty() ? "" : " [" + unit + "]"));
        auto* box = new SteppedSpinBox;
        box->setRange(ranges[i]);
        label->setBuddy(box);
        Row row{QString::fromStdString(names[i]), label, box, {}};
        const int line = grid->rowCount();
        grid->addWidget(label, line, 0);
        grid->addWidget(box, line, 1);
        if (family == Voltages && i == 0) {
            box->setToolTip("CTRL UP/CTRL DOWN");
            lockButton = addButton(":/imgs/lock closed.png",
                                   "If locked the vhold stays the same for all protocols.\nIf unlocked each "
                                   "protocol saves and restores its own vhold value when selected.");
            lockButton->setCheckable(true);
            connect(lockButton, &QPushButton::toggled, this, [this](bool locked) {
                lockButton->setIcon(
                    QIcon(imagePixmap(locked ? ":/imgs/lock closed.png" : ":/imgs/lock open.png")));
                QSettings().setValue(lockKey, locked);
            });
            lockButton->setChecked(QSettings().value(lockKey, true).toBool());
            // As narrow as its sign: a push button would take the width of a word.
            auto* invertButton = new QToolButton;
            invertButton->setText("±");
            connect(invertButton, &QToolButton::clicked, this, &ProtocolDockWidget::onInvertVhold);
            grid->addWidget(lockButton, line, 2);
            grid->addWidget(invertButton, line, 3);
            row.extras = {lockButton, invertButton};
        }
        rows[family].push_back(row);
        connect(box, &SteppedSpinBox::valueChanged, this,
                [this, family, i] { onParameterEdited(family, uint16_t(i)); });
        box->setValue(defaults[family][i].value);
    }
}

void ProtocolDockWidget::onParameterEdited(Family family, uint16_t paramIdx) {
    const Measurement_t value = rows[family][paramIdx].box->getMeasurement();
    std::string message;
    const ErrorCodes_t result = familyCalls[family].check(paramIdx, value, message);
    if (result != kv4cl::Success) {
        showValidity(result, message);
        return;
    }
    validate();
}

ErrorCodes_t ProtocolDockWidget::judge(int protocolIdx, std::string& message) const {
    std::array<std::vector<Measurement_t>, FamiliesNum> values;
    for (int f = 0; f < FamiliesNum; f++)
        for (const Row& row : rows[f])
            values[f].push_back(row.box->getMeasurement());
    return kv4cl::validateProtocol(uint16_t(protocolIdx), values[Voltages], values[Times], values[Slopes],
                                   values[Frequencies], values[Adimensionals], message);
}

void ProtocolDockWidget::validate() {
    std::string message;
    // The editor judges its own waveforms and shows why.
    if (fastPulsesShown()) {
        showValidity(fastPulses->isValid() ? kv4cl::Success : kv4cl::ErrorValueOutOfRange, "");
        messageLabel->hide();
        return;
    }
    showValidity(judge(protocolBox->currentIndex(), message), message);
}

void ProtocolDockWidget::showValidity(ErrorCodes_t result, const std::string& message) {
    invalid = result != kv4cl::Success;
    messageLabel->setText(QString::fromStdString(message));
    messageLabel->setVisible(invalid);
}

void ProtocolDockWidget::onProtocolChanged(int protocolIdx) {
    if (!fastPulsesShown())
        for (int f = 0; f < FamiliesNum; f++) {
            const std::vector<uint16_t>& left = idxs[f][shownProtocol];
            for (size_t k = 0; k < left.size(); k++)
                memory[f][shownProtocol][k] = rows[f][left[k]].box->value();
        }
    showProtocol(protocolIdx);
}

void ProtocolDockWidget::showProtocol(int protocolIdx) {
    shownProtocol = protocolIdx;
    if (fastPulses) {
        fastPulsesArea->setVisible(fastPulsesShown());
        imageButton->setVisible(!fastPulsesShown());
        parametersArea->setVisible(!fastPulsesShown());
        if (fastPulsesShown()) {
            validate();
            return;
        }
    }
    for (const std::vector<Row>& family : rows)
        for (const Row& row : family) {
            row.label->hide();
            row.box->hide();
            for (QWidget* extra : row.extras)
                extra->hide();
        }
    const bool locked = lockButton->isChecked();
    for (int f = 0; f < FamiliesNum; f++) {
        const std::vector<uint16_t>& shown = idxs[f][protocolIdx];
        for (size_t k = 0; k < shown.size(); k++) {
            const Row& row = rows[f][shown[k]];
            row.label->show();
            row.box->show();
            for (QWidget* extra : row.extras)
                extra->show();
            if (!(locked && f == Voltages && shown[k] == 0)) row.box->setValue(memory[f][protocolIdx][k]);
        }
    }
    imageButton->setIcon(QIcon(imagePixmap(imagePath(images[protocolIdx]))));
    waveformImage->setPixmap(previewImage(imagePath(images[protocolIdx])));
    validate();
}

void ProtocolDockWidget::showWaveform(bool show) {
    if (!show) {
        waveformView->hide();
        return;
    }
    // Beside the thumbnail, never over it: a window under the pointer would end the hover.
    const int gap = 8;
    waveformView->adjustSize();
    const QSize size = waveformView->frameGeometry().size();
    const QRect thumbnail(imageButton->mapToGlobal(QPoint(0, 0)), imageButton->size());
    const QRect screen = imageButton->screen()->availableGeometry();
    QPoint at(thumbnail.right() + gap, thumbnail.top());
    if (at.x() + size.width() > screen.right()) at.setX(thumbnail.left() - gap - size.width());
    at.setX(std::max(at.x(), screen.left()));
    at.setY(std::clamp(at.y(), screen.top(), std::max(screen.top(), screen.bottom() - size.height())));
    waveformView->move(at);
    waveformView->show();
}

void ProtocolDockWidget::onApplyProtocol(bool apply) {
    if (estimation) {
        if (!apply) return;
        kv4cl::selectProtocol(*estimation);
        kv4cl::setProtocolVoltage(0, vhold()->getMeasurement());
        showRunning(kv4cl::applyProtocol(), *estimation);
        return;
    }
    if (!apply) {
        kv4cl::selectProtocol(0);
        // Stopping must hold whatever is shown: an invalid Vhold is not sent, and the device
        // holds at the voltage it already has.
        std::string message;
        const Measurement_t value = vhold()->getMeasurement();
        if (familyCalls[Voltages].check(0, value, message) == kv4cl::Success &&
            judge(0, message) == kv4cl::Success)
            kv4cl::setProtocolVoltage(0, value);
        showRunning(kv4cl::applyProtocol(), 0);
        return;
    }
    validate();
    if (invalid) {
        QMessageBox::warning(this, "KAV4", invalidText);
        return;
    }
    if (fastPulsesShown()) {
        // Its values reached the library as they were edited.
        uint16_t protocolIdx = 0;
        kv4cl::getFastPulsesProtocol(protocolIdx);
        kv4cl::selectProtocol(protocolIdx);
        showRunning(kv4cl::applyProtocol(), fastPulsesEntry);
        return;
    }
    kv4cl::selectProtocol(uint16_t(protocolBox->currentIndex()));
    for (int f = 0; f < FamiliesNum; f++)
        for (size_t i = 0; i < rows[f].size(); i++)
            familyCalls[f].set(uint16_t(i), rows[f][i].box->getMeasurement());
    showRunning(kv4cl::applyProtocol(), protocolBox->currentIndex());
}

void ProtocolDockWidget::showRunning(ErrorCodes_t applied, int protocolIdx) {
    if (applied != kv4cl::Success) return;
    runningLabel->setText("Running: " + protocolBox->itemText(protocolIdx));
    runningLabel->show();
}

void ProtocolDockWidget::onRestoreDefaultProtocolParameters() {
    for (int f = 0; f < FamiliesNum; f++)
        for (size_t i = 0; i < rows[f].size(); i++) {
            rows[f][i].box->setValue(defaults[f][i].value);
            onParameterEdited(Family(f), uint16_t(i));
        }
}

void ProtocolDockWidget::onStimulusRangeChanged(RangedMeasurement_t) {
    onApplyProtocol(false);
    validate();
}

void ProtocolDockWidget::onNewRecordFile(QString fileName) {
    const QString path = recordSettings->getRecordPath();
    recordButton->setLines({{"Recording path: ", path}, {"File: ", fileName}});
    recordButton->setToolTip(path + fileName);
}

void ProtocolDockWidget::onRecording(bool flag) {
    recordButton->setIcon(QIcon(imagePixmap(flag ? recordingIcon : recordIcon)));
    if (flag)
        recordTime->onStartTimer(true, QTime(0, 0));
    else
        recordTime->onStopTimer();
}

void ProtocolDockWidget::requestRecording() {
    // The first recording asks where to write; Cancel starts nothing.
    if (QSettings().value("Protocol/Settings/recordName").toString().isEmpty() &&
        recordSettings->exec() != QDialog::Accepted)
        return;
    if (recordSettings->getWaitForTrigger()) {
        kv4cl::resetDevice();
        kv4cl::flushData(true);
    }
    emit recordRequest(true);
}

void ProtocolDockWidget::onREstimationRequest(bool flag) {
    runEstimation(flag, &kv4cl::getREstimationProtocol);
}

void ProtocolDockWidget::onCEstimationRequest(bool flag) {
    runEstimation(flag, &kv4cl::getCEstimationProtocol);
}

void ProtocolDockWidget::runEstimation(bool flag, ErrorCodes_t (*protocolOf)(uint16_t&)) {
    uint16_t protocolIdx = 0;
    if (flag && protocolOf(protocolIdx) != kv4cl::Success) return;
    protocolBox->setEnabled(!flag);
    if (flag) {
        estimation = protocolIdx;
        onApplyProtocol(true);
    } else {
        estimation.reset();
        onApplyProtocol(false);
    }
}

void ProtocolDockWidget::onStartProtocolByShortCut(int protocolIdx) {
    if (estimation) return;
    if (protocolIdx < 0 || protocolIdx >= protocolBox->count()) return;
    protocolBox->setCurrentIndex(protocolIdx);
    onApplyProtocol(true);
}

void ProtocolDockWidget::onRecordProtocolByShortCut(int protocolIdx) {
    if (estimation) return;
    if (protocolIdx < 0 || protocolIdx >= protocolBox->count()) return;
    onStartProtocolByShortCut(protocolIdx);
    requestRecording();
}

void ProtocolDockWidget::onApplyVhold(Measurement_t value, bool applyFlag) {
    vhold()->setValue(value.converted(vhold()->getMeasurement().prefix).value);
    if (applyFlag) onApplyProtocol(true);
}

void ProtocolDockWidget::applyHolding(Measurement_t vhold) {
    if (estimation) return;
    protocolBox->setCurrentIndex(0);
    onApplyVhold(vhold, true);
}

void ProtocolDockWidget::onApplyVhold(Measurement_t value) {
    onApplyVhold(value, true);
}

void ProtocolDockWidget::onIncreaseVhold() {
    vhold()->setValue(vhold()->value() + vholdStep);
    onApplyProtocol(true);
}

void ProtocolDockWidget::onDecreaseVhold() {
    vhold()->setValue(vhold()->value() - vholdStep);
    onApplyProtocol(true);
}

void ProtocolDockWidget::onInvertVhold() {
    vhold()->setValue(-vhold()->value());
    onApplyProtocol(true);
}

void ProtocolDockWidget::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QDockWidget::keyPressEvent(event);
        return;
    }
    if (event->modifiers() & Qt::ShiftModifier) requestRecording();
    onApplyProtocol(true);
}

// ---- Parameter files ------------------------------------------------------------------------

bool ProtocolDockWidget::saveParameters(const QString& fileName) const {
    if (fastPulsesShown()) return fastPulses->save(fileName);
    const auto identity = deviceIdentity();
    QFile file(fileName);
    if (!identity || !file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
    QTextStream out(&file);
    out << "Compatibility:\n"
        << "version: " << (*identity)[0] << "\n"
        << "subversion: " << (*identity)[1] << "\n"
        << "firmware: " << (*identity)[2] << "\n\n"
        << "protocol: " << shownProtocol << "\n";
    for (int f = 0; f < FamiliesNum; f++)
        for (uint16_t i : idxs[f][shownProtocol])
            out << rows[f][i].name << ": " << rows[f][i].box->value() << "\n";
    out.flush();
    return out.status() == QTextStream::Ok;
}

bool ProtocolDockWidget::loadParameters(const QString& fileName) {
    QString error;
    return loadParameters(fileName, error);
}

bool ProtocolDockWidget::loadParameters(const QString& fileName, QString& error) {
    const auto identity = deviceIdentity();
    QFile file(fileName);
    if (!identity || !file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    QTextStream in(&file);
    // A fast-pulses file has its first waveform where a protocol index would be.
    for (int line = 0; line < 5; line++)
        in.readLine();
    if (fastPulses && in.readLine().split(": ").first() == "Waveform 1") {
        if (!fastPulses->load(fileName, error)) return false;
        protocolBox->setCurrentIndex(fastPulsesEntry);
        return true;
    }
    in.seek(0);
    in.readLine();
    for (const uint32_t expected : *identity) {
        uint32_t number = 0;
        if (!readNumber(in, number) || number != expected) return false;
    }
    in.readLine();
    uint32_t protocolIdx = 0;
    if (!readNumber(in, protocolIdx) || protocolIdx >= idxs[Voltages].size()) return false;
    // Read whole before anything changes: a bad line further down leaves the dock as it was.
    std::vector<std::pair<SteppedSpinBox*, double>> values;
    int lineNo = 6; // the protocol line
    for (int f = 0; f < FamiliesNum; f++)
        for (uint16_t i : idxs[f][protocolIdx]) {
            const QStringList fields = in.readLine().split(": ");
            lineNo++;
            bool ok = false;
            const double value = fields.size() == 2 ? fields[1].toDouble(&ok) : 0.0;
            // A box would pin an infinity or NaN at one end of its range.
            if (!ok || !std::isfinite(value)) return false;
            // ... and any other value outside it, silently.
            const SteppedSpinBox* box = rows[f][i].box;
            if (value < box->minimum() || value > box->maximum()) {
                error = QString("Line %1: %2 is out of range [%3, %4]")
                            .arg(lineNo)
                            .arg(fields[1])
                            .arg(box->minimum())
                            .arg(box->maximum());
                return false;
            }
            values.emplace_back(rows[f][i].box, value);
        }
    protocolBox->setCurrentIndex(int(protocolIdx));
    for (const auto& [box, value] : values)
        box->setValue(value);
    return true;
}

void ProtocolDockWidget::onSaveParameters() {
    QSettings settings;
    QString fileName = QFileDialog::getSaveFileName(this, "Select output parameters file",
                                                    settings.value(savePathKey, protocolsFolder()).toString(),
                                                    "*.txt", nullptr, QFileDialog::DontConfirmOverwrite);
    if (fileName.isEmpty()) return;
    // The load dialog lists ".txt" files only.
    if (!fileName.endsWith(".txt", Qt::CaseInsensitive)) fileName += ".txt";
    settings.setValue(savePathKey, QFileInfo(fileName).absolutePath() + "/");
    if (!saveParameters(fileName)) QMessageBox::warning(this, "KAV4", "Could not write protocol file");
}

void ProtocolDockWidget::onLoadParameters() {
    QSettings settings;
    const QString fileName =
        QFileDialog::getOpenFileName(this, "Select input parameters file",
                                     settings.value(savePathKey, protocolsFolder()).toString(), "*.txt");
    if (fileName.isEmpty()) return;
    settings.setValue(savePathKey, QFileInfo(fileName).absolutePath() + "/");
    QString error;
    if (!loadParameters(fileName, error))
        QMessageBox::warning(
            this, "KAV4", "Incompatible or unreadable protocol file" + (error.isEmpty() ? "" : "\n" + error));
}
