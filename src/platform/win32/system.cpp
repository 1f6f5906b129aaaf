// Lock, clock, shared memory, processes, libraries and environment on Windows.

#include "platform/platform.h"

#include <cstring>
#include <string>
#include <windows.h>

#include <mmsystem.h>
#include <tlhelp32.h>

namespace quillon::platform {

// ---------------------------------------------------------------- lock

struct Lock {
    CRITICAL_SECTION section;
};

Lock* createLock() {
    auto* lock = new Lock;
    InitializeCriticalSection(&lock->section);
    return lock;
}

void destroyLock(Lock* lock) {
    if (lock != nullptr) {
        DeleteCriticalSection(&lock->section);
        delete lock;
    }
}

void enterLock(Lock* lock) {
    EnterCriticalSection(&lock->section);
}
void leaveLock(Lock* lock) {
    LeaveCriticalSection(&lock->section);
}

// ---------------------------------------------------------------- clock

bool perfFrequency(std::int64_t* ticksPerSecond) {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        *ticksPerSecond = 0;
        return false;
    }
    *ticksPerSecond = frequency.QuadPart;
    return true;
}

std::int64_t perfCounter() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

std::uint32_t timerMinPeriodMs() {
    TIMECAPS caps;
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR || caps.wPeriodMin == 0) {
        return 1;
    }
    return caps.wPeriodMin;
}

void timerBeginPeriod(std::uint32_t ms) {
    timeBeginPeriod(ms);
}
void timerEndPeriod(std::uint32_t ms) {
    timeEndPeriod(ms);
}
std::uint32_t timerMs() {
    return timeGetTime();
}

// ---------------------------------------------------------------- shared memory

struct SharedMemory {
    HANDLE mapping;
    void* data;
};

SharedMemory* openSharedMemory(const char* name, std::size_t size) {
    if (size == 0) {
        return nullptr;
    }
    const auto size64 = static_cast<std::uint64_t>(size);
    // Backed by the paging file; a new section reads as zeros.
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                           static_cast<DWORD>(size64 >> 32), static_cast<DWORD>(size64), name);
    if (mapping == nullptr) {
        return nullptr;
    }
    // The size is given rather than 0 ("the whole section") so that an
    // existing object smaller than asked for fails here instead of letting
    // the caller run off its end.
    void* data = MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size, nullptr);
    if (data == nullptr) {
        CloseHandle(mapping);
        return nullptr;
    }
    return new SharedMemory{mapping, data};
}

void* sharedMemoryData(SharedMemory* memory) {
    return memory == nullptr ? nullptr : memory->data;
}

void closeSharedMemory(SharedMemory* memory) {
    if (memory == nullptr) {
        return;
    }
    UnmapViewOfFile(memory->data);
    CloseHandle(memory->mapping);
    delete memory;
}

// ---------------------------------------------------------------- processes

struct Process {
    HANDLE handle;
};

namespace {

// Quotes one argument so that the child's runtime splits it back unchanged:
// backslashes are literal except before a quote, where they are doubled.
void appendQuoted(std::string& line, const char* argument) {
    line += '"';
    std::size_t backslashes = 0;
    for (const char* c = argument; *c != '\0'; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        if (*c == '"') {
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += *c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

} // namespace

Process* spawnProcess(const char* path, const char* const* args) {
    if (path == nullptr) {
        return nullptr;
    }
    std::string line;
    appendQuoted(line, path);
    for (const char* const* arg = args; arg != nullptr && *arg != nullptr; ++arg) {
        line += ' ';
        appendQuoted(line, *arg);
    }
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    if (!CreateProcessA(path, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return new Process{info.hProcess};
}

bool waitProcess(Process* process, std::uint32_t timeoutMs, int* exitCode) {
    if (process == nullptr || WaitForSingleObject(process->handle, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(process->handle, &code);
    if (exitCode != nullptr) {
        *exitCode = static_cast<int>(code);
    }
    return true;
}

void killProcess(Process* process) {
    if (process != nullptr) {
        TerminateProcess(process->handle, 1);
    }
}

void closeProcess(Process* process) {
    if (process != nullptr) {
        CloseHandle(process->handle);
        delete process;
    }
}

std::uint64_t processId(Process* process) {
    return process == nullptr ? 0 : GetProcessId(process->handle);
}

std::uint64_t currentProcessId() {
    return GetCurrentProcessId();
}

std::uint64_t parentProcessId() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const DWORD self = GetCurrentProcessId();
    std::uint64_t parent = 0;
    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

namespace {

std::uint64_t creationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

} // namespace

Handle* watchProcess(std::uint64_t id, bool olderOnly) {
    if (id == 0 || id > 0xFFFFFFFFu) {
        return nullptr;
    }
    HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        return nullptr;
    }
    // Windows keeps a parent's id in its children after the parent ended, and
    // hands ids out again: a process younger than this one is not the one
    // that started it.
    const std::uint64_t watched = creationTime(process);
    const std::uint64_t self = creationTime(GetCurrentProcess());
    if (olderOnly && (watched == 0 || self == 0 || watched > self)) {
        CloseHandle(process);
        return nullptr;
    }
    return reinterpret_cast<Handle*>(process);
}

struct InstanceLock {
    HANDLE mutex;
};

InstanceLock* acquireInstanceLock(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    // Only holders keep a named mutex alive, and the system closes a dead
    // process's handles: an existing one means a live holder.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return nullptr;
    }
    return new InstanceLock{mutex};
}

void releaseInstanceLock(InstanceLock* lock) {
    if (lock != nullptr) {
        CloseHandle(lock->mutex);
        delete lock;
    }
}

bool executableDirectory(char* out, std::size_t size) {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return false;
    }
    std::size_t keep = length;
    while (keep > 0 && path[keep - 1] != '\\' && path[keep - 1] != '/') {
        --keep;
    }
    if (keep == 0 || keep + 1 > size) {
        return false;
    }
    std::memcpy(out, path, keep);
    out[keep] = '\0';
    return true;
}

char pathSeparator() {
    return '\\';
}

// ---------------------------------------------------------------- dynamic libraries

void* loadLibrary(const char* path) {
    return path == nullptr ? nullptr : reinterpret_cast<void*>(LoadLibraryA(path));
}

void* librarySymbol(void* library, const char* name) {
    if (library == nullptr || name == nullptr) {
        return nullptr;
    }
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
    void* result = nullptr;
    static_assert(sizeof result == sizeof address);
    std::memcpy(&result, &address, sizeof result);
    return result;
}

void freeLibrary(void* library) {
    if (library != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library));
    }
}

// ---------------------------------------------------------------- environment

bool setEnvironment(const char* name, const char* value) {
    // The process block, which GetEnvironmentVariableA reads and CreateProcess
    // hands down to the processes started from here.
    return name != nullptr && SetEnvironmentVariableA(name, value) != 0;
}

bool getEnvironment(const char* name, char* out, std::size_t size) {
    if (name == nullptr || out == nullptr || size == 0) {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableA(name, out, static_cast<DWORD>(size));
    if (length == 0) {
        // Zero is also the length of a variable set to the empty string.
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            return false;
        }
        out[0] = '\0';
        return true;
    }
    return length < size; // otherwise it is the size needed
}

} // namespace quillon::platform
