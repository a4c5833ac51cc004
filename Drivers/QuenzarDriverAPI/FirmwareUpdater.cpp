#include "FirmwareUpdater.h"

#include <platform/Log.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>

int32_t _OSShmID = -1;

namespace {

struct ErrnoMessage
{
    int error;
    const char* text;
};

constexpr ErrnoMessage kRegisterLookupMessages[] = {
    {ENOMEM, "fwupdateRegister shmget: error ENOMEM, not enough memory\n"},
    {EACCES, "fwupdateRegister shmget: error EACCES, no permission to access this shared memory segment\n"},
    {EEXIST, "fwupdateRegister shmget: error EEXIST, sm already created\n"},
    {ENOSPC, "fwupdateRegister shmget: error ENOSPC, reached limit of #sm\n"},
};

constexpr ErrnoMessage kRegisterAttachMessages[] = {
    {ENOMEM, "fwupdateRegister shmat: error ENOMEM, not enough memory\n"},
    {EACCES, "fwupdateRegister shmat: error EACCES, no permission to access this shared memory segment\n"},
    {EINVAL, "fwupdateRegister shmat: error EINVAL, illegal address\n"},
    {EMFILE, "fwupdateRegister shmat: error EMFILE, reached limit of #sm\n"},
};

constexpr ErrnoMessage kRemoveMessages[] = {
    {EPERM, "fwupdateUnRegister: error EPERM, the caller is not the super-user\n"},
    {EACCES, "fwupdateUnRegister: error EACCES, no permission to access this shared memory segment\n"},
    {EFAULT, "fwupdateUnRegister: error EFAULT, invalid buffer\n"},
    {EINVAL, "fwupdateUnRegister: error EINVAL, illegal address\n"},
};

constexpr ErrnoMessage kTestLookupMessages[] = {
    {ENOENT, "fwUpdaterActive: No updater detected\n"},
    {ENOMEM, "fwUpdaterActive: error ENOMEM, not enough memory\n"},
    {EACCES, "fwUpdaterActive: error EACCES, no permission to access this shared memory segment\n"},
    {EEXIST, "fwUpdaterActive: error EEXIST, sm already created\n"},
    {ENOSPC, "fwUpdaterActive: error ENOSPC, reached limit of #sm\n"},
};

constexpr ErrnoMessage kTestAttachMessages[] = {
    {ENOMEM, "fwUpdaterActive shmat: error ENOMEM, not enough memory\n"},
    {EACCES, "fwUpdaterActive shmat: error EACCES, no permission to access this shared memory segment\n"},
    {EINVAL, "fwUpdaterActive shmat: error EINVAL, illegal address\n"},
    {EMFILE, "fwUpdaterActive shmat: error EMFILE, reached limit of #sm\n"},
};

// The message for `error`, or null for an error the table does not list.
template <size_t N> const char* messageFor(const ErrnoMessage (&table)[N], int error)
{
    for (const ErrnoMessage& entry : table) {
        if (entry.error == error) {
            return entry.text;
        }
    }
    return nullptr;
}

template <size_t N> void warn(const ErrnoMessage (&table)[N], int error)
{
    if (const char* text = messageFor(table, error)) {
        platform::syslog(platform::log::kPriorityWarning, "%s", text);
    }
}

void removeSegment(int id)
{
    if (shmctl(id, IPC_RMID, nullptr) == -1) {
        if (const char* text = messageFor(kRemoveMessages, errno)) {
            platform::printOut("%s", text);
        }
    }
}

constexpr size_t kSegmentSize = sizeof(uint32_t);
constexpr int kCreatorPermissions = 0666;
constexpr int kTestPermissions = 0444;
void* const kAttachFailed = reinterpret_cast<void*>(-1);

} // namespace

bool fwupdateRegister(key_t key)
{
    errno = 0;
    const int id = shmget(key, kSegmentSize, IPC_CREAT | kCreatorPermissions);
    if (id == -1) {
        warn(kRegisterLookupMessages, errno);
        _OSShmID = -1;
        return false;
    }
    void* segment = shmat(id, nullptr, 0);
    if (segment == kAttachFailed) {
        warn(kRegisterAttachMessages, errno);
        removeSegment(id);
        return false;
    }
    // Readers in other processes see the old or the new word, never a torn one.
    std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(segment))
        .store(kFwUpdaterMarker, std::memory_order_release);
    _OSShmID = id;
    platform::printOut("fwupdateRegister value successfully written\n");
    return true;
}

void fwupdateUnRegister()
{
    removeSegment(_OSShmID);
}

bool fwUpdaterActive(key_t key)
{
    errno = 0;
    const int id = shmget(key, kSegmentSize, kTestPermissions);
    if (id == -1) {
        warn(kTestLookupMessages, errno);
        _OSShmID = -1;
        return false;
    }
    // Read-only, and detached again at once: the test runs at every device start, and attachments
    // left behind would use up the per-process limit until later tests fail.
    void* segment = shmat(id, nullptr, SHM_RDONLY);
    if (segment == kAttachFailed) {
        warn(kTestAttachMessages, errno);
        return false;
    }
    const uint32_t value =
        std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(segment)).load(std::memory_order_acquire);
    shmdt(segment);
    if (value != kFwUpdaterMarker) {
        platform::syslog(platform::log::kPriorityWarning, "fwUpdaterActive wrong shm value: 0x%X\n", value);
        return false;
    }
    platform::syslog(platform::log::kPriorityWarning, "fwUpdaterActive correct value read\n");
    return true;
}
