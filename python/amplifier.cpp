// The compiled part of scripting the amplifiers: the driver chosen once (the virtual bus or the
// USB amplifiers), the devices found, and one connected device set driven through the
// program's own session, stimulus service and recording service, so that a script sends the
// device what the window sends. python/kav4/__init__.py documents and wraps what is here.

// Python's headers before Qt's, whose "slots" keyword is a member name in Python's.
#include "python/amplifier.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "commlib/api/kv4cl.h"
#include "commlib/transport/libftdidriver.h"
#include "recording/labbookfiles.h"
#include "recording/recordingplan.h"
#include "session/devicesession.h"
#include "session/recordingservice.h"
#include "session/stimulusservice.h"
#include "simulator/simulation.h"

#include "acquisition/datahook.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace py = pybind11;

namespace {

// Raised for what the library refuses; made once, kept for the process's life.
PyObject* deviceError = nullptr;

// The library's messages break lines for dialogs; a script's reader takes them on one.
[[noreturn]] void fail(std::string text, kv4cl::ErrorCodes_t code = kv4cl::Success) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    py::object error = py::handle(deviceError)(text);
    error.attr("code") = unsigned(code);
    PyErr_SetObject(deviceError, error.ptr());
    throw py::error_already_set();
}

// The library's message, on one line, and its code.
void check(kv4cl::ErrorCodes_t code, const std::string& what) {
    if (code == kv4cl::Success) return;
    const std::string message = kv4cl::errorMessage(code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", unsigned(code));
    fail(what + ": " + message + " (" + hex + ")", code);
}

// The driver is chosen once: the one of the first call, which the later ones must repeat.
std::shared_ptr<kav4sim::SimulatedBus> bus;
std::optional<std::string> driver; // the simulated models, or "" for the USB amplifiers
bool connected = false;

void chooseDriver(const std::string& simulate) {
    if (driver) {
        if (*driver == simulate) return;
        if (connected) fail("the amplifiers are connected: close them before choosing another driver");
    }
    if (simulate.empty()) {
        bus.reset();
        kv4CommLib::installFtdiDriver(kv4CommLib::makeLibftdiDriver());
    } else {
        std::string error;
        std::shared_ptr<kav4sim::SimulatedBus> made = kav4sim::installSimulation(simulate, error);
        if (!made) throw py::value_error(error);
        bus = std::move(made);
    }
    driver = simulate;
}

// Qt's timers and queued signals (the producer's meter, the writers' news) need an application
// object in the thread that drives the session: Python's.
void ensureApplication() {
    static int argc = 1;
    static char name[] = "kav4";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

py::tuple rangeTuple(const kv4cl::RangedMeasurement_t& r) {
    return py::make_tuple(r.min, r.max, r.step, r.label());
}

} // namespace

Amplifier::Amplifier(const std::vector<std::string>& deviceIds) : ids(deviceIds) {
    if (!driver) fail("no driver chosen: call kav4.devices() first");
    ensureApplication();
    kv4cl::ErrorCodes_t code = kv4cl::Success;
    session = DeviceSession::open(ids, code);
    check(code, "connect");
    connected = true;
    // The writers are filed before the ranges and the rate are handed out, so that they get them.
    recorder = new RecordingService(*session); // the session's child
    session->seedRanges();
    announceRate();
    session->start();
}

Amplifier::~Amplifier() {
    close();
}

void Amplifier::close() {
    if (!session) return;
    {
        py::gil_scoped_release free;
        if (recorder) recorder->stop();
        session.reset(); // stops the producer and the writers, then disconnects
    }
    recorder = nullptr;
    labbook.reset();
    connected = false;
}

DeviceSession& Amplifier::open() const {
    if (!session) fail("the amplifiers are closed");
    return *session;
}

void Amplifier::announceRate() {
    kv4cl::Measurement_t base;
    check(kv4cl::getSamplingRate(base), "sampling rate");
    uint16_t ratio = 1;
    kv4cl::getOversamplingRatio(ratio);
    kv4cl::Measurement_t real = base;
    real.value *= ratio;
    open().onSamplingRateChanged(base, real);
    realRate = real.getNoPrefixValue();
}

py::dict Amplifier::describe() const {
    const DeviceSession::Features& f = open().features();
    py::dict out;
    out["model"] = f.model.toStdString();
    out["voltage"] = f.channels.voltage;
    out["current"] = f.channels.current;
    py::list gp;
    for (const QString& name : open().producer()->gpChannelNames())
        gp.append(name.toStdString());
    out["gp"] = gp;
    return out;
}

py::list Amplifier::units() const {
    const DeviceSession::Features& f = open().features();
    py::list out;
    kv4cl::RangedMeasurement_t r;
    for (uint16_t c = 0; c < f.channels.current; c++) {
        check(kv4cl::getCurrentRange(r, c), "current range");
        out.append(r.label());
    }
    for (uint16_t g = 0; g < f.channels.gp; g++)
        out.append(kv4cl::getGpRange(r, g) == kv4cl::Success ? r.label() : std::string());
    for (uint32_t v = 0; v < f.channels.voltage; v++) {
        check(kv4cl::getVoltageRange(r), "voltage range");
        out.append(r.label());
    }
    return out;
}

py::dict Amplifier::choices() const {
    open();
    py::dict out;
    std::vector<kv4cl::RangedMeasurement_t> ranges;
    uint16_t selected = 0;
    py::list current, voltage, rates, ratios;
    check(kv4cl::getCurrentRanges(ranges, selected), "current ranges");
    for (const auto& r : ranges)
        current.append(rangeTuple(r));
    if (kv4cl::getVoltageRanges(ranges, selected) == kv4cl::Success)
        for (const auto& r : ranges)
            voltage.append(rangeTuple(r));
    std::vector<kv4cl::Measurement_t> nominal;
    check(kv4cl::getSamplingRates(nominal, selected), "sampling rates");
    for (const auto& m : nominal)
        rates.append(m.getNoPrefixValue());
    std::vector<uint16_t> oversampling;
    if (kv4cl::getOversamplingRatios(oversampling, selected) == kv4cl::Success)
        for (uint16_t r : oversampling)
            ratios.append(r);
    out["current_ranges"] = current;
    out["voltage_ranges"] = voltage;
    out["rates"] = rates;
    out["oversampling"] = ratios;
    return out;
}

void Amplifier::setRate(int index) {
    open();
    check(kv4cl::setSamplingRate(uint16_t(index)), "sampling rate");
    announceRate();
}

void Amplifier::setOversampling(int index) {
    open();
    check(kv4cl::setOversamplingRatio(uint16_t(index)), "oversampling ratio");
    announceRate();
}

void Amplifier::setCurrentRange(int index, int channel) {
    DeviceSession& s = open();
    const int channels = int(s.features().channels.current);
    check(kv4cl::setCurrentRange(uint16_t(index), uint16_t(channel)), "current range");
    kv4cl::RangedMeasurement_t r;
    for (int c = channel == channels ? 0 : channel; c < (channel == channels ? channels : channel + 1); c++)
        if (kv4cl::getCurrentRange(r, uint16_t(c)) == kv4cl::Success) s.onCurrentRangeChanged(r, c);
}

void Amplifier::setVoltageRange(int index) {
    DeviceSession& s = open();
    check(kv4cl::setVoltageRange(uint16_t(index)), "voltage range");
    kv4cl::RangedMeasurement_t r;
    check(kv4cl::getVoltageRange(r), "voltage range");
    s.onVoltageRangeChanged(r);
}

void Amplifier::setFilter(double cutoff, bool lowPass, bool enabled) {
    open();
    check(kv4cl::setDigitalFilter({cutoff, kv4cl::UnitPfxNone, "Hz"}, lowPass, enabled), "digital filter");
}

StimulusService& Amplifier::stimulus() const {
    StimulusService* service = open().stimulus();
    if (!service) fail("this model has no voltage protocols");
    return *service;
}

py::list Amplifier::protocols() const {
    const ProtocolTable& table = stimulus().table();
    py::list out;
    for (const ProtocolTable::Protocol& p : table.protocols) {
        py::list parameters;
        for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
            for (uint16_t i : p.parameters[f]) {
                const ProtocolTable::Parameter& q = table.parameters[f][i];
                parameters.append(py::make_tuple(q.name.toStdString(), f, i, rangeTuple(q.range),
                                                 stimulus().value(ProtocolTable::Family(f), i)));
            }
        out.append(py::make_tuple(p.name.toStdString(), parameters));
    }
    return out;
}

void Amplifier::applyProtocol(int protocol, const std::vector<std::tuple<int, int, double>>& values) {
    StimulusService& s = stimulus();
    s.select(protocol);
    for (const auto& [family, index, value] : values) {
        const auto f = ProtocolTable::Family(family);
        const double before = s.value(f, uint16_t(index));
        s.setValue(f, uint16_t(index), value);
        if (!s.valid()) {
            const std::string why = s.message().toStdString();
            s.setValue(f, uint16_t(index), before); // the choice stays one the library takes
            fail(why, kv4cl::ErrorValueOutOfRange);
        }
    }
    if (!s.valid()) fail(s.message().toStdString(), kv4cl::ErrorValueOutOfRange);
    if (!s.apply()) fail("the amplifier did not take the protocol");
}

// Rows are read straight from the ring's 32-bit floats, in a recording's column order; a read
// that waits longer than `timeout` for the first row is released by a guard thread.
py::tuple Amplifier::read(int64_t frames, double timeout) {
    DeviceSession& s = open();
    if (!hook) {
        hook = s.producer()->getDataHook();
        hook->keepGaps = true;
        streamStart = hook->row;
    }
    const size_t width = hook->ring.rowWidth();
    py::array_t<float> out({py::ssize_t(frames), py::ssize_t(width)});
    float* to = out.mutable_data();
    int64_t have = 0;
    py::list losses;
    while (have < frames) {
        bool timedOut = false;
        {
            py::gil_scoped_release free;
            std::mutex mutex;
            std::condition_variable done;
            bool finished = false;
            std::thread guard([&] {
                std::unique_lock lock(mutex);
                if (!done.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return finished; })) {
                    timedOut = true;
                    releaseReads(*hook);
                }
            });
            const FloatRows rows =
                peekFloats(*hook, true, 0, uint32_t(std::min<int64_t>(frames - have, 1 << 16)));
            std::memcpy(to + size_t(have) * width, rows.rows, size_t(rows.count) * width * sizeof(float));
            if (takePeeked(*hook, rows.count)) have += rows.count;
            {
                std::lock_guard lock(mutex);
                finished = true;
            }
            done.notify_one();
            guard.join();
        }
        for (const SampleRing::Gap& gap : hook->gaps)
            losses.append(py::make_tuple(int64_t(gap.row - streamStart), int64_t(gap.frames)));
        hook->gaps.clear();
        if (timedOut && have < frames) {
            hook.reset(); // released for good: the next stream starts anew
            char text[96];
            std::snprintf(text, sizeof text,
                          "no data from the amplifiers for %g s: are they still connected?", timeout);
            fail(text);
        }
        if (timedOut) { // the guard woke as the rows came: reads wait again
            std::lock_guard lock(hook->ring.mutex);
            hook->released = false;
        }
        if (PyErr_CheckSignals() != 0) {
            hook.reset();
            throw py::error_already_set();
        }
    }
    return py::make_tuple(out, losses);
}

void Amplifier::endStream() {
    hook.reset();
}

std::string Amplifier::record(const std::string& folder, const std::string& name, double seconds,
                              int format) {
    open();
    if (!RecordingPlan::isAcceptableName(QString::fromStdString(name)))
        throw py::value_error("a recording name holds letters, digits, underscores and blanks: \"" + name +
                              "\"");
    if (!QDir().mkpath(QString::fromStdString(folder))) fail("cannot make the folder " + folder);
    plan = std::make_unique<RecordingPlan>();
    plan->format = format;
    plan->path = QDir(QString::fromStdString(folder)).absolutePath() + "/";
    plan->name = QString::fromStdString(name);
    plan->settings.unlimitedRecording = false;
    plan->settings.recordLength = std::max(1.0, std::round(seconds * realRate));
    if (!labbook) {
        labbook = std::make_unique<LabbookFiles>();
        QStringList previous;
        labbook->openNewest(previous);
        recorder->setLabbook(labbook.get());
    }
    recorder->setPlan(plan.get());

    QEventLoop loop;
    QString first, failure;
    bool interrupted = false;
    const QMetaObject::Connection c1 =
        QObject::connect(recorder, &RecordingService::newRecordFile, &loop, [&](const QString& file) {
            if (first.isEmpty()) first = file;
        });
    const QMetaObject::Connection c2 = QObject::connect(recorder, &RecordingService::failed, &loop,
                                                        [&](const QString& text) { failure = text; });
    const QMetaObject::Connection c3 =
        QObject::connect(recorder, &RecordingService::recording, &loop, [&](bool on) {
            if (!on) loop.quit();
        });
    // Ctrl+C in the script stops the recording with its files closed.
    QTimer interrupts;
    QObject::connect(&interrupts, &QTimer::timeout, &loop, [&] {
        py::gil_scoped_acquire held;
        if (PyErr_CheckSignals() != 0) {
            interrupted = true;
            recorder->stop();
        }
    });
    if (!recorder->start()) fail(failure.isEmpty() ? "the recording did not start" : failure.toStdString());
    interrupts.start(100);
    {
        py::gil_scoped_release free;
        loop.exec();
    }
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    QObject::disconnect(c3);
    if (interrupted) throw py::error_already_set();
    if (!failure.isEmpty()) fail(failure.toStdString());
    if (first.isEmpty()) fail("the recording wrote no file");
    // A DAT recording is opened through its header, which names all its files.
    return (format == 0 ? plan->folder() + plan->recordName() + ".kdh" : plan->path + first + ".abf")
        .toStdString();
}

void bindAmplifier(py::module_& m) {
    deviceError = PyErr_NewException("_kav4.DeviceError", PyExc_RuntimeError, nullptr);
    m.attr("DeviceError") = py::handle(deviceError);
    m.def(
        "devices",
        [](const std::string& simulate) {
            chooseDriver(simulate);
            std::vector<std::string> found;
            const kv4cl::ErrorCodes_t code = kv4cl::detectDevices(found);
            if (code != kv4cl::ErrorNoDevicesDetected) check(code, "detection");
            return found;
        },
        py::arg("simulate"));
    // The virtual amplifiers' pattern and faults, for the module's own tests.
    m.def("_virtual", [](const std::string& id, const std::string& what, int64_t value) {
        kav4sim::VirtualAmplifier* amplifier = bus ? bus->amplifier(id) : nullptr;
        if (!amplifier) throw py::value_error(id + " is not a virtual amplifier");
        if (what == "pattern")
            amplifier->setPatternMode(value != 0);
        else if (what == "drop")
            amplifier->dropPackets(size_t(value));
        else if (what == "unplug")
            amplifier->unplug();
        else if (what == "replug")
            amplifier->replug();
        else
            throw py::value_error("no such fault: " + what);
    });
    py::class_<Amplifier>(m, "Amplifier")
        .def(py::init<const std::vector<std::string>&>())
        .def("close", &Amplifier::close)
        .def("describe", &Amplifier::describe)
        .def("units", &Amplifier::units)
        .def("choices", &Amplifier::choices)
        .def_property_readonly("rate", [](const Amplifier& a) { return a.rate(); })
        .def("set_rate", &Amplifier::setRate)
        .def("set_oversampling", &Amplifier::setOversampling)
        .def("set_current_range", &Amplifier::setCurrentRange)
        .def("set_voltage_range", &Amplifier::setVoltageRange)
        .def("set_filter", &Amplifier::setFilter)
        .def("protocols", &Amplifier::protocols)
        .def("apply_protocol", &Amplifier::applyProtocol)
        .def("read", &Amplifier::read)
        .def("end_stream", &Amplifier::endStream)
        .def("record", &Amplifier::record);
}
