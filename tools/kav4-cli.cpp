// Command-line access to the amplifiers the library sees, real or simulated.

#include "commlib/api/kv4cl.h"
#include "commlib/demo/ftdieepromdemo.h"
#include "commlib/transport/libftdidriver.h"
#include "recording/recordingreader.h"
#include "simulator/simulation.h"
#include "tools/acquisitionsettings.h"
#include "tools/analysecommand.h"
#include "tools/clisupport.h"
#include "tools/recordcommand.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using kav4cli::check;
using kav4cli::Connection;
using kav4cli::describe;
using kav4cli::Failure;
using kav4cli::takeOption;

// A command line that cannot be run as typed: reported with the usage.
struct UsageError {
    std::string text;
};

void printUsage(std::ostream& out) {
    out << "usage: kav4-cli [--simulate MODEL[,MODEL...]] COMMAND\n"
           "\n"
           "commands:\n"
           "  list                the attached amplifiers: id, device version, subversion, firmware\n"
           "  info ID             connects to one amplifier and describes it\n"
           "  stream ID[,ID...] --seconds S [options]\n"
           "                      connects, configures, reads for S seconds and reports frames\n"
           "                      received against the clock, status flags and per-channel\n"
           "                      mean and RMS; several ids stream as parallel devices\n"
           "  open FILE           describes a recording, DAT or ABF, from its .kdh header or any\n"
           "                      of its files (an ABF channel file opens with the recording's\n"
           "                      other channels and chunks): format, channels with their units,\n"
           "                      rate, duration, sweeps, tags and losses\n"
           "  analyse FILE --noise|--spectrum|--histogram|--events|--iv [...] --csv OUT [options]\n"
           "                      plays a recording (as open reads it) through the program's\n"
           "                      analyses as fast as they take it and writes to OUT the CSV their\n"
           "                      docks export, one export after the other: the noise report of every\n"
           "                      channel, and per current channel its histogram, event detection (with\n"
           "                      the dock's default thresholds), spectrum (its density, squared) and\n"
           "                      I-V graph (its points as one series, averaged over each voltage\n"
           "                      level, and their linear fit, as the dock's Linear fit gives it)\n"
           "  record ID[,ID...] --seconds S --format dat|abf --out DIR [options]\n"
           "                      records for S seconds, or until Ctrl+C, into a new folder in DIR\n"
           "                      named after the recording (\"file\", \"file_1\"...), with its\n"
           "                      header and lab book, as the program records; the session's lab\n"
           "                      book is continued in ~/KAV4/Labbooks\n"
           "\n"
           "stream and record options:\n"
           "  --rate VALUE        sampling rate, e.g. 20k or 20kHz (default: the model's)\n"
           "  --range VALUE       current range of every channel by its maximum, e.g. 2n or 200pA\n"
           "  --protocol NAME|N   stimulus protocol to apply, by name or index\n"
           "  --param NAME=VALUE  a protocol parameter, e.g. Vhold=-50 (in the parameter's\n"
           "                      unit, mV for voltages, ms for times) or Vhold=-0.05V\n"
           "\n"
           "analyse options:\n"
           "  --channel N         the per-channel analyses for current channel N alone, counted from 1\n"
           "                      as the docks count them (default: every current channel)\n"
           "  --from T, --to T    the stretch analysed, in seconds from the recording's start\n"
           "                      (default: all of it); each analysis gives its last whole result in\n"
           "                      it, as its dock would show it at --to\n"
           "  --window S          the noise report's window, 0.1 to 600 s (default 0.5)\n"
           "  --fft-bins N        the spectrum's block, a power of two from 512 to 32768 (default 512)\n"
           "  --integration S     the spectrum's shortest average, 1 to 20 s (default 2)\n"
           "  --transient MS      the I-V graph's transient ignored at the start of each voltage\n"
           "                      level, 0 to 10000 ms (default 0)\n"
           "\n"
           "record options:\n"
           "  --verify-pattern    puts the virtual amplifiers in pattern mode (each frame carries\n"
           "                      its number) and, after the recording, reads every frame of the\n"
           "                      files back: a gap is accounted for only where the recording\n"
           "                      marked a loss of that size; prints the first fault\n"
           "  --inject-faults S   every S seconds one fault of the virtual amplifiers in turn:\n"
           "                      dropped bytes, a stall, an overflow of the device's buffer\n"
           "\n"
           "open exits with 0, or 1 when the file cannot be read as a recording (saying what is\n"
           "wrong and where). analyse exits with 0 once OUT is written, 1 when the file cannot be read,\n"
           "the channel or the times are not in it, the stretch holds no whole result or OUT cannot be\n"
           "written, and 2 on a usage error.\n"
           "\n"
           "record exits with 0 when nothing was lost, 3 when frames were lost (each told on\n"
           "standard error as it happens, marked in the files and counted on the \"frames\n"
           "lost\" line), 1 on a failure (a device or file error, or a fault found by\n"
           "--verify-pattern) and 2 on a usage error. Ctrl+C stops the recording and finishes\n"
           "its files, and the status says the same; a second Ctrl+C ends it at once. Progress\n"
           "(elapsed time, frames, MB written, frames lost) shows while standard output is a\n"
           "terminal.\n"
           "\n"
           "options:\n"
           "  --simulate MODEL[,MODEL...]\n"
           "              use virtual amplifiers of these models instead of real ones\n"
           "              (known: "
        << kav4sim::simulatedModelNames()
        << "); KAV4_SIMULATE=MODEL[,MODEL...] does the\n"
           "              same, the option wins\n"
           "  -h, --help  show this text\n"
           "\n"
           "Without a simulation the amplifiers attached on USB are used (through libftdi1).\n";
}

// The ids the library can connect to: the detected devices and the demo device.
std::vector<std::string> knownIds() {
    std::vector<std::string> ids;
    const kv4cl::ErrorCodes_t detection = kv4cl::detectDevices(ids);
    if (detection != kv4cl::Success && detection != kv4cl::ErrorNoDevicesDetected)
        throw Failure("detection", detection);
    ids.push_back(kv4CommLib::demoDeviceId);
    return ids;
}

void requireKnown(const std::vector<std::string>& ids) {
    const std::vector<std::string> known = knownIds();
    for (const std::string& id : ids)
        if (std::find(known.begin(), known.end(), id) == known.end()) throw Failure("no such device: " + id);
}

int list() {
    std::vector<std::string> ids;
    const kv4cl::ErrorCodes_t detection = kv4cl::detectDevices(ids);
    if (detection != kv4cl::Success && detection != kv4cl::ErrorNoDevicesDetected) {
        std::cerr << "kav4-cli: " << describe(detection) << "\n";
        return 1;
    }
    const std::string idHeader = "Device id";
    size_t idWidth = idHeader.size();
    for (const std::string& id : ids)
        idWidth = std::max(idWidth, id.size());

    std::printf("%-*s  %7s  %10s  %8s\n", int(idWidth), idHeader.c_str(), "Version", "Subversion",
                "Firmware");
    int status = 0;
    for (const std::string& id : ids) {
        uint8_t version = 0, subversion = 0;
        uint32_t firmware = 0;
        const kv4cl::ErrorCodes_t err = kv4cl::getDeviceInfo(id, version, subversion, firmware);
        if (err != kv4cl::Success) {
            std::printf("%-*s  %s\n", int(idWidth), id.c_str(), describe(err).c_str());
            status = 1;
            continue;
        }
        std::printf("%-*s  %7u  %10u  %8u\n", int(idWidth), id.c_str(), unsigned(version),
                    unsigned(subversion), unsigned(firmware));
    }
    return status;
}

// The ids of ID[,ID...]: at least one, each once (the library would say only that it could not
// connect).
std::vector<std::string> splitIds(const std::string& list) {
    std::vector<std::string> ids;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) {
            std::string id = list.substr(start, comma - start);
            if (std::find(ids.begin(), ids.end(), id) != ids.end())
                throw UsageError{"device " + id + " is given twice"};
            ids.push_back(std::move(id));
        }
        start = comma + 1;
    }
    if (ids.empty()) throw UsageError{"no device id in \"" + list + "\""};
    return ids;
}

std::string rangeText(const kv4cl::RangedMeasurement_t& r) {
    return "±" + kav4cli::formatMeasurement({r.max, r.prefix, r.unit});
}

int info(const std::string& id) {
    requireKnown({id});
    uint8_t version = 0, subversion = 0;
    uint32_t firmware = 0;
    check(kv4cl::getDeviceInfo(id, version, subversion, firmware), "device information");
    const Connection connection({id});
    std::string header;
    check(kv4cl::getHeaderTemplate(header), "header");
    // Line 3 of the recording header names the model.
    std::string model = header;
    for (int line = 0; line < 2 && model.find('\n') != std::string::npos; line++)
        model.erase(0, model.find('\n') + 1);
    model = model.substr(0, model.find('\n'));
    std::printf("%s: %s (version %u, subversion %u, firmware %u)\n", id.c_str(), model.c_str(),
                unsigned(version), unsigned(subversion), unsigned(firmware));

    uint32_t voltages = 0, currents = 0, gps = 0;
    check(kv4cl::getChannelCounts(voltages, currents, gps), "channel counts");
    std::printf("channels: %u current, %u voltage, %u general purpose\n", currents, voltages, gps);

    std::vector<kv4cl::RangedMeasurement_t> ranges;
    uint16_t defaultIdx = 0;
    const auto listRanges = [&](const char* title) {
        std::printf("%s:", title);
        for (size_t i = 0; i < ranges.size(); i++)
            std::printf(" %s%s", rangeText(ranges[i]).c_str(), i == defaultIdx ? "*" : "");
        std::printf("\n");
    };
    check(kv4cl::getCurrentRanges(ranges, defaultIdx), "current ranges");
    listRanges("current ranges");
    if (kv4cl::getVoltageRanges(ranges, defaultIdx) == kv4cl::Success) listRanges("voltage ranges");

    std::vector<kv4cl::Measurement_t> rates;
    check(kv4cl::getSamplingRates(rates, defaultIdx), "sampling rates");
    std::printf("sampling rates:");
    for (size_t i = 0; i < rates.size(); i++)
        std::printf(" %s%s", kav4cli::formatMeasurement(rates[i]).c_str(), i == defaultIdx ? "*" : "");
    std::printf("\n");
    std::vector<uint16_t> ratios;
    if (kv4cl::getOversamplingRatios(ratios, defaultIdx) == kv4cl::Success) {
        std::printf("oversampling:");
        for (uint16_t r : ratios)
            std::printf(" x%u", unsigned(r));
        std::printf("\n");
    }

    std::vector<std::string> names, images;
    std::vector<std::vector<uint16_t>> v, t, sl, f, a;
    if (kv4cl::getProtocolList(names, images, v, t, sl, f, a) == kv4cl::Success) {
        std::printf("protocols:");
        for (size_t i = 0; i < names.size(); i++)
            std::printf("%s %zu \"%s\"", i ? "," : "", i, names[i].c_str());
        std::printf("\n");
    }

    // Optional features, each shown only when the model answers for it.
    std::vector<std::string> features;
    kv4cl::CompensationControl_t control;
    kv4cl::RangedMeasurement_t r1, r2;
    std::vector<uint32_t> colors;
    std::vector<std::string> switchNames;
    std::vector<bool> switchDefaults;
    uint16_t count = 0;
    bool flag = false;
    if (kv4cl::getCFastControl(control) == kv4cl::Success)
        features.push_back("fast capacitance compensation");
    if (kv4cl::getVoltageOffsetControls(r1, r2) == kv4cl::Success) features.push_back("voltage offsets");
    if (kv4cl::getFastPulsesProtocol(count) == kv4cl::Success) features.push_back("fast pulses");
    if (kv4cl::getInsertionPulseControls(r1, r2) == kv4cl::Success) features.push_back("insertion pulse");
    if (kv4cl::getReferencePulseControls(r1, r2) == kv4cl::Success) features.push_back("reference pulse");
    if (kv4cl::getReferencePulseTrainControls(r1, count) == kv4cl::Success)
        features.push_back("pulse trains");
    if (kv4cl::getVoltageReferenceRanges(ranges, defaultIdx) == kv4cl::Success)
        features.push_back("voltage reference");
    if (kv4cl::getLeds(colors) == kv4cl::Success) features.push_back(std::to_string(colors.size()) + " LEDs");
    if (kv4cl::getSwitchesList(switchNames, switchDefaults) == kv4cl::Success)
        features.push_back("custom flags");
    if (kv4cl::hasDigitalTrigger(flag) == kv4cl::Success && flag) features.push_back("digital trigger");
    std::printf("features:");
    for (size_t i = 0; i < features.size(); i++)
        std::printf("%s %s", i ? "," : "", features[i].c_str());
    std::printf("%s\n", features.empty() ? " none" : "");
    return 0;
}

int stream(const std::vector<std::string>& ids, double seconds,
           const kav4cli::AcquisitionSettings& settings) {
    requireKnown(ids);
    const Connection connection(ids);
    kav4cli::applySettings(settings);
    uint32_t voltages = 0, currents = 0, gps = 0;
    check(kv4cl::getChannelCounts(voltages, currents, gps), "channel counts");
    kv4cl::Measurement_t rate;
    check(kv4cl::getSamplingRate(rate), "sampling rate");
    std::vector<kv4cl::RangedMeasurement_t> ranges(currents);
    for (uint32_t c = 0; c < currents; c++)
        check(kv4cl::getCurrentRange(ranges[c], uint16_t(c)), "current range");

    // Frames carry the voltage words, the current words, then any further words of one device.
    const uint32_t words = ids.size() > 1 ? voltages + currents : voltages + currents + gps;
    std::vector<kav4cli::ChannelStats> stats(voltages + currents);
    std::map<std::string, int> flags;
    uint64_t frames = 0;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    double elapsed = 0.0;
    // Progress is for a person watching; piped or redirected output holds the results alone.
    const bool showProgress = isatty(fileno(stderr));
    for (int poll = 0; elapsed < seconds; poll++) {
        kv4cl::DataStatus_t status;
        const kv4cl::ErrorCodes_t err = kv4cl::getDataStatus(status);
        if (err != kv4cl::Success && err != kv4cl::WarningNoDataAvailable) throw Failure("data status", err);
        flags["buffer overflow"] += status.bufferOverflow;
        flags["data lost"] += status.dataLost;
        flags["word overflow"] += status.wordOverflow;
        flags["range up suggested"] += status.rangeUpSuggested;
        flags["range down suggested"] += status.rangeDownSuggested;
        flags["info index stuck"] += status.infoIndexStuck;
        if (status.availableFrames > 0) {
            uint32_t read = 0;
            uint16_t* filtered = nullptr;
            uint16_t* raw = nullptr;
            const kv4cl::ErrorCodes_t r = kv4cl::readSamples(status.availableFrames, read, filtered, raw);
            if (r != kv4cl::Success && r != kv4cl::WarningNotEnoughData) throw Failure("read", r);
            for (uint32_t i = 0; i < read; i++) {
                const uint16_t* frame = filtered + size_t(i) * words;
                for (uint32_t k = 0; k < voltages + currents; k++) {
                    double value = 0.0;
                    if (k < voltages)
                        kv4cl::voltageFromRaw(int16_t(frame[k]), value);
                    else
                        kv4cl::currentFromRaw(int16_t(frame[k]), uint16_t(k - voltages), value);
                    // Library values are in the prefix of their range; keep them without prefix.
                    const kv4cl::UnitPfx_t prefix =
                        k < voltages ? kv4cl::UnitPfxMilli : ranges[k - voltages].prefix;
                    stats[k].add(kv4cl::Measurement_t{value, prefix, ""}.getNoPrefixValue());
                }
            }
            frames += read;
        }
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (showProgress && poll % 10 == 0)
            std::fprintf(stderr, "\r%6.1f s / %.1f s  %llu frames", elapsed, seconds,
                         static_cast<unsigned long long>(frames));
        // The library gathers about 50 ms of data before it hands them out.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (showProgress) std::fprintf(stderr, "\n");

    const double expected = elapsed * rate.getNoPrefixValue();
    std::printf("frames: %llu received, %.0f expected from the clock (%s for %.2f s), %.2f%%\n",
                static_cast<unsigned long long>(frames), expected, kav4cli::formatMeasurement(rate).c_str(),
                elapsed, expected > 0 ? 100.0 * double(frames) / expected : 0.0);
    std::printf("status flags:");
    bool any = false;
    for (const auto& [name, n] : flags) {
        if (n == 0) continue;
        std::printf("%s %s x%d", any ? "," : "", name.c_str(), n);
        any = true;
    }
    std::printf("%s\n", any ? "" : " none");
    std::printf("%-10s %14s %14s %14s\n", "channel", "mean", "RMS", "RMS noise");
    for (size_t k = 0; k < stats.size(); k++) {
        const std::string unit = k < voltages ? "V" : "A";
        char name[16];
        std::snprintf(name, sizeof name, "%s%zu", k < voltages ? "V" : "I",
                      k < voltages ? k + 1 : k - voltages + 1);
        // One prefix per row, from the largest figure, so the columns compare at a glance.
        const kv4cl::UnitPfx_t p =
            kav4cli::readablePrefix(std::max(stats[k].rms(), std::fabs(stats[k].mean())));
        const auto show = [&](double x) {
            return kav4cli::formatMeasurement(kv4cl::Measurement_t{x, kv4cl::UnitPfxNone, unit}.converted(p),
                                              5);
        };
        std::printf("%-10s %14s %14s %14s\n", name, show(stats[k].mean()).c_str(),
                    show(stats[k].rms()).c_str(), show(stats[k].deviation()).c_str());
    }
    if (frames > 0) return 0;
    std::fprintf(stderr, "kav4-cli: no frames received in %.2f s\n", elapsed);
    return 1;
}

// A recording's content, from the files alone: no device is needed.
int openRecording(const std::string& path) {
    QString error;
    const std::unique_ptr<RecordingReader> reader =
        RecordingReader::open(QString::fromStdString(path), error);
    if (!reader) throw Failure(error.toStdString());
    const RecordingReader& r = *reader;
    const double rate = r.channels.empty() ? 0.0 : r.channels.front().rate;
    const auto seconds = [&](int64_t frame) { return rate > 0 ? double(frame) / rate : 0.0; };
    std::printf("format: %s, %lld file%s\n", qPrintable(r.format), static_cast<long long>(r.files.size()),
                r.files.size() == 1 ? "" : "s");
    if (r.start.isValid())
        std::printf("started: %s\n", qPrintable(r.start.toString("yyyy-MM-dd hh:mm:ss.zzz")));
    std::printf("channels: %zu\n", r.channels.size());
    for (const RecordingReader::Channel& c : r.channels)
        std::printf("  %s [%s]\n", qPrintable(c.name), qPrintable(c.unit));
    std::printf("rate: %.10g Hz\n", rate);
    std::printf("duration: %.6g s, %lld frames\n", seconds(r.frames), static_cast<long long>(r.frames));
    std::printf("sweeps: %zu\n", r.sweeps.size());
    // A long episodic recording has many sweeps: their starts are listed only while few.
    if (r.sweeps.size() > 1 && r.sweeps.size() <= 20)
        for (const RecordingReader::Sweep& s : r.sweeps)
            std::printf("  at %.6g s, %lld frames\n", seconds(s.start), static_cast<long long>(s.frames));
    std::printf("tags: %zu\n", r.tags.size());
    for (const RecordingReader::Tag& t : r.tags)
        std::printf("  at %.6g s (frame %lld): %s\n", seconds(t.frame), static_cast<long long>(t.frame),
                    qPrintable(t.text));
    int64_t lost = 0;
    for (const RecordingReader::Loss& l : r.losses)
        lost += l.frames;
    std::printf("losses: %zu, %lld frames lost\n", r.losses.size(), static_cast<long long>(lost));
    for (const RecordingReader::Loss& l : r.losses)
        std::printf("  %lld frames before frame %lld (%.6g s)\n", static_cast<long long>(l.frames),
                    static_cast<long long>(l.frame), seconds(l.frame));
    for (const QString& note : r.notes)
        std::printf("note: %s\n", qPrintable(note));
    return 0;
}

// A number of the command line within [min, max], nothing after it.
std::optional<double> parseNumber(const std::string& text, double min, double max) {
    size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used != text.size() || !(value >= min && value <= max)) return std::nullopt;
    return value;
}

int analyse(std::vector<std::string> args) {
    kav4cli::AnalyseRequest request;
    const auto number = [&](const char* option, double min, double max) -> std::optional<double> {
        const auto text = takeOption(args, option);
        if (!text) return std::nullopt;
        const std::optional<double> value = parseNumber(*text, min, max);
        if (!value) {
            char range[120];
            std::snprintf(range, sizeof range, "%s must be a number from %g to %g", option, min, max);
            throw UsageError{range};
        }
        return value;
    };
    const std::optional<double> channel = number("--channel", 1, 1e6);
    if (channel && *channel != std::floor(*channel)) throw UsageError{"--channel must be a whole number"};
    if (channel) request.channel = int(*channel);
    request.from = number("--from", 0, 1e9).value_or(0.0);
    request.to = number("--to", 0, 1e9);
    request.noiseWindow = number("--window", 0.1, 600).value_or(request.noiseWindow);
    request.integrationTime = number("--integration", 1, 20).value_or(request.integrationTime);
    request.ivTransient = number("--transient", 0, 10000).value_or(request.ivTransient);
    if (const auto bins = number("--fft-bins", 512, 32768)) {
        request.fftBins = int(*bins);
        if (*bins != request.fftBins || (request.fftBins & (request.fftBins - 1)) != 0)
            throw UsageError{"--fft-bins must be a power of two from 512 to 32768"};
    }
    const auto csv = takeOption(args, "--csv");
    for (const auto& [flag, chosen] :
         {std::pair{"--noise", &request.noise}, std::pair{"--spectrum", &request.spectrum},
          std::pair{"--histogram", &request.histogram}, std::pair{"--events", &request.events},
          std::pair{"--iv", &request.iv}}) {
        const auto at = std::find(args.begin(), args.end(), flag);
        *chosen = at != args.end();
        if (*chosen) args.erase(at);
    }
    for (const std::string& arg : args) {
        if (arg.empty() || arg[0] != '-') continue;
        for (const char* known : {"--channel", "--from", "--to", "--window", "--integration", "--fft-bins",
                                  "--transient", "--csv"})
            if (arg == known) throw UsageError{arg + " needs a value"};
        throw UsageError{"unknown option: " + arg};
    }
    if (args.size() != 1) throw UsageError{"analyse needs one FILE"};
    request.file = args[0];
    if (!request.noise && !request.spectrum && !request.histogram && !request.events && !request.iv)
        throw UsageError{"analyse needs --noise, --spectrum, --histogram, --events or --iv"};
    if (!csv || csv->empty()) throw UsageError{"analyse needs --csv OUT"};
    request.csv = *csv;
    int argc = 1;
    char name[] = "kav4-cli";
    char* argv[] = {name, nullptr};
    // The producer's meter and the consumers' notices are timers and signals of Qt's.
    QCoreApplication application(argc, argv);
    const kav4cli::AnalyseReport report = kav4cli::analyse(request);
    std::printf("analysed: %llu frames (%.6g s, from %.6g s) in %.3f s, %.1f times real time\n",
                static_cast<unsigned long long>(report.frames), report.dataSeconds, report.firstSecond,
                report.elapsedSeconds,
                report.elapsedSeconds > 0 ? report.dataSeconds / report.elapsedSeconds : 0.0);
    return 0;
}

int run(std::vector<std::string> args, kav4sim::SimulatedBus* simulation) {
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "list") {
        if (!args.empty()) throw UsageError{"list takes no argument"};
        return list();
    }
    if (command == "open") {
        if (args.size() != 1) throw UsageError{"open needs one FILE"};
        return openRecording(args[0]);
    }
    if (command == "analyse") return analyse(args);
    if (command == "info") {
        if (args.size() != 1) throw UsageError{"info needs one ID"};
        return info(args[0]);
    }
    if (command != "stream" && command != "record") throw UsageError{"unknown command: " + command};
    const auto secondsText = takeOption(args, "--seconds");
    const auto formatText = takeOption(args, "--format");
    const auto folder = takeOption(args, "--out");
    const auto faultText = takeOption(args, "--inject-faults");
    const auto verify = std::find(args.begin(), args.end(), "--verify-pattern");
    const bool verifyPattern = verify != args.end();
    if (verifyPattern) args.erase(verify);
    if (command == "stream" && (formatText || folder || faultText || verifyPattern))
        throw UsageError{"stream does not record: --format, --out, --inject-faults and --verify-pattern are "
                         "record's"};
    kav4cli::AcquisitionSettings settings;
    try {
        settings = kav4cli::takeSettings(args);
    } catch (const Failure& failure) {
        throw UsageError{failure.text};
    }
    // What is left is the ids; an option here is unknown, or a known one at the end without its value.
    for (const std::string& arg : args) {
        if (arg.empty() || arg[0] != '-') continue;
        for (const char* known : {"--seconds", "--rate", "--range", "--protocol", "--param", "--format",
                                  "--out", "--inject-faults"})
            if (arg == known) throw UsageError{arg + " needs a value"};
        throw UsageError{"unknown option: " + arg};
    }
    if (!secondsText) throw UsageError{command + " needs --seconds S"};
    const std::optional<double> seconds = kav4cli::parseSeconds(*secondsText);
    if (!seconds) {
        char range[80];
        std::snprintf(range, sizeof range, "--seconds must be a number from %g to %g", kav4cli::minSeconds,
                      kav4cli::maxSeconds);
        throw UsageError{range};
    }
    if (args.size() != 1) throw UsageError{command + " needs one ID[,ID...]"};
    if (command == "stream") return stream(splitIds(args[0]), *seconds, settings);

    kav4cli::RecordRequest request;
    request.ids = splitIds(args[0]);
    request.seconds = *seconds;
    request.settings = settings;
    if (!formatText || (*formatText != "dat" && *formatText != "abf"))
        throw UsageError{"record needs --format dat or --format abf"};
    request.format = *formatText == "abf" ? 1 : 0;
    if (!folder || folder->empty()) throw UsageError{"record needs --out DIR"};
    request.folder = *folder;
    request.verifyPattern = verifyPattern;
    if (faultText) {
        const std::optional<double> every = kav4cli::parseSeconds(*faultText);
        if (!every) throw UsageError{"--inject-faults must be a number of seconds from 0.1 to 86400"};
        request.faultSeconds = *every;
    }
    requireKnown(request.ids);
    return kav4cli::record(request, simulation);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::optional<std::string> simulation = kav4sim::takeSimulationList(args);
    if (std::find_if(args.begin(), args.end(),
                     [](const std::string& a) { return a == "-h" || a == "--help"; }) != args.end()) {
        printUsage(std::cout);
        return 0;
    }
    if (args.empty()) {
        printUsage(std::cerr);
        return 2;
    }
    std::shared_ptr<kav4sim::SimulatedBus> bus;
    if (simulation) {
        std::string error;
        bus = kav4sim::installSimulation(*simulation, error);
        if (!bus) {
            std::cerr << "kav4-cli: " << error << "\n";
            return 2;
        }
    } else {
        kv4CommLib::installFtdiDriver(kv4CommLib::makeLibftdiDriver());
    }
    try {
        return run(args, bus.get());
    } catch (const UsageError& error) {
        std::cerr << "kav4-cli: " << error.text << "\n";
        printUsage(std::cerr);
        return 2;
    } catch (const Failure& failure) {
        std::cerr << "kav4-cli: " << failure.text << "\n";
        return 1;
    }
}
