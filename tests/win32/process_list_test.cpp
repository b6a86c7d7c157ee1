// The process library under Wine: both back-ends against each other and
// against what a helper process (thread_host.exe) says about itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "ps/win32/ps_win32.h"
#include "ps/win32/ps_win32_internal.h"
#include "support/support.h"

namespace {

using ps_records::nt_layout;

// A running thread_host.exe and what it wrote about itself.
class Host {
public:
    bool Start() {
        const std::string info = qt::NewWorkDir("host") + "\\info.txt";
        if (!m_process.Start("\"" + qt::BinDir() + "\\thread_host.exe\" \"" + info + "\"")) return false;
        for (int i = 0; i < 600 && !qt::FileExists(info); ++i) Sleep(50);
        m_info = qt::ReadText(info);
        return !m_info.empty();
    }
    uint32_t Value(const std::string& key) const {
        return static_cast<uint32_t>(std::strtoul(qt::OutputValue(m_info, key).c_str(), nullptr, 10));
    }
    DWORD Id() const { return m_process.Id(); }
    HANDLE Handle() const { return m_process.Handle(); }
    qt::Process& Process() { return m_process; }

private:
    qt::Process m_process;
    std::string m_info;
};

// Under qemu's user-mode emulator the Wine server cannot attach to a process
// (no ptrace), so every ReadProcessMemory and NtReadVirtualMemory fails with
// access denied, even on the caller's own memory.
bool RemoteReadsWork() {
    static const uint32_t probe = 0x5155;
    uint32_t copy = 0;
    SIZE_T done = 0;
    return ReadProcessMemory(GetCurrentProcess(), &probe, &copy, sizeof copy, &done) && copy == probe;
}
const char kNoRemoteReads[] = "this Wine cannot read process memory (the server cannot attach under the CPU emulator)";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Backend(ps_process* cursor) {
    const std::string type = typeid(*cursor).name();
    if (type.find("nt_process_cursor") != std::string::npos) return "native";
    if (type.find("th_process_cursor") != std::string::npos) return "toolhelp";
    return type;
}

struct ProcessLine {
    std::string name;
    uint32_t parent = 0, threads = 0;
    bool operator==(const ProcessLine&) const = default;
};
using Listing = std::map<uint32_t, ProcessLine>;

Listing List(ps_process* cursor) {
    Listing listing;
    if (!cursor) return listing;
    cursor->first();
    do listing[cursor->id()] = {cursor->name(), cursor->parent_id(), cursor->thread_count()};
    while (cursor->next());
    return listing;
}

std::string Describe(const Listing& listing) {
    std::string text;
    for (const auto& [id, p] : listing)
        text += "  " + std::to_string(id) + " " + p.name + " parent " + std::to_string(p.parent) + " threads " +
                std::to_string(p.threads) + "\n";
    return text;
}

ps_module* ModulesOf(ps_process* processes, uint32_t id) {
    processes->first();
    do
        if (processes->id() == id) return processes->modules();
    while (processes->next());
    return nullptr;
}

template <typename Cursor>
bool Seek(Cursor* cursor, uint32_t id) {
    cursor->first();
    do
        if (cursor->id() == id) return true;
    while (cursor->next());
    return false;
}

// Both back-ends made directly, in the same process, a moment apart.
struct Backends {
    ps_owner<ps_process> native{ps_detail::create_nt_process_cursor(nt_layout::nt5)};
    ps_owner<ps_process> toolhelp{ps_detail::create_toolhelp_process_cursor()};
};

TEST(ProcessList, BackendsAgreeOnProcessesIdsNamesParentsAndThreads) {
    Host host;
    ASSERT_TRUE(host.Start());
    Backends b;
    ASSERT_TRUE(b.native && b.toolhelp);
    const Listing native = List(b.native.get()), toolhelp = List(b.toolhelp.get());
    std::printf("native:\n%stoolhelp:\n%s", Describe(native).c_str(), Describe(toolhelp).c_str());
    EXPECT_EQ(native, toolhelp);
    EXPECT_EQ(b.native->count(), native.size());
    ASSERT_TRUE(native.count(host.Id()));
    EXPECT_EQ(native.at(host.Id()).name, "thread_host.exe");
    EXPECT_EQ(native.at(host.Id()).parent, GetCurrentProcessId());
    EXPECT_EQ(native.at(host.Id()).threads, 3u);
    ASSERT_TRUE(native.count(GetCurrentProcessId()));
    EXPECT_EQ(native.at(GetCurrentProcessId()).name, "process_list_test.exe");
}

TEST(ProcessList, CursorStepsBothWaysAndClonesStartAtTheFirst) {
    Backends b;
    for (ps_process* c : {b.native.get(), b.toolhelp.get()}) {
        ASSERT_NE(c, nullptr);
        std::vector<uint32_t> forward, backward;
        ASSERT_TRUE(c->first());
        EXPECT_TRUE(c->at_first());
        const std::string first_name = c->name();
        do forward.push_back(c->id());
        while (c->next());
        EXPECT_TRUE(c->at_last());
        EXPECT_FALSE(c->next());
        do backward.insert(backward.begin(), c->id());
        while (c->prev());
        EXPECT_EQ(forward, backward) << Backend(c);
        EXPECT_EQ(forward.size(), c->count());
        ASSERT_TRUE(c->last());
        EXPECT_EQ(c->id(), forward.back());
        ps_owner<ps_process> clone(c->clone());
        EXPECT_TRUE(clone->at_first());
        EXPECT_EQ(clone->id(), forward.front());
        EXPECT_EQ(clone->name(), first_name);
    }
}

TEST(ProcessList, PathsComeFromTheMainModule) {
    if (!RemoteReadsWork()) GTEST_SKIP() << kNoRemoteReads;
    Host host;
    ASSERT_TRUE(host.Start());
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    Backends b;
    for (ps_process* c : {b.native.get(), b.toolhelp.get()}) {
        ASSERT_TRUE(Seek(c, host.Id())) << Backend(c);
        ASSERT_NE(c->path(), nullptr) << Backend(c);
        EXPECT_EQ(Lower(c->path()), Lower(qt::BinDir() + "\\thread_host.exe")) << Backend(c);
        ASSERT_TRUE(Seek(c, GetCurrentProcessId()));
        ASSERT_NE(c->path(), nullptr);
        EXPECT_EQ(Lower(c->path()), Lower(self)) << Backend(c);
        std::printf("%s: %s\n", Backend(c).c_str(), c->path());
    }
}

}  // namespace
