#pragma once
// The time of the virtual devices. It runs with the wall clock times a scale, so that a
// test can live through a minute of acquisition in a few seconds; devices that share one
// clock share one timeline, as amplifiers in one rack do.

#include <chrono>
#include <mutex>

namespace kav4sim {

class SimulatedClock {
  public:
    explicit SimulatedClock(double timeScale = 1.0);

    // Simulated seconds since the clock was made.
    double seconds() const;
    // Simulated seconds per wall-clock second from now on; the time itself does not jump.
    void setTimeScale(double timeScale);
    double timeScale() const;

  private:
    using Wall = std::chrono::steady_clock;
    double secondsAt(Wall::time_point wall) const; // caller holds the mutex

    mutable std::mutex mutex;
    Wall::time_point wallBase;
    double base = 0.0;
    double scale;
};

} // namespace kav4sim
