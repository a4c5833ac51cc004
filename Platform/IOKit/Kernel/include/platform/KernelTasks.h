// Tasks as the kernel host creates them: one for each user process that opens connections
// (the kernel's own is kernel_task). A user client keeps the task it was created for
// (initWithTask); the host destroys a task only after every client of it has closed or died.
// Task names are never reused within the host.
//
// Thread safety: any thread.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#include "IOKit/IOTypes.h"

namespace platform::iokit {

struct TaskRecord
{
    pid_t pid;
    uid_t uid;
    std::string name; // process name, at most 16 characters
};

task_t createTask(pid_t pid, uid_t uid, const std::string& name);
void destroyTask(task_t task);
// The process behind a task; nullopt for no task or one destroyed.
std::optional<TaskRecord> taskRecord(task_t task);

} // namespace platform::iokit
