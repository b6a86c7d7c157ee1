#include "linux/restore.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "linux/path_parts.h"
#include "linux/tree_scan.h"
#include "linux/unique_fd.h"
#include "scan/quarantine_core.h"

namespace native {

struct Restorer::Entry {
    unsigned number = 0;
    quarantine::ParseOutcome parse = quarantine::ParseOutcome::Incomplete;
    quarantine::Record record;
};

namespace {

// Restored copies carry the tag of the scanner's repair copies, so that a
// later run removes the copy of a restore that was killed.
const char kCopyTag[] = ".fixquorvin-";
constexpr size_t kWriteChunk = 1 << 20;

int OpenDirectory(int dir, const char* name) {
    return ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool ReadWhole(int fd, std::vector<uint8_t>& out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.insert(out.end(), buffer, buffer + n);
    }
}

bool ReadText(int dir, const std::string& name, std::string& text) {
    posix::UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<uint8_t> bytes;
    if (!fd || !ReadWhole(fd.get(), bytes)) return false;
    text.assign(bytes.begin(), bytes.end());
    return true;
}

bool MakeDirectories(const std::string& path) {
    if (path.empty() || path == "/") return true;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!MakeDirectories(Parent(path))) return false;
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool Same(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

RestoreOutcome WriteFailure(int error) {
    if (error == ENOSPC || error == EDQUOT) return RestoreOutcome::DiskFull;
    if (error == EROFS || error == EACCES || error == EPERM) return RestoreOutcome::FolderReadOnly;
    return RestoreOutcome::WriteFailed;
}

}  // namespace

Restorer::Restorer(const RestoreSettings& settings, RunLog& log, RestoreSeams seams)
    : m_settings(settings), m_log(log), m_seams(seams) {
    if (!m_seams.write) m_seams.write = ::write;
}

Restorer::~Restorer() {
    if (m_dir >= 0) ::close(m_dir);
}

// Only a folder that holds the marker (a regular file that starts with the
// marker's first line) is read: anything else is not ours to take files from.
bool Restorer::Open(std::string& problem) {
    const std::string& dir = m_settings.quarantineDir;
    m_dir = OpenDirectory(AT_FDCWD, dir.c_str());
    if (m_dir < 0) {
        problem = "cannot open the quarantine folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::string marker;
    struct stat st;
    if (::fstatat(m_dir, quarantine::kMarkerName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !ReadText(m_dir, quarantine::kMarkerName, marker) || !marker.starts_with(quarantine::kMarkerFirstLine)) {
        problem = "the folder " + dir + " is not a quarantine of fixquorvin";
        return false;
    }
    posix::UniqueDir list(::fdopendir(::dup(m_dir)));
    if (!list) {
        problem = "cannot read the quarantine folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    while (const dirent* e = ::readdir(list.get())) {
        Entry entry;
        entry.number = quarantine::EntryNumber(e->d_name);
        if (!entry.number) continue;
        std::string text;
        if (ReadText(m_dir, e->d_name, text))
            entry.parse = quarantine::ParseRecord(text, entry.record);
        m_entries.push_back(std::move(entry));
    }
    // Newest first: of several entries for one path, the last run's is the
    // one that matches the file as it is.
    std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) { return a.number > b.number; });
    return true;
}

bool Restorer::Wanted(const std::string& path) const {
    if (m_settings.paths.empty()) return true;
    for (const std::string& p : m_settings.paths) {
        if (path.size() < p.size() || path.compare(0, p.size(), p) != 0) continue;
        if (path.size() == p.size() || path[p.size()] == '/' || p == "/") return true;
    }
    return false;
}

void Restorer::Step() {
    if (m_seams.beforeChange) m_seams.beforeChange();
}

void Restorer::Run() {
    std::set<std::string> done;
    for (const Entry& entry : m_entries) {
        if (stopFlag && *stopFlag) {
            interrupted = true;
            break;
        }
        char number[16];
        std::snprintf(number, sizeof number, "%08u", entry.number);
        const bool readable = entry.parse == quarantine::ParseOutcome::Ok;
        if (readable && (!Wanted(entry.record.path) || !done.insert(entry.record.path).second)) continue;
        const std::string shown =
            readable ? LogText(entry.record.path) : "quarantine entry " + m_settings.quarantineDir + "/" + number + ".info";
        RestoreOutcome outcome = Restore(entry);
        if (outcome == RestoreOutcome::Interrupted) interrupted = true;
        counts.Add(outcome);
        m_log.PathLine(shown.c_str(), "%s", quarantine::RestoreText(outcome, m_settings.dryRun));
        if (interrupted) break;
    }
    if (interrupted) m_log.Line("WARNING: the restore was interrupted: it stopped before it finished.");
    counts.interrupted = interrupted;
    m_log.Empty();
    quarantine::ComposeRestoreReport(counts, m_settings.dryRun, m_log);
}

RestoreOutcome Restorer::Restore(const Entry& entry) {
    if (entry.parse != quarantine::ParseOutcome::Ok) return RestoreOutcome::EntryUnreadable;
    char data[16];
    std::snprintf(data, sizeof data, "%08u.data", entry.number);

    // The copy first: a damaged one is never put anywhere.
    std::vector<uint8_t> bytes;
    {
        posix::UniqueFd fd(::openat(m_dir, data, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return errno == ENOENT ? RestoreOutcome::CopyMissing : RestoreOutcome::EntryUnreadable;
        if (!ReadWhole(fd.get(), bytes)) return RestoreOutcome::EntryUnreadable;
    }
    quarantine::Record r = entry.record;
    if (RestoreOutcome copy = quarantine::CheckCopy(r, bytes); copy != RestoreOutcome::Restored) return copy;

    // The target as it is now.
    const std::string parent = Parent(r.path), name = BaseName(r.path);
    const bool deleted = r.action == "deleted";
    posix::UniqueFd dir(OpenDirectory(AT_FDCWD, parent.c_str()));
    if (!dir && errno == ENOENT && !deleted && !m_settings.force) return RestoreOutcome::GoneAfterRepair;
    if (!dir && errno == ENOENT && m_settings.dryRun) return deleted ? RestoreOutcome::Restored : RestoreOutcome::Forced;
    if (!dir && errno == ENOENT) {
        Step();
        if (!MakeDirectories(parent)) return RestoreOutcome::FolderMissing;
        dir.reset(OpenDirectory(AT_FDCWD, parent.c_str()));
    }
    if (!dir) return errno == ENOTDIR ? RestoreOutcome::FolderMissing : RestoreOutcome::WriteFailed;
    struct stat seen = {};
    quarantine::Target target;
    target.exists = ::fstatat(dir.get(), name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) == 0;
    if (!target.exists && errno != ENOENT) return RestoreOutcome::WriteFailed;
    target.directory = S_ISDIR(seen.st_mode);
    target.link = S_ISLNK(seen.st_mode);
    target.special = !S_ISREG(seen.st_mode) && !target.directory && !target.link;
    if (target.exists && S_ISREG(seen.st_mode)) {
        posix::UniqueFd fd(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        std::vector<uint8_t> now;
        if (!fd || !ReadWhole(fd.get(), now)) return RestoreOutcome::WriteFailed;
        target.sha256 = quarantine::Sha256Hex(now.data(), now.size());
    }
    const RestoreOutcome success = quarantine::JudgeTarget(r, target, m_settings.force);
    if (success != RestoreOutcome::Restored && success != RestoreOutcome::Forced) return success;
    const bool exists = target.exists;
    if (m_settings.dryRun) return success;
    RestoreOutcome put = PutBack(dir.get(), name, bytes, r, exists, seen);
    return put == RestoreOutcome::Restored ? success : put;
}

// The original goes to a new file beside the target, takes its owner, mode
// and times, reaches the disk, and only then takes the target's name in one
// rename: a kill at any point leaves the target as it was or restored.
RestoreOutcome Restorer::PutBack(int dir, const std::string& name, const std::vector<uint8_t>& bytes,
                                 const quarantine::Record& r, bool exists, const struct ::stat& seen) {
    std::string copy;
    posix::UniqueFd fd;
    for (unsigned n = 0; n < 1000 && !fd; ++n) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, "%s%d-%u", kCopyTag, static_cast<int>(::getpid()), n);
        copy = name.substr(0, std::min(name.size(), NAME_MAX - std::strlen(suffix))) + suffix;
        Step();
        fd.reset(::openat(dir, copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && errno != EEXIST) return WriteFailure(errno);
    }
    if (!fd) return RestoreOutcome::WriteFailed;
    RestoreOutcome outcome = RestoreOutcome::Restored;
    auto fail = [&](RestoreOutcome why) {
        if (outcome == RestoreOutcome::Restored) outcome = why;
    };
    for (size_t at = 0; at < bytes.size() && outcome == RestoreOutcome::Restored;) {
        if (stopFlag && *stopFlag) {
            fail(RestoreOutcome::Interrupted);
            break;
        }
        Step();
        ssize_t n = m_seams.write(fd.get(), bytes.data() + at, std::min(bytes.size() - at, kWriteChunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(WriteFailure(n < 0 ? errno : ENOSPC));
        else at += static_cast<size_t>(n);
    }
    // Owner before mode: a new owner clears the set-id bits.
    if (r.hasMode) {
        struct stat now;
        Step();
        if (outcome == RestoreOutcome::Restored && ::fstat(fd.get(), &now) == 0 &&
            (now.st_uid != r.uid || now.st_gid != r.gid) && ::fchown(fd.get(), r.uid, r.gid) != 0)
            fail(RestoreOutcome::WriteFailed);
    }
    Step();
    if (outcome == RestoreOutcome::Restored && ::fchmod(fd.get(), r.hasMode ? r.mode : 0644) != 0)
        fail(RestoreOutcome::WriteFailed);
    if (r.hasTimes && outcome == RestoreOutcome::Restored) {
        const struct timespec times[2] = {{r.atimeSeconds, static_cast<long>(r.atimeNanoseconds)},
                                          {r.mtimeSeconds, static_cast<long>(r.mtimeNanoseconds)}};
        Step();
        if (::futimens(fd.get(), times) != 0) fail(RestoreOutcome::WriteFailed);
    }
    Step();
    if (outcome == RestoreOutcome::Restored && ::fsync(fd.get()) != 0) fail(WriteFailure(errno));
    if (!fd.reset()) fail(WriteFailure(errno));
    // The target must still be what was judged a moment ago.
    struct stat now;
    const bool there = ::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (there != exists || (exists && !Same(now, seen))) fail(RestoreOutcome::ChangedDuringRestore);
    if (outcome == RestoreOutcome::Restored) {
        Step();
        const int done = exists ? ::renameat(dir, copy.c_str(), dir, name.c_str())
                                : ::renameat2(dir, copy.c_str(), dir, name.c_str(), RENAME_NOREPLACE);
        if (done != 0) fail(errno == EEXIST ? RestoreOutcome::ChangedDuringRestore : WriteFailure(errno));
    }
    if (outcome != RestoreOutcome::Restored) {
        ::unlinkat(dir, copy.c_str(), 0);
        return outcome;
    }
    ::fsync(dir);
    return outcome;
}

void Restorer::List(std::FILE* out) const {
    for (const Entry& e : m_entries) {
        if (e.parse != quarantine::ParseOutcome::Ok) {
            std::fprintf(out, "%08u  (WARNING: the entry cannot be read)\n", e.number);
            continue;
        }
        char when[32] = "-";
        if (e.record.hasTimes) {
            std::time_t t = static_cast<std::time_t>(e.record.mtimeSeconds);
            struct tm tm;
            if (::gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
        }
        std::fprintf(out, "%08u  %-8s  %10llu  %s  %s%s\n", e.number, e.record.action.c_str(),
                     static_cast<unsigned long long>(e.record.size), when, LogText(e.record.path).c_str(),
                     e.record.left.empty() && e.record.action != "deleted" ? "  (what the run left is not recorded)"
                                                                          : "");
    }
    std::fprintf(out, "%zu entries in %s\n", m_entries.size(), m_settings.quarantineDir.c_str());
}

int RestoreStatus(const Restorer& restorer, bool ran) {
    quarantine::RestoreCounts counts = restorer.counts;
    counts.interrupted = counts.interrupted || restorer.interrupted;
    return static_cast<int>(quarantine::RestoreExitCode(counts, ran, false));
}

}  // namespace native
