#include "linux/tree_scan.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "run/dry_run_core.h"
#include "linux/head_ring.h"
#include "linux/path_parts.h"
#include "linux/unique_fd.h"
#include "scan/detect_core.h"
#include "scan/file_lines_core.h"
#include "scan/quarantine_core.h"
#include "scan/repair_core.h"

namespace native {

const char kQuarantineFailedText[] = "(WARNING: not changed, the quarantine copy could not be made)";
const char kQuarantineMarkerName[] = "fixquorvin-quarantine.txt";

// An open folder of the walk, shared by the entries found in it (their
// descriptor for openat and friends) and closed when the last one is done.
struct TreeScanner::DirNode {
    posix::UniqueFd fd;
};

namespace {

constexpr size_t kBatchFiles = 512;
// Every run of one folder in a batch holds a descriptor until it is handled.
constexpr size_t kBatchFolders = 64;
// The walk keeps the descriptors of this many folders above the current one;
// higher ones are opened again through ".." on the way back.
constexpr size_t kOpenFrames = 16;
// Files up to this size are read into memory for detection; larger ones are mapped.
constexpr size_t kReadWholeBytes = 1 << 20;
// Files a detection thread takes at a time, and the batches (and folders)
// that may be in detection at once while the walk goes on.
constexpr size_t kDetectChunk = 16;
constexpr size_t kBatchesDetecting = 8;
// A reader that takes the walk's files tries one in this many without
// waiting, to see whether the disk's files are in memory again.
constexpr unsigned kWarmProbe = 16;
// Readers that share the reads in flight when their reads go to the kernel together.
constexpr unsigned kRingReaders = 4;
// Threads that list folders ahead of the walk beside them.
constexpr unsigned kListers = 8;
// Folders the readers may be asked to list ahead of the walk.
constexpr size_t kFoldersAhead = 4096;
// A repaired file is scanned again; a repair that never ends is cut off here.
constexpr int kMaxRepairLayers = 1000;
constexpr unsigned kFixNames = 1000;
// Copies are written in pieces, so that a stop request is seen within one.
constexpr size_t kWriteChunk = 8 << 20;
constexpr size_t kHoleBlock = 4096;

using quarantine::kMarkerFirstLine;
using quarantine::kMarkerText;
// A copy being written: "<name>.fixquorvin-<pid>-<n>"; a later run removes
// the ones whose run is gone.
const char kCopyTag[] = ".fixquorvin-";

const char kNotScannedFormat[] = "(WARNING: not scanned, %s)";
const char kQuarantineSkippedText[] = "(skipped, a quarantine folder of fixquorvin)";
const char kStaleCopyRemovedText[] = "(deleted, an unfinished repair copy of an interrupted run)";
const char kStaleCopyWouldText[] = "(dry run) would be deleted, an unfinished repair copy of an interrupted run";
const char kHeldText[] = "another run of fixquorvin is working on it";
const char kMovedText[] = "it moved during the scan";

// A fault while an image is read (a mapped file that shrank) ends the
// detection with "clean" instead of the process.
thread_local sigjmp_buf* t_faultJump = nullptr;

void OnFault(int signal, siginfo_t*, void*) {
    if (t_faultJump) siglongjmp(*t_faultJump, 1);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void InstallFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, nullptr);
    });
}

// Why a folder could not be scanned, as its line says it.
const char* ReasonOf(int error) {
    switch (error) {
    case EACCES:
    case EPERM: return "permission denied";
    case ENOENT: return "not found";
    case ENOTDIR: return "not a directory";
    case EMFILE:
    case ENFILE: return "too many open files";
    case ENOMEM: return "out of memory";
    case EIO: return "input/output error";
    default: return "it could not be read";
    }
}

// Opens for reading without following a link and without touching the
// access time where the owner allows it.
int OpenForReading(int dir, const char* name) {
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = ::openat(dir, name, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::openat(dir, name, flags);
    return fd;
}

int OpenDirectory(int dir, const char* name) {
    return ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool Is(int fd, dev_t dev, ino_t ino) {
    struct stat st;
    return fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

bool ReadAll(int fd, std::vector<uint8_t>& out, uint64_t size) {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = 0;   // it shrank
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    // A file that grew while it was read is not the one detection saw
    // (errno 0: it changed; else it could not be read).
    uint8_t extra;
    ssize_t n = ::pread(fd, &extra, 1, static_cast<off_t>(size));
    if (n > 0) errno = 0;
    return n == 0;
}

using ReadFunction = ssize_t (*)(int fd, void* data, size_t size, off_t at, bool nowait);

enum class ReadResult { Done, Failed, WouldWait };

// Reads the bytes [got, size) to data + got, counting them in got; a file
// that shrank gives fewer: what is there is what is judged. With nowait a
// read that would wait for the disk (or a file system that cannot promise
// otherwise) gives WouldWait instead.
ReadResult ReadUpTo(int fd, uint8_t* data, size_t size, ReadFunction read, bool nowait, size_t& got) {
    while (got < size) {
        ssize_t n = read(fd, data + got, size - got, static_cast<off_t>(got), nowait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && nowait && (errno == EAGAIN || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS))
            return ReadResult::WouldWait;
        if (n < 0) return ReadResult::Failed;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return ReadResult::Done;
}

bool IsZero(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i]) return false;
    return true;
}

FileOutcome WriteFailure(int error) {
    return error == ENOSPC || error == EDQUOT ? FileOutcome::DiskFull : FileOutcome::WriteFailed;
}

// Writes content to the new file fd. Where source (the original, -1 for
// none) has a hole and content is zero, the copy gets a hole too, so that
// a sparse file stays sparse. Stops with Interrupted once stop is set.
FileOutcome WriteCopy(ssize_t (*write)(int, const void*, size_t), int fd, const std::vector<uint8_t>& content,
                      int source, const volatile std::sig_atomic_t* stop) {
    const off_t size = static_cast<off_t>(content.size());
    auto put = [&](off_t from, off_t to) {
        if (::lseek(fd, from, SEEK_SET) != from) return WriteFailure(errno);
        while (from < to) {
            if (stop && *stop) return FileOutcome::Interrupted;
            size_t piece = static_cast<size_t>(std::min<off_t>(to - from, static_cast<off_t>(kWriteChunk)));
            ssize_t n = write(fd, content.data() + from, piece);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return WriteFailure(n < 0 ? errno : ENOSPC);
            from += n;
        }
        return FileOutcome::Done;
    };
    for (off_t at = 0; at < size;) {
        off_t hole = source >= 0 ? ::lseek(source, at, SEEK_HOLE) : -1;
        hole = hole < at ? size : std::min(hole, size);
        if (FileOutcome o = put(at, hole); o != FileOutcome::Done) return o;
        if (hole >= size) break;
        off_t data = ::lseek(source, hole, SEEK_DATA);
        data = data < hole ? size : std::min(data, size);
        // Inside the hole only the blocks the repair wrote into are written.
        for (off_t block = hole; block < data; block += static_cast<off_t>(kHoleBlock)) {
            off_t blockEnd = std::min<off_t>(block + static_cast<off_t>(kHoleBlock), data);
            if (IsZero(content.data() + block, static_cast<size_t>(blockEnd - block))) continue;
            if (FileOutcome o = put(block, blockEnd); o != FileOutcome::Done) return o;
        }
        at = data;
    }
    return ::ftruncate(fd, size) == 0 ? FileOutcome::Done : WriteFailure(errno);
}

// A repair copy's pid when name is one ("<name>.fixquorvin-<pid>-<n>").
pid_t CopyOwner(const char* name) {
    const char* tag = std::strstr(name, kCopyTag);
    if (!tag) return 0;
    for (const char* next; (next = std::strstr(tag + 1, kCopyTag));) tag = next;
    const char* p = tag + std::strlen(kCopyTag);
    char* end = nullptr;
    long pid = std::strtol(p, &end, 10);
    if (end == p || *end != '-' || pid <= 0) return 0;
    p = end + 1;
    std::strtol(p, &end, 10);
    return end != p && *end == 0 ? static_cast<pid_t>(pid) : 0;
}

// Whether pid is a running fixquorvin (its copies are its own business).
bool RunningScanner(pid_t pid) {
    if (pid == ::getpid()) return true;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    posix::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    char comm[32] = {};
    if (!fd || ::read(fd.get(), comm, sizeof comm - 1) <= 0) return true;   // cannot tell: leave it
    return std::strncmp(comm, "fixquorvin", 10) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The extended attributes of `from` (ACLs, labels, capabilities) on `to`.
bool CopyExtendedAttributes(int from, int to) {
    ssize_t n = ::flistxattr(from, nullptr, 0);
    if (n < 0) return errno == ENOTSUP;   // none on this file system
    std::vector<char> names(static_cast<size_t>(n) + 1, '\0');
    n = ::flistxattr(from, names.data(), names.size() - 1);
    if (n < 0) return false;
    for (const char* name = names.data(); name < names.data() + n; name += std::strlen(name) + 1) {
        ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0) return false;
        std::vector<char> value(static_cast<size_t>(size));
        size = ::fgetxattr(from, name, value.data(), value.size());
        if (size < 0 || ::fsetxattr(to, name, value.data(), static_cast<size_t>(size), 0) != 0) return false;
    }
    return true;
}

// Owner, extended attributes, mode and times of the original on the open
// copy, in this order: a new owner clears the set-id bits and capabilities.
// source: the original, open, for its extended attributes; -1 for none.
bool KeepAttributes(int fd, const struct stat& original, int source) {
    struct stat now;
    if (::fstat(fd, &now) != 0) return false;
    if ((now.st_uid != original.st_uid || now.st_gid != original.st_gid) &&
        ::fchown(fd, original.st_uid, original.st_gid) != 0)
        return false;
    if (source >= 0 && !CopyExtendedAttributes(source, fd)) return false;
    if (::fchmod(fd, original.st_mode & 07777) != 0) return false;
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    return ::futimens(fd, times) == 0;
}

bool MakeDirectories(const std::string& path) {
    if (path.empty() || path == "/") return true;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!MakeDirectories(Parent(path))) return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

const char* DetectionName(const ThreatDefinition& def, int verdict) {
    const char* name = verdict >= 1 && verdict <= 3 ? def.detectionNames[verdict] : nullptr;
    return name ? name : "";
}

struct RepairCall {
    std::vector<uint8_t>* image;
    RunLog* log;
    const char* path;
};

// RepairImage with faults caught; a fault counts as a failed repair.
int64_t RepairGuarded(std::vector<uint8_t>& image, RunLog& log, const char* path) {
    InstallFaultHandler();
    volatile int64_t result = kRepairFailed;
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) == 0) {
        t_faultJump = &jump;
        result = RepairImage(image.data(), image.size(), kVerdictInfectedHost, log, path);
    }
    t_faultJump = nullptr;
    return result;
}

}  // namespace

const char* OutcomeText(FileOutcome outcome, bool dryRun) {
    switch (outcome) {
    case FileOutcome::Done: return "";
    case FileOutcome::Corrupt: return dryRun ? kWouldFailText : kRepairFailedText;
    case FileOutcome::NoQuarantineCopy: return kQuarantineFailedText;
    case FileOutcome::FolderReadOnly: return "(WARNING: not repaired, the folder is read-only)";
    case FileOutcome::DiskFull: return "(WARNING: not repaired, the disk is full)";
    case FileOutcome::Changed: return "(WARNING: not repaired, the file changed during the scan)";
    case FileOutcome::HeldByAnotherRun: return "(WARNING: not repaired, another run of fixquorvin holds the file)";
    case FileOutcome::Interrupted: return "(WARNING: not repaired, the run was interrupted)";
    case FileOutcome::Unreadable: return "(WARNING: not repaired, the file could not be read)";
    case FileOutcome::WriteFailed: return "(WARNING: not repaired, the repaired copy could not be written)";
    }
    return "";
}

std::string LogText(const std::string& path) {
    std::string text = path;
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

int DetectImage(const uint8_t* image, size_t size) {
    InstallFaultHandler();
    volatile int verdict = kVerdictClean;
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) == 0) {
        t_faultJump = &jump;
        verdict = DetectInfection(image, size);
    }
    t_faultJump = nullptr;
    return verdict;
}

namespace {

ssize_t PlainRead(int fd, void* data, size_t size, off_t at, bool nowait) {
    if (!nowait) return ::pread(fd, data, size, at);
    struct iovec piece = {data, size};
    return ::preadv2(fd, &piece, 1, at, RWF_NOWAIT);
}

// The kernel's count of a file's pages in memory (Linux 6.5 and later),
// which unlike a read that must not wait starts no reading of its own.
struct CacheRange {
    uint64_t offset, length;
};
struct CacheCount {
    uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
};
#ifndef __NR_cachestat
#define __NR_cachestat 451   // the same on every architecture
#endif
std::atomic<bool> g_noCacheCount{false};

// Whether every page of the mapping is in memory.
bool Resident(const void* data, size_t size) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    thread_local std::vector<unsigned char> pages;
    pages.resize((size + page - 1) / page);
    if (::mincore(const_cast<void*>(data), size, pages.data()) != 0) return false;
    for (unsigned char p : pages)
        if (!(p & 1)) return false;
    return true;
}

bool AllInMemory(int fd, uint64_t size) {
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    if (!g_noCacheCount.load(std::memory_order_relaxed)) {
        CacheRange range = {0, size};
        CacheCount count = {};
        if (::syscall(__NR_cachestat, fd, &range, &count, 0) == 0) return count.cached >= (size + page - 1) / page;
        if (errno == ENOSYS || errno == EPERM) g_noCacheCount = true;
        else return false;   // a file system that cannot tell: read it as if it were not
    }
    posix::Mapping view(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0), size);
    return view && Resident(view.data(), size);
}

// The verdict of a file too large to be read into memory, through a mapping.
void JudgeMapped(int fd, size_t size, int& verdict, bool& unreadable) {
    posix::Mapping view(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0), size);
    if (!view) {
        unreadable = true;
        return;
    }
    verdict = DetectImage(view.data(), size);
}

// The verdict of the open regular file fd of the given size. Nearly every
// file is decided by its head alone; the others are read whole (small
// files: a mapping costs more than the copy, and its removal stops every
// other thread of the process for a moment) or mapped. With nowait,
// WouldWait when the bytes it needs are not all in memory: nothing judged.
ReadResult Judge(int fd, size_t size, ReadFunction read, bool nowait, bool (*inMemory)(int, uint64_t), int& verdict,
                 bool& unreadable) {
    // Grown to the largest file read whole on this thread: the heads of the
    // readers' files are all most of them ever hold.
    thread_local std::vector<uint8_t> buffer;
    verdict = kVerdictClean;
    const size_t head = std::min(size, kScanHeadBytes);
    if (buffer.size() < head) buffer.resize(head);
    size_t got = 0;
    ReadResult result = ReadUpTo(fd, buffer.data(), head, read, nowait, got);
    if (result == ReadResult::Done && got == head) {
        const PartialVerdict fromHead = DetectFromHead(buffer.data(), got, size);
        if (fromHead.decided) {
            verdict = fromHead.verdict;
            return result;
        }
        if (size > kReadWholeBytes) {
            if (nowait && !inMemory(fd, size)) return ReadResult::WouldWait;
            JudgeMapped(fd, size, verdict, unreadable);
            return ReadResult::Done;
        }
        if (buffer.size() < size) buffer.resize(size);
        result = ReadUpTo(fd, buffer.data(), size, read, nowait, got);
    }
    if (result == ReadResult::Failed) unreadable = true;
    // All of it, or all there was of a file that shrank.
    if (result == ReadResult::Done) verdict = DetectInfection(buffer.data(), got);
    return result;
}

// Opens the file `name` in dir for detection: false when there is nothing
// to read (gone, empty, not a regular file: clean; unreadable set when it
// could not be opened).
bool OpenForDetection(int dir, const char* name, posix::UniqueFd& fd, size_t& size, bool& unreadable) {
    unreadable = false;
    size = 0;
    fd.reset(OpenForReading(dir, name));
    if (!fd) {
        unreadable = errno != ENOENT;   // a file that went away is no error
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = static_cast<size_t>(st.st_size);
    return size != 0;
}

// Lists a folder and looks at the entries the walk will look at, so that
// their blocks are in memory when it comes (by path: nothing is held open, and
// whatever goes wrong is the walk's to meet).
void ListAhead(const std::string& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int listFd = fd ? ::dup(fd.get()) : -1;
    posix::UniqueDir dir(listFd >= 0 ? ::fdopendir(listFd) : nullptr);
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        return;
    }
    std::vector<std::pair<ino_t, std::string>> names;
    while (const dirent* e = ::readdir(dir.get()))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..") && (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN))
            names.emplace_back(e->d_ino, e->d_name);
    std::sort(names.begin(), names.end());
    for (const auto& entry : names) {
        struct stat st;
        ::fstatat(fd.get(), entry.second.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    }
}

int DetectAt(int dir, const char* name, ReadFunction read, bool& unreadable, uint64_t* sizeOut = nullptr) {
    posix::UniqueFd fd;
    size_t size = 0;
    int verdict = kVerdictClean;
    if (OpenForDetection(dir, name, fd, size, unreadable))
        Judge(fd.get(), size, read, false, AllInMemory, verdict, unreadable);
    if (sizeOut) *sizeOut = size;
    return verdict;
}

}  // namespace

int DetectFile(const std::string& path, bool& unreadable) { return DetectFileAt(AT_FDCWD, path.c_str(), unreadable); }

int DetectFileAt(int dir, const char* name, bool& unreadable) { return DetectAt(dir, name, PlainRead, unreadable); }

// Part of the work not done outranks a find left in place: 3 before 2.
ExitStatus StatusOf(const RemovalStats& s, uint32_t notCleaned, uint32_t ioErrors) {
    bool found = s.infections + s.filesDeleted + s.deleteFailed + s.registryEntriesFixed != 0;
    if (ioErrors) return ExitStatus::Error;
    if (notCleaned || (found && (s.repairsFailed || s.deleteFailed))) return ExitStatus::NotAllCleaned;
    return found ? ExitStatus::AllCleaned : ExitStatus::NothingFound;
}

// One folder of the walk: its descriptor while it is among the last
// kOpenFrames, its listing, and where the walk is in it.
struct TreeScanner::Frame {
    struct Item {
        std::string name;
        mode_t mode;
        dev_t dev;
        ino_t ino;
        uint64_t size;
    };
    posix::UniqueFd fd;
    std::shared_ptr<DirNode> shared;   // handed to the entries, made on demand
    std::string name;                  // in the folder above
    dev_t dev;
    ino_t ino;
    std::vector<Item> items;
    size_t next = 0;
    size_t pathLength = 0;
};

// Detection of the walk's batches on threads of their own while the walk
// goes on: one detection thread per job, and readers that keep up to
// readsInFlight reads outstanding for the files whose bytes are not in
// memory yet. A detection thread never waits for the disk: such a file goes,
// open, to the readers, and while files keep missing the cache the readers
// take the walk's files themselves. A reader judges the file it has read
// (its head, nearly always) where it is: handing it back to a detection
// thread cost more in wake-ups than the judging. So a cold disk gets as many
// requests as it can take, and a warm cache costs one read per file.
class TreeScanner::Detection {
public:
    Detection(unsigned jobs, unsigned readers, bool together, ReadFunction read, bool (*inMemory)(int, uint64_t))
        : m_read(read), m_inMemory(inMemory), m_readers(readers), m_together(together),
          m_heldLimit(2 * size_t(readers) + 16) {
        for (unsigned i = 0; i < jobs; ++i) m_threads.emplace_back([this] { Detect(); });
    }
    ~Detection() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_work.notify_all();
        m_reads.notify_all();
        m_lists.notify_all();
        for (std::thread& t : m_threads) t.join();
    }

    void Submit(std::vector<Entry>& entries) {
        if (entries.empty()) return;
        // Files are taken in the order of their inodes, which is near the
        // order of their places on the disk.
        std::vector<uint32_t> order(entries.size());
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return entries[a].ino < entries[b].ino; });
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_jobs.push_back({entries.data(), std::move(order), entries.size(), 0, entries.size()});
            if (m_readersIdle && ColdWorkLeft()) m_reads.notify_all();
        }
        m_work.notify_all();
    }

    // Until every file of entries (submitted or not) is detected.
    void Wait(std::vector<Entry>& entries) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto job = std::find_if(m_jobs.begin(), m_jobs.end(), [&](const Job& j) { return j.entries == entries.data(); });
        if (job == m_jobs.end()) return;
        m_done.wait(lock, [&] { return job->left == 0; });
        m_jobs.erase(job);
    }

    // Whether the last files detected had to wait for the disk.
    bool Cold() const { return m_cold.load(std::memory_order_relaxed); }

    // Folders the walk is about to enter, in its order: the readers list
    // them and look at their entries (bringing the disk's blocks into
    // memory) ahead of it. They go before the folders handed over earlier,
    // which the depth-first walk reaches later.
    void ReadFolders(std::vector<std::string> paths) {
        if (paths.empty() || !m_readers) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_folders.size() >= kFoldersAhead) return;
            StartReaders();
            m_folders.insert(m_folders.begin(), std::make_move_iterator(paths.begin()),
                             std::make_move_iterator(paths.end()));
        }
        (m_listers ? m_lists : m_reads).notify_all();
    }

private:
    struct Job {
        Entry* entries;
        std::vector<uint32_t> order;   // of taking them
        size_t count;
        size_t next;   // the first not taken
        size_t left;   // not yet detected
    };
    // A file for a reader: open when a detection thread found it not in memory.
    struct Held {
        Job* job = nullptr;
        Entry* entry = nullptr;
        posix::UniqueFd fd;
        size_t size = 0;
    };

    // While files miss the cache the readers take the walk's files.
    bool ColdWorkLeft() { return Cold() && Unclaimed(); }
    // Detection threads leave the walk's files to the readers meanwhile.
    bool WarmWorkLeft() { return !(m_readers && Cold()) && Unclaimed(); }

    Job* Unclaimed() {
        for (Job& job : m_jobs)
            if (job.next < job.count) return &job;
        return nullptr;
    }
    void Done(Job* job, size_t count) {
        job->left -= count;
        if (job->left == 0) m_done.notify_all();
    }

    // The readers start with the first file that has to wait for the disk.
    // With io_uring a few readers keep all the reads in flight; without it,
    // a thread each.
    void StartReaders() {
        if (m_readersStarted || m_stopping) return;
        m_readersStarted = true;
        if (m_together) {
            const unsigned rings = std::min(m_readers, kRingReaders);
            std::vector<std::unique_ptr<HeadRing>> made;
            for (unsigned i = 0; i < rings; ++i)
                if (auto ring = HeadRing::Make((m_readers + rings - 1) / rings)) made.push_back(std::move(ring));
            if (made.size() == rings) {
                for (auto& ring : made)
                    m_threads.emplace_back([this, ring = std::move(ring)]() mutable { ReadFiles(std::move(ring)); });
                // Folders are listed ahead on threads of their own: a ring's
                // reader that listed one would hold all its reads back meanwhile.
                m_listers = true;
                for (unsigned i = 0; i < kListers; ++i) m_threads.emplace_back([this] { ListFolders(); });
                return;
            }
        }
        for (unsigned i = 0; i < m_readers; ++i) m_threads.emplace_back([this] { ReadFiles(nullptr); });
    }

    void Detect() {
        std::vector<Held> missed;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_work.wait(lock, [&] { return m_stopping || WarmWorkLeft(); });
            if (m_stopping) return;
            Job* job = Unclaimed();
            const size_t from = job->next, to = std::min(job->count, from + kDetectChunk);
            job->next = to;
            lock.unlock();
            size_t judged = 0;
            missed.clear();
            for (size_t i = from; i < to; ++i) {
                Entry& e = job->entries[job->order[i]];
                posix::UniqueFd fd;
                size_t size = 0;
                if (e.kind == Entry::Kind::File &&
                    OpenForDetection(e.dir->fd.get(), e.name.c_str(), fd, size, e.unreadable)) {
                    e.size = size;
                    if (Judge(fd.get(), size, m_read, m_readers != 0, m_inMemory, e.verdict, e.unreadable) ==
                        ReadResult::WouldWait) {
                        missed.push_back({job, &e, std::move(fd), size});
                        continue;
                    }
                }
                ++judged;
            }
            lock.lock();
            Done(job, judged);
            if (missed.empty()) continue;
            m_cold.store(true, std::memory_order_relaxed);
            StartReaders();
            // Open files are bounded: wait for room.
            for (Held& held : missed) {
                ++m_waitingForRoom;
                m_work.wait(lock, [&] { return m_stopping || m_toRead.size() < m_heldLimit; });
                --m_waitingForRoom;
                m_toRead.push_back(std::move(held));
                m_reads.notify_one();
            }
            if (m_readersIdle) m_reads.notify_all();   // the walk's files are the readers' now
        }
    }

    void ListFolders() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_lists.wait(lock, [&] { return m_stopping || !m_folders.empty(); });
            if (m_stopping) return;
            std::string path = std::move(m_folders.front());
            m_folders.pop_front();
            lock.unlock();
            ListAhead(path);
            lock.lock();
        }
    }

    // The next file for a reader (the lock held): one a detection thread
    // could not read without waiting, or while the disk is cold the walk's next.
    bool TakeFile(Held& held) {
        if (!m_toRead.empty()) {
            held = std::move(m_toRead.front());
            m_toRead.pop_front();
            if (m_waitingForRoom) m_work.notify_all();
            return true;
        }
        while (ColdWorkLeft()) {
            Job* job = Unclaimed();
            Entry& e = job->entries[job->order[job->next++]];
            if (e.kind != Entry::Kind::File) {
                Done(job, 1);
                continue;
            }
            held = {job, &e, {}, 0};
            return true;
        }
        return false;
    }

    // A reader: one file at a time, or with a ring as many as it holds,
    // whose heads are read together before they are judged.
    void ReadFiles(std::unique_ptr<HeadRing> ring) {
        size_t most = ring ? ring->depth() : 1;
        unsigned taken = 0;
        std::vector<Held> batch;
        std::vector<int> fds;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            ++m_readersIdle;
            m_reads.wait(lock, [&] {
                return m_stopping || !m_toRead.empty() || (!m_listers && !m_folders.empty()) || ColdWorkLeft();
            });
            --m_readersIdle;
            if (m_stopping) return;
            if (!m_listers && !m_folders.empty()) {
                std::string path = std::move(m_folders.front());
                m_folders.pop_front();
                lock.unlock();
                ListAhead(path);
                lock.lock();
                continue;
            }
            batch.clear();
            for (Held held; batch.size() < most && TakeFile(held);) batch.push_back(std::move(held));
            if (batch.empty()) continue;
            lock.unlock();
            bool inMemory = false;
            fds.clear();
            for (Held& held : batch) {
                Entry& e = *held.entry;
                if (!held.fd) {
                    if (!OpenForDetection(e.dir->fd.get(), e.name.c_str(), held.fd, held.size, e.unreadable)) {
                        held.fd.reset();   // nothing to read: clean, or unreadable
                        continue;
                    }
                    e.size = held.size;
                    // Taken from the walk: every so often a reader tries whether
                    // the file is in memory, and one that is gives the walk's
                    // files back to detection.
                    if (++taken % kWarmProbe == 0 &&
                        Judge(held.fd.get(), held.size, m_read, true, m_inMemory, e.verdict, e.unreadable) !=
                            ReadResult::WouldWait) {
                        inMemory = true;
                        held.fd.reset();
                        continue;
                    }
                }
                fds.push_back(held.fd.get());
            }
            if (ring && fds.size() > 1 && !ring->Read(fds, kScanHeadBytes)) {
                ring.reset();   // from now on one at a time
                most = 1;
            }
            for (Held& held : batch) {
                if (held.fd) Judge(held.fd.get(), held.size, m_read, false, m_inMemory, held.entry->verdict,
                                   held.entry->unreadable);
                held.fd.reset();
            }
            lock.lock();
            if (inMemory && Cold()) {
                m_cold.store(false, std::memory_order_relaxed);
                m_work.notify_all();
            }
            for (Held& held : batch) Done(held.job, 1);
        }
    }

    const ReadFunction m_read;
    bool (*const m_inMemory)(int, uint64_t);
    const unsigned m_readers;
    const bool m_together;   // the readers' reads go to the kernel together where it can
    const size_t m_heldLimit;   // open files waiting for the readers
    std::mutex m_mutex;
    std::condition_variable m_work, m_reads, m_lists, m_done;
    std::list<Job> m_jobs;   // oldest first
    std::deque<Held> m_toRead;
    unsigned m_waitingForRoom = 0;   // detection threads
    unsigned m_readersIdle = 0;
    std::deque<std::string> m_folders;
    std::atomic<bool> m_cold{false};
    bool m_readersStarted = false;
    bool m_listers = false;   // folders listed ahead by threads of their own
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

TreeScanner::TreeScanner(const ThreatDefinition& def, const ScanSettings& settings, RunLog& log,
                         ScanProgress* progress, ScanSeams seams)
    : m_def(def), m_settings(settings), m_log(log), m_progress(progress), m_seams(seams) {
    if (!m_seams.write) m_seams.write = ::write;
    if (!m_seams.read) m_seams.read = PlainRead;
    if (!m_seams.inMemory) m_seams.inMemory = AllInMemory;
    if (m_settings.jobs == 0) m_settings.jobs = 1;
    if (m_settings.jobs > 1 || m_settings.readsInFlight > 0)
        m_detection = std::make_unique<Detection>(m_settings.jobs, m_settings.readsInFlight,
                                                  m_settings.readsTogether && m_seams.read == PlainRead, m_seams.read,
                                                  m_seams.inMemory);
    if (!m_settings.quarantineDir.empty()) PrepareQuarantine();
}

TreeScanner::~TreeScanner() = default;

// The quarantine folder is made with its marker; an existing one is used
// when it has the marker or is empty (it gets the marker), never a folder
// that holds something else: the marker makes every run leave it alone.
// A dry run only looks: the folder it would refuse is refused.
void TreeScanner::PrepareQuarantine() {
    const std::string& dir = m_settings.quarantineDir;
    struct stat st;
    if (m_settings.dryRun && ::stat(dir.c_str(), &st) != 0) return;
    if (!m_settings.dryRun && !MakeDirectories(dir)) {
        m_quarantineProblem = "cannot create the quarantine folder " + dir + ": " + std::strerror(errno);
        return;
    }
    posix::UniqueFd fd(OpenDirectory(AT_FDCWD, dir.c_str()));
    int listFd = fd ? ::dup(fd.get()) : -1;
    posix::UniqueDir list(listFd >= 0 ? ::fdopendir(listFd) : nullptr);
    if (!list) {
        if (listFd >= 0) ::close(listFd);
        m_quarantineProblem = "cannot open the quarantine folder " + dir + ": " + std::strerror(errno);
        return;
    }
    bool marked = false, empty = true;
    while (const dirent* e = ::readdir(list.get())) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        empty = false;
        if (!std::strcmp(e->d_name, kQuarantineMarkerName)) marked = true;
        unsigned n = 0;
        char dot = 0;
        if (std::sscanf(e->d_name, "%8u%c", &n, &dot) == 2 && dot == '.') m_nextEntry = std::max(m_nextEntry, n + 1);
    }
    if (!marked && !empty) {
        m_quarantineProblem = "the folder " + dir + " is not empty and is not a quarantine of fixquorvin";
        return;
    }
    if (!marked && !m_settings.dryRun) {
        posix::UniqueFd marker(::openat(fd.get(), kQuarantineMarkerName,
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        const auto* text = reinterpret_cast<const uint8_t*>(kMarkerText);
        std::vector<uint8_t> bytes(text, text + std::strlen(kMarkerText));
        if (!marker || WriteCopy(::write, marker.get(), bytes, -1, nullptr) != FileOutcome::Done ||
            ::fsync(marker.get()) != 0) {
            m_quarantineProblem = "cannot write the quarantine folder's marker in " + dir + ": " + std::strerror(errno);
            return;
        }
    }
    m_quarantineReady = true;
}

void TreeScanner::SkipPath(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    m_skipped.emplace_back(st.st_dev, st.st_ino);
    m_skippedNames.push_back(BaseName(path));
}

// An entry the walk looks at closely, where a file system numbers its
// entries otherwise than its inodes: it may be a path left out.
bool TreeScanner::IsSkippedName(const std::string& name) const {
    return std::find(m_skippedNames.begin(), m_skippedNames.end(), name) != m_skippedNames.end();
}

bool TreeScanner::IsExcluded(const std::string& path) const {
    for (const std::string& ex : m_settings.excludes) {
        if (path.size() < ex.size() || path.compare(0, ex.size(), ex) != 0) continue;
        if (path.size() == ex.size() || path[ex.size()] == '/' || ex == "/") return true;
    }
    return false;
}

bool TreeScanner::Stopped() {
    if (stopFlag && *stopFlag && !interrupted) {
        interrupted = true;
        ++ioErrors;
    }
    return interrupted;
}

void TreeScanner::NotScanned(const std::string& path, const char* reason) {
    ++ioErrors;
    ++directoriesNotScanned;
    Entry entry;
    entry.kind = Entry::Kind::NotScanned;
    entry.path = path;
    entry.reason = reason;
    AddEntry(std::move(entry));
}

TreeOutcome TreeScanner::Scan(const std::string& root) {
    if (Stopped()) return TreeOutcome::Interrupted;
    char* resolved = ::realpath(root.c_str(), nullptr);
    int error = resolved ? 0 : errno;
    struct stat st;
    const bool found = resolved != nullptr;
    std::string path = found ? resolved : root;
    std::free(resolved);
    if (found && ::stat(path.c_str(), &st) != 0) error = errno;
    if (!found || error) {
        rootError = error;
        ++ioErrors;
        ++directoriesNotScanned;
        m_log.PathLine(LogText(root).c_str(), kNotScannedFormat, ReasonOf(rootError));
        return TreeOutcome::NotOpened;
    }
    if (IsExcluded(path)) return TreeOutcome::Scanned;
    TreeOutcome outcome = TreeOutcome::Scanned;
    if (S_ISREG(st.st_mode)) {
        auto dir = std::make_shared<DirNode>();
        dir->fd.reset(OpenDirectory(AT_FDCWD, Parent(path).c_str()));
        if (!dir->fd) {
            rootError = errno;
            ++ioErrors;
            ++directoriesNotScanned;
            m_log.PathLine(LogText(root).c_str(), kNotScannedFormat, ReasonOf(rootError));
            return TreeOutcome::NotOpened;
        }
        Entry entry;
        entry.dir = std::move(dir);
        entry.name = BaseName(path);
        entry.path = path;
        entry.dev = st.st_dev;
        entry.ino = st.st_ino;
        entry.size = static_cast<uint64_t>(st.st_size);
        AddEntry(std::move(entry));
    } else if (S_ISDIR(st.st_mode)) {
        auto node = std::make_shared<DirNode>();
        node->fd.reset(OpenDirectory(AT_FDCWD, path.c_str()));
        if (!Is(node->fd.get(), st.st_dev, st.st_ino)) {
            rootError = node->fd ? ENOENT : errno;
            ++ioErrors;
            ++directoriesNotScanned;
            m_log.PathLine(LogText(root).c_str(), kNotScannedFormat, ReasonOf(rootError));
            return TreeOutcome::NotOpened;
        }
        // One run at a time on a tree: dry runs may share it, a real run holds it alone.
        if (::flock(node->fd.get(), (m_settings.dryRun ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            rootError = EWOULDBLOCK;
            ++ioErrors;
            ++directoriesNotScanned;
            m_log.PathLine(("directory " + LogText(path)).c_str(), kNotScannedFormat, kHeldText);
            return TreeOutcome::HeldByAnotherRun;
        }
        Walk(std::move(node), path, st.st_dev);
    } else {   // a pipe, a device, a socket: never opened
        ++ioErrors;
        ++directoriesNotScanned;
        m_log.PathLine(LogText(root).c_str(), kNotScannedFormat, "not a directory or a regular file");
        outcome = TreeOutcome::NotOpened;
        rootError = ENOTDIR;
    }
    if (Stopped()) {   // nothing more is detected; the lines of folders not scanned still come
        Finish();
        m_detecting.push_back({std::move(m_batch), m_batchFolders});
        m_batch.clear();
        m_foldersDetecting += m_batchFolders;
        m_batchFolders = 0;
    } else {
        Dispatch();
    }
    Finish();
    return Stopped() ? TreeOutcome::Interrupted : outcome;
}

// Lists the folder open at fd (taking the descriptor) onto the stack. The
// whole listing is read before anything in it changes, so that a replaced
// file is never met a second time. False when it is not walked.
bool TreeScanner::Enter(std::vector<Frame>& stack, int fd, const std::string& name) {
    Frame frame;
    frame.fd.reset(fd);
    frame.name = name;
    frame.pathLength = m_path.size();
    struct stat self;
    if (::fstat(fd, &self) != 0) {
        NotScanned(m_path, ReasonOf(errno));
        return false;
    }
    frame.dev = self.st_dev;
    frame.ino = self.st_ino;
    int listFd = ::dup(fd);
    posix::UniqueDir dir(listFd >= 0 ? ::fdopendir(listFd) : nullptr);
    if (!dir) {
        int error = errno;
        if (listFd >= 0) ::close(listFd);
        NotScanned(m_path, ReasonOf(error));
        return false;
    }
    // The names first, then the inodes of those that are not plainly files
    // in the order of their numbers, which is near their order on the disk.
    // A regular file is known by its entry: detection looks at the file
    // itself, where the readers' many reads in flight take the disk's time.
    struct Name {
        ino_t ino;
        unsigned char type;
        std::string name;
        bool operator<(const Name& other) const { return ino < other.ino; }
    };
    std::vector<Name> names;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir.get());
        if (!e) {
            if (errno) {
                NotScanned(m_path, ReasonOf(errno));
                return false;
            }
            break;
        }
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        names.push_back({e->d_ino, e->d_type, e->d_name});
    }
    std::sort(names.begin(), names.end());
    bool quarantine = false;
    frame.items.reserve(names.size());
    for (Name& n : names) {
        if (n.type == DT_LNK || n.type == DT_CHR || n.type == DT_BLK || n.type == DT_FIFO || n.type == DT_SOCK)
            continue;   // never opened
        if (n.type == DT_REG && n.name != kQuarantineMarkerName && !IsSkippedName(n.name)) {
            frame.items.push_back({std::move(n.name), S_IFREG, frame.dev, n.ino, 0});
            continue;
        }
        struct stat st;
        if (::fstatat(fd, n.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (n.name == kQuarantineMarkerName && S_ISREG(st.st_mode)) {
            posix::UniqueFd marker(OpenForReading(fd, n.name.c_str()));
            const size_t length = std::strlen(kMarkerFirstLine);
            char head[64] = {};
            quarantine = marker && length < sizeof head && ::pread(marker.get(), head, length, 0) == ssize_t(length) &&
                         !std::strcmp(head, kMarkerFirstLine);
        }
        frame.items.push_back({std::move(n.name), st.st_mode, st.st_dev, st.st_ino, static_cast<uint64_t>(st.st_size)});
    }
    if (quarantine) {
        Entry entry;
        entry.kind = Entry::Kind::QuarantineSkipped;
        entry.path = m_path;
        AddEntry(std::move(entry));
        return false;
    }
    std::sort(frame.items.begin(), frame.items.end(),
              [](const Frame::Item& a, const Frame::Item& b) { return a.name < b.name; });
    // On a disk that is not in memory the readers list the folders below
    // before the walk comes to them, as many at a time as files.
    if (m_detection && m_detection->Cold()) {
        std::vector<std::string> folders;
        const std::string base = m_path == "/" ? m_path : m_path + "/";
        for (const Frame::Item& item : frame.items)
            if (S_ISDIR(item.mode)) folders.push_back(base + item.name);
        m_detection->ReadFolders(std::move(folders));
    }
    stack.push_back(std::move(frame));
    // Descriptors stay bounded however deep the tree: the frame that falls
    // out of the window lets its own go (its entries keep theirs).
    if (stack.size() > kOpenFrames + 1 && stack.size() - 1 - kOpenFrames > 0) {
        Frame& old = stack[stack.size() - 1 - kOpenFrames];   // never the root: it holds the lock
        old.fd.reset();
        old.shared.reset();
    }
    return true;
}

// Opens the folder of stack[index] again, through ".." from the one below
// it, or else along the names from the nearest open folder above it; it
// must be the folder that was listed.
bool TreeScanner::Reopen(std::vector<Frame>& stack, size_t index) {
    Frame& frame = stack[index];
    if (index + 1 < stack.size() && stack[index + 1].fd) {
        int fd = OpenDirectory(stack[index + 1].fd.get(), "..");
        if (Is(fd, frame.dev, frame.ino)) {
            frame.fd.reset(fd);
            return true;
        }
        if (fd >= 0) ::close(fd);
    }
    size_t open = index;
    while (open > 0 && !stack[open].fd) --open;
    if (!stack[open].fd) return false;
    posix::UniqueFd at(::dup(stack[open].fd.get()));
    for (size_t i = open + 1; i <= index && at; ++i) at.reset(OpenDirectory(at.get(), stack[i].name.c_str()));
    if (!Is(at.get(), frame.dev, frame.ino)) return false;
    frame.fd = std::move(at);
    return true;
}

void TreeScanner::Walk(std::shared_ptr<DirNode> root, const std::string& path, dev_t rootDev) {
    std::vector<Frame> stack;
    m_path = path;
    if (!Enter(stack, ::dup(root->fd.get()), path)) return;
    std::set<std::pair<dev_t, ino_t>> ancestors{{stack.back().dev, stack.back().ino}};
    stack.back().shared = std::move(root);   // its lock lives as long as the walk
    while (!stack.empty() && !Stopped()) {
        Frame& top = stack.back();
        if (top.next == top.items.size()) {
            // The folder above is opened again while ".." from this one still leads there.
            if (stack.size() >= 2 && !stack[stack.size() - 2].fd && !Reopen(stack, stack.size() - 2)) {
                Frame& parent = stack[stack.size() - 2];
                if (parent.next < parent.items.size()) {
                    m_path.resize(parent.pathLength);
                    NotScanned(m_path, kMovedText);
                    parent.next = parent.items.size();
                }
            }
            ancestors.erase({stack.back().dev, stack.back().ino});
            stack.pop_back();
            continue;
        }
        if (!top.fd) {
            if (!Reopen(stack, stack.size() - 1)) {
                m_path.resize(top.pathLength);
                NotScanned(m_path, kMovedText);
                top.next = top.items.size();
                continue;
            }
        }
        Frame::Item item = std::move(top.items[top.next++]);
        m_path.resize(top.pathLength);
        if (m_path != "/") m_path += '/';
        m_path += item.name;
        if (IsExcluded(m_path)) continue;
        const std::pair<dev_t, ino_t> id{item.dev, item.ino};
        if (std::find(m_skipped.begin(), m_skipped.end(), id) != m_skipped.end()) continue;
        if (S_ISDIR(item.mode)) {
            if (item.dev != rootDev && !m_settings.crossFilesystems) continue;
            // A directory inside itself (a bind mount) is walked once.
            if (ancestors.count(id)) continue;
            int fd = OpenDirectory(top.fd.get(), item.name.c_str());
            if (fd < 0) {
                NotScanned(m_path, ReasonOf(errno));
                continue;
            }
            // The directory listed must be the one that was found.
            if (!Is(fd, item.dev, item.ino)) {
                ::close(fd);
                NotScanned(m_path, kMovedText);
                continue;
            }
            if (Enter(stack, fd, item.name)) ancestors.insert(id);
        } else if (S_ISREG(item.mode)) {
            if (!top.shared) {
                top.shared = std::make_shared<DirNode>();
                top.shared->fd.reset(::dup(top.fd.get()));
            }
            Entry entry;
            entry.kind = CopyOwner(item.name.c_str()) && !RunningScanner(CopyOwner(item.name.c_str()))
                             ? Entry::Kind::StaleCopy
                             : Entry::Kind::File;
            entry.dir = top.shared;
            entry.name = std::move(item.name);
            entry.path = m_path;
            entry.dev = item.dev;
            entry.ino = item.ino;
            entry.size = item.size;
            AddEntry(std::move(entry));
        }
        // Symbolic links, devices, sockets and pipes are never opened.
    }
}

void TreeScanner::AddEntry(Entry entry) {
    if (entry.dir && (m_batch.empty() || m_batch.back().dir != entry.dir)) ++m_batchFolders;
    m_batch.push_back(std::move(entry));
    if (m_batch.size() >= kBatchFiles || m_batchFolders >= kBatchFolders) Dispatch();
}

// The batch goes to detection (on threads of their own, while the walk goes
// on); the oldest batches are handled once too many are in detection, so
// that descriptors stay bounded, and in order, so that everything that is
// written (log lines, repairs) keeps the walk's order.
void TreeScanner::Dispatch() {
    m_detecting.push_back({std::move(m_batch), m_batchFolders});
    m_batch.clear();
    m_foldersDetecting += m_batchFolders;
    m_batchFolders = 0;
    std::vector<Entry>& entries = m_detecting.back().entries;
    if (m_detection) {
        m_detection->Submit(entries);
    } else {
        for (Entry& e : entries)
            if (e.kind == Entry::Kind::File)
                e.verdict = DetectAt(e.dir->fd.get(), e.name.c_str(), m_seams.read, e.unreadable, &e.size);
    }
    while (!m_detecting.empty() &&
           (!m_detection || m_detecting.size() > kBatchesDetecting || m_foldersDetecting > kBatchFolders))
        FinishOldest();
}

void TreeScanner::FinishOldest() {
    Batch& batch = m_detecting.front();
    if (m_detection) m_detection->Wait(batch.entries);
    for (Entry& entry : batch.entries) {
        // Once stopped no file is handled any more.
        const bool file = entry.kind == Entry::Kind::File || entry.kind == Entry::Kind::StaleCopy;
        if (!file || !Stopped()) Handle(entry);
    }
    m_foldersDetecting -= batch.folders;
    m_detecting.pop_front();
}

void TreeScanner::Finish() {
    while (!m_detecting.empty()) FinishOldest();
}

void TreeScanner::HandleStaleCopy(const Entry& entry) {
    const std::string shown = LogText(entry.path);
    if (m_settings.dryRun) {
        m_log.PathLine(shown.c_str(), "%s", kStaleCopyWouldText);
        return;
    }
    struct stat now;
    const int dir = entry.dir->fd.get();
    if (::fstatat(dir, entry.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == entry.ino &&
        now.st_dev == entry.dev && S_ISREG(now.st_mode) && ::unlinkat(dir, entry.name.c_str(), 0) == 0)
        m_log.PathLine(shown.c_str(), "%s", kStaleCopyRemovedText);
}

void TreeScanner::Handle(Entry& entry) {
    switch (entry.kind) {
    case Entry::Kind::NotScanned:
        m_log.PathLine(("directory " + LogText(entry.path)).c_str(), kNotScannedFormat, entry.reason);
        return;
    case Entry::Kind::QuarantineSkipped:
        m_log.PathLine(("directory " + LogText(entry.path)).c_str(), "%s", kQuarantineSkippedText);
        return;
    case Entry::Kind::StaleCopy:
        HandleStaleCopy(entry);
        return;
    case Entry::Kind::File:
        break;
    }
    ++stats.filesScanned;
    if (!entry.unreadable) bytesScanned += entry.size;
    if (!entry.unreadable && entry.verdict == kVerdictClean) {   // the common case: nothing to say
        if (m_progress) m_progress->Update(stats.filesScanned, bytesScanned, stats.infections);
        return;
    }
    const std::string shown = LogText(entry.path);
    const char* path = shown.c_str();
    const int dir = entry.dir->fd.get();
    if (entry.unreadable) {
        ++ioErrors;
        ++filesUnreadable;
        if (HasExeSuffix(path, entry.path.size())) m_log.PathLine(path, "%s", kCannotOpenForScanText);
    }
    if (entry.verdict != kVerdictClean) {
        // The file as it is now: the verdict is taken again from what is acted on.
        std::vector<uint8_t> content;
        struct stat st = {};
        FileOutcome problem = FileOutcome::Done;
        posix::UniqueFd fd(OpenForReading(dir, entry.name.c_str()));
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            problem = FileOutcome::Unreadable;
        else if (!ReadAll(fd.get(), content, static_cast<uint64_t>(st.st_size)))
            problem = errno == 0 ? FileOutcome::Changed : FileOutcome::Unreadable;
        // Another run acting on the same file holds it.
        else if (!m_settings.dryRun && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            problem = FileOutcome::HeldByAnotherRun;
        int verdict = problem == FileOutcome::Done ? DetectImage(content.data(), content.size()) : entry.verdict;
        bool quarantined = m_settings.quarantineDir.empty() || m_settings.dryRun;
        std::string quarantineEntry, changedEntry, leftHash;
        RunLog scratch;   // the dry run's repair says nothing
        auto leave = [&](FileOutcome why) {
            ++notCleaned;
            if (why == FileOutcome::Corrupt)
                ++stats.repairsFailed;
            else
                ++leftUnchanged;
            m_log.PathLine(path, "%s", OutcomeText(why, m_settings.dryRun));
            if (!quarantineEntry.empty()) DropQuarantine(quarantineEntry);
        };
        for (int layer = 0; layer < kMaxRepairLayers && verdict != kVerdictClean; ++layer) {
            m_log.PathLine(path, kInfectedWithText, DetectionName(m_def, verdict));
            ++stats.infections;
            if (problem == FileOutcome::Done && verdict != kVerdictInfectedHost)
                m_threatFiles.emplace_back(st.st_dev, st.st_ino);
            if (problem != FileOutcome::Done) {
                leave(problem);
                break;
            }
            if (!quarantined) {
                FileOutcome q = Quarantine(entry.path, content, st, fd.get(),
                                           verdict == kVerdictInfectedHost ? "repaired" : "deleted", quarantineEntry);
                if (q != FileOutcome::Done) {
                    leave(q == FileOutcome::Interrupted ? q : FileOutcome::NoQuarantineCopy);
                    break;
                }
                quarantined = true;
            }
            if (verdict != kVerdictInfectedHost) {
                if (m_settings.dryRun) {
                    ++stats.filesDeleted;
                    m_log.PathLine(path, "%s", kWouldDeleteText);
                } else if (!RemoveFile(dir, entry.name, shown, st) && !quarantineEntry.empty()) {
                    DropQuarantine(quarantineEntry);
                }
                break;
            }
            int64_t length = RepairGuarded(content, m_settings.dryRun ? scratch : m_log, path);
            if (length <= 0 || static_cast<uint64_t>(length) > content.size()) {
                leave(FileOutcome::Corrupt);
                break;
            }
            content.resize(static_cast<size_t>(length));
            if (m_settings.dryRun) {
                m_log.PathLine(path, "%s", kWouldRepairText);
            } else if (FileOutcome r = ReplaceFile(dir, entry.name, content, st, fd.get()); r != FileOutcome::Done) {
                leave(r);
                break;
            } else {
                // It stands for a change now, and records what the change left.
                if (!quarantineEntry.empty()) changedEntry = quarantineEntry;
                quarantineEntry.clear();
                if (!changedEntry.empty()) leftHash = quarantine::Sha256Hex(content.data(), content.size());
                m_log.PathLine(path, "%s", kFileRepairedText);
                ::fstatat(dir, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
                fd.reset(OpenForReading(dir, entry.name.c_str()));   // the new file, for the next layer
                if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
                    problem = FileOutcome::HeldByAnotherRun;
            }
            ++stats.repairs;
            verdict = DetectImage(content.data(), content.size());
        }
        if (!changedEntry.empty()) RecordLeft(changedEntry, leftHash);
    }
    if (m_progress) m_progress->Update(stats.filesScanned, bytesScanned, stats.infections);
}

// One entry per file: its bytes in the quarantine's form (NNNNNNNN.data),
// then what is known of it (NNNNNNNN.info); the entry counts once its .info
// has reached the disk. source: the original, open (its holes), or -1.
FileOutcome TreeScanner::Quarantine(const std::string& path, const std::vector<uint8_t>& content,
                                    const struct stat& st, int source, const char* action, std::string& entryName) {
    if (!m_quarantineReady) return FileOutcome::NoQuarantineCopy;
    posix::UniqueFd dir(OpenDirectory(AT_FDCWD, m_settings.quarantineDir.c_str()));
    if (!dir) return FileOutcome::NoQuarantineCopy;
    std::vector<uint8_t> encoded(content.size());
    std::transform(content.begin(), content.end(), encoded.begin(), quarantine::EncodeByte);
    for (int tries = 0; tries < 100000; ++tries, ++m_nextEntry) {
        char name[32];
        std::snprintf(name, sizeof name, "%08u", m_nextEntry);
        const std::string data = std::string(name) + ".data", info = std::string(name) + ".info";
        posix::UniqueFd fd(::openat(dir.get(), data.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST) continue;
            return FileOutcome::NoQuarantineCopy;
        }
        ++m_nextEntry;
        FileOutcome written = WriteCopy(::write, fd.get(), encoded, source, stopFlag);
        bool ok = written == FileOutcome::Done && ::fsync(fd.get()) == 0;
        ok = fd.reset() && ok;
        if (ok) {
            quarantine::Record r;
            r.path = path;
            r.action = action;
            r.size = static_cast<uint64_t>(st.st_size);
            r.hasMode = r.hasTimes = true;
            r.mode = static_cast<uint32_t>(st.st_mode & 07777);
            r.uid = static_cast<uint32_t>(st.st_uid);
            r.gid = static_cast<uint32_t>(st.st_gid);
            r.mtimeSeconds = st.st_mtim.tv_sec;
            r.mtimeNanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
            r.atimeSeconds = st.st_atim.tv_sec;
            r.atimeNanoseconds = static_cast<uint32_t>(st.st_atim.tv_nsec);
            r.sha256 = quarantine::Sha256Hex(content.data(), content.size());
            const std::string record = quarantine::ComposeRecord(r);
            posix::UniqueFd out(::openat(dir.get(), info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            std::vector<uint8_t> bytes(record.begin(), record.end());
            ok = out && WriteCopy(::write, out.get(), bytes, -1, nullptr) == FileOutcome::Done && ::fsync(out.get()) == 0;
            ok = out.reset() && ok;
            if (!ok) ::unlinkat(dir.get(), info.c_str(), 0);
        }
        if (!ok) {
            ::unlinkat(dir.get(), data.c_str(), 0);
            return written == FileOutcome::Interrupted ? written : FileOutcome::NoQuarantineCopy;
        }
        ::fsync(dir.get());
        entryName = name;
        return FileOutcome::Done;
    }
    return FileOutcome::NoQuarantineCopy;
}

// The hash of what a change left joins its entry's .info, which is
// replaced whole through a new file and one rename: a kill leaves the entry
// as it was (a restore then cannot tell an untouched file from a changed one
// and asks for --force), never half a record.
void TreeScanner::RecordLeft(const std::string& entryName, const std::string& hash) {
    posix::UniqueFd dir(OpenDirectory(AT_FDCWD, m_settings.quarantineDir.c_str()));
    if (!dir) return;
    const std::string info = entryName + ".info", next = entryName + ".info.new";
    std::vector<uint8_t> record;
    {
        posix::UniqueFd in(OpenForReading(dir.get(), info.c_str()));
        struct stat st;
        if (!in || ::fstat(in.get(), &st) != 0 || !ReadAll(in.get(), record, static_cast<uint64_t>(st.st_size))) return;
    }
    const std::string line = quarantine::LeftLine(hash);
    record.insert(record.end(), line.begin(), line.end());
    ::unlinkat(dir.get(), next.c_str(), 0);
    posix::UniqueFd out(::openat(dir.get(), next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool ok = out && WriteCopy(::write, out.get(), record, -1, nullptr) == FileOutcome::Done && ::fsync(out.get()) == 0;
    ok = out.reset() && ok;
    if (!ok || ::renameat(dir.get(), next.c_str(), dir.get(), info.c_str()) != 0) {
        ::unlinkat(dir.get(), next.c_str(), 0);
        return;
    }
    ::fsync(dir.get());
}

// An entry whose file was left as it was is not kept: it would name a
// change that did not happen.
void TreeScanner::DropQuarantine(const std::string& entryName) {
    posix::UniqueFd dir(OpenDirectory(AT_FDCWD, m_settings.quarantineDir.c_str()));
    if (!dir) return;
    ::unlinkat(dir.get(), (entryName + ".info").c_str(), 0);
    ::unlinkat(dir.get(), (entryName + ".data").c_str(), 0);
}

// The repaired content goes to a new file beside the original, which takes
// the original's owner, mode and times, reaches the disk, and only then
// replaces it in one rename. On any failure the original stays as it was
// and the copy is removed. Its name carries the pid, so that a later run
// knows a copy whose run was killed.
FileOutcome TreeScanner::ReplaceFile(int dir, const std::string& name, const std::vector<uint8_t>& content,
                                     const struct stat& st, int original) {
    std::string copy;
    posix::UniqueFd fd;
    for (unsigned n = 0; n < kFixNames && !fd; ++n) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, "%s%d-%u", kCopyTag, static_cast<int>(::getpid()), n);
        copy = name.substr(0, std::min(name.size(), NAME_MAX - std::strlen(suffix))) + suffix;
        fd.reset(::openat(dir, copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd) break;
        if (errno == EROFS || errno == EACCES || errno == EPERM) return FileOutcome::FolderReadOnly;
        if (errno != EEXIST) return WriteFailure(errno);
    }
    if (!fd) return FileOutcome::WriteFailed;

    struct stat now;
    FileOutcome outcome = WriteCopy(m_seams.write, fd.get(), content, original, stopFlag);
    if (outcome == FileOutcome::Done && !KeepAttributes(fd.get(), st, original)) outcome = FileOutcome::WriteFailed;
    if (outcome == FileOutcome::Done && ::fsync(fd.get()) != 0) outcome = WriteFailure(errno);
    if (!fd.reset() && outcome == FileOutcome::Done) outcome = WriteFailure(errno);
    // The original must still be the file that was read.
    if (outcome == FileOutcome::Done &&
        (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, st)))
        outcome = FileOutcome::Changed;
    if (outcome == FileOutcome::Done && ::renameat(dir, copy.c_str(), dir, name.c_str()) != 0)
        outcome = errno == EROFS || errno == EACCES || errno == EPERM ? FileOutcome::FolderReadOnly
                                                                      : FileOutcome::WriteFailed;
    if (outcome != FileOutcome::Done) {
        ::unlinkat(dir, copy.c_str(), 0);
        return outcome;
    }
    ::fsync(dir);
    return FileOutcome::Done;
}

// Deletes the file that was examined: the name must still lead to it
// (same device and inode) in the folder it was found in.
bool TreeScanner::RemoveFile(int dir, const std::string& name, const std::string& logPath, const struct stat& examined) {
    struct stat now;
    if (dir >= 0 && ::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == examined.st_dev &&
        now.st_ino == examined.st_ino && ::unlinkat(dir, name.c_str(), 0) == 0) {
        ++stats.filesDeleted;
        m_log.Format("%s%s", logPath.c_str(), kDeletedText);
        ::fsync(dir);
        return true;
    }
    ++stats.deleteFailed;
    ++notCleaned;
    m_log.Format("%s%s", logPath.c_str(), kDeleteFailedText);
    return false;
}

bool TreeScanner::ReplaceContent(const std::string& path, const std::vector<uint8_t>& content) {
    struct stat st;
    std::vector<uint8_t> original;
    posix::UniqueFd dir(OpenDirectory(AT_FDCWD, Parent(path).c_str()));
    const std::string name = BaseName(path);
    posix::UniqueFd fd(dir ? OpenForReading(dir.get(), name.c_str()) : -1);
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::string entryName;
    if (!m_settings.quarantineDir.empty() &&
        (!ReadAll(fd.get(), original, static_cast<uint64_t>(st.st_size)) ||
         Quarantine(path, original, st, fd.get(), "replaced", entryName) != FileOutcome::Done))
        return false;
    if (ReplaceFile(dir.get(), name, content, st, fd.get()) == FileOutcome::Done) {
        if (!entryName.empty()) RecordLeft(entryName, quarantine::Sha256Hex(content.data(), content.size()));
        return true;
    }
    if (!entryName.empty()) DropQuarantine(entryName);
    return false;
}

void TreeScanner::DeleteListedFile(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    // A file the walk met is counted once: a dry run leaves it in place, a
    // failed delete would fail and be counted again.
    const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
    if (std::find(m_threatFiles.begin(), m_threatFiles.end(), id) != m_threatFiles.end()) return;
    if (m_settings.dryRun) {
        ++stats.filesDeleted;
        m_log.PathLine(LogText(path).c_str(), "%s", kWouldDeleteText);
        return;
    }
    posix::UniqueFd dir(OpenDirectory(AT_FDCWD, Parent(path).c_str()));
    const std::string name = BaseName(path);
    std::string entryName;
    if (!m_settings.quarantineDir.empty() && S_ISREG(st.st_mode)) {
        std::vector<uint8_t> content;
        posix::UniqueFd fd(dir ? OpenForReading(dir.get(), name.c_str()) : -1);
        if (!fd || !ReadAll(fd.get(), content, static_cast<uint64_t>(st.st_size)) ||
            Quarantine(path, content, st, fd.get(), "deleted", entryName) != FileOutcome::Done) {
            ++notCleaned;
            ++leftUnchanged;
            m_log.PathLine(LogText(path).c_str(), "%s", kQuarantineFailedText);
            return;
        }
    }
    if (!RemoveFile(dir.get(), name, LogText(path), st) && !entryName.empty()) DropQuarantine(entryName);
}

}  // namespace native
