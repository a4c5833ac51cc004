// Runs this build's programs as other processes for tests: each test gets a private folder that is
// the programs' root (SONVEXA_ROOT) and holds what they print; the folder goes with the runner.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace test_support {

struct ProgramResult
{
    int status = -1; // exit code, or -1 when the program did not exit by itself
    int signal = 0;  // the signal that ended it, 0 when it exited
    std::string out;
    std::string err;
};

class ProgramRunner
{
public:
    ProgramRunner();
    ~ProgramRunner();
    ProgramRunner(const ProgramRunner&) = delete;
    ProgramRunner& operator=(const ProgramRunner&) = delete;

    // Empty when no private folder could be made.
    const std::string& root() const { return mRoot; }

    // Variables ("NAME=value") the programs get beside SONVEXA_ROOT, for those started from now on.
    void setEnvironment(std::vector<std::string> variables) { mEnvironment = std::move(variables); }

    // Starts `program` with `arguments`, its standard output and error going to NAME.out and
    // NAME.err under the root; -1 when it could not be started.
    pid_t start(const std::string& program, std::vector<std::string> arguments, const std::string& name);
    // Waits for a started program and collects what it printed.
    ProgramResult finish(pid_t pid, const std::string& name) const;
    // Sends `signal`, then waits as finish does.
    ProgramResult stop(pid_t pid, int signal, const std::string& name) const;
    ProgramResult run(const std::string& program, const std::vector<std::string>& arguments);

    // A file under the root, whole; empty when it cannot be read.
    std::string read(const std::string& relative) const;

private:
    std::string mRoot;
    std::vector<std::string> mEnvironment;
};

} // namespace test_support
