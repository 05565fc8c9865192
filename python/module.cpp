// The compiled part of the Python module: a recording opened by the program's own reader, its
// description as plain Python values and its frames as NumPy arrays; the amplifiers are bound
// in amplifier.cpp. The package's Python face (python/kav4/__init__.py) documents and wraps
// what is here.

#include "python/amplifier.h"
#include "recording/recordingreader.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>

namespace py = pybind11;

namespace {

const char* kindName(RecordingReader::Kind kind) {
    switch (kind) {
    case RecordingReader::Kind::Voltage:
        return "voltage";
    case RecordingReader::Kind::Current:
        return "current";
    case RecordingReader::Kind::Other:
        break;
    }
    return "other";
}

struct RecordingError {};

} // namespace

PYBIND11_MODULE(_kav4, m) {
    m.doc() = "The compiled part of kav4: use the kav4 package.";
    bindAmplifier(m);
    static py::exception<RecordingError> error(m, "RecordingError", PyExc_OSError);

    py::class_<RecordingReader, std::unique_ptr<RecordingReader>>(m, "Reader")
        .def_static(
            "open",
            [](const std::string& path) {
                QString why;
                std::unique_ptr<RecordingReader> reader =
                    RecordingReader::open(QString::fromStdString(path), why);
                if (!reader) {
                    PyErr_SetString(error.ptr(), why.toStdString().c_str());
                    throw py::error_already_set();
                }
                return reader;
            },
            py::arg("path"))
        .def_property_readonly("format", [](const RecordingReader& r) { return r.format.toStdString(); })
        .def_property_readonly("frames", [](const RecordingReader& r) { return r.frames; })
        .def_property_readonly("start",
                               [](const RecordingReader& r) -> py::object {
                                   if (!r.start.isValid()) return py::none();
                                   return py::str(r.start.toString(Qt::ISODateWithMs).toStdString());
                               })
        .def_property_readonly("channels",
                               [](const RecordingReader& r) {
                                   py::list out;
                                   for (const RecordingReader::Channel& c : r.channels)
                                       out.append(py::make_tuple(c.name.toStdString(), c.unit.toStdString(),
                                                                 kindName(c.kind), c.rate, c.step, c.zero));
                                   return out;
                               })
        .def_property_readonly("sweeps",
                               [](const RecordingReader& r) {
                                   py::list out;
                                   for (const RecordingReader::Sweep& s : r.sweeps)
                                       out.append(py::make_tuple(s.start, s.frames));
                                   return out;
                               })
        .def_property_readonly("tags",
                               [](const RecordingReader& r) {
                                   py::list out;
                                   for (const RecordingReader::Tag& t : r.tags)
                                       out.append(py::make_tuple(t.frame, t.text.toStdString()));
                                   return out;
                               })
        .def_property_readonly("losses",
                               [](const RecordingReader& r) {
                                   py::list out;
                                   for (const RecordingReader::Loss& l : r.losses)
                                       out.append(py::make_tuple(l.frame, l.frames));
                                   return out;
                               })
        .def_property_readonly("notes",
                               [](const RecordingReader& r) {
                                   py::list out;
                                   for (const QString& n : r.notes)
                                       out.append(n.toStdString());
                                   return out;
                               })
        .def(
            "read",
            [](const RecordingReader& r, int64_t first, int64_t count) {
                if (first < 0 || count < 0 || first > r.frames || count > r.frames - first)
                    throw py::index_error("frames " + std::to_string(first) + " to " +
                                          std::to_string(first + count) + " are not in the recording's " +
                                          std::to_string(r.frames));
                py::array_t<float> out({py::ssize_t(count), py::ssize_t(r.channels.size())});
                bool done = true;
                {
                    // The files are mapped: the copy may wait on the disk, not on Python.
                    py::gil_scoped_release free;
                    done = count == 0 || r.read(first, count, out.mutable_data());
                }
                if (!done) {
                    PyErr_SetString(error.ptr(), "the recording's files could not be read there");
                    throw py::error_already_set();
                }
                return out;
            },
            py::arg("first"), py::arg("count"));
}
