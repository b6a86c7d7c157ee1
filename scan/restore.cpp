#include "scan/restore.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "run/native_path.h"
#include "run/run_context.h"
#include "scan/delete.h"
#include "scan/file_handles.h"
#include "scan/quarantine_core.h"

namespace {

using quarantine::RestoreOutcome;

const char kNotRun[] = "WARNING: nothing was restored: %s.";
constexpr DWORD kChunk = 1 << 20;
constexpr uint64_t kUnixEpoch = 116444736000000000ull;

template <typename C>
using Str = std::basic_string<C>;

template <typename C>
Str<C> Ascii(const std::string& text) {
    Str<C> s;
    for (char c : text) s.push_back(C(static_cast<unsigned char>(c)));
    return s;
}

// An ANSI path as this platform's native one.
template <typename C>
bool Native(const std::string& ansi, Str<C>& out) {
    if constexpr (sizeof(C) == 1) {
        out = ansi;
        return !out.empty();
    } else {
        return LongWidePath(ansi, out);
    }
}

template <typename C>
DWORD Attributes(const C* path) {
    if constexpr (sizeof(C) == 1) return GetFileAttributesA(path);
    else return GetFileAttributesW(path);
}

template <typename C>
bool ReadWhole(const ApiSet<C>& api, const C* path, std::vector<uint8_t>& out) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (sizeof(C) == 2 ? FILE_SHARE_DELETE : 0);
    win32::UniqueFile file(api.CreateFile(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    size_t size = 0;
    if (!file || !FileSize(file.get(), size)) return false;
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        DWORD got = 0, piece = size - done < kChunk ? static_cast<DWORD>(size - done) : kChunk;
        if (!ReadFile(file.get(), out.data() + done, piece, &got, nullptr)) return false;
        if (got == 0) break;
        done += got;
    }
    out.resize(done);
    return true;
}

FILETIME FileTime(int64_t seconds, uint32_t nanoseconds) {
    const uint64_t ticks = static_cast<uint64_t>(seconds * 10000000 + nanoseconds / 100 + static_cast<int64_t>(kUnixEpoch));
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return t;
}

RestoreOutcome WriteFailure(DWORD error) {
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return RestoreOutcome::DiskFull;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) return RestoreOutcome::FolderReadOnly;
    return RestoreOutcome::WriteFailed;
}

struct Entry {
    unsigned number;
    std::string info;
};

template <typename C>
class Restore {
public:
    Restore(RemovalRun& run) : m_run(run), m_api(run.api.Get<C>()) {}

    bool Run() {
        const std::string& given = m_run.options.restoreDir;
        std::string shown = given;
        while (shown.size() > 3 && (shown.back() == '\\' || shown.back() == '/')) shown.pop_back();
        if (!Native(shown, m_dir)) return NotRun("cannot open the quarantine folder " + shown);
        const DWORD attributes = Attributes(m_dir.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return NotRun("cannot open the quarantine folder " + shown);
        std::vector<uint8_t> marker;
        const std::string first = quarantine::kMarkerFirstLine;
        if (!ReadWhole(m_api, (m_dir + C('\\') + Ascii<C>(quarantine::kMarkerName)).c_str(), marker) ||
            marker.size() < first.size() || std::string(marker.begin(), marker.begin() + first.size()) != first)
            return NotRun("the folder " + shown + " is not a quarantine of fixquorvin");

        std::vector<Entry> entries;
        FindData<C> found;
        win32::UniqueFind search(m_api.FindFirstFile((m_dir + Ascii<C>("\\*.info")).c_str(), &found));
        if (search) {
            do {
                std::string name;
                for (const C* c = found.cFileName; *c; ++c) name.push_back(static_cast<char>(*c));
                if (unsigned n = quarantine::EntryNumber(name.c_str())) entries.push_back({n, name});
            } while (m_api.FindNextFile(search.get(), &found));
        }
        // Newest first: of several entries for one path, the last run's matches the file as it is.
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.number > b.number; });
        quarantine::RestoreCounts counts;
        std::set<std::string> done;
        for (const Entry& e : entries) {
            std::vector<uint8_t> text;
            quarantine::Record record;
            const bool readable =
                ReadWhole(m_api, (m_dir + C('\\') + Ascii<C>(e.info)).c_str(), text) &&
                quarantine::ParseRecord(std::string(text.begin(), text.end()), record) == quarantine::ParseOutcome::Ok;
            std::string key = record.path;
            std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (readable && !done.insert(key).second) continue;
            RestoreOutcome outcome = readable ? One(e, record) : RestoreOutcome::EntryUnreadable;
            counts.Add(outcome);
            std::string line = quarantine::RestoreText(outcome, false);
            for (size_t at; (at = line.find("--force")) != std::string::npos;) line.replace(at, 7, "/FORCE");
            const std::string path = readable ? record.path : "quarantine entry " + shown + "\\" + e.info;
            m_run.log.Format("%s: %s", path.c_str(), line.c_str());
        }
        m_run.log.Empty();
        quarantine::ComposeRestoreReport(counts, false, m_run.log);
        return true;
    }

private:
    bool NotRun(const std::string& why) {
        m_run.log.Format(kNotRun, why.c_str());
        return false;
    }

    RestoreOutcome One(const Entry& e, quarantine::Record& r) {
        std::vector<uint8_t> bytes;
        const Str<C> data = m_dir + C('\\') + Ascii<C>(e.info.substr(0, 8) + ".data");
        if (Attributes(data.c_str()) == INVALID_FILE_ATTRIBUTES) return RestoreOutcome::CopyMissing;
        if (!ReadWhole(m_api, data.c_str(), bytes)) return RestoreOutcome::EntryUnreadable;
        if (RestoreOutcome copy = quarantine::CheckCopy(r, bytes); copy != RestoreOutcome::Restored) return copy;

        Str<C> path;
        if (!Native(r.path, path)) return RestoreOutcome::WriteFailed;
        quarantine::Target target;
        const DWORD attributes = Attributes(path.c_str());
        target.exists = attributes != INVALID_FILE_ATTRIBUTES;
        if (target.exists) {
            target.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            target.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            std::vector<uint8_t> now;
            if (!target.directory && !target.link) {
                if (!ReadWhole(m_api, path.c_str(), now)) return RestoreOutcome::WriteFailed;
                target.sha256 = quarantine::Sha256Hex(now.data(), now.size());
            }
        }
        const RestoreOutcome judged = quarantine::JudgeTarget(r, target, m_run.options.restoreForce);
        if (judged != RestoreOutcome::Restored && judged != RestoreOutcome::Forced) return judged;
        RestoreOutcome put = PutBack(path, bytes, r, target.exists ? attributes : INVALID_FILE_ATTRIBUTES);
        return put == RestoreOutcome::Restored ? judged : put;
    }

    // A copy beside the file, on disk, then one move over it (a file in use:
    // at the next restart).
    RestoreOutcome PutBack(const Str<C>& path, const std::vector<uint8_t>& bytes, const quarantine::Record& r,
                           DWORD attributes) {
        Str<C> copy;
        win32::UniqueFile file;
        for (unsigned n = 0; n < 1000 && !file; ++n) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, ".restore%03u", n);
            copy = path + Ascii<C>(suffix);
            file.reset(m_api.CreateFile(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
                return WriteFailure(GetLastError());
        }
        if (!file) return RestoreOutcome::WriteFailed;
        RestoreOutcome outcome = RestoreOutcome::Restored;
        for (size_t at = 0; at < bytes.size() && outcome == RestoreOutcome::Restored;) {
            DWORD written = 0, piece = bytes.size() - at < kChunk ? static_cast<DWORD>(bytes.size() - at) : kChunk;
            if (!WriteFile(file.get(), bytes.data() + at, piece, &written, nullptr) || written == 0)
                outcome = WriteFailure(GetLastError());
            at += written;
        }
        if (outcome == RestoreOutcome::Restored && r.hasTimes) {
            const FILETIME written = FileTime(r.mtimeSeconds, r.mtimeNanoseconds);
            const FILETIME accessed = FileTime(r.atimeSeconds, r.atimeNanoseconds);
            if (!SetFileTime(file.get(), nullptr, &accessed, &written)) outcome = RestoreOutcome::WriteFailed;
        }
        if (outcome == RestoreOutcome::Restored && !FlushFileBuffers(file.get())) outcome = WriteFailure(GetLastError());
        file.reset();
        if (outcome != RestoreOutcome::Restored) {
            m_api.DeleteFile(copy.c_str());
            return outcome;
        }
        // A read-only file is not replaced: it loses the attribute first.
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            m_api.SetFileAttributes(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        const DWORD kept = r.hasAttributes ? r.attributes & ~FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        if (m_api.MoveFileEx) {
            if (m_api.MoveFileEx(copy.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                m_api.SetFileAttributes(path.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
                return RestoreOutcome::Restored;
            }
            const DWORD error = GetLastError();
            if ((error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION) &&
                m_api.MoveFileEx(RestartPath(copy.c_str()), RestartPath(path.c_str()),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
                m_run.flags.rebootNeeded = true;
                return RestoreOutcome::PendingRestart;
            }
            if (attributes != INVALID_FILE_ATTRIBUTES) m_api.SetFileAttributes(path.c_str(), attributes);
            m_api.DeleteFile(copy.c_str());
            return WriteFailure(error);
        }
        if constexpr (sizeof(C) == 1) {
            // 9x: the file goes aside, the copy into its place; one in use is
            // left to WININIT.INI at the next start.
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                if (m_api.MoveFile && m_api.MoveFile(copy.c_str(), path.c_str())) {
                    m_api.SetFileAttributes(path.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
                    return RestoreOutcome::Restored;
                }
            } else {
                const Str<C> aside = copy + ".old";
                if (m_api.MoveFile && m_api.MoveFile(path.c_str(), aside.c_str())) {
                    if (m_api.MoveFile(copy.c_str(), path.c_str())) {
                        m_api.DeleteFile(aside.c_str());
                        m_api.SetFileAttributes(path.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
                        return RestoreOutcome::Restored;
                    }
                    m_api.MoveFile(aside.c_str(), path.c_str());
                } else if (ScheduleReplacement9x(path.c_str(), copy.c_str())) {
                    m_run.flags.rebootNeeded = true;
                    return RestoreOutcome::PendingRestart;
                }
            }
        }
        m_api.DeleteFile(copy.c_str());
        return RestoreOutcome::WriteFailed;
    }

    // NT 4 and Windows 2000 do not take "\\?\" paths for work left to the restart.
    const C* RestartPath(const C* path) const {
        if constexpr (sizeof(C) == 2)
            if ((m_run.flags.isNt4 || m_run.flags.isWin2000) && path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?')
                return path + 4;
        return path;
    }

    RemovalRun& m_run;
    const ApiSet<C>& m_api;
    Str<C> m_dir;
};

}  // namespace

bool RestoreFromQuarantine(RemovalRun& run) {
    return run.flags.isNtFamily ? Restore<wchar_t>(run).Run() : Restore<char>(run).Run();
}
