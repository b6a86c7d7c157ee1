// Stand-in for the 9x server library (Wine's exports are stubs that raise):
// shares with their level-50 records kept in memory, set up by the test
// through the StandIn* exports. Every call is recorded with the passwords
// it wrote.
#include <windows.h>

#include <cstring>
#include <map>
#include <string>

#include "standin_calls.h"

namespace {

#pragma pack(push, 1)
struct ShareInfo50 {
    char netname[13];
    unsigned char type;
    unsigned short flags;
    char* remark;
    char* path;
    char rwPassword[9];
    char roPassword[9];
};
#pragma pack(pop)
static_assert(sizeof(ShareInfo50) == 42, "level-50 record");

struct Share {
    std::string path;
    char rw[9] = {};
    char ro[9] = {};
};
std::map<std::string, Share> g_shares;

constexpr unsigned kNetNameNotFound = 2310;
constexpr unsigned kMoreData = 234;

std::string Field(const char* field) { return std::string(field, strnlen(field, 9)); }

}  // namespace

void standin::ResetState() { g_shares.clear(); }

extern "C" {

void WINAPI StandInAddShare(const char* name, const char* rw, const char* ro) {
    Share share;
    share.path = std::string("C:\\") + name;
    std::strncpy(share.rw, rw, 8);
    std::strncpy(share.ro, ro, 8);
    g_shares[name] = share;
}
// The share's two passwords, "rw/ro"; empty when the share is missing.
const char* WINAPI StandInPasswords(const char* name) {
    static std::string text;
    auto it = g_shares.find(name);
    text = it == g_shares.end() ? "" : Field(it->second.rw) + "/" + Field(it->second.ro);
    return text.c_str();
}

unsigned WINAPI StandNetShareGetInfo(const char*, const char* name, short level, char* buffer, unsigned short size,
                                     unsigned short* available) {
    standin::Enter("NetShareGetInfo", std::string(name) + " " + std::to_string(level) + " " + std::to_string(size));
    auto it = g_shares.find(name);
    if (it == g_shares.end()) return kNetNameNotFound;
    const Share& share = it->second;
    unsigned short needed = static_cast<unsigned short>(sizeof(ShareInfo50) + 1 + share.path.size() + 1);
    if (available) *available = needed;
    if (level != 50 || size < needed) return kMoreData;
    auto* info = reinterpret_cast<ShareInfo50*>(buffer);
    std::memset(info, 0, sizeof *info);
    std::strncpy(info->netname, name, 12);
    info->remark = buffer + sizeof *info;
    info->remark[0] = 0;
    info->path = info->remark + 1;
    std::strcpy(info->path, share.path.c_str());
    std::memcpy(info->rwPassword, share.rw, 9);
    std::memcpy(info->roPassword, share.ro, 9);
    return 0;
}

unsigned WINAPI StandNetShareSetInfo(const char*, const char* name, short level, const char* buffer,
                                     unsigned short size, short parameter) {
    const auto* info = reinterpret_cast<const ShareInfo50*>(buffer);
    standin::Enter("NetShareSetInfo", std::string(name) + " " + std::to_string(level) + " " + std::to_string(size) +
                                          " " + std::to_string(parameter) + " " + Field(info->rwPassword) + "/" +
                                          Field(info->roPassword));
    auto it = g_shares.find(name);
    if (it == g_shares.end()) return kNetNameNotFound;
    std::memcpy(it->second.rw, info->rwPassword, 9);
    std::memcpy(it->second.ro, info->roPassword, 9);
    return 0;
}

unsigned WINAPI StandNetShareDel(const char*, const char* name, unsigned short reserved) {
    standin::Enter("NetShareDel", std::string(name) + " " + std::to_string(reserved));
    return g_shares.erase(name) ? 0 : kNetNameNotFound;
}

}  // extern "C"
