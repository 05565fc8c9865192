#include "simulator/simulatedclock.h"

#include <stdexcept>

namespace kav4sim {

SimulatedClock::SimulatedClock(double timeScale) : wallBase(Wall::now()), scale(timeScale) {
    if (!(timeScale > 0)) throw std::invalid_argument("the time scale must be positive");
}

double SimulatedClock::secondsAt(Wall::time_point wall) const {
    return base + std::chrono::duration<double>(wall - wallBase).count() * scale;
}

double SimulatedClock::seconds() const {
    std::lock_guard lock(mutex);
    return secondsAt(Wall::now());
}

void SimulatedClock::setTimeScale(double timeScale) {
    if (!(timeScale > 0)) throw std::invalid_argument("the time scale must be positive");
    std::lock_guard lock(mutex);
    const Wall::time_point now = Wall::now();
    base = secondsAt(now);
    wallBase = now;
    scale = timeScale;
}

double SimulatedClock::timeScale() const {
    std::lock_guard lock(mutex);
    return scale;
}

} // namespace kav4sim
