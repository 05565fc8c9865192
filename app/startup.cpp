#include "app/startup.h"

#include "app/devicedataconsumer.h"
#include "commlib/api/kv4cltypes.h"
#include "recording/labbookevent.h"

#include <QDir>
#include <QMetaType>
#include <QMutex>
#include <QMutexLocker>
#include <QVector>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

void registerQueuedTypes() {
    qRegisterMetaType<std::vector<std::string>>("std::vector <std::string>");
    qRegisterMetaType<QVector<double>>("QVector <double>");
    qRegisterMetaType<DeviceDataConsumer::Types_t>("DeviceDataConsumer::Types_t");
    qRegisterMetaType<kv4cl::RangedMeasurement_t>("kv4cl::RangedMeasurement_t");
    qRegisterMetaType<LabbookEvent*>("LabbookEventPtr");
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
