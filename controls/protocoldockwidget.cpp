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
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextStream>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

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

ProtocolDockWidget::ProtocolDockWidget(StimulusService& stimulus, QWidget* parent)
    : QDockWidget("Voltage stimulus", parent), stimulus(stimulus) {
    setObjectName("protocolDw");
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);

    auto* protocolRow = new QHBoxLayout;
    auto* protocolLabel = new QLabel("Protocol");
    protocolBox = new QComboBox;
    for (const ProtocolTable::Protocol& protocol : stimulus.table().protocols)
        protocolBox->addItem(protocol.name);
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

    messageLabel = new QLabel;
    messageLabel->setStyleSheet("QLabel { background-color : rgb(255, 255, 128); color : rgb(255, 0, 0) }");
    messageLabel->hide();
    auto* parameters = new QWidget;
    new QGridLayout(parameters);
    for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
        buildRows(Family(f), parameters);
    layout->addWidget(parameters);
    parametersArea = parameters;
    layout->addWidget(messageLabel);

    if (stimulus.fastPulsesEntry() >= 0) {
        protocolBox->addItem("Fast pulses");
        fastPulses = new FastPulsesCustomProtocolWidget;
        connect(fastPulses, &FastPulsesCustomProtocolWidget::applyProtocol, this, &ProtocolDockWidget::apply);
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
    add(":/imgs/start protocol.png", "Apply the current stimulus (ENTER/RETURN)", &ProtocolDockWidget::apply);
    add(":/imgs/pause protocol.png", "Stop the current stimulus", [this] { this->stimulus.hold(); });
    add(":/imgs/save parameters.png", "Save protocol parameters", &ProtocolDockWidget::onSaveParameters);
    add(":/imgs/load parameters.png", "Load protocol parameters", &ProtocolDockWidget::onLoadParameters);
    add(":/imgs/restore default protocols.png", "Restore default protocol parameters",
        [this] { this->stimulus.restoreDefaults(); });
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

    showChoice();
    connect(protocolBox, &QComboBox::currentIndexChanged, &stimulus, &StimulusService::select);
    connect(&stimulus, &StimulusService::choiceChanged, this, &ProtocolDockWidget::showChoice);
    connect(&stimulus, &StimulusService::validityChanged, this, &ProtocolDockWidget::showValidity);
    connect(&stimulus, &StimulusService::running, this, [this](int protocolIdx) {
        runningLabel->setText("Running: " + protocolBox->itemText(protocolIdx));
        runningLabel->show();
    });
    // An estimation holds the stimulus until it ends.
    connect(&stimulus, &StimulusService::estimationChanged, protocolBox, &QWidget::setDisabled);
    QString error;
    const QString lastSession = StimulusService::lastSessionFile();
    if (QFile::exists(lastSession) && !loadParameters(lastSession, error))
        qWarning("The last session's protocol parameters in %s are for another device or unreadable: "
                 "starting from the defaults",
                 qPrintable(lastSession));
}

ProtocolDockWidget::~ProtocolDockWidget() {
    QDir().mkpath(StimulusService::protocolsFolder());
    saveParameters(StimulusService::lastSessionFile());
}

QPushButton* ProtocolDockWidget::addButton(const QString& icon, const QString& toolTip) {
    auto* button = new QPushButton;
    button->setIcon(QIcon(imagePixmap(icon)));
    button->setToolTip(toolTip);
    return button;
}

void ProtocolDockWidget::buildRows(Family family, QWidget* parent) {
    auto* grid = static_cast<QGridLayout*>(parent->layout());
    const std::vector<ProtocolTable::Parameter>& parameters = stimulus.table().parameters[family];
    for (size_t i = 0; i < parameters.size(); i++) {
        const QString unit = QString::fromStdString(parameters[i].range.label());
        auto* label = new QLabel(parameters[i].name + (unit.isEmpty() ? "" : " [" + unit + "]"));
        auto* box = new SteppedSpinBox;
        box->setRange(parameters[i].range);
        label->setBuddy(box);
        Row row{label, box, {}};
        const int line = grid->rowCount();
        grid->addWidget(label, line, 0);
        grid->addWidget(box, line, 1);
        if (family == ProtocolTable::Voltages && i == 0) {
            box->setToolTip("CTRL UP/CTRL DOWN");
            lockButton = addButton(":/imgs/lock closed.png",
                                   "If locked the vhold stays the same for all protocols.\nIf unlocked each "
                                   "protocol saves and restores its own vhold value when selected.");
            lockButton->setCheckable(true);
            connect(lockButton, &QPushButton::toggled, this, [this](bool locked) {
                lockButton->setIcon(
                    QIcon(imagePixmap(locked ? ":/imgs/lock closed.png" : ":/imgs/lock open.png")));
                stimulus.setVholdLocked(locked);
            });
            lockButton->setChecked(stimulus.vholdLocked());
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
                [this, family, i](double value) { stimulus.setValue(family, uint16_t(i), value); });
    }
}

void ProtocolDockWidget::showValidity() {
    // The editor shows why it refuses its waveforms.
    messageLabel->setText(stimulus.message());
    messageLabel->setVisible(!stimulus.valid() && !fastPulsesShown());
}

void ProtocolDockWidget::showChoice() {
    const StimulusService::Choice& choice = stimulus.choice();
    {
        const QSignalBlocker quiet(protocolBox);
        protocolBox->setCurrentIndex(choice.protocol);
    }
    if (fastPulses) {
        fastPulsesArea->setVisible(fastPulsesShown());
        imageButton->setVisible(!fastPulsesShown());
        parametersArea->setVisible(!fastPulsesShown());
        if (fastPulsesShown()) {
            stimulus.setFastPulsesValid(fastPulses->isValid());
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
    const ProtocolTable::Protocol& protocol = stimulus.table().protocols[size_t(choice.protocol)];
    for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
        for (uint16_t i : protocol.parameters[f]) {
            const Row& row = rows[f][i];
            row.label->show();
            row.box->show();
            for (QWidget* extra : row.extras)
                extra->show();
        }
    for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
        for (size_t i = 0; i < rows[f].size(); i++) {
            SteppedSpinBox* box = rows[f][i].box;
            const double value = choice.values[f][i];
            {
                const QSignalBlocker quiet(box);
                box->setValue(value);
            }
            // What the box can show is what is chosen.
            if (box->value() != value) stimulus.setValue(Family(f), uint16_t(i), box->value());
        }
    const QString image = imagePath(protocol.image);
    imageButton->setIcon(QIcon(imagePixmap(image)));
    waveformImage->setPixmap(previewImage(image));
    showValidity();
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

void ProtocolDockWidget::apply() {
    if (fastPulsesShown()) stimulus.setFastPulsesValid(fastPulses->isValid());
    if (!stimulus.apply() && !stimulus.estimating() && !stimulus.valid())
        QMessageBox::warning(this, "KAV4", invalidText);
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

void ProtocolDockWidget::onStartProtocolByShortCut(int protocolIdx) {
    if (stimulus.estimating()) return;
    if (protocolIdx < 0 || protocolIdx >= protocolBox->count()) return;
    protocolBox->setCurrentIndex(protocolIdx);
    apply();
}

void ProtocolDockWidget::onRecordProtocolByShortCut(int protocolIdx) {
    if (stimulus.estimating()) return;
    if (protocolIdx < 0 || protocolIdx >= protocolBox->count()) return;
    onStartProtocolByShortCut(protocolIdx);
    requestRecording();
}

void ProtocolDockWidget::onIncreaseVhold() {
    vhold()->setValue(vhold()->value() + vholdStep);
    apply();
}

void ProtocolDockWidget::onDecreaseVhold() {
    vhold()->setValue(vhold()->value() - vholdStep);
    apply();
}

void ProtocolDockWidget::onInvertVhold() {
    vhold()->setValue(-vhold()->value());
    apply();
}

void ProtocolDockWidget::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QDockWidget::keyPressEvent(event);
        return;
    }
    if (event->modifiers() & Qt::ShiftModifier) requestRecording();
    apply();
}

// ---- Parameter files ------------------------------------------------------------------------

bool ProtocolDockWidget::saveParameters(const QString& fileName) const {
    return fastPulsesShown() ? fastPulses->save(fileName) : stimulus.save(fileName);
}

bool ProtocolDockWidget::loadParameters(const QString& fileName, QString& error) {
    QFile file(fileName);
    if (!deviceIdentity() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    QTextStream in(&file);
    // A fast-pulses file has its first waveform where a protocol index would be.
    for (int line = 0; line < 5; line++)
        in.readLine();
    if (fastPulses && in.readLine().split(": ").first() == "Waveform 1") {
        if (!fastPulses->load(fileName, error)) return false;
        protocolBox->setCurrentIndex(stimulus.fastPulsesEntry());
        return true;
    }
    return stimulus.load(fileName, error);
}

void ProtocolDockWidget::onSaveParameters() {
    QSettings settings;
    QString fileName = QFileDialog::getSaveFileName(
        this, "Select output parameters file",
        settings.value(savePathKey, StimulusService::protocolsFolder()).toString(), "*.txt", nullptr,
        QFileDialog::DontConfirmOverwrite);
    if (fileName.isEmpty()) return;
    // The load dialog lists ".txt" files only.
    if (!fileName.endsWith(".txt", Qt::CaseInsensitive)) fileName += ".txt";
    settings.setValue(savePathKey, QFileInfo(fileName).absolutePath() + "/");
    if (!saveParameters(fileName)) QMessageBox::warning(this, "KAV4", "Could not write protocol file");
}

void ProtocolDockWidget::onLoadParameters() {
    QSettings settings;
    const QString fileName = QFileDialog::getOpenFileName(
        this, "Select input parameters file",
        settings.value(savePathKey, StimulusService::protocolsFolder()).toString(), "*.txt");
    if (fileName.isEmpty()) return;
    settings.setValue(savePathKey, QFileInfo(fileName).absolutePath() + "/");
    QString error;
    if (!loadParameters(fileName, error))
        QMessageBox::warning(
            this, "KAV4", "Incompatible or unreadable protocol file" + (error.isEmpty() ? "" : "\n" + error));
}
