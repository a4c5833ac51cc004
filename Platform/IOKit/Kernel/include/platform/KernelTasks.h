// Tasks as the kernel host creates them: one for the kernel itself and one per user process
// that opens connections. A user client keeps the task it was created for (initWithTask); the
// host destroys a task only after every client of it has closed or died.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

#include "IOKit/IOTypes.h"

struct task
{
    pid_t pid;
    uid_t uid;
    std::string name; // process name, at most 16 characters
    uint64_t id;      // never reused within the host
};

namespace platform::iokit {

task_t createTask(pid_t pid, uid_t uid, const std::string& name);
void destroyTask(task_t task);

} // namespace platform::iokit
