#include "ProgramRunner.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

ProgramRunner::ProgramRunner()
{
    char pattern[] = "/tmp/sonvexa-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) {
        mRoot = pattern;
    }
}

ProgramRunner::~ProgramRunner()
{
    if (!mRoot.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(mRoot, ignored);
    }
}

pid_t ProgramRunner::start(const std::string& program, std::vector<std::string> arguments,
                           const std::string& name)
{
    if (mRoot.empty()) {
        return -1;
    }
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (auto& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::string rootVariable = "SONVEXA_ROOT=" + mRoot;
    std::vector<std::string> variables = mEnvironment;
    std::vector<char*> envp = {rootVariable.data()};
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (mRoot + "/" + name + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (mRoot + "/" + name + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

ProgramResult ProgramRunner::finish(pid_t pid, const std::string& name) const
{
    ProgramResult r;
    if (pid <= 0) {
        return r;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.out = read(name + ".out");
    r.err = read(name + ".err");
    return r;
}

ProgramResult ProgramRunner::stop(pid_t pid, int signal, const std::string& name) const
{
    if (pid > 0) {
        ::kill(pid, signal);
    }
    return finish(pid, name);
}

ProgramResult ProgramRunner::run(const std::string& program, const std::vector<std::string>& arguments)
{
    return finish(start(program, arguments, "run"), "run");
}

std::string ProgramRunner::read(const std::string& relative) const
{
    std::ifstream in(mRoot + "/" + relative);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace test_support
