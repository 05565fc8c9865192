#include "recording/abffile.h"

#include <QList>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr qint64 blockSize = 512;
constexpr qint64 frameBytes = 4; // two 16-bit words
constexpr qint64 tagCommentSize = 56;
constexpr float adcRange = 0.45f; // volts at full scale
constexpr int32_t adcResolution = 32768;

// Indices into the section map.
enum : size_t {
    ProtocolSection = 0,
    AdcSection = 1,
    DacSection = 2,
    StatsRegionSection = 7,
    StringsSection = 9,
    DataSection = 10,
    TagSection = 11,
    ScopeSection = 12,
    SynchArraySection = 15
};

template <typename T> void put(char* at, T value) {
    qToLittleEndian(value, at);
}

qint64 blocksFor(qint64 bytes) {
    return (bytes + blockSize - 1) / blockSize;
}

QByteArray ascii(const QString& text) {
    QByteArray bytes;
    for (QChar c : text)
        bytes.append(c == QChar(0xB5)                         ? 'u'
                     : c.unicode() >= 32 && c.unicode() < 127 ? char(c.unicode())
                                                              : '?');
    return bytes;
}

// Texts longer than a tag's comment go into several tags at the same time. A channel list
// ("Cp" then "c1 4.5000 pF c2 off ...", as the compensation tag has it) is cut only before
// a channel, and each piece repeats the first line; any other text is cut between words.
QStringList tagComments(const QString& text) {
    QStringList lines = text.split(QRegularExpression("[\\r\\n]+"), Qt::SkipEmptyParts);
    const auto plain = [](const QString& t) { return QString::fromLatin1(ascii(t.simplified())); };
    QString title;
    if (lines.size() > 1 && plain(lines.first()).size() <= tagCommentSize / 2)
        title = plain(lines.takeFirst()) + ": ";
    const QStringList words = plain(lines.join(' ')).split(' ', Qt::SkipEmptyParts);
    const QRegularExpression channel("^c\\d+$");
    const bool byChannel = std::any_of(words.begin(), words.end(),
                                       [&](const QString& w) { return channel.match(w).hasMatch(); });
    QStringList units;
    for (const QString& word : words) {
        if (units.isEmpty() || !byChannel || channel.match(word).hasMatch())
            units.append(word);
        else
            units.last() += ' ' + word;
    }
    const qsizetype room = tagCommentSize - title.size();
    QStringList comments;
    QString comment;
    for (QString unit : units) {
        if (!comment.isEmpty() && comment.size() + 1 + unit.size() <= room) {
            comment += ' ' + unit;
            continue;
        }
        if (!comment.isEmpty()) comments.append(title + comment);
        // A single word too long for a tag is cut where the tag ends.
        for (; unit.size() > room; unit = unit.mid(room))
            comments.append(title + unit.left(room));
        comment = unit;
    }
    if (!comment.isEmpty() || comments.isEmpty()) comments.append(title + comment);
    return comments;
}

// Rounded toward zero, so that a reader's 1e6 / interval is never below the rate: one that
// truncates the rate to an integer then still gets it exact.
float intervalUs(double rate) {
    const double exact = 1e6 / rate;
    float interval = float(exact);
    if (double(interval) > exact) interval = std::nextafter(interval, 0.0f);
    return interval;
}

} // namespace

bool AbfFile::open(const QString& path) {
    file->setFileName(path);
    // Every write is a whole pass already; unbuffered, what was written is on disk.
    if (file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) return true;
    fail();
    return false;
}

void AbfFile::begin(const Setup& fileSetup) {
    setup = fileSetup;
    id = QUuid::createUuid();

    QList<QByteArray> texts;
    auto add = [&texts](const QString& text) {
        const QByteArray bytes = ascii(text);
        // An empty string would shift the later indices for readers that split at NULs.
        if (bytes.isEmpty()) return 0;
        texts.append(bytes);
        return int32_t(texts.size());
    };
    // Older Neo versions accept a file only if its first string is one of a few creator keys;
    // the creator's own name comes next.
    add("clampex");
    creatorIndex = add(setup.creator);
    protocolIndex = add("(untitled)");
    signalName = add(setup.signal.name);
    signalUnit = add(setup.signal.unit);
    voltageName = add(setup.voltage.name);
    voltageUnit = add(setup.voltage.unit);
    QByteArray text;
    qsizetype longest = 0;
    for (const QByteArray& t : texts) {
        text.append(t).append('\0');
        longest = std::max(longest, t.size());
    }
    strings = QByteArray(44, '\0');
    std::memcpy(strings.data(), "SSCH", 4);
    put<uint32_t>(strings.data() + 4, 1);
    put<uint32_t>(strings.data() + 8, uint32_t(texts.size()));
    put<uint32_t>(strings.data() + 12, uint32_t(longest));
    put<int32_t>(strings.data() + 16, int32_t(text.size()));
    strings.append(text);

    map[ProtocolSection] = {1, 512, 1};
    map[AdcSection] = {2, 128, 2};
    map[DacSection] = {3, 256, 8};
    map[StatsRegionSection] = {7, 128, 1};
    // Readers that search the strings need the exact size, without the block's padding.
    map[StringsSection] = {8, uint32_t(strings.size()), 1};
    map[ScopeSection] = {uint32_t(8 + blocksFor(strings.size())), 769, 1};
    dataBlock = map[ScopeSection].block + 2;
    map[DataSection] = {dataBlock, 2, 0};
    // Written now, so that its blocks are the file's before a disk can fill up: updates
    // and the final header then only overwrite them.
    if (!writeAll(headerBlocks(false))) fail();
}

bool AbfFile::write(const qint16_le* words, int64_t count) {
    if (writeAll(QByteArray::fromRawData(reinterpret_cast<const char*>(words), count * frameBytes))) {
        frames += count;
        if (count > 0) std::memcpy(lastFrame.data(), words + 2 * (count - 1), frameBytes);
        return true;
    }
    fail();
    // A partial write would shift every later frame: the file ends after the last whole one.
    truncate(frames);
    return false;
}

bool AbfFile::update() {
    map[DataSection].count = frames * 2;
    // The file information and the protocol: the blocks that hold the counts.
    if (file->seek(0) && writeAll(headerBlocks(false).left(2 * blockSize)) && file->seek(dataEnd()))
        return true;
    fail();
    return false;
}

void AbfFile::truncate(int64_t count) {
    frames = std::min(frames, count);
    file->resize(dataEnd());
    file->seek(dataEnd());
}

qint64 AbfFile::dataEnd() const {
    return dataBlock * blockSize + frames * frameBytes;
}

bool AbfFile::writeAll(const QByteArray& bytes) {
    qint64 written = 0;
    for (qint64 w = 0; written < bytes.size(); written += w)
        if ((w = file->write(bytes.constData() + written, bytes.size() - written)) <= 0) return false;
    return true;
}

bool AbfFile::close(std::vector<Tag> tags) {
    if (frames == 0 && !error.isEmpty()) {
        // Nothing to keep, and its header may be cut: no reader would open it.
        discard();
        return false;
    }
    const int64_t sweep = setup.sweepSamples;
    if (sweep > 0 && frames % sweep != 0 && error.isEmpty()) {
        // Readers disagree on a short last sweep (one refuses the file, one invents a sample),
        // so it is filled up with its last sample, and a tag says where that begins.
        const int64_t stopped = frames, sweeps = frames / sweep + 1;
        const QByteArray pad = lastFrame.repeated(int(std::min<int64_t>(sweeps * sweep - frames, 65536)));
        while (frames < sweeps * sweep) {
            const int64_t count = std::min<int64_t>(sweeps * sweep - frames, pad.size() / frameBytes);
            if (!write(reinterpret_cast<const qint16_le*>(pad.constData()), count)) {
                truncate(stopped);
                break;
            }
        }
        if (frames != stopped)
            tags.push_back(
                {stopped, QString("Stopped here; sweep %1 padded with its last sample").arg(sweeps)});
    }
    const qint64 dataEnd = this->dataEnd();
    map[DataSection].count = frames * 2;

    // The sweeps and the tags follow the data, each from a block boundary.
    QByteArray tail;
    auto addSection = [&](size_t section, uint32_t entryBytes, int64_t count) {
        const qint64 start = blocksFor(dataEnd + tail.size()) * blockSize;
        tail.append(QByteArray(start - dataEnd - tail.size() + entryBytes * count, '\0'));
        map[section] = {uint32_t(start / blockSize), entryBytes, count};
        return tail.data() + (start - dataEnd);
    };
    if (sweep > 0 && frames > 0) {
        // Back to back; the last one holds what was written of it if it could not be filled.
        char* entry = addSection(SynchArraySection, 8, (frames + sweep - 1) / sweep);
        for (int64_t start = 0; start < frames; start += sweep, entry += 8) {
            put<int32_t>(entry, int32_t(start));
            put<int32_t>(entry + 4, int32_t(std::min(sweep, frames - start) * 2));
        }
    }
    std::vector<std::pair<int64_t, QByteArray>> comments;
    for (const Tag& tag : tags)
        for (const QString& comment : tagComments(tag.text))
            comments.emplace_back(tag.sample, comment.toLatin1());
    if (!comments.empty()) {
        char* entry = addSection(TagSection, 64, int64_t(comments.size()));
        for (const auto& [sample, comment] : comments) {
            put<int32_t>(entry, int32_t(sample));
            // Padded with blanks: some readers strip only whitespace.
            std::memset(entry + 4, ' ', tagCommentSize);
            std::memcpy(entry + 4, comment.constData(), size_t(comment.size()));
            put<int16_t>(entry + 60, 1); // a comment tag
            entry += 64;
        }
    }
    if (!tail.isEmpty() && (!file->seek(dataEnd) || !writeAll(tail))) {
        fail();
        // The data stay readable, as one sweep and without tags.
        file->resize(dataEnd);
        map[SynchArraySection] = map[TagSection] = {};
    }

    if (!file->seek(0) || !writeAll(headerBlocks(map[SynchArraySection].count > 0))) fail();
    file->close();
    return error.isEmpty();
}

void AbfFile::discard() {
    file->remove();
}

void AbfFile::fail() {
    if (!error.isEmpty()) return;
    error = file->errorString();
    errorKind = file->error();
}

QByteArray AbfFile::headerBlocks(bool episodic) const {
    QByteArray bytes(dataBlock * blockSize, '\0');
    const int32_t sweeps = int32_t(map[SynchArraySection].count);
    const float interval = intervalUs(setup.samplingRate);

    char* info = bytes.data();
    std::memcpy(info, "ABF2", 4);
    put<uint32_t>(info + 4, 0x02000000); // version 2.0.0.0
    put<uint32_t>(info + 8, 512);
    put<uint32_t>(info + 12, uint32_t(sweeps));
    const QDate date = setup.start.date();
    put<uint32_t>(info + 16, uint32_t(date.year() * 10000 + date.month() * 100 + date.day()));
    put<uint32_t>(info + 20, uint32_t(setup.start.time().msecsSinceStartOfDay()));
    put<int16_t>(info + 28, 1); // an ABF file
    put<int16_t>(info + 32, 1); // both channels sampled at once
    put<uint32_t>(info + 40, id.data1);
    put<uint16_t>(info + 44, id.data2);
    put<uint16_t>(info + 46, id.data3);
    std::memcpy(info + 48, id.data4, 8);
    put<uint32_t>(info + 56, setup.creatorVersion);
    put<uint32_t>(info + 60, uint32_t(creatorIndex));
    put<uint32_t>(info + 72, uint32_t(protocolIndex));
    for (size_t k = 0; k < map.size(); k++) {
        char* entry = info + 76 + 16 * k;
        put<uint32_t>(entry, map[k].block);
        put<uint32_t>(entry + 4, map[k].bytes);
        put<int64_t>(entry + 8, map[k].count);
    }

    char* protocol = bytes.data() + map[ProtocolSection].block * blockSize;
    put<int16_t>(protocol, episodic ? 5 : 3);
    put<float>(protocol + 2, interval);
    put<uint32_t>(protocol + 10, 1);
    // Tag and sweep times count samples of one channel, the only unit every reader agrees on.
    put<float>(protocol + 14, interval);
    put<float>(protocol + 18, float(double(frames) / setup.samplingRate));
    // Gap-free, a read-chunk size for readers that divide by it.
    put<int32_t>(protocol + 22, int32_t(episodic ? setup.sweepSamples * 2 : 16384));
    put<int32_t>(protocol + 30, episodic ? sweeps : 1);
    put<int32_t>(protocol + 34, 1);
    put<int32_t>(protocol + 38, 1);
    put<float>(protocol + 62, episodic ? float(double(setup.sweepSamples) / setup.samplingRate) : 0.0f);
    put<int32_t>(protocol + 70, 1);
    put<int16_t>(protocol + 78, 1);
    put<int32_t>(protocol + 86, int32_t(episodic ? setup.sweepSamples : 8192));
    put<float>(protocol + 100, 1.0f);
    put<float>(protocol + 110, adcRange);
    put<float>(protocol + 114, 10.0f);
    put<int32_t>(protocol + 118, adcResolution);
    put<int32_t>(protocol + 122, adcResolution);
    put<int16_t>(protocol + 130, 1); // comments may be present
    put<int16_t>(protocol + 198, 2);
    put<int16_t>(protocol + 200, 8);

    const Channel* channels[] = {&setup.signal, &setup.voltage};
    const int32_t names[] = {signalName, voltageName};
    const int32_t units[] = {signalUnit, voltageUnit};
    for (int16_t i = 0; i < 2; i++) {
        char* adc = bytes.data() + map[AdcSection].block * blockSize + i * 128;
        put<int16_t>(adc, i);
        put<float>(adc + 6, 1.0f);
        put<float>(adc + 10, 100000.0f); // no filter
        put<int16_t>(adc + 24, i);
        put<float>(adc + 28, 1.0f);
        put<float>(adc + 32, 1.0f);
        // Readers take raw x range / (factor x resolution): raw x lsb.
        put<float>(adc + 40, float(adcRange / (channels[i]->lsb * adcResolution)));
        put<float>(adc + 44, float(channels[i]->offset));
        put<float>(adc + 48, 1.0f);
        put<float>(adc + 56, 100000.0f);
        put<float>(adc + 66, 100000.0f);
        put<int32_t>(adc + 74, names[i]);
        put<int32_t>(adc + 78, units[i]);
    }
    // Some readers need all eight outputs described, though none is driven.
    for (int16_t i = 0; i < 8; i++) {
        char* dac = bytes.data() + map[DacSection].block * blockSize + i * 256;
        put<int16_t>(dac, i);
        put<float>(dac + 8, 20.0f);
        put<float>(dac + 16, 1.0f);
        put<int32_t>(dac + 24, voltageName);
        put<int32_t>(dac + 28, voltageUnit);
        put<float>(dac + 46, 1.0f);
    }
    std::memcpy(bytes.data() + map[StringsSection].block * blockSize, strings.constData(),
                size_t(strings.size()));
    put<int16_t>(bytes.data() + map[ScopeSection].block * blockSize + 656, 656); // size of its older part
    return bytes;
}
