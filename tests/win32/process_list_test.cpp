// The process library under Wine: both back-ends against each other and
// against what a helper process (thread_host.exe) says about itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <ostream>
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
        const std::string info = testsupport::NewWorkDir("host") + "\\info.txt";
        std::string command = testsupport::BinDir();
        command.insert(0, 1, '"');
        command += "\\thread_host.exe\" \"" + info + "\"";
        if (!m_process.Start(command)) return false;
        for (int i = 0; i < 600 && !testsupport::FileExists(info); ++i) Sleep(50);
        m_info = testsupport::ReadText(info);
        return !m_info.empty();
    }
    uint32_t Value(const std::string& key) const {
        return static_cast<uint32_t>(std::strtoul(testsupport::OutputValue(m_info, key).c_str(), nullptr, 10));
    }
    DWORD Id() const { return m_process.Id(); }
    HANDLE Handle() const { return m_process.Handle(); }
    testsupport::Process& Process() { return m_process; }

private:
    testsupport::Process m_process;
    std::string m_info;
};

// Under qemu's user-mode emulator the Wine server cannot attach to a process.
const char kNoRemoteReads[] = "this Wine cannot read process memory (the server cannot attach under the CPU emulator)";

uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

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
void PrintTo(const ProcessLine& p, std::ostream* out) {
    *out << p.name << " parent " << p.parent << " threads " << p.threads;
}
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

template <typename Cursor>
bool Seek(Cursor* cursor, uint32_t id) {
    cursor->first();
    do
        if (cursor->id() == id) return true;
    while (cursor->next());
    return false;
}

ps_module* ModulesOf(ps_process* processes, uint32_t id) { return Seek(processes, id) ? processes->modules() : nullptr; }

// Both back-ends made directly, in the same process, a moment apart.
struct Backends {
    ps_owner<ps_process> native{ps_detail::create_nt_process_cursor(nt_layout::nt5)};
    ps_owner<ps_process> toolhelp{ps_detail::create_toolhelp_process_cursor()};
};

TEST(ProcessList, BackendsAgreeOnProcessesAndStepBothWays) {
    Host host;
    ASSERT_TRUE(host.Start());
    ps_owner<ps_process> before(ps_detail::create_toolhelp_process_cursor());
    Backends b;
    ASSERT_TRUE(b.native && b.toolhelp);
    Listing native = List(b.native.get()), toolhelp = List(b.toolhelp.get());
    std::printf("native:\n%stoolhelp:\n%s", Describe(native).c_str(), Describe(toolhelp).c_str());
    // A system process that started or ended a thread between the snapshots
    // is compared without its thread count.
    for (const auto& [id, p] : List(before.get()))
        if (native.count(id) && toolhelp.count(id) && p.threads != toolhelp[id].threads)
            native[id].threads = toolhelp[id].threads = 0;
    EXPECT_EQ(native, toolhelp);
    EXPECT_EQ(b.native->count(), native.size());
    ASSERT_TRUE(native.count(host.Id()));
    EXPECT_EQ(native.at(host.Id()).name, "thread_host.exe");
    EXPECT_EQ(native.at(host.Id()).parent, GetCurrentProcessId());
    EXPECT_EQ(native.at(host.Id()).threads, 3u);
    ASSERT_TRUE(native.count(GetCurrentProcessId()));
    EXPECT_EQ(native.at(GetCurrentProcessId()).name, "process_list_test.exe");

    // Both cursors step both ways; clones start at the first.
    for (ps_process* c : {b.native.get(), b.toolhelp.get()}) {
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

uint32_t ImageSize(HMODULE module) {
    const auto* image = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    return nt->OptionalHeader.SizeOfImage;
}

TEST(ProcessList, ModulesHaveTheBasesAndSizesTheProcessSees) {
    Host host;
    ASSERT_TRUE(host.Start());
    Backends b;
    for (ps_process* c : {b.native.get(), b.toolhelp.get()}) {
        const std::string backend = Backend(c);
        ps_owner<ps_module> m(ModulesOf(c, host.Id()));
        if (!testsupport::ProcessMemoryReadable()) {
            // Both back-ends read the loader list (toolhelp inside the system): nothing readable, no cursor.
            EXPECT_EQ(m, nullptr) << backend;
            continue;
        }
        ASSERT_NE(m, nullptr) << backend;
        EXPECT_EQ(m->owner_id(), host.Id());
        // Sorted by base; the image comes first.
        ASSERT_TRUE(m->first());
        EXPECT_TRUE(m->is_main()) << backend;
        EXPECT_EQ(m->base_address(), host.Value("image")) << backend;
        EXPECT_EQ(Lower(m->name()), "thread_host.exe") << backend;
        ASSERT_NE(m->path(), nullptr);
        EXPECT_EQ(Lower(m->path()), Lower(testsupport::BinDir() + "\\thread_host.exe")) << backend;
        uint32_t previous_end = 0;
        do {
            EXPECT_GT(m->base_address(), previous_end) << backend << " " << m->name();
            EXPECT_GE(m->end_address(), m->base_address());
            previous_end = m->end_address();
        } while (m->next());
        EXPECT_FALSE(m->is_main());
        for (const char* dll : {"kernel32.dll", "ntdll.dll"}) {
            const HMODULE own = GetModuleHandleA(dll);
            MEMORY_BASIC_INFORMATION info = {};
            ASSERT_TRUE(VirtualQuery(own, &info, sizeof info));
            ASSERT_EQ(info.AllocationBase, own);
            const uint32_t base = Address(own), size = ImageSize(own);
            ASSERT_TRUE(m->find_by_address(base + size / 2)) << backend << " " << dll;
            EXPECT_EQ(m->base_address(), base) << backend << " " << dll;
            EXPECT_EQ(m->end_address(), base + size - 1) << backend << " " << dll;
            EXPECT_EQ(Lower(m->name()), dll) << backend;
            EXPECT_FALSE(m->is_main());
            std::printf("%s: %s at %08x-%08x (own view %08x + %08x), path %s\n", backend.c_str(), m->name(),
                        m->base_address(), m->end_address(), base, size, m->path() ? m->path() : "(null)");
        }
        EXPECT_FALSE(m->find_by_address(0x1000));
        ASSERT_TRUE(m->select_main());
        EXPECT_EQ(m->base_address(), host.Value("image"));
    }
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoRemoteReads;
}

TEST(ProcessList, RegionsCarryTheProtectionOfTheirPages) {
    Host host;
    ASSERT_TRUE(host.Start());
    Backends b;
    ASSERT_TRUE(Seek(b.toolhelp.get(), host.Id()));
    ps_owner<ps_region> r(b.toolhelp->regions());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->owner_id(), host.Id());
    const struct { const char* page; bool kept; uint32_t code; } pages[] = {
        {"readonly", true, 1},          {"readwrite", true, 3}, {"execute", true, 4},
        {"execute_read", true, 5},      {"execute_readwrite", true, 7},
        {"noaccess", false, 0},         {"guard", false, 0},    {"reserved", false, 0},
    };
    for (const auto& p : pages) {
        const uint32_t address = host.Value(p.page);
        ASSERT_NE(address, 0u) << p.page;
        ASSERT_EQ(r->find_by_address(address + 100), p.kept) << p.page;
        if (!p.kept) continue;
        EXPECT_EQ(r->base_address(), address) << p.page;
        EXPECT_EQ(r->end_address(), address + 4095) << p.page;
        EXPECT_EQ(r->protection(), p.code) << p.page;
        std::printf("region %s at %08x: code %u\n", p.page, r->base_address(), r->protection());
    }
    // The code of the image: executable and readable, part of a mapped image.
    ASSERT_TRUE(r->find_by_address(host.Value("routine")));
    EXPECT_EQ(r->protection(), 5u + 8u);
    EXPECT_EQ(r->user_value(), 0u);
    EXPECT_EQ(r->set_user_value(7), 0u);
    EXPECT_EQ(r->set_user_value(9), 7u);
    // Regions are sorted, disjoint, and none is free or inaccessible.
    uint32_t previous_end = 0;
    r->first();
    do {
        EXPECT_TRUE(r->at_first() || r->base_address() > previous_end);
        previous_end = r->end_address();
    } while (r->next());
}

TEST(ProcessList, ThreadsAndTheirStartAddresses) {
    Host host;
    ASSERT_TRUE(host.Start());
    Backends b;
    std::set<uint32_t> ids[2];
    int which = 0;
    for (ps_process* c : {b.native.get(), b.toolhelp.get()}) {
        const std::string backend = Backend(c);
        ASSERT_TRUE(Seek(c, host.Id()));
        ps_owner<ps_thread> t(c->threads());
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->count(), 3u);
        EXPECT_NE(thread_start_offset, 0u) << "learned when the first thread cursor was made";
        std::printf("learned offsets: thread %u, main %u\n", thread_start_offset, main_start_offset);
        do {
            ids[which].insert(t->id());
            EXPECT_EQ(t->owner_id(), host.Id());
            EXPECT_EQ(t->zero(), 0u);
            const uint32_t start = t->start_address();
            std::printf("%s: thread %u starts at %08x\n", backend.c_str(), t->id(), start);
            const bool worker = t->id() == host.Value("worker0") || t->id() == host.Value("worker1");
            if (backend == "native") {
                EXPECT_EQ(start, worker ? host.Value("routine") : host.Value("entry")) << t->id();
            } else if (testsupport::ProcessMemoryReadable()) {
                if (worker) {
                    EXPECT_EQ(start, host.Value("routine")) << t->id();
                }
            } else {
                EXPECT_EQ(start, 0u) << "the stack probe cannot read here";
            }
        } while (t->next());
        ++which;
    }
    EXPECT_EQ(ids[0], ids[1]);
    EXPECT_EQ(ids[0], (std::set<uint32_t>{host.Value("main_thread"), host.Value("worker0"), host.Value("worker1")}));
}

TEST(ProcessList, PathsFromTheMainModuleAndStackInfoOfAnotherProcessesThread) {
    if (!testsupport::ProcessMemoryReadable()) GTEST_SKIP() << kNoRemoteReads;
    Host host;
    ASSERT_TRUE(host.Start());
    const std::string self = testsupport::SelfPath();
    Backends b;
    for (ps_process* c : {b.native.get(), b.toolhelp.get()}) {
        SCOPED_TRACE(Backend(c));
        ASSERT_TRUE(Seek(c, GetCurrentProcessId()));
        ASSERT_NE(c->path(), nullptr);
        EXPECT_EQ(Lower(c->path()), Lower(self));
        ASSERT_TRUE(Seek(c, host.Id()));
        ASSERT_NE(c->path(), nullptr);
        EXPECT_EQ(Lower(c->path()), Lower(testsupport::BinDir() + "\\thread_host.exe"));
        ps_owner<ps_thread> t(c->threads());
        ASSERT_TRUE(t && Seek(t.get(), host.Value("worker0")));
        const ps_stack_info* info = t->stack_info();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->teb, host.Value("teb0"));
        EXPECT_EQ(info->stack_top, host.Value("stack_base0") - 1);
        EXPECT_EQ(info->stack_limit, host.Value("stack_limit0"));
        EXPECT_GE(info->stack_pointer, info->stack_limit);
        EXPECT_LE(info->stack_pointer, info->stack_top);
        EXPECT_EQ(t->stack_info(), info) << "cached for the same thread";
    }
}

TEST(ProcessList, SuspendResumeAndTerminateById) {
    Host host;
    ASSERT_TRUE(host.Start());
    const uint32_t worker = host.Value("worker0");
    const struct { bool suspend; uint32_t previous; } steps[] = {
        {true, 0}, {true, 1}, {false, 2}, {false, 1}, {false, 0}};
    for (const auto& s : steps) {
        uint32_t previous = 0xDEAD;
        ASSERT_TRUE(s.suspend ? suspend_thread_by_id(worker, &previous) : resume_thread_by_id(worker, &previous));
        EXPECT_EQ(previous, s.previous);
    }
    EXPECT_TRUE(suspend_thread_by_id(worker, nullptr));
    EXPECT_TRUE(resume_thread_by_id(worker, nullptr));
    EXPECT_FALSE(suspend_thread_by_id(0xFFFFFFF0, nullptr));

    ASSERT_TRUE(terminate_thread_by_id(host.Value("worker1")));
    {
        ps_owner<ps_process> list(ps_detail::create_toolhelp_process_cursor());
        ASSERT_TRUE(Seek(list.get(), host.Id()));
        EXPECT_EQ(list->thread_count(), 2u);
        ps_owner<ps_thread> t(list->threads());
        ASSERT_NE(t, nullptr);
        EXPECT_FALSE(Seek(t.get(), host.Value("worker1")));
        // The cursor's own terminate, on the other worker.
        ASSERT_TRUE(Seek(t.get(), worker));
        EXPECT_TRUE(t->terminate());
        // And the process through its cursor.
        EXPECT_TRUE(list->terminate());
    }
    EXPECT_EQ(WaitForSingleObject(host.Handle(), 0), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(host.Handle(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(terminate_process_by_id(0xFFFFFFF0));
    EXPECT_FALSE(terminate_thread_by_id(0xFFFFFFF0));
}

TEST(ProcessList, SetPrivilegeTurnsAHeldPrivilegeOnAndOff) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    bool previous = true;
    EXPECT_EQ(set_privilege(token, "SeDebugPrivilege", false, &previous), 1);
    EXPECT_EQ(set_privilege(token, "SeDebugPrivilege", true, &previous), 1);
    EXPECT_FALSE(previous);
    EXPECT_EQ(set_privilege(token, "SeDebugPrivilege", true, &previous), 1);
    EXPECT_TRUE(previous);
    LUID luid;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &luid));
    PRIVILEGE_SET set = {1, PRIVILEGE_SET_ALL_NECESSARY, {{luid, 0}}};
    BOOL enabled = FALSE;
    ASSERT_TRUE(PrivilegeCheck(token, &set, &enabled));
    EXPECT_TRUE(enabled);
    EXPECT_EQ(set_privilege(token, "SeNoSuchPrivilege", true, nullptr), 0);
    CloseHandle(token);
}

// Run under another Windows version: prints what create_process_list gives.
CHILD_TEST(ProcessList, ListUnderVersion) {
    ps_owner<ps_process> c(create_process_list(0));
    ASSERT_NE(c, nullptr);
    std::printf("backend=%s\n", Backend(c.get()).c_str());
    do std::printf("process=%u|%u|%u|%s\n", c->id(), c->parent_id(), c->thread_count(), c->name());
    while (c->next());
    ps_owner<ps_process> native_only(create_process_list(1));
    std::printf("native_only=%s\n", native_only ? Backend(native_only.get()).c_str() : "null");
    // The own thread's stack record: the FS selector on 9x, the native query on NT.
    ASSERT_TRUE(Seek(c.get(), GetCurrentProcessId()));
    ps_owner<ps_thread> t(c->threads());
    ASSERT_TRUE(t && Seek(t.get(), GetCurrentThreadId()));
    const ps_stack_info* info = t->stack_info();
    const auto* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
    std::printf("own_stack=%s\n", !info ? "null"
                                  : info->teb == Address(tib->Self) && info->stack_top == Address(tib->StackBase) - 1
                                      ? "match"
                                      : "differs");
    std::printf("offsets=%u %u\n", thread_start_offset, main_start_offset);
}

TEST(ProcessList, EachVersionUsesItsBackendAndAllListTheSame) {
    Host host;
    ASSERT_TRUE(host.Start());
    const struct { const char* version; const char* backend; const char* native_only; } runs[] = {
        {"winxp", "native", "native"}, {"win2k", "native", "native"},
        {"win2003", "toolhelp", "null"}, {"win98", "toolhelp", "null"},
    };
    std::map<std::string, Listing> listings;
    for (const auto& run : runs) {
        const std::string copy = std::string("pl_") + run.version + ".exe";
        testsupport::ProcessResult r = testsupport::RunChildUnderVersion(copy, run.version, "ProcessList.ListUnderVersion");
        ASSERT_TRUE(r.finished) << run.version;
        ASSERT_EQ(r.exitCode, 0u) << run.version << "\n" << r.output;
        EXPECT_EQ(testsupport::OutputValue(r.output, "backend"), run.backend) << run.version;
        EXPECT_EQ(testsupport::OutputValue(r.output, "native_only"), run.native_only) << run.version;
        EXPECT_EQ(testsupport::OutputValue(r.output, "own_stack"), testsupport::ProcessMemoryReadable() ? "match" : "null") << run.version;
        std::printf("%s: learned offsets %s, own stack record %s\n", run.version,
                    testsupport::OutputValue(r.output, "offsets").c_str(), testsupport::OutputValue(r.output, "own_stack").c_str());
        Listing& listing = listings[run.version];
        for (size_t at = r.output.find("process="); at != std::string::npos; at = r.output.find("process=", at + 1)) {
            unsigned id = 0, parent = 0, threads = 0;
            char name[MAX_PATH] = {};
            if (std::sscanf(r.output.c_str() + at, "process=%u|%u|%u|%259[^\r\n]", &id, &parent, &threads, name) == 4 &&
                copy != name)   // the listing program itself differs from run to run
                listing[id] = {name, parent, threads};
        }
        std::printf("%s (%s):\n%s", run.version, run.backend, Describe(listing).c_str());
        ASSERT_TRUE(listing.count(host.Id())) << run.version;
        EXPECT_EQ(listing.at(host.Id()), (ProcessLine{"thread_host.exe", GetCurrentProcessId(), 3})) << run.version;
    }
    // Runs seconds apart: the system's own processes may have started or
    // ended a thread meanwhile, so thread counts are compared for the
    // helper only (the back-ends side by side compare them all above).
    for (auto& [version, listing] : listings) {
        Listing reference = listings.at("winxp");
        for (auto* l : {&listing, &reference})
            for (auto& [id, p] : *l)
                if (id != host.Id()) p.threads = 0;
        EXPECT_EQ(listing, reference) << version;
    }
}

}  // namespace
