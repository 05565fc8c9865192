#include "recording/recordingreader.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTextStream>
#include <QtEndian>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

namespace {

constexpr qint64 abfBlock = 512;
constexpr int maxAdcChannels = 16;

template <typename T> T at(const uchar* data, qint64 offset) {
    return qFromLittleEndian<T>(data + offset);
}

// The interval an ABF writer stores for `rate`, rounded toward zero or to the nearest float.
bool givesInterval(double rate, float interval) {
    const double exact = 1e6 / rate;
    const float nearest = float(exact);
    const float towardZero = double(nearest) > exact ? std::nextafter(nearest, 0.0f) : nearest;
    return nearest == interval || towardZero == interval;
}

// The shortest decimal that reads back as `value`.
QByteArray shortest(float value) {
    char text[32];
    return QByteArray(text, std::to_chars(text, text + sizeof text, value).ptr - text);
}

// The rate an ABF interval was made from, as far as a float tells it: the whole hertz that give
// the same interval, else the rate of the shortest decimal the interval stands for (819.2 us, not
// the float 819.20001 us, nor 819.19995 us, the float below it that a writer rounding toward zero
// stores). Every rate of this program's models, 1.25 MHz / 2^k times the oversampling ratio,
// comes back exact.
double abfRate(float interval) {
    const double rounded = std::round(1e6 / double(interval));
    if (rounded > 0 && givesInterval(rounded, interval)) return rounded;
    const QByteArray held = shortest(interval), above = shortest(std::nextafter(interval, INFINITY));
    return 1e6 / (above.size() < held.size() ? above : held).toDouble();
}

// The text after `label` on the line of a KDH header that starts with it; empty when none does.
QString headerLine(const QString& text, const QString& label) {
    const QRegularExpressionMatch m = QRegularExpression("^" + QRegularExpression::escape(label) + " *(.*)$",
                                                         QRegularExpression::MultilineOption)
                                          .match(text);
    return m.hasMatch() ? m.captured(1).trimmed() : QString();
}

// The samples of a loss as this program tags it in an ABF file; -1 for any other tag.
int64_t lossTag(const QString& text) {
    static const QRegularExpression loss("^Lost (\\d+) samples? per channel");
    const QRegularExpressionMatch match = loss.match(text);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// What an ABF2 file holds, read from its header.
struct AbfHeader {
    struct Adc {
        QString name, unit;
        double scale = 1.0, offset = 0.0;
        // The codes' scale even where float values are stored: the ADC's (0 when not known).
        double step = 0.0, zero = 0.0;
    };
    std::vector<Adc> adcs;
    bool isFloat = false;
    int valueBytes = 2;
    qint64 dataOffset = 0;
    int64_t frames = 0;
    float interval = 0.0f;
    std::vector<RecordingReader::Sweep> sweeps;
    std::vector<RecordingReader::Tag> tags;
    QDateTime start;
    QString note;
};

// The start of an ABF recording: a date as yyyymmdd and the milliseconds since its midnight;
// invalid where the date is none (some writers store -1 or a number of another form).
QDateTime abfStart(int64_t date, int64_t msecs) {
    const QDate day(int(date / 10000), int(date / 100 % 100), int(date % 100));
    if (date < 19000101 || !day.isValid() || msecs < 0 || msecs >= 86400000) return {};
    return QDateTime(day, QTime(0, 0).addMSecs(int(msecs)));
}

// A sweep start or tag time in frames: counted in the synch time unit (us), or, without one,
// in samples of all channels together.
int64_t synchFrames(int64_t count, float unit, float interval, int channels) {
    return unit > 0.0f ? int64_t(std::llround(double(count) * unit / interval)) : count / channels;
}

// The sweeps of `file` (its frames, interval and channels known): from the synch array of
// `count` entries of `entryBytes` (start in the synch time unit, length in samples of all
// channels) at byte `synch` if there is one; else, episodic, back to back sweeps of `perSweep`
// samples of all channels (told at byte `perSweepAt`); else one sweep. Returns the fault, if any.
QString abfSweeps(AbfHeader& file, const uchar* d, qint64 synch, int64_t count, qint64 entryBytes,
                  bool episodic, int32_t perSweep, qint64 perSweepAt, float unit, int channels) {
    if (count > 0) {
        int64_t held = 0;
        for (int64_t k = 0; k < count; k++) {
            const qint64 e = synch + k * entryBytes;
            const int64_t frames = at<qint32>(d, e + 4) / channels;
            file.sweeps.push_back({synchFrames(at<qint32>(d, e), unit, file.interval, channels), frames});
            held += frames;
        }
        if (held != file.frames)
            return QString("the synch array (from byte %1) counts %2 frames, the data section %3")
                .arg(synch)
                .arg(held)
                .arg(file.frames);
    } else if (episodic) {
        const int64_t sweep = perSweep / channels;
        if (sweep <= 0)
            return QString("episodic with %1 frames per sweep (byte %2)").arg(sweep).arg(perSweepAt);
        for (int64_t first = 0; first < file.frames; first += sweep)
            file.sweeps.push_back({first, std::min(sweep, file.frames - first)});
    } else {
        file.sweeps.push_back({0, file.frames});
    }
    return {};
}

// ABF version 1 files keep everything in one header of fixed layout, from byte 0 (offsets in
// bytes, little-endian), as read from files of writer versions 1.3 to 1.84:
//      0 char[4] "ABF "                  4 f32  file version
//      8 i16 operation mode (5 episodic) 10 i32  samples in the data, all channels together
//     20 i32 start date, yyyymmdd (older files: other numbers, or -1)
//     24 i32 start, seconds since midnight (or -1)   366 i16 its milliseconds
//     40 i32 block (of 512 bytes) where the data start
//     92 i32 block of the synch array, 0 for none    96 i32 its entries (as in ABF2: 8 bytes,
//            start in the synch time unit, length in samples of all channels)
//    100 i16 data format, 0 for int16 (the only one seen)
//    120 i16 channels                    122 f32  us between two samples, of any channels:
//                                                  a channel's interval is this x channels
//    130 f32 synch time unit (us), 0 for counts of samples of all channels
//    138 i32 samples per sweep, all channels together
//    244 f32 ADC range (V)               252 i32  ADC resolution (codes at full scale)
//    410 i16[16] the ADC sampled at each place of a frame; what follows is by ADC:
//    442 char[16][10] names              602 char[16][8] units (blank padded)
//    730 f32[16] programmable gain       922 f32[16] instrument scale factor (V per unit)
//    986 f32[16] instrument offset       1050 f32[16] signal gain    1114 f32[16] signal offset
// value = code x range / (resolution x gain x scale factor x signal gain) + instrument offset
// - signal offset. The last three arrays hold 0, 1 and 0 in every file seen; they are taken
// as ABF2's channel fields of the same names, which come in the same order.
constexpr qint64 abf1Header = 4 * abfBlock;

AbfHeader parseAbf1(const uchar* d, qint64 size, const QString& name, QString& error) {
    AbfHeader file;
    const auto fail = [&](const QString& text) {
        error = name + ": " + text;
        return file;
    };
    if (size < abf1Header)
        return fail(QString("truncated: %1 bytes, where the ABF version 1 header alone takes %2")
                        .arg(size)
                        .arg(abf1Header));
    const int16_t channels = at<qint16>(d, 120);
    if (channels < 1 || channels > maxAdcChannels)
        return fail(
            QString("%1 channels at byte 120, where 1 to %2 are read").arg(channels).arg(maxAdcChannels));
    const int16_t dataFormat = at<qint16>(d, 100);
    if (dataFormat != 0)
        return fail(QString("data format %1 at byte 100, where 0 (int16) is read").arg(dataFormat));
    file.interval = at<float>(d, 122) * float(channels);
    if (!(file.interval > 0.0f)) return fail("the sample interval at byte 122 is not positive");

    const qint64 dataOffset = qint64(at<qint32>(d, 40)) * abfBlock;
    const int32_t samples = at<qint32>(d, 10);
    if (dataOffset < abf1Header || samples < 0 || dataOffset + 2 * qint64(samples) > size)
        return fail(QString("the data (from block %1 at byte 40, %2 samples at byte 10) do not lie between "
                            "the header's %3 bytes and the end of the file, at byte %4")
                        .arg(at<qint32>(d, 40))
                        .arg(samples)
                        .arg(abf1Header)
                        .arg(size));
    file.dataOffset = dataOffset;
    file.frames = samples / channels;
    if (samples % channels)
        file.note = QString("%1: %2 values after the last whole frame are left out")
                        .arg(name)
                        .arg(samples % channels);

    const float range = at<float>(d, 244);
    const int32_t resolution = at<qint32>(d, 252);
    const auto latin = [&](qint64 offset, int bytes) {
        return QString::fromLatin1(reinterpret_cast<const char*>(d + offset), bytes)
            .remove(QChar('\0'))
            .trimmed();
    };
    for (int c = 0; c < channels; c++) {
        const int16_t adc = at<qint16>(d, 410 + 2 * c);
        if (adc < 0 || adc >= maxAdcChannels)
            return fail(QString("ADC %1 at byte %2 for channel %3, where 0 to %4 are read")
                            .arg(adc)
                            .arg(410 + 2 * c)
                            .arg(c)
                            .arg(maxAdcChannels - 1));
        const auto value = [&](qint64 array) { return double(at<float>(d, array + 4 * adc)); };
        const double divisor = value(730) * value(922) * value(1050) * resolution;
        if (!(divisor != 0.0 && std::isfinite(divisor) && range > 0))
            return fail(
                QString("ADC %1 has a zero scale: its gains (bytes %2, %3), scale factor (byte %4), the "
                        "ADC range (byte 244) or resolution (byte 252) are 0")
                    .arg(adc)
                    .arg(730 + 4 * adc)
                    .arg(1050 + 4 * adc)
                    .arg(922 + 4 * adc));
        AbfHeader::Adc channel{latin(442 + 10 * adc, 10), latin(602 + 8 * adc, 8)};
        channel.step = channel.scale = range / divisor;
        channel.zero = channel.offset = value(986) - value(1114);
        file.adcs.push_back(channel);
    }

    const qint64 synch = qint64(at<qint32>(d, 92)) * abfBlock;
    const int32_t synchCount = synch > 0 ? at<qint32>(d, 96) : 0;
    if (synchCount < 0 || synch + 8 * qint64(synchCount) > size)
        return fail(
            QString("the synch array (from block %1 at byte 92, %2 entries at byte 96) runs past the end "
                    "of the file, which has %3 bytes")
                .arg(at<qint32>(d, 92))
                .arg(synchCount)
                .arg(size));
    const QString sweepFault = abfSweeps(file, d, synch, synchCount, 8, at<qint16>(d, 8) == 5,
                                         at<qint32>(d, 138), 138, at<float>(d, 130), channels);
    if (!sweepFault.isEmpty()) return fail(sweepFault);
    file.start = abfStart(at<qint32>(d, 20), int64_t(at<qint32>(d, 24)) * 1000 + at<qint16>(d, 366));
    return file;
}

// Parses the header of the ABF file `name`, `size` bytes at `d`; empty `error` when it is read.
AbfHeader parseAbf(const uchar* d, qint64 size, const QString& name, QString& error) {
    AbfHeader file;
    const auto fail = [&](const QString& text) {
        error = name + ": " + text;
        return file;
    };
    if (size >= 4 && std::memcmp(d, "ABF ", 4) == 0) return parseAbf1(d, size, name, error);
    if (size < 4 || std::memcmp(d, "ABF2", 4) != 0)
        return fail("not a recording: the signature at byte 0 is neither \"ABF2\" nor \"ABF \"");
    if (size < abfBlock)
        return fail(
            QString("truncated: %1 bytes, where the ABF header alone takes %2").arg(size).arg(abfBlock));
    if (d[7] != 2) return fail(QString("ABF version %1 at byte 7, where 2 is read").arg(d[7]));

    struct Section {
        qint64 offset;
        qint64 bytes;
        int64_t count;
    };
    // A section of the map (entry k at byte 76 + 16 k), checked against the file's end; the
    // first fault found is kept.
    const char* const names[] = {"protocol", "ADC",     "",     "",    "", "", "", "",
                                 "",         "strings", "data", "tag", "", "", "", "synch array"};
    const auto section = [&](int k, bool required, qint64 entryBytes) -> std::optional<Section> {
        const qint64 entry = 76 + 16 * k;
        const Section s{at<quint32>(d, entry) * abfBlock, at<quint32>(d, entry + 4),
                        at<qint64>(d, entry + 8)};
        const auto wrong = [&](const QString& text) -> std::optional<Section> {
            if (error.isEmpty()) error = QString("%1: the %2 section %3").arg(name, names[k], text);
            return std::nullopt;
        };
        // Data may be empty: a recording stopped before its first frame.
        if (s.offset == 0 || s.count < 0 || (s.count == 0 && k != 10))
            return required ? wrong(QString("is missing (section map, byte %1)").arg(entry)) : std::nullopt;
        if (s.bytes < entryBytes)
            return wrong(QString("has entries of %1 bytes (section map, byte %2), fewer than %3")
                             .arg(s.bytes)
                             .arg(entry + 4)
                             .arg(entryBytes));
        // The strings section is one blob, whatever its count says.
        const qint64 end = s.offset + (k == 9 ? s.bytes : s.bytes * s.count);
        if (s.count > size || end > size)
            return wrong(
                QString("(from byte %1, %2 entries of %3 bytes, section map byte %4) runs past the end "
                        "of the file, which has %5 bytes")
                    .arg(s.offset)
                    .arg(s.count)
                    .arg(s.bytes)
                    .arg(entry)
                    .arg(size));
        return s;
    };
    const std::optional<Section> protocol = section(0, true, 512), adc = section(1, true, 82),
                                 strings = section(9, true, 44), data = section(10, true, 2),
                                 tagSection = section(11, false, 64), synchSection = section(15, false, 8);
    if (!error.isEmpty()) return file;
    const Section &p = *protocol, &a = *adc, &s = *strings, &dt = *data;

    if (a.count > maxAdcChannels)
        return fail(QString("%1 ADC channels (section map, byte 108), more than %2")
                        .arg(a.count)
                        .arg(maxAdcChannels));
    const int channels = int(a.count);
    const int16_t dataFormat = at<qint16>(d, 30);
    if (dataFormat != 0 && dataFormat != 1)
        return fail(
            QString("data format %1 at byte 30, where 0 (int16) or 1 (float32) is read").arg(dataFormat));
    file.isFloat = dataFormat == 1;
    file.valueBytes = file.isFloat ? 4 : 2;
    if (dt.bytes != file.valueBytes)
        return fail(QString("data values of %1 bytes (section map, byte 240) for data format %2")
                        .arg(dt.bytes)
                        .arg(dataFormat));
    file.dataOffset = dt.offset;
    file.frames = dt.count / channels;
    if (dt.count % channels)
        file.note = QString("%1: %2 values after the last whole frame are left out")
                        .arg(name)
                        .arg(dt.count % channels);

    file.interval = at<float>(d, p.offset + 2);
    if (!(file.interval > 0.0f))
        return fail(QString("the sample interval at byte %1 is not positive").arg(p.offset + 2));

    // The strings: a header ("SSCH", version, count...) and the texts, each ending in a NUL.
    QStringList texts;
    if (std::memcmp(d + s.offset, "SSCH", 4) != 0)
        return fail(QString("the strings section at byte %1 does not start with \"SSCH\"").arg(s.offset));
    const quint32 stringCount = at<quint32>(d, s.offset + 8);
    for (qint64 k = s.offset + 44, end = s.offset + s.bytes;
         k < end && quint32(texts.size()) < stringCount;) {
        const auto* nul = static_cast<const uchar*>(std::memchr(d + k, 0, size_t(end - k)));
        const qint64 stop = nul ? nul - d : end;
        texts.append(QString::fromLatin1(reinterpret_cast<const char*>(d + k), stop - k).trimmed());
        k = stop + 1;
    }
    const auto text = [&](int32_t index) {
        return index >= 1 && index <= texts.size() ? texts[index - 1] : QString();
    };

    const float adcRange = at<float>(d, p.offset + 110);
    const int32_t resolution = at<qint32>(d, p.offset + 118);
    for (int c = 0; c < channels; c++) {
        const qint64 e = a.offset + c * a.bytes;
        const bool telegraph = at<qint16>(d, e + 2) != 0;
        const double divisor = double(at<float>(d, e + 40)) * at<float>(d, e + 48) * at<float>(d, e + 28) *
                               resolution * (telegraph ? double(at<float>(d, e + 6)) : 1.0);
        if (!file.isFloat && !(divisor != 0.0 && std::isfinite(divisor)))
            return fail(
                QString("ADC channel %1 (from byte %2) has a zero scale: its gains, scale factor or the "
                        "resolution are 0")
                    .arg(c)
                    .arg(e));
        AbfHeader::Adc channel{text(at<qint32>(d, e + 74)), text(at<qint32>(d, e + 78))};
        if (divisor != 0.0 && std::isfinite(divisor) && adcRange > 0) {
            channel.step = adcRange / divisor;
            channel.zero = double(at<float>(d, e + 44)) - at<float>(d, e + 52);
        }
        if (!file.isFloat) {
            channel.scale = channel.step;
            channel.offset = channel.zero;
        }
        file.adcs.push_back(channel);
    }

    const float unit = at<float>(d, p.offset + 14);
    const QString sweepFault =
        abfSweeps(file, d, synchSection ? synchSection->offset : 0, synchSection ? synchSection->count : 0,
                  synchSection ? synchSection->bytes : 0, at<qint16>(d, p.offset) == 5,
                  at<qint32>(d, p.offset + 22), p.offset + 22, unit, channels);
    if (!sweepFault.isEmpty()) return fail(sweepFault);
    if (tagSection)
        for (int64_t k = 0; k < tagSection->count; k++) {
            const qint64 e = tagSection->offset + k * tagSection->bytes;
            file.tags.push_back({synchFrames(at<qint32>(d, e), unit, file.interval, channels),
                                 QString::fromLatin1(reinterpret_cast<const char*>(d + e + 4), 56)
                                     .remove(QChar('\0'))
                                     .trimmed()});
        }
    file.start = abfStart(at<quint32>(d, 16), at<quint32>(d, 20));
    return file;
}

} // namespace

std::unique_ptr<RecordingReader> RecordingReader::open(const QString& path, QString& error) {
    error.clear();
    auto reader = std::unique_ptr<RecordingReader>(new RecordingReader);
    const QFileInfo file(path);
    const QString suffix = file.suffix().toLower();
    // An ABF recording has a header too, beside its channel files.
    const QStringList abf =
        suffix == "kdh" && !QFileInfo::exists(path.chopped(4) + "_000.dat")
            ? QDir(file.path())
                  .entryList({file.completeBaseName() + "_CH???_000.abf"}, QDir::Files, QDir::Name)
            : QStringList();
    if (!file.isFile())
        error = path + ": no such file";
    else if (!abf.isEmpty())
        reader->openAbf(file.path() + "/" + abf.first(), error);
    else if (suffix == "kdh" || suffix == "dat")
        reader->openDat(path, error);
    else
        reader->openAbf(path, error);
    if (!error.isEmpty()) return nullptr;
    return reader;
}

const uchar* RecordingReader::map(const QString& path, qint64& size, QString& error) {
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        error = path + ": " + file->errorString();
        return nullptr;
    }
    size = file->size();
    // An empty file maps to nothing, and holds nothing to read.
    static const uchar nothing = 0;
    const uchar* data = size > 0 ? file->map(0, size) : &nothing;
    if (!data) error = path + ": cannot be mapped: " + file->errorString();
    mapped.push_back(std::move(file));
    return data;
}

// Amperes and volts under any prefix; everything else is another kind of signal.
RecordingReader::Kind RecordingReader::kindOf(const QString& unit) {
    static const QRegularExpression prefixed("^[pnuµmk]?([AV])$");
    const QRegularExpressionMatch m = prefixed.match(unit.trimmed());
    return !m.hasMatch() ? Kind::Other : m.captured(1) == "A" ? Kind::Current : Kind::Voltage;
}

bool RecordingReader::openDat(const QString& path, QString& error) {
    format = "DAT";
    // The header is NAME.kdh; the data files NAME_000.dat, NAME_001.dat...
    static const QRegularExpression chunkName("^(.*)_\\d{3}\\.dat$",
                                              QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch chunk = chunkName.match(path);
    const QString base = path.endsWith(".kdh", Qt::CaseInsensitive) ? path.chopped(4)
                         : chunk.hasMatch()                         ? chunk.captured(1)
                                                                    : QString();
    QFile header(base + ".kdh");
    if (base.isEmpty() || !header.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = path + ": no header " + QFileInfo(base.isEmpty() ? path : base).fileName() +
                ".kdh beside it, which names its columns";
        return false;
    }
    const QString text = QString::fromUtf8(header.readAll());
    const auto line = [&](const QString& label) { return headerLine(text, label); };
    const QString headerName = QFileInfo(header).fileName();
    const QString columns = line("Columns:");
    if (columns.isEmpty()) {
        error = headerName + ": no \"Columns:\" line naming the data columns";
        return false;
    }
    static const QRegularExpression column("^(.*) \\[(.*)\\]$");
    for (const QString& c : columns.split("; ")) {
        const QRegularExpressionMatch m = column.match(c.trimmed());
        const QString unit = m.hasMatch() ? m.captured(2) : QString();
        const QString name = m.hasMatch() ? m.captured(1) : c.trimmed();
        // A gp channel may be in volts too: the names tell currents and voltages apart.
        static const QRegularExpression current("^Ch\\d+$"), voltage("^V\\d+$");
        channels.push_back({name, unit, 0.0,
                            current.match(name).hasMatch()   ? Kind::Current
                            : voltage.match(name).hasMatch() ? Kind::Voltage
                                                             : Kind::Other});
    }

    // The exact rate; older headers only have the label, whose number is cut to 8 characters.
    double rate = line("Sampling rate [Hz]:").toDouble();
    if (!(rate > 0)) {
        static const QRegularExpression label("^([0-9.]+) ?([pnumkMG]?)Hz$");
        const QRegularExpressionMatch m = label.match(line("Sampling frequency (SR):"));
        const QString prefixes = "pnum kMG"; // from 10^-12 to 10^9, none at 4
        if (m.hasMatch())
            rate = m.captured(1).toDouble() *
                   std::pow(10.0, m.captured(2).isEmpty() ? 0 : 3 * (prefixes.indexOf(m.captured(2)) - 4));
    }
    if (!(rate > 0)) {
        error = headerName + ": no sampling rate (\"Sampling rate [Hz]:\" or \"Sampling frequency (SR):\")";
        return false;
    }
    // Where the codes lie: "step zero" a column; older headers do not say.
    const QStringList scales = line("Column scales:").split("; ", Qt::SkipEmptyParts);
    for (size_t c = 0; c < channels.size(); c++) {
        channels[c].rate = rate;
        const QStringList pair = c < size_t(scales.size()) ? scales[qsizetype(c)].split(' ') : QStringList();
        if (pair.size() == 2 && pair[0].toDouble() > 0) {
            channels[c].step = pair[0].toDouble();
            channels[c].zero = pair[1].toDouble();
        }
    }
    // Two-digit years read as the 1900s.
    start = QDateTime::fromString(line("Acquisition start time:"), "dd/MM/yy hh:mm:ss.zzz").addYears(100);

    // The losses the recording's lab book tells, each at a frame of a named data file.
    struct Noted {
        QString file;
        Loss loss;
    };
    std::vector<Noted> noted;
    QFile labbook(base + "_lab_book.txt");
    static const QRegularExpression lossLine(
        "Samples lost.*?(\\d+) samples? per channel.*at frame index (\\d+) of (.+)$");
    if (labbook.open(QIODevice::ReadOnly | QIODevice::Text))
        for (QTextStream in(&labbook); !in.atEnd();) {
            const QRegularExpressionMatch m = lossLine.match(in.readLine());
            if (m.hasMatch())
                noted.push_back({QFileInfo(m.captured(3).trimmed()).fileName(),
                                 {m.captured(2).toLongLong(), m.captured(1).toLongLong()}});
        }

    const int stride = int(channels.size() * sizeof(float));
    for (int k = 0;; k++) {
        const QString name = QString("%1_%2.dat").arg(base).arg(k, 3, 10, QChar('0'));
        if (!QFileInfo::exists(name)) break;
        qint64 size = 0;
        const uchar* data = map(name, size, error);
        if (!data) return false;
        const QString fileName = QFileInfo(name).fileName();
        if (size % stride)
            notes << QString("%1: %2 bytes after the last whole frame (%3 bytes) are left out")
                         .arg(fileName)
                         .arg(size % stride)
                         .arg(stride);
        Piece piece{frames, size / stride, {}};
        for (size_t c = 0; c < channels.size(); c++)
            piece.sources.push_back({data + c * sizeof(float), stride, true});
        for (const Noted& n : noted)
            if (n.file == fileName) losses.push_back({frames + n.loss.frame, n.loss.frames});
        frames += piece.frames;
        pieces.push_back(std::move(piece));
        files << name;
    }
    if (files.isEmpty()) {
        error = headerName + ": its data files (" + QFileInfo(base).fileName() + "_000.dat...) are missing";
        return false;
    }
    sweeps.push_back({0, frames});
    return true;
}

bool RecordingReader::openAbf(const QString& path, QString& error) {
    format = "ABF";
    // One of this program's files: a channel and the voltage, beside the recording's other
    // channels, in chunks NAME_CH001_000.abf, NAME_CH001_001.abf...
    static const QRegularExpression ownName("^(.*)_CH(\\d{3})_(\\d{3})\\.abf$",
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch own = ownName.match(path);
    std::vector<QStringList> chunks;
    if (own.hasMatch()) {
        const QString base = own.captured(1);
        QStringList first =
            QDir(QFileInfo(base).path())
                .entryList({QFileInfo(base).fileName() + "_CH???_000.abf"}, QDir::Files, QDir::Name);
        for (int k = 0;; k++) {
            QStringList chunk;
            for (const QString& name : first)
                chunk << QString("%1/%2_%3.abf")
                             .arg(QFileInfo(base).path(), name.chopped(8))
                             .arg(k, 3, 10, QChar('0'));
            if (chunk.isEmpty() || !QFileInfo::exists(chunk.first())) break;
            chunks.push_back(chunk);
        }
        if (chunks.empty()) chunks.push_back({path});
    } else {
        chunks.push_back({path});
    }

    int64_t time = 0; // where the present chunk's time starts, in frames
    for (const QStringList& chunk : chunks) {
        Piece piece{frames, -1, {}};
        std::vector<AbfHeader> parsed;
        std::vector<const uchar*> data;
        for (const QString& name : chunk) {
            qint64 size = 0;
            const uchar* d = map(name, size, error);
            if (!d) return false;
            parsed.push_back(parseAbf(d, size, QFileInfo(name).fileName(), error));
            if (!error.isEmpty()) return false;
            data.push_back(d);
            if (!parsed.back().note.isEmpty()) notes << parsed.back().note;
            files << name;
        }
        const AbfHeader& head = parsed.front();
        // Several files: each gives its first channel, the first also the voltage after them.
        const bool perChannel = parsed.size() > 1;
        std::vector<Channel> found;
        const auto add = [&](size_t f, size_t c) {
            const AbfHeader& file = parsed[f];
            const int stride = int(file.adcs.size()) * file.valueBytes;
            const AbfHeader::Adc& adc = file.adcs[c];
            // A channel of this program's files is a current or another signal, whatever its
            // unit (a TTL output reads in volts); the voltage is the files' second.
            Kind kind = kindOf(adc.unit);
            if (own.hasMatch() && c == 0 && kind == Kind::Voltage) kind = Kind::Other;
            found.push_back({adc.name, adc.unit, abfRate(file.interval), kind, adc.step, adc.zero});
            piece.sources.push_back({data[f] + file.dataOffset + qint64(c) * file.valueBytes, stride,
                                     file.isFloat, file.adcs[c].scale, file.adcs[c].offset});
        };
        for (size_t f = 0; f < parsed.size(); f++) {
            const AbfHeader& file = parsed[f];
            if (perChannel && (file.adcs.size() != 2 || file.interval != head.interval)) {
                error = QFileInfo(chunk[int(f)]).fileName() + ": not a channel of " +
                        QFileInfo(chunk.first()).fileName() +
                        "'s recording (two channels at its rate expected)";
                return false;
            }
            if (file.frames != head.frames)
                notes << QString("%1 holds %2 frames, %3 %4: the frames all hold are read")
                             .arg(QFileInfo(chunk[int(f)]).fileName())
                             .arg(file.frames)
                             .arg(QFileInfo(chunk.first()).fileName())
                             .arg(head.frames);
            piece.frames = piece.frames < 0 ? file.frames : std::min(piece.frames, file.frames);
            for (size_t c = 0; c < (perChannel ? 1 : file.adcs.size()); c++)
                add(f, c);
        }
        if (perChannel) add(0, 1);
        if (channels.empty()) {
            channels = found;
            start = head.start;
        } else if (found.size() != channels.size()) {
            error = QFileInfo(chunk.first()).fileName() + ": a chunk with other channels than the first";
            return false;
        }
        int64_t timeEnd = time;
        for (const Sweep& s : head.sweeps) {
            sweeps.push_back({time + s.start, s.frames});
            timeEnd = std::max(timeEnd, time + s.start + s.frames);
        }
        for (const Tag& t : head.tags) {
            const int64_t lost = lossTag(t.text);
            if (lost >= 0) losses.push_back({time + t.frame, lost});
            tags.push_back({time + t.frame, t.text});
        }
        frames += piece.frames;
        time = timeEnd;
        pieces.push_back(std::move(piece));
    }
    return true;
}

bool RecordingReader::read(int64_t firstFrame, int64_t count, float* out) const {
    if (firstFrame < 0 || count < 0 || firstFrame + count > frames) return false;
    const size_t width = channels.size();
    for (const Piece& piece : pieces) {
        const int64_t from = std::max(firstFrame, piece.first);
        const int64_t to = std::min(firstFrame + count, piece.first + piece.frames);
        if (from >= to || piece.sources.empty()) continue;
        // Frames stored as they are wanted (a DAT file's floats, a host in the files' byte order)
        // are copied whole.
        const Source& firstSource = piece.sources.front();
        bool asStored =
            QSysInfo::ByteOrder == QSysInfo::LittleEndian && firstSource.stride == int(width * sizeof(float));
        for (size_t c = 0; c < width && asStored; c++) {
            const Source& s = piece.sources[c];
            asStored =
                s.isFloat && s.stride == firstSource.stride && s.data == firstSource.data + c * sizeof(float);
        }
        if (asStored) {
            std::memcpy(out + (from - firstFrame) * int64_t(width),
                        firstSource.data + (from - piece.first) * firstSource.stride,
                        size_t(to - from) * size_t(firstSource.stride));
            continue;
        }
        for (int64_t f = from; f < to; f++) {
            float* row = out + (f - firstFrame) * int64_t(width);
            const int64_t local = f - piece.first;
            for (size_t c = 0; c < width; c++) {
                const Source& s = piece.sources[c];
                const uchar* value = s.data + local * s.stride;
                row[c] = s.isFloat ? qFromLittleEndian<float>(value)
                                   : float(qFromLittleEndian<qint16>(value) * s.scale + s.offset);
            }
        }
    }
    return true;
}
