#include "controls/fastpulsescustomprotocolwidget.h"

#include "commlib/api/kv4cl.h"
#include "session/stimulusservice.h"
#include "widgets/steppedspinbox.h"

#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;
using kv4cl::UnitPfxMicro;

namespace {

const QString separator = ",";
const QString shorterText =
    "Error: T1 < T2\nPlease choose the parameters so that waveform 1\nlasts at least as "
    "much as waveform 2";
const QString periodText =
    "Error: Period <= Duration\nPlease choose the parameters so that in waveform 2\npulses "
    "last less than the pulse period";

using Setter = kv4cl::ErrorCodes_t (*)(uint16_t, const Measurement_t&);
kv4cl::ErrorCodes_t setCount(uint16_t pulseIdx, const Measurement_t& count) {
    return kv4cl::setFastPulsesPulseCount(pulseIdx, uint16_t(std::lround(count.value)));
}

QString unitOf(const RangedMeasurement_t& range) {
    return QString::fromStdString(range.label()).replace("u", "µ");
}

double us(const SteppedSpinBox* box) {
    return box->getMeasurement().converted(UnitPfxMicro).value;
}

// The column headers of the file; the units are the boxes'.
QString header(const QString& first, const std::vector<QString>& columns) {
    QStringList fields{first};
    for (const QString& c : columns)
        fields << c;
    return fields.join(separator);
}

} // namespace

// ---- Preview ---------------------------------------------------------------------------------

FastPulsesCustomProtocolPreview::FastPulsesCustomProtocolPreview(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(120);
}

void FastPulsesCustomProtocolPreview::setWaveforms(std::vector<Step> waveform1, std::vector<Step> waveform2) {
    w1 = std::move(waveform1);
    w2 = std::move(waveform2);
    update();
}

void FastPulsesCustomProtocolPreview::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    double end = 1.0;
    for (const auto* w : {&w1, &w2})
        for (const Step& s : *w)
            end = std::max(end, s.start + s.length);
    const double half = height() / 2.0;
    // Each waveform as steps from 0 V, scaled to its own largest magnitude in its half.
    const auto draw = [&](const std::vector<Step>& steps, double top, QColor color) {
        double peak = 1e-9;
        for (const Step& s : steps)
            peak = std::max(peak, std::abs(s.voltage));
        const double mid = top + half / 2.0;
        const double scale = (half / 2.0 - 4.0) / peak;
        const auto x = [&](double t) { return t / end * (width() - 1); };
        QPainterPath path({0.0, mid});
        for (const Step& s : steps) {
            path.lineTo(x(s.start), mid);
            path.lineTo(x(s.start), mid - s.voltage * scale);
            path.lineTo(x(s.start + s.length), mid - s.voltage * scale);
            path.lineTo(x(s.start + s.length), mid);
        }
        path.lineTo(width() - 1, mid);
        painter.setPen(QPen(color, 1.5));
        painter.drawPath(path);
    };
    draw(w1, 0.0, Qt::blue);
    draw(w2, half, Qt::red);
}

// ---- Editor ----------------------------------------------------------------------------------

FastPulsesCustomProtocolWidget::FastPulsesCustomProtocolWidget(QWidget* parent) : QWidget(parent) {
    setWindowTitle("Custom protocol controls");
    uint16_t segmentCount = 0;
    uint16_t pulseCount = 0;
    uint16_t maxPulses = 0;
    RangedMeasurement_t segmentVoltage, segmentDuration, pulseVoltage, wait, duration, period;
    kv4cl::getFastPulsesWaveform1(segmentCount, segmentVoltage, segmentDuration);
    kv4cl::getFastPulsesWaveform2(pulseCount, pulseVoltage, wait, duration, period, maxPulses);
    trains = maxPulses > 0;

    auto* layout = new QVBoxLayout(this);
    const auto addGroup = [&](const QString& title, const QString& rowName, uint16_t count,
                              const std::vector<std::pair<QString, RangedMeasurement_t>>& columns,
                              const std::vector<Setter>& setters, std::vector<Row>& rows) {
        auto* group = new QGroupBox(title);
        auto* grid = new QGridLayout(group);
        for (size_t c = 0; c < columns.size(); c++) {
            const QString unit = unitOf(columns[c].second);
            const QString& name = columns[c].first;
            grid->addWidget(new QLabel(name.contains("%1") ? name.arg(unit) : name), 0, int(c) + 1);
        }
        for (uint16_t r = 0; r < count; r++) {
            grid->addWidget(new QLabel(rowName.arg(r + 1)), r + 1, 0);
            Row row;
            for (size_t c = 0; c < columns.size(); c++) {
                auto* box = new SteppedSpinBox;
                box->setRange(columns[c].second);
                grid->addWidget(box, r + 1, int(c) + 1);
                connect(box, &SteppedSpinBox::valueChanged, this, [this, box, r, set = setters[c]] {
                    set(r, box->getMeasurement());
                    check();
                });
                row.push_back(box);
            }
            rows.push_back(row);
        }
        layout->addWidget(group);
    };
    addGroup("Waveform 1", "Segment %1", segmentCount,
             {{"Voltage [%1]", segmentVoltage}, {"Duration [%1]", segmentDuration}},
             {kv4cl::setFastPulsesSegmentVoltage, kv4cl::setFastPulsesSegmentDuration}, segments);
    std::vector<std::pair<QString, RangedMeasurement_t>> columns{
        {"Voltage [%1]", pulseVoltage}, {"Wait time [%1]", wait}, {"Duration [%1]", duration}};
    std::vector<Setter> setters{kv4cl::setFastPulsesPulseVoltage, kv4cl::setFastPulsesPulseWait,
                                kv4cl::setFastPulsesPulseDuration};
    if (trains) {
        columns.push_back({"Period [%1]", period});
        columns.push_back({"Pulses", {1.0, double(maxPulses), 1.0, kv4cl::UnitPfxNone, ""}});
        setters.push_back(kv4cl::setFastPulsesPulsePeriod);
        setters.push_back(setCount);
    }
    addGroup("Waveform 2", "Pulse %1", pulseCount, columns, setters, pulses);

    errorLabel = new QLabel;
    errorLabel->setStyleSheet("QLabel { color : red; }");
    errorLabel->hide();
    layout->addWidget(errorLabel);
    auto* full = new QGroupBox("Full protocol");
    auto* fullLayout = new QVBoxLayout(full);
    preview = new FastPulsesCustomProtocolPreview;
    fullLayout->addWidget(preview);
    layout->addWidget(full);

    // The library starts from its own defaults: every row is sent once.
    for (const auto* rows : {&segments, &pulses})
        for (const Row& row : *rows)
            for (SteppedSpinBox* box : row)
                emit box->valueChanged(box->value());
    QString error;
    if (QFile::exists(lastFile()) && !load(lastFile(), error))
        qWarning("The last fast-pulses protocol in %s is not loaded: %s", qPrintable(lastFile()),
                 qPrintable(error));
    check();
}

FastPulsesCustomProtocolWidget::~FastPulsesCustomProtocolWidget() {
    QDir().mkpath(QDir::homePath() + "/KAV4/Protocols/");
    save(lastFile());
}

QString FastPulsesCustomProtocolWidget::lastFile() {
    return QDir::homePath() + "/KAV4/Protocols/last.txt";
}

void FastPulsesCustomProtocolWidget::check() {
    double t1 = 0.0;
    std::vector<FastPulsesCustomProtocolPreview::Step> w1;
    for (const Row& s : segments) {
        w1.push_back({s[0]->value(), t1, us(s[1])});
        t1 += us(s[1]);
    }
    double t2 = 0.0;
    periodError = false;
    std::vector<FastPulsesCustomProtocolPreview::Step> w2;
    for (const Row& p : pulses) {
        if (p[Wait]->value() <= 0.0) continue;
        t2 += us(p[Wait]);
        const double length = us(p[Duration]);
        const double every = trains ? us(p[Period]) : length;
        const int count = trains ? int(std::lround(p[Count]->value())) : 1;
        if (trains && every <= length) periodError = true;
        for (int k = 0; k < count; k++)
            w2.push_back({p[Voltage]->value(), t2 + k * every, length});
        t2 += every * count;
    }
    shorterError = t2 > t1;
    QStringList messages;
    if (shorterError) messages << shorterText;
    if (periodError) messages << periodText;
    errorLabel->setText(messages.join("\n"));
    errorLabel->setVisible(!isValid());
    if (isValid()) preview->setWaveforms(std::move(w1), std::move(w2));
}

void FastPulsesCustomProtocolWidget::keyPressEvent(QKeyEvent* event) {
    // Shift+Return is the dock's: it records as well.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !(event->modifiers() & Qt::ShiftModifier)) {
        emit applyProtocol();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool FastPulsesCustomProtocolWidget::save(const QString& fileName) const {
    const auto identity = deviceIdentity();
    QFile file(fileName);
    if (!identity || !file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
    QTextStream out(&file);
    out << "Compatibility:\n"
        << "version: " << (*identity)[0] << "\n"
        << "subversion: " << (*identity)[1] << "\n"
        << "firmware: " << (*identity)[2] << "\n\n";
    out << "Waveform 1\n" << header("Segment #", {"Voltage [mV]", "Duration [ms]"}) << "\n";
    const auto rows = [&](const std::vector<Row>& list) {
        for (size_t r = 0; r < list.size(); r++) {
            out << r + 1;
            for (const SteppedSpinBox* box : list[r])
                out << separator << box->value();
            out << "\n";
        }
    };
    rows(segments);
    std::vector<QString> columns{"Voltage [mV]", "Wait time [ms]", "Duration [us]"};
    if (trains) columns.insert(columns.end(), {"Period [us]", "Pulses"});
    out << "Waveform 2\n" << header("Pulse #", columns) << "\n";
    rows(pulses);
    out.flush();
    return out.status() == QTextStream::Ok;
}

bool FastPulsesCustomProtocolWidget::load(const QString& fileName, QString& error) {
    const auto identity = deviceIdentity();
    QFile file(fileName);
    if (!identity || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = "The file cannot be read";
        return false;
    }
    QTextStream in(&file);
    int lineNo = 0;
    QString line;
    const auto next = [&] {
        lineNo++;
        if (in.atEnd()) {
            error = QString("Line %1: the file ends before it").arg(lineNo);
            return false;
        }
        line = in.readLine();
        return true;
    };
    const auto expect = [&](const QString& text) {
        if (!next()) return false;
        if (line == text) return true;
        error = QString("Line %1: \"%2\" expected").arg(lineNo).arg(text);
        return false;
    };
    if (!expect("Compatibility:")) return false;
    for (const uint32_t expected : *identity) {
        if (!next()) return false;
        const QStringList fields = line.split(": ");
        bool ok = false;
        if (fields.size() == 2 && fields[1].toUInt(&ok) == expected && ok) continue;
        error = QString("Line %1: saved for another device or malformed").arg(lineNo);
        return false;
    }
    if (!expect("")) return false;

    // Read whole before anything changes: a bad line leaves the editor as it was.
    std::vector<std::pair<SteppedSpinBox*, double>> values;
    const auto readRows = [&](const std::vector<Row>& rows) {
        if (!next()) return false; // the column headers
        for (size_t r = 0; r < rows.size(); r++) {
            if (!next()) return false;
            const QStringList fields = line.split(separator);
            if (fields.size() != qsizetype(rows[r].size()) + 1) {
                error = QString("Line %1: %2 fields expected, %3 found")
                            .arg(lineNo)
                            .arg(rows[r].size() + 1)
                            .arg(fields.size());
                return false;
            }
            for (int f = 0; f < fields.size(); f++) {
                bool ok = false;
                const double value = fields[f].trimmed().toDouble(&ok);
                if (!ok || !std::isfinite(value)) {
                    error = QString("Line %1: \"%2\" is not a number").arg(lineNo).arg(fields[f]);
                    return false;
                }
                if (f == 0) {
                    if (value != double(r + 1)) {
                        error = QString("Line %1: row %2 expected").arg(lineNo).arg(r + 1);
                        return false;
                    }
                    continue;
                }
                SteppedSpinBox* box = rows[r][f - 1];
                if (value < box->minimum() || value > box->maximum()) {
                    error = QString("Line %1: %2 is out of range [%3, %4]")
                                .arg(lineNo)
                                .arg(fields[f])
                                .arg(box->minimum())
                                .arg(box->maximum());
                    return false;
                }
                values.emplace_back(box, value);
            }
        }
        return true;
    };
    if (!expect("Waveform 1") || !readRows(segments) || !expect("Waveform 2") || !readRows(pulses))
        return false;
    for (const auto& [box, value] : values)
        box->setValue(value);
    check();
    return true;
}
