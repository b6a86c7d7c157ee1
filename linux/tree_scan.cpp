#include "linux/tree_scan.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "linux/unique_fd.h"
#include "scan/detect_core.h"
#include "scan/file_lines_core.h"
#include "scan/repair_core.h"

namespace native {

const char kQuarantineFailedText[] = "(WARNING: not changed, the quarantine copy could not be made)";

namespace {

constexpr size_t kBatchFiles = 512;
// Files up to this size are read into memory for detection; larger ones are mapped.
constexpr size_t kReadWholeBytes = 1 << 20;
// A repaired file is scanned again; a repair that never ends is cut off here.
constexpr int kMaxRepairLayers = 1000;
constexpr unsigned kFixNames = 0x10000;
constexpr int kQuarantineNames = 1000;

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

std::string Parent(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Child(const std::string& dir, const char* name) {
    return dir == "/" ? dir + name : dir + "/" + name;
}

// Opens for reading without following a link and without touching the
// access time where the owner allows it.
int OpenForReading(const char* path) {
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(path, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::open(path, flags);
    return fd;
}

bool ReadAll(int fd, std::vector<uint8_t>& out, uint64_t size) {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    // A file that grew while it was read is not the one detection saw.
    uint8_t extra;
    return ::pread(fd, &extra, 1, static_cast<off_t>(size)) == 0;
}

bool WriteAll(ssize_t (*write)(int, const void*, size_t), int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
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

int DetectFile(const std::string& path, bool& unreadable) {
    unreadable = false;
    posix::UniqueFd fd(OpenForReading(path.c_str()));
    if (!fd) {
        unreadable = errno != ENOENT;   // a file that went away is no error
        return kVerdictClean;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return kVerdictClean;
    size_t size = static_cast<size_t>(st.st_size);
    // Small files are read: a mapping costs more than the copy, and its
    // removal stops every other thread of the process for a moment.
    if (size <= kReadWholeBytes) {
        thread_local std::vector<uint8_t> buffer;
        if (buffer.size() < kReadWholeBytes) buffer.resize(kReadWholeBytes);
        size_t got = 0;
        while (got < size) {
            ssize_t n = ::pread(fd.get(), buffer.data() + got, size - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                unreadable = true;
                return kVerdictClean;
            }
            if (n == 0) break;   // it shrank: what is there is what is judged
            got += static_cast<size_t>(n);
        }
        return DetectInfection(buffer.data(), got);
    }
    posix::Mapping view(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0), size);
    if (!view) {
        unreadable = true;
        return kVerdictClean;
    }
    return DetectImage(view.data(), size);
}

ExitStatus StatusOf(const RemovalStats& s, uint32_t notCleaned, uint32_t ioErrors) {
    bool found = s.infections + s.filesDeleted + s.deleteFailed + s.registryEntriesFixed != 0;
    if (found && (notCleaned || s.repairsFailed || s.deleteFailed)) return ExitStatus::NotAllCleaned;
    if (ioErrors) return ExitStatus::Error;
    return found ? ExitStatus::AllCleaned : ExitStatus::NothingFound;
}

TreeScanner::TreeScanner(const ThreatDefinition& def, const ScanSettings& settings, RunLog& log,
                         ScanProgress* progress, ScanSeams seams)
    : m_def(def), m_settings(settings), m_log(log), m_progress(progress), m_seams(seams) {
    if (!m_seams.write) m_seams.write = ::write;
    if (m_settings.jobs == 0) m_settings.jobs = 1;
    if (!m_settings.quarantineDir.empty()) {
        MakeDirectories(m_settings.quarantineDir);
        SkipPath(m_settings.quarantineDir);
    }
}

void TreeScanner::SkipPath(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) m_skipped.emplace_back(st.st_dev, st.st_ino);
}

bool TreeScanner::IsExcluded(const std::string& path) const {
    for (const std::string& ex : m_settings.excludes) {
        if (path.size() < ex.size() || path.compare(0, ex.size(), ex) != 0) continue;
        if (path.size() == ex.size() || path[ex.size()] == '/' || ex == "/") return true;
    }
    return false;
}

bool TreeScanner::ScanTree(const std::string& root) {
    char* resolved = ::realpath(root.c_str(), nullptr);
    if (!resolved) {
        ++ioErrors;
        return false;
    }
    std::string path = resolved;
    std::free(resolved);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        ++ioErrors;
        return false;
    }
    if (IsExcluded(path)) return true;
    if (S_ISREG(st.st_mode)) {
        AddFile({path, st.st_dev, st.st_ino, static_cast<uint64_t>(st.st_size)});
    } else if (S_ISDIR(st.st_mode)) {
        std::vector<std::pair<dev_t, ino_t>> ancestors;
        WalkDirectory(path, st.st_dev, st.st_ino, st.st_dev, ancestors);
    }
    Dispatch();
    Finish();
    return true;
}

void TreeScanner::WalkDirectory(const std::string& path, dev_t dev, ino_t ino, dev_t rootDev,
                                std::vector<std::pair<dev_t, ino_t>>& ancestors) {
    const std::pair<dev_t, ino_t> self{dev, ino};
    // A directory inside itself (a bind mount) is walked once.
    if (std::find(ancestors.begin(), ancestors.end(), self) != ancestors.end()) return;
    if (std::find(m_skipped.begin(), m_skipped.end(), self) != m_skipped.end()) return;

    struct Item {
        std::string name;
        struct stat st;
    };
    std::vector<Item> items;
    {
        posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        // The directory listed must be the one that was found.
        if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_dev != dev || st.st_ino != ino) {
            ++ioErrors;
            return;
        }
        // The whole listing is read before anything in it changes, so that a
        // replaced file is never met a second time.
        int listFd = ::dup(fd.get());
        posix::UniqueDir dir(listFd >= 0 ? ::fdopendir(listFd) : nullptr);
        if (!dir) {
            if (listFd >= 0) ::close(listFd);
            ++ioErrors;
            return;
        }
        while (const dirent* e = ::readdir(dir.get())) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            Item item{e->d_name, {}};
            if (::fstatat(fd.get(), e->d_name, &item.st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            items.push_back(std::move(item));
        }
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.name < b.name; });

    ancestors.push_back(self);
    for (const Item& item : items) {
        std::string child = Child(path, item.name.c_str());
        if (IsExcluded(child)) continue;
        const std::pair<dev_t, ino_t> id{item.st.st_dev, item.st.st_ino};
        if (std::find(m_skipped.begin(), m_skipped.end(), id) != m_skipped.end()) continue;
        if (S_ISDIR(item.st.st_mode)) {
            if (item.st.st_dev != rootDev && !m_settings.crossFilesystems) continue;
            WalkDirectory(child, item.st.st_dev, item.st.st_ino, rootDev, ancestors);
        } else if (S_ISREG(item.st.st_mode)) {
            AddFile({std::move(child), item.st.st_dev, item.st.st_ino, static_cast<uint64_t>(item.st.st_size)});
        }
        // Symbolic links, devices, sockets and pipes are never opened.
    }
    ancestors.pop_back();
}

void TreeScanner::AddFile(Entry entry) {
    m_batch.push_back(std::move(entry));
    if (m_batch.size() >= kBatchFiles) Dispatch();
}

// The batch goes to detection (with more than one job on threads of its own,
// while the walk goes on); the batch before it is handled first, so that
// everything that is written (log lines, repairs) keeps the walk's order.
void TreeScanner::Dispatch() {
    Finish();
    m_detecting.swap(m_batch);
    auto detect = [](std::vector<Entry>& batch, unsigned jobs) {
        std::atomic<size_t> next{0};
        auto work = [&] {
            for (size_t i; (i = next.fetch_add(1)) < batch.size();)
                batch[i].verdict = DetectFile(batch[i].path, batch[i].unreadable);
        };
        std::vector<std::thread> threads;
        for (size_t t = 1; t < std::min<size_t>(jobs, batch.size()); ++t) threads.emplace_back(work);
        work();
        for (std::thread& t : threads) t.join();
    };
    if (m_settings.jobs <= 1)
        detect(m_detecting, 1);
    else
        m_pending = std::async(std::launch::async, detect, std::ref(m_detecting), m_settings.jobs);
}

void TreeScanner::Finish() {
    if (m_pending.valid()) m_pending.get();
    for (Entry& entry : m_detecting) Handle(entry);
    m_detecting.clear();
}

void TreeScanner::Handle(Entry& entry) {
    ++stats.filesScanned;
    bytesScanned += entry.size;
    const std::string shown = LogText(entry.path);
    const char* path = shown.c_str();
    if (entry.unreadable) {
        ++ioErrors;
        if (HasExeSuffix(path, entry.path.size())) m_log.PathLine(path, "%s", kCannotOpenForScanText);
    }
    if (entry.verdict != kVerdictClean) {
        // The file as it is now: the verdict is taken again from what is acted on.
        std::vector<uint8_t> content;
        struct stat st = {};
        bool read = false;
        {
            posix::UniqueFd fd(OpenForReading(entry.path.c_str()));
            read = fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                   ReadAll(fd.get(), content, static_cast<uint64_t>(st.st_size));
        }
        int verdict = read ? DetectImage(content.data(), content.size()) : entry.verdict;
        bool quarantined = m_settings.quarantineDir.empty() || m_settings.dryRun;
        RunLog scratch;   // the dry run's repair says nothing
        for (int layer = 0; layer < kMaxRepairLayers && verdict != kVerdictClean; ++layer) {
            m_log.PathLine(path, kInfectedWithText, DetectionName(m_def, verdict));
            ++stats.infections;
            if (read && verdict != kVerdictInfectedHost) m_threatFiles.emplace_back(st.st_dev, st.st_ino);
            if (!read) {   // as the Windows program says when it cannot copy the file
                ++stats.repairsFailed;
                ++notCleaned;
                m_log.PathLine(path, "%s", kRepairFailedText);
                break;
            }
            if (!quarantined && !(quarantined = Quarantine(entry.path, content, st))) {
                ++notCleaned;
                m_log.PathLine(path, "%s", kQuarantineFailedText);
                break;
            }
            if (verdict != kVerdictInfectedHost) {
                if (m_settings.dryRun) {
                    ++stats.filesDeleted;
                    m_log.PathLine(path, "%s", kWouldDeleteText);
                } else {
                    RemoveFile(entry.path, shown, st);
                }
                break;
            }
            int64_t length = RepairGuarded(content, m_settings.dryRun ? scratch : m_log, path);
            if (length <= 0 || static_cast<uint64_t>(length) > content.size()) {
                ++stats.repairsFailed;
                ++notCleaned;
                m_log.PathLine(path, "%s", m_settings.dryRun ? kWouldFailText : kRepairFailedText);
                break;
            }
            content.resize(static_cast<size_t>(length));
            if (m_settings.dryRun) {
                m_log.PathLine(path, "%s", kWouldRepairText);
            } else if (!ReplaceFile(entry.path, content, st)) {
                ++stats.repairsFailed;
                ++notCleaned;
                m_log.PathLine(path, "%s", kRepairFailedText);
                break;
            } else {
                m_log.PathLine(path, "%s", kFileRepairedText);
                ::lstat(entry.path.c_str(), &st);
            }
            ++stats.repairs;
            verdict = DetectImage(content.data(), content.size());
        }
    }
    if (m_progress) m_progress->Update(stats.filesScanned, bytesScanned, stats.infections);
}

bool TreeScanner::Quarantine(const std::string& path, const std::vector<uint8_t>& content, const struct stat& st) {
    std::string target = m_settings.quarantineDir + path;
    if (!MakeDirectories(Parent(target))) return false;
    for (int n = 0; n < kQuarantineNames; ++n) {
        // An earlier copy of the same path is kept: the first one is the original.
        std::string name = n ? target + "." + std::to_string(n) : target;
        posix::UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST) continue;
            return false;
        }
        bool ok = WriteAll(::write, fd.get(), content.data(), content.size()) && KeepAttributes(fd.get(), st, -1) &&
                  ::fsync(fd.get()) == 0;
        if (!fd.reset() || !ok) {
            ::unlink(name.c_str());
            return false;
        }
        return true;
    }
    return false;
}

// The repaired content goes to a new file beside the original, which takes
// the original's owner, mode and times, reaches the disk, and only then
// replaces it in one rename. On any failure the original stays as it was
// and the copy is removed.
bool TreeScanner::ReplaceFile(const std::string& path, const std::vector<uint8_t>& content, const struct stat& st) {
    posix::UniqueFd dir(::open(Parent(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return false;
    const std::string base = BaseName(path);
    std::string copy;
    posix::UniqueFd fd;
    for (unsigned n = 0; n < kFixNames && !fd; ++n) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".fix%04X", n);
        copy = base + suffix;
        fd.reset(::openat(dir.get(), copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && errno != EEXIST) return false;
    }
    if (!fd) return false;

    struct stat now;
    posix::UniqueFd original(::openat(dir.get(), base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    bool ok = original && WriteAll(m_seams.write, fd.get(), content.data(), content.size()) &&
              KeepAttributes(fd.get(), st, original.get()) && ::fsync(fd.get()) == 0;
    ok = fd.reset() && ok;
    // The original must still be the file that was read.
    ok = ok && ::fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(now, st);
    ok = ok && ::renameat(dir.get(), copy.c_str(), dir.get(), base.c_str()) == 0;
    if (!ok) {
        ::unlinkat(dir.get(), copy.c_str(), 0);
        return false;
    }
    ::fsync(dir.get());
    return true;
}

// Deletes the file that was examined: the name must still lead to it
// (same device and inode) in a folder reached without a link at its end.
bool TreeScanner::RemoveFile(const std::string& path, const std::string& logPath, const struct stat& examined) {
    posix::UniqueFd dir(::open(Parent(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const std::string base = BaseName(path);
    struct stat now;
    if (dir && ::fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == examined.st_dev &&
        now.st_ino == examined.st_ino && ::unlinkat(dir.get(), base.c_str(), 0) == 0) {
        ++stats.filesDeleted;
        m_log.Format("%s%s", logPath.c_str(), kDeletedText);
        ::fsync(dir.get());
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
    posix::UniqueFd fd(OpenForReading(path.c_str()));
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (!m_settings.quarantineDir.empty() &&
        (!ReadAll(fd.get(), original, static_cast<uint64_t>(st.st_size)) || !Quarantine(path, original, st)))
        return false;
    return ReplaceFile(path, content, st);
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
    if (!m_settings.quarantineDir.empty() && S_ISREG(st.st_mode)) {
        std::vector<uint8_t> content;
        posix::UniqueFd fd(OpenForReading(path.c_str()));
        if (!fd || !ReadAll(fd.get(), content, static_cast<uint64_t>(st.st_size)) || !Quarantine(path, content, st)) {
            ++notCleaned;
            m_log.PathLine(LogText(path).c_str(), "%s", kQuarantineFailedText);
            return;
        }
    }
    RemoveFile(path, LogText(path), st);
}

}  // namespace native
