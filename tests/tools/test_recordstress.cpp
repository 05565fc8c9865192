// Recordings started and stopped again and again while every core is kept busy: each run of
// kav4-cli record, stopped by its time or by Ctrl+C, must leave files that read back whole in
// pattern mode. Labelled "stress".

#include "tests/tools/programrunner.h"
#include "tools/patternverifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Keeps every core busy for its lifetime.
class BusyMachine {
  public:
    BusyMachine() {
        for (unsigned k = 0; k < std::max(2u, std::thread::hardware_concurrency()); k++)
            threads.emplace_back([this] {
                uint64_t x = 1;
                while (!stop.load(std::memory_order_relaxed))
                    x = x * 6364136223846793005u + 1442695040888963407u;
                sink.fetch_add(x, std::memory_order_relaxed);
            });
    }
    ~BusyMachine() {
        stop = true;
        for (std::thread& t : threads)
            t.join();
    }

  private:
    std::atomic<bool> stop = false;
    std::atomic<uint64_t> sink = 0;
    std::vector<std::thread> threads;
};

// Frames a data file holds so far.
uint64_t framesIn(const fs::path& data) {
    std::error_code error;
    if (data.extension() == ".abf") return kav4cli::abfFrameCount(data);
    const uintmax_t bytes = fs::file_size(data, error);
    return error ? 0 : bytes / (33 * sizeof(float));
}

TEST(RecordStress, StartsAndStopsUnderLoadAndEveryFileIsContiguous) {
    const BusyMachine busy;
    const std::string home = std::getenv("HOME");
    for (int cycle = 0; cycle < 32; cycle++) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const std::string format = cycle % 2 ? "abf" : "dat";
        const std::string folder = home + "/stress" + std::to_string(cycle);
        const bool interrupt = cycle % 4 >= 2;
        kv4test::StartedProgram program(KAV4_CLI,
                                        {"--simulate", "dogwood32", "record", "VDOGWOOD3201", "--seconds",
                                         interrupt ? "60" : "0.3", "--rate", "100k", "--format", format,
                                         "--out", folder, "--verify-pattern"},
                                        {});
        if (interrupt) {
            // Stopped once its first file holds frames; the deadline only bounds a broken run.
            const fs::path data =
                folder + (format == "dat" ? "/file/file_000.dat" : "/file/file_CH032_000.abf");
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (framesIn(data) == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            program.signal(SIGINT);
        }
        const kv4test::Outcome run = program.wait();
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("frames lost: 0\n"), std::string::npos) << run.out;
        // Every frame recorded, stopped by its time or by Ctrl+C, reads back.
        std::smatch recorded;
        ASSERT_TRUE(std::regex_search(run.out, recorded, std::regex("recorded: ([1-9][0-9]*) frames")))
            << run.out;
        EXPECT_NE(run.out.find("pattern: " + recorded[1].str() + " frames read back, contiguous\n"),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(run.out.find("stopped by Ctrl+C") != std::string::npos, interrupt) << run.out;
    }
}

} // namespace
