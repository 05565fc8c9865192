#include "controls/recordsettingsdialog.h"

#include "widgets/steppedspinbox.h"

#include "commlib/api/kv4cl.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double bytesPerMb = 1048576.0;
constexpr double clippedFileSize = 1900.0; // MB, below the 2 GB that some readers cannot pass

// Zero, the box's minimum, reads as zeroText.
void setUpDurationBox(QDoubleSpinBox* box, const char* name, const char* zeroText) {
    box->setObjectName(name);
    box->setSpecialValueText(zeroText);
    box->setSuffix(" s");
}

void setUpDurationBox(QDoubleSpinBox* box, const char* name, const char* zeroText, double step,
                      int decimals) {
    box->setDecimals(decimals);
    box->setRange(0.0, 1000000.0);
    box->setSingleStep(step);
    setUpDurationBox(box, name, zeroText);
}

QString megabytes(double size) {
    return QString::number(size, 'f', 1);
}

// The settings are a file anyone can edit: they give what a user could have typed, or the default.
QString storedName(const QSettings& stored) {
    const QString& defaultName = RecordingPlan::defaultName;
    const QString name = stored.value("Protocol/Settings/recordName", defaultName).toString();
    if (RecordingPlan::isAcceptableName(name)) return name;
    qWarning("Ignoring the saved recording name \"%s\": letters, digits, underscores and blanks "
             "expected; using \"%s\"",
             qPrintable(name), qPrintable(defaultName));
    return defaultName;
}

double storedDuration(const QSettings& stored, const char* key) {
    const QString text = stored.value(key, 0.0).toString();
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (ok && std::isfinite(seconds)) return seconds;
    qWarning("Ignoring the saved duration %s \"%s\": a number of seconds expected", key, qPrintable(text));
    return 0.0;
}

} // namespace

RecordSettingsDialog::RecordSettingsDialog(QWidget* parent)
    : QDialog(parent), pathEdit(new QLineEdit), nameEdit(new QLineEdit),
      dateBox(new QCheckBox("Append date to file name")), datButton(new QRadioButton(".dat")),
      abfButton(new QRadioButton(".abf")), durationBox(new QDoubleSpinBox),
      clipBox(new QCheckBox("Limit max file size")), chunkBox(new SteppedSpinBox),
      sweepBox(new QDoubleSpinBox), sizeLabel(new QLabel("Recording size on disk: 0 MB (0 MB per chunk)")) {
    setWindowTitle("Recording properties");
    kv4cl::getChannelCounts(voltageChannels, currentChannels, gpChannels);
    valuesPerSample = voltageChannels + currentChannels + gpChannels;

    pathEdit->setObjectName("recordPathEdit");
    nameEdit->setObjectName("recordNameEdit");
    // The box lets the name be empty while typing.
    nameEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("^[a-zA-Z0-9_ ]*$"), nameEdit));
    dateBox->setObjectName("addDateCheckBox");
    connect(pathEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { recordingPlan.path = text; });
    connect(nameEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { recordingPlan.name = text; });
    connect(dateBox, &QCheckBox::toggled, this, [this](bool on) { recordingPlan.appendDate = on; });
    auto* browseButton = new QPushButton("Browse...");
    connect(browseButton, &QPushButton::clicked, this, &RecordSettingsDialog::onRecordPathBrowseBtnClicked);
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(pathEdit);
    pathRow->addWidget(browseButton);
    auto* fileForm = new QFormLayout;
    fileForm->addRow("Recording path:", pathRow);
    fileForm->addRow("File Name:", nameEdit);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fileForm);
    layout->addWidget(dateBox);
    bool triggerAvailable = false;
    if (kv4cl::hasDigitalTrigger(triggerAvailable) == kv4cl::Success && triggerAvailable) {
        triggerBox = new QCheckBox("Wait for digital trigger");
        triggerBox->setObjectName("recordTriggeredCheckBox");
        layout->addWidget(triggerBox);
    }

    datButton->setObjectName("datRadioButton");
    abfButton->setObjectName("abfRadioButton");
    auto* formats = new QButtonGroup(this);
    formats->addButton(datButton);
    formats->addButton(abfButton);
    connect(datButton, &QRadioButton::clicked, this, &RecordSettingsDialog::onDataFormatSelected);
    connect(abfButton, &QRadioButton::clicked, this, &RecordSettingsDialog::onDataFormatSelected);
    connect(abfButton, &QRadioButton::toggled, this,
            [this](bool abf) { recordingPlan.format = abf ? 1 : 0; });
    auto* formatGroup = new QGroupBox("Data format");
    auto* formatRow = new QHBoxLayout(formatGroup);
    formatRow->addWidget(datButton);
    formatRow->addWidget(abfButton);
    layout->addWidget(formatGroup);

    setUpDurationBox(durationBox, "recordDurationSpinBox", "Unlimited", 0.1, 1);
    clipBox->setObjectName("bigFileClipCheckBox");
    chunkBox->setRange({0.0, 1000000.0, 10.0, kv4cl::UnitPfxNone, "s"});
    setUpDurationBox(chunkBox, "chunkDurationSpinBox", "Disabled");
    setUpDurationBox(sweepBox, "episodicDurationSpinBox", "Gap-free", 0.1, 3);
    sizeLabel->setObjectName("recordSizeLabel");
    auto* sizeGroup = new QGroupBox("Data size");
    auto* sizeForm = new QFormLayout(sizeGroup);
    sizeForm->addRow("Record for", durationBox);
    sizeForm->addRow(clipBox);
    sizeForm->addRow("Split file in chunks", chunkBox);
    sizeForm->addRow("Sweep duration", sweepBox);
    sizeForm->addRow(sizeLabel);
    layout->addWidget(sizeGroup);
    for (QDoubleSpinBox* box : {durationBox, static_cast<QDoubleSpinBox*>(chunkBox), sweepBox})
        connect(box, &QDoubleSpinBox::valueChanged, this, &RecordSettingsDialog::onDurationSelected);
    connect(clipBox, &QCheckBox::toggled, this, &RecordSettingsDialog::onDurationSelected);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &RecordSettingsDialog::onAccept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RecordSettingsDialog::onReject);
    layout->addWidget(buttons);

    onLoadSettings();
}

QString RecordSettingsDialog::getRecordPath() const {
    return pathEdit->text();
}

bool RecordSettingsDialog::getWaitForTrigger() const {
    return !triggerBox || triggerBox->isChecked();
}

void RecordSettingsDialog::onSamplingRateChanged(kv4cl::Measurement_t, kv4cl::Measurement_t rate) {
    samplingRate = rate.getNoPrefixValue();
    onDurationSelected();
}

void RecordSettingsDialog::onRecordPathBrowseBtnClicked() {
    const QString folder = QFileDialog::getExistingDirectory(this, "Select directory", pathEdit->text(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) pathEdit->setText(folder + "/");
}

void RecordSettingsDialog::onDataFormatSelected(bool clicked) {
    if (!clicked) return;
    const bool abf = abfButton->isChecked();
    // An ABF file holds one channel and the voltage, in 16-bit words.
    bytesPerValue = abf ? 2 : 4;
    filesNum = abf ? currentChannels + gpChannels : 1;
    valuesPerSample = abf ? 2 : voltageChannels + currentChannels + gpChannels;
    sweepBox->setEnabled(abf);
    onDurationSelected();
}

void RecordSettingsDialog::onDurationSelected() {
    const double duration = durationBox->value();
    const double chunkDuration = chunkBox->value();
    RecordSettings s;
    s.unlimitedRecording = duration == 0.0;
    s.bigFileClip = clipBox->isChecked();
    s.chunksEnabled = chunkDuration > 0.0;
    s.sweepsEnabled = sweepBox->isEnabled() && sweepBox->value() > 0.0;
    s.recordLength = samplingRate * duration;
    s.chunkLength = samplingRate * chunkDuration;
    s.sweepLength = samplingRate * sweepBox->value();
    s.maxFileSize = s.bigFileClip ? clippedFileSize : std::numeric_limits<double>::max();

    const double sampleBytes = double(valuesPerSample) * bytesPerValue; // per file
    const double maxChunkSamples = s.maxFileSize * bytesPerMb / sampleBytes;
    QString text;
    // Per file; without a duration it has no end.
    double fileSize = std::numeric_limits<double>::infinity();
    if (s.unlimitedRecording) {
        const double rate = sampleBytes * filesNum * samplingRate / bytesPerMb;
        text = rate < 0.1 ? "Recording size on disk < 0.1 MB/s"
                          : QString("Recording size on disk = %1 MB/s").arg(megabytes(rate));
    } else {
        fileSize = sampleBytes * s.recordLength / bytesPerMb;
        const double total = fileSize * filesNum;
        text = total < 0.1 ? "Recording size on disk < 0.1 MB"
                           : QString("Recording size on disk = %1 MB").arg(megabytes(total));
    }

    double chunkSize = 0.0;
    if (s.chunksEnabled) {
        chunkSize = sampleBytes * s.chunkLength / bytesPerMb;
        if (chunkSize > s.maxFileSize) {
            chunkSize = s.maxFileSize;
            s.chunkLength = maxChunkSamples;
        }
        if (chunkSize >= fileSize) s.chunksEnabled = false;
    } else if (s.bigFileClip && fileSize > s.maxFileSize) {
        s.chunksEnabled = true;
        s.chunkLength = maxChunkSamples;
        chunkSize = s.maxFileSize;
    }
    if (!s.chunksEnabled)
        text += " (chunks disabled,";
    else
        text += chunkSize < 0.1 ? " (< 0.1 MB per chunk,"
                                : QString(" (%1 MB per chunk,").arg(megabytes(chunkSize));

    if (s.sweepsEnabled) {
        const double sweepSize = sampleBytes * s.sweepLength / bytesPerMb;
        // A sweep must fit in a file.
        if (s.chunksEnabled && sweepSize >= chunkSize) s.sweepsEnabled = false;
        if (!s.unlimitedRecording && chunkDuration == 0.0 && sweepSize >= fileSize) s.sweepsEnabled = false;
        if (s.sweepsEnabled)
            text += sweepSize < 0.1 ? " < 0.1 MB per sweep)"
                                    : QString(" %1 MB per sweep)").arg(megabytes(sweepSize));
    }
    if (!s.sweepsEnabled) text += " gap-free)";

    if (s.unlimitedRecording) s.recordLength = -1.0;
    if (!s.chunksEnabled) s.chunkLength = -1.0;
    if (!s.sweepsEnabled) s.sweepLength = -1.0;
    recordingPlan.settings = s;
    sizeLabel->setText(text);
}

void RecordSettingsDialog::onLoadSettings() {
    const QSettings stored;
    pathEdit->setText(
        stored.value("Protocol/Settings/recordPath", QDir::homePath() + "/KAV4/Recordings/").toString());
    nameEdit->setText(storedName(stored));
    dateBox->setChecked(stored.value("Protocol/Settings/addDate", false).toBool());
    if (triggerBox) triggerBox->setChecked(stored.value("Protocol/Settings/recordTriggered", false).toBool());
    const bool abf = stored.value("Protocol/Settings/recordFormat", 0).toInt() == 1;
    (abf ? abfButton : datButton)->setChecked(true);
    durationBox->setValue(storedDuration(stored, "Protocol/Settings/recordDuration"));
    clipBox->setChecked(stored.value("Protocol/Settings/bigFileClip", false).toBool());
    chunkBox->setValue(storedDuration(stored, "Protocol/Settings/chunkDuration"));
    sweepBox->setValue(storedDuration(stored, "Protocol/Settings/episodicDuration"));
    onDataFormatSelected(true);
}

void RecordSettingsDialog::onSaveSettings() {
    QSettings stored;
    stored.setValue("Protocol/Settings/recordPath", pathEdit->text());
    stored.setValue("Protocol/Settings/recordName", nameEdit->text());
    stored.setValue("Protocol/Settings/addDate", dateBox->isChecked());
    if (triggerBox) stored.setValue("Protocol/Settings/recordTriggered", triggerBox->isChecked());
    stored.setValue("Protocol/Settings/recordFormat", getDataFormat());
    stored.setValue("Protocol/Settings/recordDuration", durationBox->value());
    stored.setValue("Protocol/Settings/bigFileClip", clipBox->isChecked());
    stored.setValue("Protocol/Settings/chunkDuration", chunkBox->value());
    stored.setValue("Protocol/Settings/episodicDuration", sweepBox->value());
}

void RecordSettingsDialog::onAccept() {
    onSaveSettings();
    emit newRecordPath();
    accept();
}

void RecordSettingsDialog::onReject() {
    onLoadSettings();
    QDialog::reject();
}
