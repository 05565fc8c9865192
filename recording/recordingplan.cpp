#include "recording/recordingplan.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>

const QString RecordingPlan::defaultName = "file";

bool RecordingPlan::isAcceptableName(const QString& name) {
    static const QRegularExpression pattern("^[a-zA-Z0-9_ ]+$");
    return pattern.match(name).hasMatch();
}

QString RecordingPlan::fileName(bool continuation, const QString& suffix, const QString& extension,
                                QString& displayName) {
    if (!continuation) {
        // The name may have been left empty, or set around the dialog's validator.
        chosenName = isAcceptableName(name) ? name : defaultName;
        if (appendDate) chosenName += QDateTime::currentDateTime().toString("_yyMMddhhmmss");
        QString folderName = chosenName;
        for (int k = 1; QFileInfo::exists(path + folderName); k++)
            folderName = chosenName + "_" + QString::number(k);
        recordFolder = path + folderName + "/";
        relativeFolder = folderName + "/";
        // The folder is new, so no file in it is taken yet.
        fileCounter = 0;
    }
    const QString counterPart = suffix + QString("_%1").arg(fileCounter++, 3, 10, QChar('0'));
    displayName = relativeFolder + chosenName + QString(counterPart).replace("%1", "001");
    return recordFolder + chosenName + counterPart + extension;
}
