#include "scan/quarantine.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run/native_path.h"
#include "run/run_context.h"
#include "scan/file_handles.h"
#include "scan/quarantine_core.h"

const char kQuarantineCopyFailedText[] = "(WARNING: not changed, the quarantine copy could not be made)";
const char kQuarantineSkippedText[] = "(skipped, a quarantine folder of fixquorvin)";

namespace {

const char kFolderRefused[] = "WARNING: the quarantine folder %s cannot be used (%s): no file is changed";
constexpr DWORD kChunk = 1 << 20;
// Seconds between 1601 and 1970, in the 100 ns units of a file time.
constexpr uint64_t kUnixEpoch = 116444736000000000ull;

template <typename C>
using Str = std::basic_string<C>;

template <typename C>
Str<C> Ascii(const char* text) {
    Str<C> s;
    for (; *text; ++text) s.push_back(C(*text));
    return s;
}

template <typename C>
BOOL MakeDirectory(const C* path) {
    if constexpr (sizeof(C) == 1) return CreateDirectoryA(path, nullptr);
    else return CreateDirectoryW(path, nullptr);
}

// The folder as a native path, without a trailing backslash.
template <typename C>
bool FolderPath(const RemovalRun& run, Str<C>& out) {
    const std::string& dir = run.options.quarantineDir;
    if constexpr (sizeof(C) == 1) out = dir;
    else if (!LongWidePath(dir, out)) return false;
    while (out.size() > 1 && (out.back() == C('\\') || out.back() == C('/'))) out.pop_back();
    return !out.empty();
}

bool WriteAll(HANDLE file, const uint8_t* data, size_t size) {
    while (size) {
        DWORD piece = size < kChunk ? static_cast<DWORD>(size) : kChunk, written = 0;
        if (!WriteFile(file, data, piece, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return FlushFileBuffers(file) != 0;
}

bool ReadAll(HANDLE file, std::vector<uint8_t>& out) {
    size_t size = 0;
    if (!FileSize(file, size)) return false;
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        DWORD piece = size - done < kChunk ? static_cast<DWORD>(size - done) : kChunk, got = 0;
        if (!ReadFile(file, out.data() + done, piece, &got, nullptr)) return false;
        if (got == 0) break;
        done += got;
    }
    out.resize(done);
    return true;
}

template <typename C>
HANDLE OpenToRead(const ApiSet<C>& api, const C* path) {
    // 9x knows no FILE_SHARE_DELETE.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (sizeof(C) == 2 ? FILE_SHARE_DELETE : 0);
    return api.CreateFile(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

template <typename C>
bool WriteNewFile(const ApiSet<C>& api, const Str<C>& path, const uint8_t* data, size_t size, DWORD disposition) {
    bool ok;
    {
        win32::UniqueFile file(
            api.CreateFile(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        ok = WriteAll(file.get(), data, size);
    }
    if (!ok) api.DeleteFile(path.c_str());
    return ok;
}

template <typename C>
bool ReadFileAt(const ApiSet<C>& api, const C* path, std::vector<uint8_t>& out) {
    win32::UniqueFile file(OpenToRead(api, path));
    return file && ReadAll(file.get(), out);
}

template <typename C>
bool HasMarker(const ApiSet<C>& api, const Str<C>& dir) {
    std::vector<uint8_t> text;
    const Str<C> marker = dir + C('\\') + Ascii<C>(quarantine::kMarkerName);
    if (!ReadFileAt(api, marker.c_str(), text)) return false;
    const std::string first = quarantine::kMarkerFirstLine;
    return text.size() >= first.size() && std::string(text.begin(), text.begin() + first.size()) == first;
}

// The folder is made with its marker at the first copy; an existing one is
// used when it has the marker or is empty, never a folder that holds
// something else.
template <typename C>
bool Prepare(RemovalRun& run, const Str<C>& dir) {
    using Folder = RemovalRun::QuarantineFolder;
    if (run.quarantine.status != Folder::NotLookedAt) return run.quarantine.status == Folder::Usable;
    run.quarantine.status = Folder::Refused;
    const ApiSet<C>& api = run.api.Get<C>();
    const std::string shown = ShortLogPath(dir.c_str());
    if (!MakeDirectory(dir.c_str()) && GetLastError() != ERROR_ALREADY_EXISTS) {
        run.log.Format(kFolderRefused, shown.c_str(), "it cannot be created");
        return false;
    }
    if (!HasMarker(api, dir)) {
        FindData<C> entry;
        win32::UniqueFind search(api.FindFirstFile((dir + Ascii<C>("\\*.*")).c_str(), &entry));
        if (search) {
            do {
                const C* name = entry.cFileName;
                const bool dot = name[0] == C('.') && (name[1] == 0 || (name[1] == C('.') && name[2] == 0));
                if (!dot) {
                    run.log.Format(kFolderRefused, shown.c_str(), "it holds other files");
                    return false;
                }
            } while (api.FindNextFile(search.get(), &entry));
        }
        const std::string text = quarantine::kMarkerText;
        if (!WriteNewFile(api, dir + C('\\') + Ascii<C>(quarantine::kMarkerName),
                          reinterpret_cast<const uint8_t*>(text.data()), text.size(), CREATE_NEW)) {
            run.log.Format(kFolderRefused, shown.c_str(), "its marker cannot be written");
            return false;
        }
    }
    run.quarantine.status = Folder::Usable;
    return true;
}

void UnixTime(const FILETIME& time, int64_t& seconds, uint32_t& nanoseconds) {
    const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    const int64_t since = static_cast<int64_t>(ticks) - static_cast<int64_t>(kUnixEpoch);
    seconds = since >= 0 ? since / 10000000 : -((-since + 9999999) / 10000000);
    nanoseconds = static_cast<uint32_t>((since - seconds * 10000000) * 100);
}

template <typename C>
Str<C> EntryPath(const Str<C>& dir, const std::string& entry, const char* extension) {
    return dir + C('\\') + Ascii<C>((entry + extension).c_str());
}

}  // namespace

template <typename C>
bool QuarantineFile(RemovalRun& run, const C* path, const char* action, std::string& entry) {
    entry.clear();
    if (run.options.quarantineDir.empty()) return true;
    const ApiSet<C>& api = run.api.Get<C>();
    Str<C> dir;
    if (!FolderPath(run, dir) || !Prepare(run, dir)) return false;

    win32::UniqueFile file(OpenToRead(api, path));
    if (!file) {
        // Nothing to keep when nothing is there; a file that cannot be read is not changed.
        DWORD attributes;
        if constexpr (sizeof(C) == 1) attributes = GetFileAttributesA(path);
        else attributes = GetFileAttributesW(path);
        return attributes == INVALID_FILE_ATTRIBUTES;
    }
    BY_HANDLE_FILE_INFORMATION info;
    std::vector<uint8_t> bytes;
    if (!GetFileInformationByHandle(file.get(), &info) || !ReadAll(file.get(), bytes)) return false;
    file.reset();

    quarantine::Record record;
    record.path = PathLineText(path);
    record.action = action;
    record.size = bytes.size();
    record.hasAttributes = record.hasTimes = true;
    record.attributes = info.dwFileAttributes;
    UnixTime(info.ftLastWriteTime, record.mtimeSeconds, record.mtimeNanoseconds);
    UnixTime(info.ftLastAccessTime, record.atimeSeconds, record.atimeNanoseconds);
    record.sha256 = quarantine::Sha256Hex(bytes.data(), bytes.size());
    const std::string text = quarantine::ComposeRecord(record);
    for (uint8_t& b : bytes) b = quarantine::EncodeByte(b);

    for (int tries = 0; tries < 100000; ++tries) {
        char name[16];
        std::snprintf(name, sizeof name, "%08u", run.quarantine.next++);
        const Str<C> data = EntryPath(dir, name, ".data");
        win32::UniqueFile created(
            api.CreateFile(data.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!created) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            return false;
        }
        bool ok = WriteAll(created.get(), bytes.data(), bytes.size());
        created.reset();
        // The entry counts once its .info is there.
        ok = ok && WriteNewFile(api, EntryPath(dir, name, ".info"), reinterpret_cast<const uint8_t*>(text.data()),
                                text.size(), CREATE_NEW);
        if (!ok) {
            api.DeleteFile(data.c_str());
            return false;
        }
        entry = name;
        return true;
    }
    return false;
}

// The .info is written again whole, to a new name that then replaces it.
template <typename C>
void RecordQuarantineLeft(RemovalRun& run, const C* path, const std::string& entry) {
    if (entry.empty()) return;
    const ApiSet<C>& api = run.api.Get<C>();
    Str<C> dir;
    std::vector<uint8_t> now, info;
    if (!FolderPath(run, dir) || !ReadFileAt(api, path, now)) return;
    const Str<C> infoPath = EntryPath(dir, entry, ".info"), next = EntryPath(dir, entry, ".info.new");
    if (!ReadFileAt(api, infoPath.c_str(), info)) return;
    const std::string line = quarantine::LeftLine(quarantine::Sha256Hex(now.data(), now.size()));
    info.insert(info.end(), line.begin(), line.end());
    if (!WriteNewFile(api, next, info.data(), info.size(), CREATE_ALWAYS)) return;
    bool placed = api.MoveFileEx ? api.MoveFileEx(next.c_str(), infoPath.c_str(),
                                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
                                 : api.MoveFile && api.DeleteFile(infoPath.c_str()) &&
                                       api.MoveFile(next.c_str(), infoPath.c_str());
    if (!placed) api.DeleteFile(next.c_str());
}

template <typename C>
bool IsQuarantineFolder(const RemovalRun& run, const C* path) {
    return HasMarker(run.api.Get<C>(), Str<C>(path));
}

template bool QuarantineFile<char>(RemovalRun&, const char*, const char*, std::string&);
template bool QuarantineFile<wchar_t>(RemovalRun&, const wchar_t*, const char*, std::string&);
template void RecordQuarantineLeft<char>(RemovalRun&, const char*, const std::string&);
template void RecordQuarantineLeft<wchar_t>(RemovalRun&, const wchar_t*, const std::string&);
template bool IsQuarantineFolder<char>(const RemovalRun&, const char*);
template bool IsQuarantineFolder<wchar_t>(const RemovalRun&, const wchar_t*);
