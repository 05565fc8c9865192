// The compiled part of the Python module: a recording opened by the program's own reader, its
// description as plain Python values and its frames as NumPy arrays; the amplifiers are bound
// in amplifier.cpp. The package's Python face (python/kav4/__init__.py) documents and wraps
// what is here.

#include "python/amplifier.h"
#include "recording/recordingreader.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
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

// A Python list of what `item` makes of each of `items`.
template <typename Items, typename Item> py::list listOf(const Items& items, Item item) {
    py::list out;
    for (const auto& one : items)
        out.append(std::invoke(item, one));
    return out;
}

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
                                   return listOf(r.channels, [](const RecordingReader::Channel& c) {
                                       return py::make_tuple(c.name.toStdString(), c.unit.toStdString(),
                                                             kindName(c.kind), c.rate, c.step, c.zero);
                                   });
                               })
        .def_property_readonly("sweeps",
                               [](const RecordingReader& r) {
                                   return listOf(r.sweeps, [](const RecordingReader::Sweep& s) {
                                       return py::make_tuple(s.start, s.frames);
                                   });
                               })
        .def_property_readonly("tags",
                               [](const RecordingReader& r) {
                                   return listOf(r.tags, [](const RecordingReader::Tag& t) {
                                       return py::make_tuple(t.frame, t.text.toStdString());
                                   });
                               })
        .def_property_readonly("losses",
                               [](const RecordingReader& r) {
                                   return listOf(r.losses, [](const RecordingReader::Loss& l) {
                                       return py::make_tuple(l.frame, l.frames);
                                   });
                               })
        .def_property_readonly(
            "notes", [](const RecordingReader& r) { return listOf(r.notes, &QString::toStdString); })
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
