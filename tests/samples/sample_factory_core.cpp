#include "tests/samples/sample_factory_core.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>

namespace samples {

uint32_t Rng::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
}

uint32_t GetU16(const Bytes& image, size_t offset) {
    if (offset > image.size() || image.size() - offset < 2) return 0;
    return image[offset] | (uint32_t{image[offset + 1]} << 8);
}
uint32_t GetU32(const Bytes& image, size_t offset) {
    if (offset > image.size() || image.size() - offset < 4) return 0;
    return GetU16(image, offset) | (GetU16(image, offset + 2) << 16);
}
void PutU16(Bytes& image, size_t offset, uint32_t value) {
    if (offset > image.size() || image.size() - offset < 2) return;
    image[offset] = value & 0xFF;
    image[offset + 1] = (value >> 8) & 0xFF;
}
void PutU32(Bytes& image, size_t offset, uint32_t value) {
    if (offset > image.size() || image.size() - offset < 4) return;
    PutU16(image, offset, value & 0xFFFF);
    PutU16(image, offset + 2, value >> 16);
}

namespace {

constexpr uint32_t kSectionTable = 0xF8;     // from H, for the standard optional header
constexpr uint32_t kHeaderSize = 40;
constexpr uint32_t kThreatCharacteristics = 0xE0000020;

uint32_t Align(uint32_t v, uint32_t a) { return a ? (v + a - 1) / a * a : v; }

void Put(Bytes& image, size_t offset, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes)
        if (offset < image.size()) image[offset++] = b;
}
void PutText(Bytes& image, size_t offset, const char* text) {
    for (size_t i = 0; text[i] && offset + i < image.size(); ++i) image[offset + i] = text[i];
}
void Fill(Rng& rng, Bytes& image, size_t from, size_t to) {
    for (size_t i = from; i < to && i < image.size(); ++i) image[i] = rng.Byte();
}

// Bytes that start no junk-table row, have no known instruction length, are no
// operation of the loop body and no part of a compare: safe between counted things.
constexpr uint8_t kNeutral[] = {0x90, 0x40, 0x41, 0x42, 0x43, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A,
                                0x4B, 0x4D, 0x4E, 0x4F, 0x91, 0x92, 0x93, 0x95, 0x96, 0x97, 0xF8,
                                0xF9, 0xFC};
uint8_t Neutral(Rng& rng) { return kNeutral[rng.Below(sizeof kNeutral)]; }
uint32_t NeutralDword(Rng& rng) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= uint32_t{Neutral(rng)} << (8 * k);
    return v;
}
// Bytes that can begin a junk-table row; kept out of the window where counts must be exact.
bool MayStartJunk(uint8_t b) {
    return b == 0x0F || (b >= 0x50 && b <= 0x60) || (b >= 0x70 && b <= 0x7F) || b == 0x9B ||
           b == 0x9C || b == 0xC1 || b == 0xD9 || b == 0xDB || b == 0xDF || b == 0xF5 || b == 0xF7;
}
uint8_t NotCompareByte(Rng& rng) {
    uint8_t b;
    do b = rng.Byte();
    while (b == 0x83);
    return b;
}

void Append(Bytes& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }
void AppendU32(Bytes& out, uint32_t v) {
    Append(out, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

// Register numbers of the addressing byte for eax ebx ecx edx esi edi.
constexpr uint8_t kRegNumber[] = {0, 3, 1, 2, 6, 7};

// Junk instructions of the threat's decryptor. Kinds below kBodyJunkKinds have the
// length the repair's instruction table gives them, so the replay can walk over them.
constexpr uint32_t kBodyJunkKinds = 11, kJunkKinds = 16;
Bytes JunkInstruction(Rng& rng, uint32_t kind, bool neutralOperands) {
    const uint8_t a = kRegNumber[rng.Below(6)];
    const uint8_t cc = static_cast<uint8_t>(rng.Below(8) * 2);
    const uint8_t imm = neutralOperands ? Neutral(rng) : rng.Byte();
    switch (kind) {
        case 0: return {0x9B};
        case 1: return {0xDF, 0xE0};
        case 2: return {0xDB, 0xE2};
        case 3: return {0xDB, 0xE3};
        case 4: return {0xF5, 0xF5};
        case 5: return {0xC1, uint8_t(0xC0 + a), imm, 0xC1, uint8_t(0xC8 + a), imm};
        case 6: return {0x9C, 0x9D};
        case 7: return {0x60, 0x61};
        case 8: return {0x0F, uint8_t(rng.Below(4)), uint8_t(0xC0 + a)};
        case 9: return {uint8_t(0x70 + cc), 0x03, uint8_t(0x71 + cc), 0x01, Neutral(rng)};
        case 10: return {uint8_t(0x70 + cc), 0x02, uint8_t(0x71 + cc), 0x00};
        case 11: return {0xD9, 0xD0};
        case 12: return {0xF7, uint8_t(0xD0 + a), 0xF7, uint8_t(0xD0 + a)};
        case 13: return {uint8_t(0x58 + a), Neutral(rng), uint8_t(0x50 + a)};
        case 14: return {uint8_t(0x58 + a), Neutral(rng), Neutral(rng), uint8_t(0x50 + a)};
        default:
            return {uint8_t(0x70 + cc), 0x06, uint8_t(0x71 + cc), 0x04,
                    Neutral(rng), Neutral(rng), Neutral(rng), Neutral(rng)};
    }
}

// Other instructions of known length that a decryptor's body mixes in (kind -1: any).
constexpr uint32_t kFillerKinds = 10;
static_assert(kBodyJunkKinds + kFillerKinds == kBodyInstructionForms);
Bytes FillerInstruction(Rng& rng, int kind = -1) {
    const uint8_t a = kRegNumber[rng.Below(6)];
    Bytes out;
    switch (kind >= 0 ? static_cast<uint32_t>(kind) : rng.Below(kFillerKinds)) {
        case 0: Append(out, {uint8_t(0xB8 + a)}); AppendU32(out, rng.Next()); break;
        case 1: Append(out, {0x81, uint8_t(0xC0 + rng.Below(16))}); AppendU32(out, rng.Next()); break;
        case 2: Append(out, {0x83, uint8_t(0xC0 + rng.Below(0x38)), rng.Byte()}); break;
        case 3: Append(out, {uint8_t(rng.Below(2) ? 0x8B : 0x33), uint8_t(0xC0 + rng.Below(64))}); break;
        case 4: Append(out, {0x87, uint8_t(0xC0 + rng.Below(64))}); break;
        case 5: Append(out, {uint8_t(0x50 + a), Neutral(rng), uint8_t(0x58 + a)}); break;
        case 6: Append(out, {0x68}); AppendU32(out, rng.Next()); break;
        case 7: Append(out, {0x8D, uint8_t(0x05 + 8 * rng.Below(8))}); AppendU32(out, rng.Next()); break;
        case 8: Append(out, {0x8D, uint8_t(0x80 + 8 * rng.Below(8))}); AppendU32(out, rng.Next()); break;
        default: Append(out, {0x8D, uint8_t(0x84 + 8 * rng.Below(8)), rng.Byte()}); AppendU32(out, rng.Next()); break;
    }
    return out;
}

uint32_t Rotl(uint32_t v, uint32_t k) {
    k &= 31;
    return k ? (v << k) | (v >> (32 - k)) : v;
}

// What the repair's replay of `operation` undoes (the encryption step).
uint32_t Encrypt(int operation, uint32_t w, uint32_t key) {
    switch (operation) {
        case 1: return ~w;
        case 2: return w + 1;                       // replay subtracts 1
        case 3: return w - 1;
        case 4: return Rotl(w, 32 - (key & 31));    // replay rotates left
        case 5: return Rotl(w, key);
        case 6: return w + key;
        case 7: return w ^ key;
        default: return w - key;
    }
}

bool IsCompare(const uint8_t* b) {
    return b[0] == 0x83 && b[2] == 0x00 &&
           (b[1] == 0xF8 || b[1] == 0xFB || b[1] == 0xF9 || b[1] == 0xFA || b[1] == 0xFE || b[1] == 0xFF);
}

// The threat's code section: encrypted body at its start, decryptor near its end.
struct Section {
    Bytes raw;
    uint32_t compare = 0, jump = 0, body = 0, closingJump = 0, stub = 0;
    std::vector<uint8_t> operations;
};

struct Operation {
    int number;
    uint32_t key;
};

Bytes PlainBody(Rng& rng, const InfectOptions& o, uint32_t sectionRva, uint32_t hostEntry) {
    Bytes body;
    if (o.form == BodyForm::OneLayer) {
        const uint32_t k = rng.Range(7, 392);
        body.resize(std::max<uint32_t>(rng.Range(0x100, 0x1000), k + 7));
        Fill(rng, body, 7, body.size());
        Put(body, 0, {0x58, 0x60, 0xE8, 0x00, 0x00, 0x00, 0x00});
        for (uint32_t x = 0; x + 2 < k + 2 && x + 2 < body.size(); ++x)  // only one exit jump
            if (body[x] == 0x58 && body[x + 1] == 0x61 && body[x + 2] == 0xE9) body[x + 2] = 0xEA;
        Put(body, k, {0x58, 0x61, 0xE9});
        PutU32(body, k + 3, hostEntry - (sectionRva + k + 2 + 5));
        return body;
    }
    body.resize(rng.Range(0x340, 0x1000));
    Fill(rng, body, 0, body.size());
    const uint32_t j = rng.Range(8, 390);
    Put(body, 0, {0x60, 0xE8, 0x00, 0x00, 0x00, 0x00});
    const uint32_t key = rng.Next();
    static constexpr uint8_t kOps[] = {0x01, 0x29, 0x31};
    const uint8_t opByte = o.twoLayerOperation >= 0 ? static_cast<uint8_t>(o.twoLayerOperation)
                                                    : kOps[rng.Below(3)];
    PutU32(body, 32, key);
    body[36] = opByte;
    Put(body, 45, {0x61, 0x58, 0x60, 0xE8, 0x00, 0x00, 0x00, 0x00});
    for (uint32_t x = 45; x < 45 + j; ++x)
        if (body[x] == 0x61 && body[x + 1] == 0xE9) body[x + 1] = 0xEA;
    Put(body, 45 + j, {0x61, 0xE9});
    PutU32(body, 47 + j, hostEntry - (sectionRva + 46 + j + 5));
    for (uint32_t off = 45; off < 800; off += 4) {
        const uint32_t w = GetU32(body, off);
        uint32_t e = w;
        if (opByte == 0x01) e = w - key;       // the second layer adds the key back
        else if (opByte == 0x29) e = w + key;
        else if (opByte == 0x31) e = w ^ key;
        PutU32(body, off, e);
    }
    return body;
}

// The decryptor from the compare to the loop's closing jump, offsets relative to the
// compare. Fails (empty) when no loop top fits the closing jump's range.
struct Loop {
    Bytes code;
    uint32_t jump = 0, body = 0, closingJump = 0;
    std::vector<Operation> operations;
};

Loop MakeLoop(Rng& rng, const InfectOptions& o, bool exact) {
    Loop loop;
    int pointer = o.pointerRegister >= 0 ? o.pointerRegister % 6 : static_cast<int>(rng.Below(6));
    int counter = o.counterRegister >= 0 ? o.counterRegister % 6 : static_cast<int>(rng.Below(5));
    if (counter == pointer) counter = (pointer + 1 + static_cast<int>(rng.Below(5))) % 6;
    const uint8_t r = kRegNumber[pointer], c = kRegNumber[counter];
    const uint32_t jumpOffset = o.jumpOffset >= 0 ? static_cast<uint32_t>(o.jumpOffset) : rng.Range(3, 20);
    JumpKind kind = o.jump;
    if (kind == JumpKind::Random) kind = rng.Below(2) ? JumpKind::Near : JumpKind::Far;

    Bytes& code = loop.code;
    Append(code, {0x83, uint8_t(0xF8 + c), 0x00});
    while (code.size() < jumpOffset) code.push_back(Neutral(rng));
    loop.jump = static_cast<uint32_t>(code.size());
    Append(code, {0x0F, 0x85, 0, 0, 0, 0});
    uint32_t forward = 0;
    if (kind == JumpKind::Near) {
        do forward = rng.Range(0, 34);
        while (exact && forward == 0x0F);  // 0F 00 would count as junk
        PutU32(code, loop.jump + 2, forward);
        for (uint32_t i = 0; i < forward; ++i) code.push_back(Neutral(rng));
    }
    loop.body = static_cast<uint32_t>(code.size());

    const int count = o.operationCount > 0 ? std::min(o.operationCount, 8) : static_cast<int>(rng.Range(1, 8));
    auto junk = [&](uint32_t most) {
        if (exact) return;
        if (const int form = o.bodyInstruction; form >= 0) {
            const Bytes b = form < static_cast<int>(kBodyJunkKinds)
                                ? JunkInstruction(rng, static_cast<uint32_t>(form), false)
                                : FillerInstruction(rng, form - static_cast<int>(kBodyJunkKinds));
            code.insert(code.end(), b.begin(), b.end());
            return;
        }
        for (uint32_t n = rng.Below(most + 1); n; --n) {
            const Bytes b = rng.Below(3) ? JunkInstruction(rng, rng.Below(kBodyJunkKinds), false)
                                         : FillerInstruction(rng);
            code.insert(code.end(), b.begin(), b.end());
        }
    };
    junk(2);
    for (int i = 0; i < count; ++i) {
        int number = static_cast<int>(rng.Range(1, 8));
        // Under exact counts, [edi] with DEC or ROR puts a 0F into the window.
        if (exact && r == 7 && (number == 2 || number == 5)) number = 7;
        uint32_t key = 0;
        switch (number) {
            case 1: Append(code, {0xF7, uint8_t(0x10 + r)}); break;
            case 2: Append(code, {0xFF, uint8_t(0x08 + r)}); break;
            case 3: Append(code, {0xFF, r}); break;
            case 4:
            case 5:
                do key = exact ? Neutral(rng) : rng.Byte();
                while ((key & 31) == 0);
                Append(code, {0xC1, uint8_t((number == 4 ? 0x00 : 0x08) + r), uint8_t(key)});
                break;
            default:
                key = exact ? NeutralDword(rng) : rng.Next();
                Append(code, {0x81, uint8_t((number == 6 ? 0x28 : number == 7 ? 0x30 : 0x00) + r)});
                AppendU32(code, key);
        }
        loop.operations.push_back({number, key});
        junk(1);
    }
    Append(code, {0x83, uint8_t(0xC0 + r), 0x04});  // next word
    junk(1);
    if (exact || rng.Below(2)) Append(code, {0x83, uint8_t(0xE8 + c), 0x01});
    else code.push_back(uint8_t(0x48 + c));
    junk(1);
    loop.closingJump = static_cast<uint32_t>(code.size());
    if (loop.closingJump - loop.body > 185) return {};

    // The loop top lies t bytes before the compare; the closing jump must go back
    // 32..256 bytes so that its displacement reads "b FF FF FF" with b <= 0xE0.
    std::vector<uint32_t> tops;
    for (uint32_t t = 0; t <= 60; ++t) {
        const uint32_t dist = loop.closingJump + 5 + t;
        const uint8_t b = static_cast<uint8_t>(0u - dist);
        if (dist >= 32 && dist <= 256 && !(exact && MayStartJunk(b))) tops.push_back(t);
    }
    if (tops.empty()) return {};
    const uint32_t t = tops[rng.Below(static_cast<uint32_t>(tops.size()))];
    Append(code, {0xE9});
    AppendU32(code, 0u - (loop.closingJump + 5 + t));
    if (kind == JumpKind::Far) {
        const uint32_t disp = 0u - (t + loop.jump + 6);
        if (exact && MayStartJunk(static_cast<uint8_t>(disp))) return {};
        PutU32(code, loop.jump + 2, disp);
    }
    return loop;
}

bool BuildSection(Rng& rng, const InfectOptions& o, uint32_t sectionRva, uint32_t hostEntry, Section& out,
                  std::string& error) {
    const bool exact = o.junkCount >= 0;
    if (exact && o.junkCount > 7) {
        error = "at most 7 exactly counted junk instructions";
        return false;
    }
    for (int attempt = 0; attempt < 64; ++attempt) {
        const uint32_t size = o.prevRawSize ? o.prevRawSize : 0x200 * rng.Range(0x21, 0x5F);
        const Bytes plain = PlainBody(rng, o, sectionRva, hostEntry);
        Loop loop = MakeLoop(rng, o, exact);
        if (loop.code.empty()) continue;
        const uint32_t loopLength = static_cast<uint32_t>(loop.code.size());
        const uint32_t minDistance = loopLength > 3 ? loopLength - 3 : 0;
        const uint32_t distance = o.compareDistance >= 0 ? static_cast<uint32_t>(o.compareDistance)
                                                         : rng.Range(minDistance + 8, 1900);
        if (distance < minDistance) {
            error = "compare distance shorter than the decryptor loop";
            return false;
        }
        const uint32_t bodyLength = (static_cast<uint32_t>(plain.size()) + 3) & ~3u;
        if (size < 3 || uint64_t{bodyLength} + 5 + 110 + distance + 3 > size) {
            error = "section too small for body and decryptor";
            return false;
        }
        const uint32_t p = size - 3 - distance;

        Bytes raw(size);
        // Encrypted body: the replay applies the operations in order to every word.
        for (uint32_t off = 0; off < bodyLength; off += 4) {
            uint32_t w = 0;
            for (uint32_t k = 0; k < 4; ++k)
                w |= uint32_t{off + k < plain.size() ? plain[off + k] : rng.Byte()} << (8 * k);
            for (auto it = loop.operations.rbegin(); it != loop.operations.rend(); ++it)
                w = Encrypt(it->number, w, it->key);
            PutU32(raw, off, w);
        }
        // An entry stub that just continues with the host, then random filler.
        const uint32_t stub = bodyLength;
        raw[stub] = 0xE9;
        PutU32(raw, stub + 1, hostEntry - (sectionRva + stub + 5));
        for (uint32_t i = stub + 5; i < p - 100; ++i) raw[i] = NotCompareByte(rng);
        // The junk in front of the compare that the detection counts.
        for (uint32_t i = p - 100; i < p; ++i) raw[i] = Neutral(rng);
        if (exact) {
            for (int i = 0; i < o.junkCount; ++i) {
                const Bytes j = JunkInstruction(rng, rng.Below(kJunkKinds), true);
                std::copy(j.begin(), j.end(), raw.begin() + (p - 76 + 10 * i));
            }
        } else {
            uint32_t at = p - 64 + rng.Below(4), placed = 0;
            while (at + 8 < p - 4 || placed < 4) {
                const Bytes j = JunkInstruction(rng, rng.Below(kJunkKinds), false);
                if (at + j.size() > p) break;
                std::copy(j.begin(), j.end(), raw.begin() + at);
                at += static_cast<uint32_t>(j.size()) + rng.Below(3);
                ++placed;
            }
            if (placed < 4) continue;
        }
        std::copy(loop.code.begin(), loop.code.end(), raw.begin() + p);
        for (uint32_t i = p + loopLength; i < size; ++i) raw[i] = exact ? Neutral(rng) : NotCompareByte(rng);

        // The body must not look decrypted before the replay, and the only compare
        // the searches meet from the end of the section is the decryptor's.
        static constexpr uint8_t kTwo[] = {0x60, 0xE8, 0x00, 0x00, 0x00};
        static constexpr uint8_t kOne[] = {0x58, 0x60, 0xE8, 0x00, 0x00, 0x00};
        if (!std::memcmp(raw.data(), kTwo, sizeof kTwo) || !std::memcmp(raw.data(), kOne, sizeof kOne)) continue;
        bool stray = false;
        const uint32_t end = size - 3;
        for (uint32_t q = end > 2100 ? end - 2100 : 0; q <= end && !stray; ++q)
            stray = q != p && IsCompare(&raw[q]);
        if (stray) continue;

        out.raw = std::move(raw);
        out.compare = p;
        out.jump = p + loop.jump;
        const uint32_t disp = GetU32(out.raw, out.jump + 2);
        out.body = out.jump + 6 + (disp > 34 ? 0 : disp);
        out.closingJump = p + loop.closingJump;
        out.stub = stub;
        out.operations.clear();
        for (const Operation& op : loop.operations) out.operations.push_back(static_cast<uint8_t>(op.number));
        return true;
    }
    error = "no decryptor layout found";
    return false;
}

void WriteSectionHeader(Bytes& image, size_t at, const char* name, uint32_t virtualSize, uint32_t rva,
                        uint32_t rawSize, uint32_t rawPointer, uint32_t characteristics) {
    std::fill(image.begin() + at, image.begin() + at + kHeaderSize, 0);
    for (int i = 0; i < 8 && name[i]; ++i) image[at + i] = name[i];
    PutU32(image, at + kSecVirtualSize, virtualSize);
    PutU32(image, at + kSecVirtualAddress, rva);
    PutU32(image, at + kSecSizeOfRawData, rawSize);
    PutU32(image, at + kSecPointerToRawData, rawPointer);
    PutU32(image, at + kSecCharacteristics, characteristics);
}

// DOS header, "PE" signature, file header and PE32 optional header.
void WriteHeaders(Bytes& image, uint32_t h, uint32_t sections, uint16_t characteristics, uint32_t entry,
                  uint32_t imageBase, uint32_t sectionAlignment, uint32_t fileAlignment,
                  uint32_t sizeOfImage, uint32_t sizeOfHeaders, uint16_t subsystem, uint32_t stamp) {
    Put(image, 0, {'M', 'Z', 0x90, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xB8});
    PutU16(image, 0x18, 0x40);
    PutU32(image, 0x3C, h);
    if (h >= 0x40 + 40) {
        Put(image, 0x40, {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21});
        PutText(image, 0x4E, "This program needs Win32.\r\r\n$");
    }
    Put(image, h, {'P', 'E', 0, 0});
    PutU16(image, h + 4, 0x14C);
    PutU16(image, h + 6, sections);
    PutU32(image, h + 8, stamp);
    PutU16(image, h + 20, 0xE0);
    PutU16(image, h + 22, characteristics);
    PutU16(image, h + 24, 0x10B);
    image[h + 26] = 2;
    image[h + 27] = 30;
    PutU32(image, h + 0x28, entry);
    PutU32(image, h + 52, imageBase);
    PutU32(image, h + 56, sectionAlignment);
    PutU32(image, h + 60, fileAlignment);
    PutU16(image, h + 64, 4);
    PutU16(image, h + 72, 4);
    PutU32(image, h + 0x50, sizeOfImage);
    PutU32(image, h + 84, sizeOfHeaders);
    PutU16(image, h + 92, subsystem);
    PutU32(image, h + 96, 0x200000);
    PutU32(image, h + 100, 0x1000);
    PutU32(image, h + 104, 0x100000);
    PutU32(image, h + 108, 0x1000);
    PutU32(image, h + 116, 16);
}

}  // namespace

PeInfo ReadPe(const Bytes& image) {
    PeInfo info;
    info.length = image.size();
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return info;
    const uint32_t h = GetU32(image, 0x3C);
    if (uint64_t{h} + kSectionTable > image.size()) return info;
    if (GetU32(image, h) != 0x00004550 || GetU16(image, h + 20) != 0xE0 || GetU16(image, h + 24) != 0x10B)
        return info;
    info.peOffset = h;
    info.sections = GetU16(image, h + 6);
    info.entryPoint = GetU32(image, h + 0x28);
    info.sizeOfImage = GetU32(image, h + 0x50);
    info.sizeOfHeaders = GetU32(image, h + 84);
    info.sectionAlignment = GetU32(image, h + 56);
    info.fileAlignment = GetU32(image, h + 60);
    info.valid = uint64_t{h} + kSectionTable + uint64_t{kHeaderSize} * info.sections <= image.size();
    return info;
}

size_t SectionHeaderOffset(const Bytes& image, uint32_t index) {
    return size_t{GetU32(image, 0x3C)} + kSectionTable + size_t{kHeaderSize} * index;
}
uint32_t GetSectionField(const Bytes& image, uint32_t index, uint32_t field) {
    return GetU32(image, SectionHeaderOffset(image, index) + field);
}
void SetSectionField(Bytes& image, uint32_t index, uint32_t field, uint32_t value) {
    PutU32(image, SectionHeaderOffset(image, index) + field, value);
}

Bytes MakeCleanHost(const HostOptions& o) {
    Rng rng(o.seed);
    const uint32_t n = std::clamp<uint32_t>(o.sections, 1, 8);
    const uint32_t fa = o.fileAlignment ? o.fileAlignment : 0x200;
    const uint32_t sa = o.sectionAlignment ? o.sectionAlignment : 0x1000;
    const uint32_t h = std::max<uint32_t>(o.peOffset, 0x40) & ~7u;
    // Linkers round the headers up, which leaves room for more section headers.
    const uint32_t sizeOfHeaders = Align(h + kSectionTable + kHeaderSize * (n + 4), fa);

    struct Sec {
        uint32_t rva, vsize, raw, ptr;
    };
    std::vector<Sec> secs;
    uint32_t rva = Align(sizeOfHeaders, sa), ptr = sizeOfHeaders;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t raw = fa * rng.Range(1, 12);
        const uint32_t vsize = raw + rng.Below(0x800);
        secs.push_back({rva, vsize, raw, ptr});
        rva = Align(rva + vsize, sa);
        ptr += raw;
    }
    const uint32_t entry = secs[0].rva + (rng.Below(secs[0].raw - 16) & ~3u);
    Bytes image(ptr + o.overlayBytes);
    Fill(rng, image, sizeOfHeaders, image.size());
    WriteHeaders(image, h, n, 0x0102, entry, 0x400000, sa, fa, rva, sizeOfHeaders, 3, rng.Next());
    PutU32(image, h + 28, secs[0].raw);
    PutU32(image, h + 44, secs[0].rva);
    if (n > 1) PutU32(image, h + 48, secs[1].rva);
    static const char* const kNames[] = {".text", ".rdata", ".data", ".idata", ".tls", ".rsrc", ".reloc", ".crt"};
    static const uint32_t kCharacteristics[] = {0x60000020, 0x40000040, 0xC0000040};
    for (uint32_t i = 0; i < n; ++i)
        WriteSectionHeader(image, h + kSectionTable + kHeaderSize * i, kNames[i], secs[i].vsize, secs[i].rva,
                           secs[i].raw, secs[i].ptr, i < 3 ? kCharacteristics[i] : 0x40000040);
    // xor eax, eax; ret: the program ends with exit code 0.
    Put(image, secs[0].ptr + (entry - secs[0].rva), {0x31, 0xC0, 0xC3});
    return image;
}

Bytes NormalizeHost(const Bytes& host) {
    const PeInfo pe = ReadPe(host);
    if (!pe.valid || pe.peOffset < 0x40) return {};
    Bytes out = host;
    if (pe.peOffset == 0x40) return out;
    const size_t length = kSectionTable + size_t{kHeaderSize} * pe.sections;
    std::memmove(out.data() + 0x40, host.data() + pe.peOffset, length);
    std::fill(out.begin() + 0x40 + length, out.begin() + pe.peOffset + length, 0);
    PutU32(out, 0x3C, 0x40);
    return out;
}

InfectedSample Infect(const Bytes& host, const InfectOptions& o) {
    InfectedSample s;
    Bytes image = NormalizeHost(host);
    const PeInfo pe = ReadPe(image);
    if (image.empty() || !pe.valid) {
        s.error = "host is not a PE32 image with a standard optional header";
        return s;
    }
    const uint32_t h = pe.peOffset, n = pe.sections;
    const uint32_t tableEnd = h + kSectionTable + kHeaderSize * n;
    uint64_t headerLimit = pe.sizeOfHeaders;
    for (uint32_t i = 0; i < n; ++i)
        if (GetSectionField(image, i, kSecSizeOfRawData) != 0)
            headerLimit = std::min<uint64_t>(headerLimit, GetSectionField(image, i, kSecPointerToRawData));
    if (tableEnd + 2 * kHeaderSize > headerLimit || tableEnd + 2 * kHeaderSize > image.size() ||
        std::any_of(image.begin() + tableEnd, image.begin() + tableEnd + 2 * kHeaderSize,
                    [](uint8_t b) { return b != 0; })) {
        s.error = "no free room for two more section headers";
        return s;
    }
    s.normalizedHost = image;

    Rng rng(o.seed);
    const uint32_t sa = pe.sectionAlignment ? pe.sectionAlignment : 0x1000;
    const uint32_t sectionRva = pe.sizeOfImage;
    Section sec;
    if (!BuildSection(rng, o, sectionRva, pe.entryPoint, sec, s.error)) return s;

    const uint32_t start = static_cast<uint32_t>(image.size());
    const uint32_t size = static_cast<uint32_t>(sec.raw.size());
    image.insert(image.end(), sec.raw.begin(), sec.raw.end());
    const uint32_t lastRva = Align(sectionRva + size, sa);
    const uint32_t lastVirtual = 0x1000 * rng.Range(1, 4);
    static const char* const kNames[] = {".qdata", ".qcode", ".vcx", ".text2"};
    WriteSectionHeader(image, tableEnd, kNames[rng.Below(4)], size, sectionRva, size, start,
                       kThreatCharacteristics);
    WriteSectionHeader(image, tableEnd + kHeaderSize, kNames[rng.Below(4)], lastVirtual, lastRva, 0,
                       start + size, kThreatCharacteristics);
    PutU16(image, h + 6, n + 2);
    PutU32(image, h + 0x28, sectionRva + sec.stub);
    PutU32(image, h + 0x50, Align(lastRva + lastVirtual, sa));

    s.image = std::move(image);
    s.staleHeaderOffset = tableEnd;
    s.sectionStart = start;
    s.sectionSize = size;
    s.compare = start + sec.compare;
    s.jump = start + sec.jump;
    s.body = start + sec.body;
    s.closingJump = start + sec.closingJump;
    s.hostEntryPoint = pe.entryPoint;
    s.infectedEntryPoint = sectionRva + sec.stub;
    s.operations = sec.operations;
    return s;
}

Bytes MakeInfected(const Bytes& host, const InfectOptions& options) { return Infect(host, options).image; }

Bytes ExpectedAfterRepair(const Bytes& normalizedHost, const Bytes& infected) {
    const PeInfo host = ReadPe(normalizedHost), inf = ReadPe(infected);
    Bytes out = normalizedHost;
    if (!host.valid || !inf.valid || inf.sections < host.sections) return out;
    const size_t from = host.peOffset + kSectionTable + size_t{kHeaderSize} * host.sections;
    const size_t to = host.peOffset + kSectionTable + size_t{kHeaderSize} * inf.sections;
    for (size_t i = from; i < to && i < out.size() && i < infected.size(); ++i) out[i] = infected[i];
    return out;
}

Bytes MakeThreatFile(const ThreatFileOptions& o) {
    Rng rng(o.seed);
    const bool second = o.build == 2;
    const bool markersSecond = (o.markerBuild ? o.markerBuild : o.build) == 2;
    const uint32_t raw = second ? 0xA400 : 0xA200;
    const uint32_t h = std::max<uint32_t>(o.peOffset, 0x40) & ~7u;
    Bytes image(0x200 + raw + 0x200);
    Fill(rng, image, 0x200, image.size());
    WriteHeaders(image, h, 2, 0x2102, 0x1000 + (rng.Below(0x800) & ~3u), 0x10000000, 0x1000, 0x200,
                 0xD000, 0x200, 2, rng.Next());
    WriteSectionHeader(image, h + kSectionTable, ".text", raw, 0x1000, raw, 0x200, 0xC0000020);
    WriteSectionHeader(image, h + kSectionTable + kHeaderSize, ".rsrc", 0x200, 0xC000, 0x200, 0x200 + raw,
                       0x40000040);
    if (o.withVCab) PutText(image, markersSecond ? 0x1660 : 0x1640, "VCab");
    if (o.withMarker) PutText(image, markersSecond ? 0x16C0 : 0x16A0, "WINXPGOD");
    return image;
}

namespace {

Bytes MakePackedShape(const PackedOptions& o, uint32_t firstCharacteristics, uint32_t entryLow,
                      uint32_t entryHigh, uint32_t imageLow, uint32_t imageHigh) {
    Rng rng(o.seed);
    const uint32_t h = 0x40;
    const uint32_t codeRva = entryLow;
    Bytes image(0x200);
    uint32_t codeSize = 0x3000;
    Section sec;
    if (o.infectedTail) {
        InfectOptions io;
        io.seed = o.seed;
        std::string error;
        if (!BuildSection(rng, io, codeRva, 0x1000, sec, error)) return {};
        codeSize = static_cast<uint32_t>(sec.raw.size());
        image.insert(image.end(), sec.raw.begin(), sec.raw.end());
        // The CRC patch below must stay in the filler between body and decryptor.
        if (0x200 + sec.stub + 5 > 0x2FF8 || 0x200 + sec.compare < 0x3000 + 100) return {};
    } else {
        image.resize(0x200 + codeSize + 0x400);
        Fill(rng, image, 0x200, image.size());
    }
    const uint32_t entry = o.entryPoint ? o.entryPoint : entryLow + (rng.Below(entryHigh - entryLow) & ~3u);
    const uint32_t sizeOfImage = o.sizeOfImage ? o.sizeOfImage : imageLow + 0x1000 * rng.Below((imageHigh - imageLow) / 0x1000 + 1);
    WriteHeaders(image, h, 3, 0x0102, entry, 0x400000, 0x1000, 0x200, sizeOfImage, 0x200, 2, rng.Next());
    WriteSectionHeader(image, h + kSectionTable, ".pk0", codeRva - 0x1000, 0x1000, 0, 0x200, firstCharacteristics);
    if (o.infectedTail) {
        const uint32_t lastRva = Align(codeRva + codeSize, 0x1000);
        WriteSectionHeader(image, h + kSectionTable + kHeaderSize, ".qcode", codeSize, codeRva, codeSize, 0x200,
                           kThreatCharacteristics);
        WriteSectionHeader(image, h + kSectionTable + 2 * kHeaderSize, ".qdata", 0x1000, lastRva, 0,
                           0x200 + codeSize, kThreatCharacteristics);
    } else {
        WriteSectionHeader(image, h + kSectionTable + kHeaderSize, ".pk1", 0x5000, codeRva, codeSize, 0x200,
                           0xE0000040);
        WriteSectionHeader(image, h + kSectionTable + 2 * kHeaderSize, ".rsrc", 0x1000, codeRva + 0x5000, 0x400,
                           0x200 + codeSize, 0xC0000040);
    }
    ForgeCrc(image, 0x2FF8, o.crc);
    return image;
}

}  // namespace

const std::vector<uint32_t> kPackedThreatCrcs = {0x0F3FD3EE, 0x1D2FE568, 0x24C14399, 0x4F914C86, 0x50DBE26B,
                                                  0x5CBBED21, 0xAFE02688, 0xB05714DA, 0xBEC084FC, 0xD3F1D53D};
const std::vector<uint32_t> kDropperCrcs = {0x3397E5B7, 0x525FB65A, 0x56A93D36, 0x8B2B2F2F, 0xEF4A3E1C};

Bytes MakePackedThreat(const PackedOptions& o) {
    return MakePackedShape(o, 0xC0000060, 0x10000, 0x10500, 0x17000, 0x19000);
}
Bytes MakeDropper(const PackedOptions& o) {
    return MakePackedShape(o, 0xE0000060, 0x1A000, 0x1D000, 0x27000, 0x2B000);
}

namespace {
struct CrcTables {
    uint32_t forward[256];
    uint8_t byTopByte[256];  // table index whose entry has this top byte
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            forward[i] = c;
            byTopByte[c >> 24] = static_cast<uint8_t>(i);
        }
    }
};
const CrcTables& Tables() {
    static const CrcTables tables;
    return tables;
}
}  // namespace

uint32_t CrcRegister(const uint8_t* bytes, size_t count) {
    const CrcTables& t = Tables();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) crc = (crc >> 8) ^ t.forward[(crc ^ bytes[i]) & 0xFF];
    return crc;
}

bool ForgeCrc(Bytes& image, size_t patchOffset, uint32_t target, size_t span) {
    if (span > image.size() || patchOffset + 4 > span) return false;
    const CrcTables& t = Tables();
    // The register needed after the patch: run the table backwards over the suffix.
    uint32_t s = target;
    for (size_t q = span; q-- > patchOffset + 4;) {
        const uint8_t idx = t.byTopByte[s >> 24];
        s = ((s ^ t.forward[idx]) << 8) | (idx ^ image[q]);
    }
    // Four table indices produce that register from any state; pick the bytes that
    // select them from the state in front of the patch.
    uint8_t idx[4];
    for (int k = 3; k >= 0; --k) {
        idx[k] = t.byTopByte[s >> 24];
        s = (s ^ t.forward[idx[k]]) << 8;
    }
    uint32_t state = CrcRegister(image.data(), patchOffset);
    for (int k = 0; k < 4; ++k) {
        image[patchOffset + k] = static_cast<uint8_t>(idx[k] ^ (state & 0xFF));
        state = (state >> 8) ^ t.forward[idx[k]];
    }
    return CrcRegister(image.data(), span) == target;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::streamoff size = in.tellg();
    if (size <= 0) return {};
    Bytes bytes(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return {};
    return bytes;
}

}  // namespace samples
