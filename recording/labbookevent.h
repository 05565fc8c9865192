#pragma once
// Lab book entries. Whoever has something to note (the user, an analysis, the connection
// watch) builds an entry and hands it over with a labbookEvent(LabbookEvent*) signal; the
// lab book takes ownership, stamps the times and writes the entry's line.

#include <QMetaType>
#include <QString>

#include <cstdint>

class LabbookEvent {
  public:
    enum Type : uint32_t {
        TypePlaceholder = 0,
        TypeWrittenNote = 1,
        TypeMembraneMonitor = 2,
        TypeNoiseReport = 3,
        TypeRCEstimation = 4,
        TypeEventsDetection = 6,
        TypeIVGraph = 7,
    };

    explicit LabbookEvent(uint32_t type = TypePlaceholder) : type(type) {}
    virtual ~LabbookEvent() = default;

    // The whole entry as written to the lab book files.
    virtual QString lineText() const;
    // A short form for read-outs; empty for entries without values.
    virtual QString summaryText() const { return {}; }
    // Brings the entry's measurements to readable prefixes, once.
    virtual void prepareValues() {}

    uint32_t type;
    QString time;                            // "hh:mm:ss.zzz", set on arrival
    QString recordingTime = "Not Recording"; // since the recording started, set on arrival
    QString separator = ", ";
    bool valuesPrepared = false;
};
Q_DECLARE_METATYPE(LabbookEvent*)

// A moment marked without text yet; the next note takes its time.
class LabbookEventPlaceholder : public LabbookEvent {
  public:
    LabbookEventPlaceholder() : LabbookEvent(TypePlaceholder) {}
    QString lineText() const override;

    bool hasTemperature = false;
    double temperature = 0.0; // degrees Celsius

  protected:
    explicit LabbookEventPlaceholder(uint32_t type) : LabbookEvent(type) {}
    QString noteLine(const QString& text) const;
};

class LabbookEventWrittenNote : public LabbookEventPlaceholder {
  public:
    explicit LabbookEventWrittenNote(QString text)
        : LabbookEventPlaceholder(TypeWrittenNote), text(std::move(text)) {}
    QString lineText() const override { return noteLine(text); }

    QString text;
};
