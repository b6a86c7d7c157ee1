// The quarantine's entry format, shared by both programs: each kept file is
// a pair NNNNNNNN.data (the bytes in the quarantine's form) and
// NNNNNNNN.info ("name=value" lines), plus the SHA-256 that tells a kept
// copy from a damaged one and a restored file's target from a changed one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class RunLog;

namespace quarantine {

extern const char kMarkerName[];        // "fixquorvin-quarantine.txt"
extern const char kMarkerFirstLine[];   // the marker's first line, with its line feed
extern const char kMarkerText[];        // the whole marker
extern const char kEntryFirstLine[];    // an .info file's first line, without line feed

// The quarantine's form of a byte: 0x00 and 0xA5 stay, every other byte is
// XORed with 0xA5 (its own inverse; holes stay holes, "MZ" is gone).
inline uint8_t EncodeByte(uint8_t b) { return b == 0 || b == 0xA5 ? b : static_cast<uint8_t>(b ^ 0xA5); }

class Sha256 {
public:
    Sha256();
    void Add(const uint8_t* data, size_t size);
    // The digest as 64 lower-case hex digits; the object is used up.
    std::string HexDigest();

private:
    void Block(const uint8_t* block);
    uint32_t m_state[8];
    uint8_t m_buffer[64];
    size_t m_buffered = 0;
    uint64_t m_length = 0;
};
std::string Sha256Hex(const uint8_t* data, size_t size);

// What an entry knows of the file it keeps. Times are POSIX seconds and
// nanoseconds (the Windows program converts its file times).
struct Record {
    std::string path;     // as the program gave it to the system
    std::string action;   // "repaired", "deleted" or "replaced"
    uint64_t size = 0;
    bool hasMode = false;   // mode, uid and gid (the native scanner)
    uint32_t mode = 0, uid = 0, gid = 0;
    bool hasAttributes = false;   // the Windows program
    uint32_t attributes = 0;
    bool hasTimes = false;
    int64_t mtimeSeconds = 0, atimeSeconds = 0;
    uint32_t mtimeNanoseconds = 0, atimeNanoseconds = 0;
    std::string sha256;   // of the kept bytes; empty in entries of older runs
    std::string left;     // of the file the change left; empty: not known (a deletion, an older run)
};

// The .info text of a record.
std::string ComposeRecord(const Record& record);

enum class ParseOutcome { Ok, NotAnEntry, Incomplete };
// Reads an .info text; Incomplete when a line it needs is missing or cannot
// be read (path, action, size, a hash that is no hash).
ParseOutcome ParseRecord(const std::string& text, Record& record);

// The line "left=<hash>" that records what a change left, for an entry
// whose .info was written before it.
std::string LeftLine(const std::string& hash);

// A path as an entry records it: bytes below 0x21, 0x7F and '%' as %XX.
std::string EscapePath(const std::string& path);
// false for a malformed escape.
bool UnescapePath(const std::string& text, std::string& path);

// An entry's number from its .info name ("00000012.info"), or 0.
unsigned EntryNumber(const char* fileName);

// How the restore of one entry went; each has its own file line. Both
// programs judge by the same rules.
enum class RestoreOutcome {
    Restored,
    Forced,             // restored over a file changed since the run
    PendingRestart,     // the file is in use: it is put back at the next restart
    Changed,            // refused: changed since the run
    Unknown,            // refused: the entry does not say what the run left
    MadeAfterDelete,    // refused: a file of that name was made after the deletion
    GoneAfterRepair,    // refused: deleted after the run
    NowDirectory,
    NowLink,
    NowSpecial,
    CopyMissing,
    CopyTruncated,
    CopyMismatch,
    EntryUnreadable,
    FolderMissing,
    FolderReadOnly,
    DiskFull,
    WriteFailed,
    ChangedDuringRestore,
    Interrupted,
};
const char* RestoreText(RestoreOutcome outcome, bool dryRun);
// Left alone because it changed since the run (--force, /FORCE would restore it).
bool IsRefusal(RestoreOutcome outcome);

// The bytes of an entry's .data file, decoded in place, against its record:
// Restored when whole and matching its hash. An older entry without a hash
// gets the copy's, so that the original can be told when it is back.
RestoreOutcome CheckCopy(Record& record, std::vector<uint8_t>& bytes);

// The file at an entry's path now.
struct Target {
    bool exists = false;
    bool directory = false, link = false, special = false;
    std::string sha256;   // of its content, when it is a regular file
};
// Restored (go ahead), Forced (go ahead, it changed since the run) or why not.
RestoreOutcome JudgeTarget(const Record& record, const Target& target, bool force);

struct RestoreCounts {
    uint32_t restored = 0, refused = 0, failed = 0;
    bool interrupted = false;
    void Add(RestoreOutcome outcome);
};
// The summary after the file lines (and an empty line): the headline, the
// three numbers; a dry run's ends with "Dry run: nothing was changed.".
void ComposeRestoreReport(const RestoreCounts& counts, bool dryRun, RunLog& log);

}  // namespace quarantine
