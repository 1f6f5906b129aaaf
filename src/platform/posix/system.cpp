// Lock, clock, shared memory, processes, libraries and environment on Linux.

#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quillon::platform {

// ---------------------------------------------------------------- lock

struct Lock {
    pthread_mutex_t mutex;
};

Lock* createLock() {
    auto* lock = new Lock;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // Recursive, as a critical section is, so both backends keep one contract.
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    // The driver's callback thread runs at a high priority and waits for this
    // lock behind the main thread: inheritance lifts the holder meanwhile, so
    // a thread of middle priority cannot starve the callback.
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&lock->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return lock;
}

void destroyLock(Lock* lock) {
    if (lock != nullptr) {
        pthread_mutex_destroy(&lock->mutex);
        delete lock;
    }
}

void enterLock(Lock* lock) {
    pthread_mutex_lock(&lock->mutex);
}
void leaveLock(Lock* lock) {
    pthread_mutex_unlock(&lock->mutex);
}

// ---------------------------------------------------------------- clock

bool perfFrequency(std::int64_t* ticksPerSecond) {
    *ticksPerSecond = 1000000000; // the counter counts nanoseconds
    return true;
}

std::int64_t perfCounter() {
    return posix::monotonicNs();
}

// The monotonic clock already has millisecond resolution: nothing to raise.
std::uint32_t timerMinPeriodMs() {
    return 1;
}
void timerBeginPeriod(std::uint32_t /*ms*/) {}
void timerEndPeriod(std::uint32_t /*ms*/) {}

std::uint32_t timerMs() {
    return static_cast<std::uint32_t>(posix::monotonicNs() / 1000000);
}

// ---------------------------------------------------------------- shared memory

struct SharedMemory {
    void* data;
    std::size_t size;
    std::string unlinkName; // set in the creating process only
};

SharedMemory* openSharedMemory(const char* name, std::size_t size) {
    if (size == 0) {
        return nullptr;
    }
    if (name == nullptr) {
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        return data == MAP_FAILED ? nullptr : new SharedMemory{data, size, {}};
    }
    // POSIX names are one path component after a leading slash.
    std::string path = "/";
    for (const char* c = name; *c != '\0'; ++c) {
        path += *c == '/' ? '_' : *c;
    }
    if (path.size() > NAME_MAX) {
        return nullptr;
    }
    bool created = true;
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    // A new object is sized here; so is one whose creator has not sized it
    // yet. Growing a file fills it with zeros, so a new block reads as zeros.
    if (fstat(fd, &status) != 0 || (static_cast<std::size_t>(status.st_size) < size &&
                                    ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        close(fd);
        if (created) {
            shm_unlink(path.c_str());
        }
        return nullptr;
    }
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (data == MAP_FAILED) {
        if (created) {
            shm_unlink(path.c_str());
        }
        return nullptr;
    }
    return new SharedMemory{data, size, created ? path : std::string()};
}

void* sharedMemoryData(SharedMemory* memory) {
    return memory == nullptr ? nullptr : memory->data;
}

void closeSharedMemory(SharedMemory* memory) {
    if (memory == nullptr) {
        return;
    }
    munmap(memory->data, memory->size);
    // Others keep their mappings; the name goes, so the next creator starts
    // from a fresh, zeroed block.
    if (!memory->unlinkName.empty()) {
        shm_unlink(memory->unlinkName.c_str());
    }
    delete memory;
}

// ---------------------------------------------------------------- processes

struct Process {
    pid_t pid;
    bool reaped;
    int exitCode;
};

Process* spawnProcess(const char* path, const char* const* args) {
    if (path == nullptr) {
        return nullptr;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path));
    for (const char* const* arg = args; arg != nullptr && *arg != nullptr; ++arg) {
        argv.push_back(const_cast<char*>(*arg));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv.data(), environ) != 0) {
        return nullptr;
    }
    return new Process{pid, false, 0};
}

namespace {

// Records the exit of a child that waitpid reported.
void recordExit(Process* process, int status) {
    process->reaped = true;
    if (WIFEXITED(status)) {
        process->exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        process->exitCode = 128 + WTERMSIG(status); // as a shell reports it
    } else {
        process->exitCode = -1;
    }
}

bool reap(Process* process) {
    if (process->reaped) {
        return true;
    }
    int status = 0;
    pid_t done = 0;
    do {
        done = waitpid(process->pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == process->pid) {
        recordExit(process, status);
    } else if (done < 0) {
        // Not our child any more (reaped elsewhere): nothing left to wait for.
        process->reaped = true;
        process->exitCode = -1;
    }
    return process->reaped;
}

} // namespace

bool waitProcess(Process* process, std::uint32_t timeoutMs, int* exitCode) {
    if (process == nullptr) {
        return false;
    }
    const std::int64_t deadline = posix::deadlineAfter(timeoutMs);
    // Children have no pollable handle on every kernel we meet; a short
    // polling sleep is plenty for process lifetimes.
    while (!reap(process)) {
        if (deadline >= 0 && posix::monotonicNs() >= deadline) {
            return false;
        }
        sleepMs(2);
    }
    if (exitCode != nullptr) {
        *exitCode = process->exitCode;
    }
    return true;
}

void killProcess(Process* process) {
    if (process != nullptr && !reap(process)) {
        kill(process->pid, SIGKILL);
    }
}

void closeProcess(Process* process) {
    if (process != nullptr) {
        reap(process);
        delete process;
    }
}

std::uint64_t processId(Process* process) {
    return process == nullptr ? 0 : static_cast<std::uint64_t>(process->pid);
}

std::uint64_t currentProcessId() {
    return static_cast<std::uint64_t>(getpid());
}

std::uint64_t parentProcessId() {
    return static_cast<std::uint64_t>(getppid());
}

Handle* watchProcess(std::uint64_t id, bool /*olderOnly*/) {
    // No age test here: a parent that ended has already reparented the
    // caller, which getppid shows it after the watch began.
    if (id == 0 || id > static_cast<std::uint64_t>(INT_MAX)) {
        return nullptr;
    }
    const auto pid = static_cast<pid_t>(id);
    // A pidfd polls readable once the process has ended, and stays so.
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return nullptr;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto* handle = new Handle{Handle::Kind::ProcessExit};
    handle->waitFd = fd;
    return handle;
}

struct InstanceLock {
    int fd;
};

InstanceLock* acquireInstanceLock(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    // An abstract socket name: bound by one socket at a time and let go by
    // the kernel when the holder's descriptor closes, even after a crash.
    sockaddr_un address{};
    const socklen_t length = posix::abstractAddress("quillon.lock.", name, &address);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd);
        return nullptr;
    }
    return new InstanceLock{fd};
}

void releaseInstanceLock(InstanceLock* lock) {
    if (lock != nullptr) {
        close(lock->fd);
        delete lock;
    }
}

bool executableDirectory(char* out, std::size_t size) {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return false;
    }
    path[length] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return false;
    }
    const std::size_t keep = static_cast<std::size_t>(slash - path) + 1;
    if (keep + 1 > size) {
        return false;
    }
    std::memcpy(out, path, keep);
    out[keep] = '\0';
    return true;
}

char pathSeparator() {
    return '/';
}

// ---------------------------------------------------------------- dynamic libraries

void* loadLibrary(const char* path) {
    return path == nullptr ? nullptr : dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* librarySymbol(void* library, const char* name) {
    return library == nullptr || name == nullptr ? nullptr : dlsym(library, name);
}

void freeLibrary(void* library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

// ---------------------------------------------------------------- environment

bool setEnvironment(const char* name, const char* value) {
    if (name == nullptr) {
        return false;
    }
    return (value == nullptr ? unsetenv(name) : setenv(name, value, 1)) == 0;
}

bool getEnvironment(const char* name, char* out, std::size_t size) {
    const char* value = name == nullptr ? nullptr : std::getenv(name);
    if (value == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(value);
    if (length + 1 > size) {
        return false;
    }
    std::memcpy(out, value, length + 1);
    return true;
}

} // namespace quillon::platform
