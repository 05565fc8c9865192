#pragma once
// The "Replay" dock of a recording played back: play and pause, the speed (a multiple of the
// recording's pace, or as fast as the plots and analyses take the frames), the position on a
// slider that seeks as it is dragged with the recording's time beside it, a box to go to a time
// and lists of the recording's tags and of the places where it lost frames, to go to one.
//
// Times are the recording's own: in an episodic file with pauses between sweeps a sweep's first
// frame is at the sweep's start, as the tags are; the slider runs over the frames held.

#include <QDockWidget>
#include <QTimer>

#include <cstdint>

class FileSampleSource;
class RecordingReader;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSlider;
class QToolButton;

class ReplayBar : public QDockWidget {
    Q_OBJECT

  public:
    ReplayBar(FileSampleSource& source, const QString& fileName, QWidget* parent = nullptr);

    // "1:02.345": minutes and seconds, hours before them when there are any.
    static QString timeText(double seconds);

  private:
    void setPlaying(bool on);
    void seekTo(int64_t frame);
    // Follows the playback: the slider, unless the user holds it, and the time.
    void showPosition();
    // Between the frames held and the recording's time counted in frames.
    int64_t timeOf(int64_t frame) const;
    int64_t frameAt(int64_t time) const;

    FileSampleSource& source;
    const RecordingReader& recording;
    const double rate;
    // Frames per slider step: a slider counts in int.
    int64_t stride = 1;
    QToolButton* playButton;
    QComboBox* speedBox;
    QSlider* slider;
    QLabel* timeLabel;
    QDoubleSpinBox* goToBox;
    QComboBox* tagBox;
    QComboBox* lossBox;
    QTimer refresh;
};
