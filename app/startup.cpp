#include "app/startup.h"

#include "accessories/velmorantemperaturecontrolwidget.h"
#include "commlib/types/kv4cltypes.h"
#include "recording/labbookevent.h"

#include <QDir>
#include <QMetaType>
#include <QMutex>
#include <QMutexLocker>
#include <QVector>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

void registerQueuedTypes() {
    qRegisterMetaType<std::vector<std::string>>("std::vector <std::string>");
    qRegisterMetaType<QVector<double>>("QVector <double>");
    qRegisterMetaType<kv4cl::RangedMeasurement_t>("kv4cl::RangedMeasurement_t");
    qRegisterMetaType<LabbookEvent*>("LabbookEventPtr");
    qRegisterMetaType<VelmoranTemperatureControlWidget::Visibility_t>(
        "VelmoranTemperatureControlWidget::Visibility_t");
}

QString missingDisplay(int argc, char** argv) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return {};
    }
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return {};
    return QStringLiteral("no display: set DISPLAY or WAYLAND_DISPLAY, run under xvfb-run, or set "
                          "QT_QPA_PLATFORM (offscreen shows nothing)");
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return {};
#endif
}

QString consoleLine(QtMsgType type, const QString& message) {
    switch (type) {
    case QtDebugMsg:
        return "Debug:    " + message;
    case QtInfoMsg:
        return "Info:     " + message;
    case QtCriticalMsg:
        return "Critical: " + message;
    case QtWarningMsg:
    case QtFatalMsg:
        break;
    }
    return message;
}

namespace {

void writeConsoleLine(QtMsgType type, const QMessageLogContext&, const QString& message) {
    static QMutex mutex;
    if (type == QtFatalMsg) throw std::invalid_argument("assert failure caught");
    const QByteArray line = consoleLine(type, message).toLocal8Bit() + '\n';
    QMutexLocker lock(&mutex);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

} // namespace

void installConsoleMessageHandler() {
    qInstallMessageHandler(writeConsoleLine);
}

QStringList workingFolders() {
    QStringList folders;
    for (const char* folder :
         {"/KAV4/Recordings/", "/KAV4/Protocols/", "/KAV4/Logs/", "/KAV4/Analysis/", "/KAV4/Labbooks/"})
        folders << QDir::homePath() + folder;
    return folders;
}

QStringList createWorkingFolders() {
    QStringList failed;
    for (const QString& folder : workingFolders())
        if (!QDir().mkpath(folder)) failed << folder;
    return failed;
}
