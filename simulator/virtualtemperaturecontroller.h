#pragma once
// A Velmoran temperature controller on a pseudo-terminal: programs open its path as they would
// open the real controller's serial port. It reads command lines (text, two checksum digits,
// carriage return), echoes each one and answers it: status "YTs", chamber temperature
// "YT?5n", set point and regulation "YT?4n", write set point "YTt", reset "YTr", stop "YTd".
// Replies put their fields where the program reads them (after "YT=", or the status after
// "YTs=") and end with their own checksum and a carriage return.
//
// The chamber moves toward the set point at `rate` while regulation is on and drifts back to
// the ambient temperature at `driftRate` while it is off. On demand the controller stops
// answering, answers garbage or a megabyte of digits, asks to be reset, or vanishes (its pty is
// closed).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kav4sim {

class VirtualTemperatureController {
  public:
    struct Options {
        double ambient = 22.0;  // degrees Celsius
        double rate = 0.5;      // degrees per second toward the set point while regulating
        double driftRate = 0.1; // degrees per second back to ambient while not
    };
    // Digits: every command is answered by a megabyte of "0123456789..." without the echo; what
    // does not fit the pty's buffer is lost, as on a serial line nobody reads.
    enum class Behaviour { Answering, Silent, Garbage, Digits };

    // Opens the pty and starts answering. Throws std::runtime_error when no pty can be had.
    explicit VirtualTemperatureController(Options options);
    VirtualTemperatureController() : VirtualTemperatureController(Options{}) {}
    ~VirtualTemperatureController();
    VirtualTemperatureController(const VirtualTemperatureController&) = delete;
    VirtualTemperatureController& operator=(const VirtualTemperatureController&) = delete;

    // The path a program opens, e.g. /dev/pts/3.
    const std::string& path() const { return slavePath; }
    // False once vanished.
    bool present() const;

    void setBehaviour(Behaviour behaviour);
    // The status digit of the next answers: 1 or 6 ask for a reset, which sets it back to 0.
    void setStatus(char digit);
    // Closes the pty: the port is gone for good.
    void vanish();

    // Every command line received whole, carriage return included, in order.
    std::vector<std::string> commands() const;
    double temperature(); // now
    double setPoint() const;
    bool regulating() const;

  private:
    void run();
    void handle(const std::string& line);
    std::string answerTo(const std::string& text); // a command whose checksum is right
    void send(const std::string& text);
    void advance(); // moves the chamber temperature up to now
    void closeFds();

    const Options options;
    std::string slavePath;
    int masterFd = -1;
    int slaveFd = -1; // held so that the master never sees a hang-up between two openings
    int wakeFds[2] = {-1, -1};

    mutable std::mutex mutex;
    Behaviour behaviour = Behaviour::Answering;
    char status = '0';
    bool gone = false;
    std::vector<std::string> received;
    double chamber;
    double target = 25.0;
    bool regulation = false;
    std::chrono::steady_clock::time_point updated;

    std::thread worker;
};

} // namespace kav4sim
