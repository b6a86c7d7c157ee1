// The quarantine's entry format: SHA-256 against published vectors (also fed
// in pieces that straddle its blocks), and .info records as written by this
// and by older runs, damaged ones refused.
#include <gtest/gtest.h>

#include <string>

#include "scan/quarantine_core.h"

namespace {

using quarantine::ParseOutcome;

TEST(Sha256, KnownDigests) {
    const std::string million(1000000, 'a');
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.text.data());
        EXPECT_EQ(quarantine::Sha256Hex(bytes, c.text.size()), c.digest);
        quarantine::Sha256 pieces;   // 1, 2, 3, ... bytes at a time
        for (size_t at = 0, n = 1; at < c.text.size(); at += n, ++n) pieces.Add(bytes + at, std::min(n, c.text.size() - at));
        EXPECT_EQ(pieces.HexDigest(), c.digest);
    }
}

TEST(QuarantineRecord, WrittenAndRead) {
    quarantine::Record r;
    r.path = std::string("/srv/a b%\x01\x7F.exe");
    r.action = "repaired";
    r.size = 4096;
    r.hasMode = r.hasTimes = true;
    r.mode = 04755, r.uid = 1000, r.gid = 50;
    r.mtimeSeconds = -5, r.mtimeNanoseconds = 999999999, r.atimeSeconds = 1700000000, r.atimeNanoseconds = 1;
    r.sha256 = std::string(64, 'a');
    r.left = std::string(64, '0');
    const std::string text = quarantine::ComposeRecord(r);
    EXPECT_EQ(text.find('\x01'), std::string::npos);   // one line per field, whatever the name holds
    quarantine::Record back;
    ASSERT_EQ(quarantine::ParseRecord(text, back), ParseOutcome::Ok);
    EXPECT_EQ(back.path, r.path);
    EXPECT_EQ(quarantine::ComposeRecord(back), text);

    // An older run's entry (no hashes), with CR LF lines.
    const std::string old = "fixquorvin quarantine entry 1\r\npath=/a%20b\r\naction=deleted\r\nmode=0644\r\nuid=0\r\ngid=0\r\n"
                            "size=3\r\nmtime=1.000000000\r\natime=2.000000000\r\n";
    ASSERT_EQ(quarantine::ParseRecord(old, back), ParseOutcome::Ok);
    EXPECT_EQ(back.path, "/a b");
    EXPECT_TRUE(back.hasMode && back.hasTimes && back.sha256.empty() && back.left.empty());
}

TEST(QuarantineRecord, DamagedOnesRefused) {
    const std::string head = "fixquorvin quarantine entry 1\npath=/a\naction=repaired\nsize=3\n";
    const struct {
        std::string text;
        ParseOutcome outcome;
    } cases[] = {
        {"", ParseOutcome::NotAnEntry},
        {"something else\npath=/a\n", ParseOutcome::NotAnEntry},
        {"fixquorvin quarantine entry 1\npath=/a\naction=repaired\n", ParseOutcome::Incomplete},   // cut short
        {"fixquorvin quarantine entry 1\npath=/a%2\naction=repaired\nsize=3\n", ParseOutcome::Incomplete},
        {"fixquorvin quarantine entry 1\npath=/a\naction=renamed\nsize=3\n", ParseOutcome::Incomplete},
        {head + "size=99999999999999999999999\n", ParseOutcome::Incomplete},
        {head + "sha256=abc\n", ParseOutcome::Incomplete},
        {head + "left=" + std::string(64, 'G') + "\n", ParseOutcome::Incomplete},
        {head + "mtime=12.5\n", ParseOutcome::Incomplete},
        {head, ParseOutcome::Ok},
    };
    for (const auto& c : cases) {
        quarantine::Record r;
        EXPECT_EQ(quarantine::ParseRecord(c.text, r), c.outcome) << c.text;
    }
    EXPECT_EQ(quarantine::EntryNumber("00000042.info"), 42u);
    for (const char* name : {"00000042.data", "0000042.info", "00000042.info.new", "0000004x.info"})
        EXPECT_EQ(quarantine::EntryNumber(name), 0u) << name;
}

}  // namespace
