#pragma once
// Runs a program to its end with its output captured, for tests that check files with an
// outside reader (Neo). Not QProcess: Qt starts its children with clone(CLONE_VM), which
// ThreadSanitizer takes for a fork and whose child-side bookkeeping it then does on the parent's
// own thread state, so that the tool no longer sees the test thread's locks and reports races
// that are not there. posix_spawn starts the child below the tool's sight.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace kv4test {

struct ProgramRun {
    bool exited = false; // ended by itself, not by a signal or a failed start
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool succeeded() const { return exited && exitCode == 0; }
};

inline ProgramRun runProgram(const QString& program, const QStringList& arguments) {
    ProgramRun run;
    QTemporaryFile out, err;
    if (!out.open() || !err.open()) {
        run.err = "cannot make the files for the program's output";
        return run;
    }
    std::vector<std::string> argv{program.toStdString()};
    for (const QString& a : arguments)
        argv.push_back(a.toStdString());
    std::vector<char*> argp;
    for (std::string& a : argv)
        argp.push_back(a.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.handle(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.handle(), 2);
    pid_t pid = 0;
    const int started = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        run.err = "cannot start " + program.toUtf8();
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exited = WIFEXITED(status);
    run.exitCode = run.exited ? WEXITSTATUS(status) : -1;
    out.seek(0);
    err.seek(0);
    run.out = out.readAll();
    run.err = err.readAll();
    return run;
}

} // namespace kv4test
