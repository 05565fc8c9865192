#include "simulator/virtualtemperaturecontroller.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kav4sim {

namespace {

std::string checksum(const std::string& text) {
    unsigned sum = 0;
    for (const char c : text)
        sum += uint8_t(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum % 256);
    return digits;
}

// Tenths of a degree as four hexadecimal digits, negative ones in two's complement.
std::string tenths(double celsius) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04X", unsigned(int(std::lround(celsius * 10.0))) & 0xFFFFu);
    return digits;
}

// Not a reply at all: no echo, and no hexadecimal digit nor status where fields are read.
const std::string garbage("\xff#GARBAGE\x00!\r", 12);

} // namespace

VirtualTemperatureController::VirtualTemperatureController(Options options)
    : options(options), chamber(options.ambient), updated(std::chrono::steady_clock::now()) {
    // Raw from the start: a line discipline that echoed or waited for lines would answer for us.
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B38400);
    char name[256] = {};
    if (openpty(&masterFd, &slaveFd, name, &raw, nullptr) != 0)
        throw std::runtime_error("no pseudo-terminal for the virtual temperature controller");
    slavePath = name;
    // Replies that do not fit are dropped rather than left to block the thread.
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    if (pipe(wakeFds) != 0) {
        closeFds();
        throw std::runtime_error("no wake-up pipe for the virtual temperature controller");
    }
    worker = std::thread(&VirtualTemperatureController::run, this);
}

VirtualTemperatureController::~VirtualTemperatureController() {
    vanish();
}

void VirtualTemperatureController::vanish() {
    {
        std::lock_guard lock(mutex);
        if (gone) return;
        gone = true;
    }
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFds[1], &wake, 1);
    worker.join();
    closeFds();
}

void VirtualTemperatureController::closeFds() {
    for (int* fd : {&masterFd, &slaveFd, &wakeFds[0], &wakeFds[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool VirtualTemperatureController::present() const {
    std::lock_guard lock(mutex);
    return !gone;
}

void VirtualTemperatureController::setBehaviour(Behaviour b) {
    std::lock_guard lock(mutex);
    behaviour = b;
}

void VirtualTemperatureController::setStatus(char digit) {
    std::lock_guard lock(mutex);
    status = digit;
}

std::vector<std::string> VirtualTemperatureController::commands() const {
    std::lock_guard lock(mutex);
    return received;
}

double VirtualTemperatureController::temperature() {
    std::lock_guard lock(mutex);
    advance();
    return chamber;
}

double VirtualTemperatureController::setPoint() const {
    std::lock_guard lock(mutex);
    return target;
}

bool VirtualTemperatureController::regulating() const {
    std::lock_guard lock(mutex);
    return regulation;
}

void VirtualTemperatureController::advance() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - updated).count();
    updated = now;
    const double goal = regulation ? target : options.ambient;
    const double step = (regulation ? options.rate : options.driftRate) * seconds;
    chamber = chamber < goal ? std::min(goal, chamber + step) : std::max(goal, chamber - step);
}

void VirtualTemperatureController::run() {
    std::string line;
    while (true) {
        pollfd fds[2] = {{masterFd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        char bytes[256];
        const ssize_t count = read(masterFd, bytes, sizeof bytes);
        if (count <= 0) continue;
        for (ssize_t i = 0; i < count; i++) {
            line += bytes[i];
            if (bytes[i] != '\r') continue;
            handle(line);
            line.clear();
        }
    }
}

void VirtualTemperatureController::handle(const std::string& line) {
    std::string reply;
    {
        std::lock_guard lock(mutex);
        received.push_back(line);
        if (behaviour == Behaviour::Silent) return;
        if (behaviour == Behaviour::Garbage) {
            reply = garbage;
        } else if (behaviour == Behaviour::Digits) {
            reply.resize(size_t{1} << 20);
            for (size_t i = 0; i < reply.size(); i++)
                reply[i] = char('0' + i % 10);
        } else {
            advance();
            const std::string text = line.size() >= 3 ? line.substr(0, line.size() - 3) : "";
            const bool valid = line.size() >= 3 && checksum(text) == line.substr(text.size(), 2);
            // A bad checksum is answered as an error, like a command it does not know.
            const std::string answer = valid ? answerTo(text) : "YT=ER";
            reply = line + answer + checksum(answer) + "\r";
        }
    }
    send(reply);
}

std::string VirtualTemperatureController::answerTo(const std::string& text) {
    if (text == "YTs") return std::string("YTs=") + status + (regulation ? '8' : '0');
    if (text.rfind("YT?5", 0) == 0) return "YT=" + tenths(chamber);
    if (text.rfind("YT?4", 0) == 0) return "YT=" + tenths(target) + (regulation ? "01" : "00");
    int setTenths = 0;
    if (text.rfind("YTt", 0) == 0 && text.size() == 11 &&
        std::from_chars(text.data() + 5, text.data() + 9, setTenths, 16).ptr == text.data() + 9) {
        target = int16_t(setTenths) / 10.0;
        regulation = text.substr(9, 2) != "00";
        return "YT=OK";
    }
    if (text == "YTr") {
        status = '0';
        return "YT=OK";
    }
    if (text == "YTd") {
        regulation = false;
        return "YT=OK";
    }
    return "YT=ER";
}

void VirtualTemperatureController::send(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t count = write(masterFd, text.data() + sent, text.size() - sent);
        if (count <= 0) return;
        sent += size_t(count);
    }
}

} // namespace kav4sim
