#pragma once
// Runs a program as a user starts it from a shell: with a bare environment (PATH and HOME
// only) unless a case adds to it, standard input closed, standard output and error into files
// of the test's home (never a terminal).

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kv4test {

struct Outcome {
    int status = -1; // the exit code, or 128 + the signal that ended it
    std::string out, err;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A program started and not yet waited for. Its command line and environment (PATH, HOME, the
// sanitizers' options and `extraEnv`) are made before the fork, so that the child only calls exec().
class StartedProgram {
  public:
    StartedProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnv)
        : argv{program}, env{std::string("PATH=") + std::getenv("PATH"),
                             std::string("HOME=") + std::getenv("HOME")} {
        argv.insert(argv.end(), args.begin(), args.end());
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
            if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> argp, envp;
        for (std::string& a : argv)
            argp.push_back(a.data());
        for (std::string& e : env)
            envp.push_back(e.data());
        argp.push_back(nullptr);
        envp.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execve(argp[0], argp.data(), envp.data());
            _exit(127);
        }
    }
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;
    ~StartedProgram() {
        if (pid > 0 && !waited) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void signal(int number) const {
        if (pid > 0) kill(pid, number);
    }
    Outcome wait() {
        Outcome outcome;
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return outcome;
        waited = true;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = readFile(outPath);
        outcome.err = readFile(errPath);
        return outcome;
    }

  private:
    std::vector<std::string> argv, env;
    const std::filesystem::path home = std::getenv("HOME");
    const std::filesystem::path outPath = home / "stdout.txt", errPath = home / "stderr.txt";
    pid_t pid = -1;
    bool waited = false;
};

// Runs `program` with `args` in an environment of PATH, HOME and `extraEnv`, and waits for it.
inline Outcome runProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnv) {
    return StartedProgram(program, args, extraEnv).wait();
}

} // namespace kv4test
