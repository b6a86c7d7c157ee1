#include "scan/quarantine_core.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/dry_run_core.h"
#include "run/log_core.h"

namespace quarantine {

const char kMarkerName[] = "fixquorvin-quarantine.txt";
const char kMarkerFirstLine[] = "fixquorvin quarantine, format 1\n";
const char kMarkerText[] =
    "fixquorvin quarantine, format 1\n"
    "This folder holds the originals of the files fixquorvin repaired or deleted.\n"
    "No run of fixquorvin scans or changes it. Each file has one entry, a pair:\n"
    "  NNNNNNNN.info  the original path, what was done (repaired, deleted, replaced),\n"
    "                 mode, owner, size and times, one \"name=value\" line each;\n"
    "                 in the path, bytes below 0x21, 0x7F and '%' are written %XX;\n"
    "                 sha256= the original's SHA-256, left= that of the file the\n"
    "                 change left (added once the change is made)\n"
    "  NNNNNNNN.data  the original bytes, every byte other than 0x00 and 0xA5\n"
    "                 XORed with 0xA5, so that nothing takes the copy for a program\n"
    "An entry without its .info file is unfinished.\n"
    "fixquorvin --restore=DIR puts the originals back; --list=DIR shows them.\n";
const char kEntryFirstLine[] = "fixquorvin quarantine entry 1";

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

bool IsHash(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool ReadUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (v > max) return false;
    out = v;
    return true;
}

// "seconds.nanoseconds", as the native scanner writes it (seconds may be negative).
bool ReadTime(const std::string& text, int64_t& seconds, uint32_t& nanoseconds) {
    size_t dot = text.find('.');
    if (dot == std::string::npos || text.size() - dot - 1 != 9) return false;
    std::string whole = text.substr(0, dot);
    bool negative = !whole.empty() && whole[0] == '-';
    uint64_t s = 0, ns = 0;
    if (!ReadUnsigned(negative ? whole.substr(1) : whole, INT64_MAX, s) ||
        !ReadUnsigned(text.substr(dot + 1), 999999999, ns))
        return false;
    seconds = negative ? -static_cast<int64_t>(s) : static_cast<int64_t>(s);
    nanoseconds = static_cast<uint32_t>(ns);
    return true;
}

}  // namespace

Sha256::Sha256()
    : m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::Block(const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    uint32_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    m_state[0] += a, m_state[1] += b, m_state[2] += c, m_state[3] += d;
    m_state[4] += e, m_state[5] += f, m_state[6] += g, m_state[7] += h;
}

void Sha256::Add(const uint8_t* data, size_t size) {
    m_length += size;
    if (m_buffered) {
        size_t take = std::min(size, sizeof m_buffer - m_buffered);
        std::memcpy(m_buffer + m_buffered, data, take);
        m_buffered += take, data += take, size -= take;
        if (m_buffered < sizeof m_buffer) return;
        Block(m_buffer);
        m_buffered = 0;
    }
    for (; size >= 64; data += 64, size -= 64) Block(data);
    std::memcpy(m_buffer, data, size);
    m_buffered = size;
}

std::string Sha256::HexDigest() {
    const uint64_t bits = m_length * 8;
    m_buffer[m_buffered++] = 0x80;
    if (m_buffered > 56) {
        std::memset(m_buffer + m_buffered, 0, 64 - m_buffered);
        Block(m_buffer);
        m_buffered = 0;
    }
    std::memset(m_buffer + m_buffered, 0, 56 - m_buffered);
    for (int i = 0; i < 8; ++i) m_buffer[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Block(m_buffer);
    char hex[65];
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 8 * i, 9, "%08x", m_state[i]);
    return std::string(hex, 64);
}

std::string Sha256Hex(const uint8_t* data, size_t size) {
    Sha256 h;
    h.Add(data, size);
    return h.HexDigest();
}

std::string EscapePath(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (c < 0x21 || c == 0x7F || c == '%') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool UnescapePath(const std::string& text, std::string& path) {
    path.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            path += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        if (!std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        path += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
    }
    return true;
}

std::string ComposeRecord(const Record& r) {
    std::string out = std::string(kEntryFirstLine) + "\npath=" + EscapePath(r.path) + "\naction=" + r.action + "\n";
    char text[256];
    if (r.hasMode) {
        std::snprintf(text, sizeof text, "mode=%04o\nuid=%u\ngid=%u\n", static_cast<unsigned>(r.mode & 07777),
                      static_cast<unsigned>(r.uid), static_cast<unsigned>(r.gid));
        out += text;
    }
    if (r.hasAttributes) {
        std::snprintf(text, sizeof text, "attributes=%u\n", static_cast<unsigned>(r.attributes));
        out += text;
    }
    std::snprintf(text, sizeof text, "size=%" PRIu64 "\n", r.size);
    out += text;
    if (r.hasTimes) {
        std::snprintf(text, sizeof text, "mtime=%" PRId64 ".%09u\natime=%" PRId64 ".%09u\n", r.mtimeSeconds,
                      static_cast<unsigned>(r.mtimeNanoseconds), r.atimeSeconds, static_cast<unsigned>(r.atimeNanoseconds));
        out += text;
    }
    if (!r.sha256.empty()) out += "sha256=" + r.sha256 + "\n";
    if (!r.left.empty()) out += LeftLine(r.left);
    return out;
}

std::string LeftLine(const std::string& hash) { return "left=" + hash + "\n"; }

ParseOutcome ParseRecord(const std::string& text, Record& r) {
    r = Record();
    size_t at = 0;
    bool first = true, hasPath = false, hasSize = false, hasMtime = false, hasAtime = false;
    bool hasUid = false, hasGid = false;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            if (line != kEntryFirstLine) return ParseOutcome::NotAnEntry;
            first = false;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        uint64_t n = 0;
        bool ok = true;
        if (name == "path") {
            ok = hasPath = UnescapePath(value, r.path) && !r.path.empty();
        } else if (name == "action") {
            r.action = value;
        } else if (name == "size") {
            ok = hasSize = ReadUnsigned(value, UINT64_MAX, r.size);
        } else if (name == "mode") {
            ok = value.find_first_not_of("01234567") == std::string::npos && !value.empty() && value.size() <= 6;
            if (ok) r.mode = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 8)) & 07777;
            r.hasMode = ok;
        } else if (name == "uid" || name == "gid") {
            ok = ReadUnsigned(value, UINT32_MAX, n);
            (name == "uid" ? r.uid : r.gid) = static_cast<uint32_t>(n);
            (name == "uid" ? hasUid : hasGid) = ok;
        } else if (name == "attributes") {
            ok = r.hasAttributes = ReadUnsigned(value, UINT32_MAX, n);
            r.attributes = static_cast<uint32_t>(n);
        } else if (name == "mtime") {
            ok = hasMtime = ReadTime(value, r.mtimeSeconds, r.mtimeNanoseconds);
        } else if (name == "atime") {
            ok = hasAtime = ReadTime(value, r.atimeSeconds, r.atimeNanoseconds);
        } else if (name == "sha256" || name == "left") {
            ok = IsHash(value);
            (name == "sha256" ? r.sha256 : r.left) = value;
        }
        if (!ok) return ParseOutcome::Incomplete;
    }
    if (first) return ParseOutcome::NotAnEntry;
    r.hasMode = r.hasMode && hasUid && hasGid;
    r.hasTimes = hasMtime && hasAtime;
    const bool known = r.action == "repaired" || r.action == "deleted" || r.action == "replaced";
    return hasPath && hasSize && known ? ParseOutcome::Ok : ParseOutcome::Incomplete;
}

unsigned EntryNumber(const char* name) {
    if (std::strlen(name) != 13 || std::strcmp(name + 8, ".info") != 0) return 0;
    unsigned n = 0;
    for (int i = 0; i < 8; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

const char* RestoreText(RestoreOutcome outcome, bool dryRun) {
    switch (outcome) {
    case RestoreOutcome::Restored: return dryRun ? "(dry run) would be restored" : "(restored)";
    case RestoreOutcome::Forced:
        return dryRun ? "(dry run) would be restored over a file changed since the run (--force)"
                      : "(restored over a file changed since the run, --force)";
    case RestoreOutcome::PendingRestart: return "(will be restored at the next restart)";
    case RestoreOutcome::Changed:
        return "(WARNING: not restored, the file changed since the run; --force restores it anyway)";
    case RestoreOutcome::Unknown:
        return "(WARNING: not restored, the entry does not record the file the run left; --force restores it anyway)";
    case RestoreOutcome::MadeAfterDelete:
        return "(WARNING: not restored, a file of that name was made since the run; --force replaces it)";
    case RestoreOutcome::GoneAfterRepair:
        return "(WARNING: not restored, the file was deleted since the run; --force recreates it)";
    case RestoreOutcome::NowDirectory: return "(WARNING: not restored, the path is now a directory)";
    case RestoreOutcome::NowLink: return "(WARNING: not restored, the path is now a symbolic link)";
    case RestoreOutcome::NowSpecial: return "(WARNING: not restored, the path is now no regular file)";
    case RestoreOutcome::CopyMissing: return "(WARNING: not restored, the quarantine copy is missing)";
    case RestoreOutcome::CopyTruncated: return "(WARNING: not restored, the quarantine copy is truncated)";
    case RestoreOutcome::CopyMismatch:
        return "(WARNING: not restored, the quarantine copy does not match its recorded hash)";
    case RestoreOutcome::EntryUnreadable: return "(WARNING: not restored, the entry cannot be read)";
    case RestoreOutcome::FolderMissing: return "(WARNING: not restored, its folder could not be made)";
    case RestoreOutcome::FolderReadOnly: return "(WARNING: not restored, the folder is read-only)";
    case RestoreOutcome::DiskFull: return "(WARNING: not restored, the disk is full)";
    case RestoreOutcome::WriteFailed: return "(WARNING: not restored, the restored copy could not be written)";
    case RestoreOutcome::ChangedDuringRestore: return "(WARNING: not restored, the file changed during the restore)";
    case RestoreOutcome::Interrupted: return "(WARNING: not restored, the run was interrupted)";
    }
    return "";
}

bool IsRefusal(RestoreOutcome o) {
    return o == RestoreOutcome::Changed || o == RestoreOutcome::Unknown || o == RestoreOutcome::MadeAfterDelete ||
           o == RestoreOutcome::GoneAfterRepair;
}

RestoreOutcome CheckCopy(Record& r, std::vector<uint8_t>& bytes) {
    if (bytes.size() < r.size) return RestoreOutcome::CopyTruncated;
    for (uint8_t& b : bytes) b = EncodeByte(b);
    const std::string hash = Sha256Hex(bytes.data(), bytes.size());
    if (bytes.size() != r.size || (!r.sha256.empty() && hash != r.sha256)) return RestoreOutcome::CopyMismatch;
    if (r.sha256.empty()) r.sha256 = hash;
    return RestoreOutcome::Restored;
}

// Untouched is what the run left, or already the original; a deleted file's
// path must be free (or hold the original again).
RestoreOutcome JudgeTarget(const Record& r, const Target& t, bool force) {
    if (t.exists && t.directory) return RestoreOutcome::NowDirectory;
    if (t.exists && t.link) return RestoreOutcome::NowLink;
    if (t.exists && t.special) return RestoreOutcome::NowSpecial;
    const bool deleted = r.action == "deleted";
    RestoreOutcome refusal = RestoreOutcome::Restored;
    if (t.exists) {
        const bool original = !r.sha256.empty() && t.sha256 == r.sha256;
        if (deleted && !original)
            refusal = RestoreOutcome::MadeAfterDelete;
        else if (!deleted && !original && r.left.empty())
            refusal = RestoreOutcome::Unknown;
        else if (!deleted && !original && t.sha256 != r.left)
            refusal = RestoreOutcome::Changed;
    } else if (!deleted) {
        refusal = RestoreOutcome::GoneAfterRepair;
    }
    if (refusal == RestoreOutcome::Restored) return refusal;
    return force ? RestoreOutcome::Forced : refusal;
}

void RestoreCounts::Add(RestoreOutcome o) {
    if (o == RestoreOutcome::Restored || o == RestoreOutcome::Forced || o == RestoreOutcome::PendingRestart)
        ++restored;
    else if (IsRefusal(o))
        ++refused;
    else
        ++failed;
    if (o == RestoreOutcome::Interrupted) interrupted = true;
}

void ComposeRestoreReport(const RestoreCounts& c, bool dryRun, RunLog& log) {
    if (dryRun)
        log.Report("The restore from the quarantine (dry run):");
    else if (c.refused || c.failed || c.interrupted)
        log.Report("The restore from the quarantine was unsuccessful: not every file could be put back.");
    else
        log.Report("The restore from the quarantine was successful: every file asked for was put back.");
    log.Report("");
    log.ReportFormat(dryRun ? "The number of the files that would be restored: %u" : "The number of the restored files: %u",
                     c.restored);
    log.ReportFormat("The number of the files refused: %u", c.refused);
    log.ReportFormat("The number of the files that could not be restored: %u", c.failed);
    if (dryRun) {
        log.Report("");
        log.Report(kDryRunClosingText);
    }
}

}  // namespace quarantine
