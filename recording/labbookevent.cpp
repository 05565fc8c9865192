#include "recording/labbookevent.h"

QString LabbookEvent::lineText() const {
    return time + separator + recordingTime;
}

QString LabbookEventPlaceholder::lineText() const {
    // A mark that never got its note is written as an empty note.
    return noteLine("''");
}

QString LabbookEventPlaceholder::noteLine(const QString& noteText) const {
    QString line = LabbookEvent::lineText() + separator + "Written Note" + separator + "'" + noteText + "'";
    if (hasTemperature)
        line += separator + "Temperature: " + QString::number(temperature, 'g', 6) + " [\u00B0C]";
    return line;
}
