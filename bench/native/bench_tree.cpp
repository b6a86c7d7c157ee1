// The native benchmark's trees and its floor:
//   bench_tree small DIR N   - N files of 200..4000 bytes in three levels of
//                              folders and 4 files of 4..10 MB, as the Windows
//                              walk benchmark makes them
//   bench_tree programs DIR N - N program files of the sample factory (clean
//                              hosts of one to eight sections, some with overlay)
//   bench_tree read DIR      - the bare walk: open and read every file, no
//                              links followed; prints files and bytes
//   bench_tree parallel DIR [READS] - the parallel floor: the same files read
//                              with READS reads in flight (default 64), the
//                              folders listed by their own threads
//   bench_tree ring DIR [THREADS] [BATCH] - the same with the reads of a
//                              thread's BATCH files (default 4 threads of 16)
//                              handed to the kernel together (io_uring)
//   bench_tree time CMD ARG... - runs the command (output thrown away) and
//                              prints its wall milliseconds and peak memory (KB)
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "linux/head_ring.h"
#include "tests/samples/sample_factory_core.h"

namespace {

bool WriteFileOf(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> Pattern(size_t bytes) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    return data;
}

// Folders of 50 files, 20 folders to a group.
std::string FolderOf(const std::string& root, int index) {
    std::string a = root + "/a" + std::to_string(index / 1000);
    std::string b = a + "/b" + std::to_string(index / 50 % 20);
    ::mkdir(a.c_str(), 0755);
    ::mkdir(b.c_str(), 0755);
    return b;
}

uint64_t g_files = 0, g_bytes = 0;

int ReadOne(const char* path, const struct stat* st, int type, FTW*) {
    if (type != FTW_F || !S_ISREG(st->st_mode)) return 0;
    int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    static thread_local std::vector<char> buffer(1 << 16);
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) g_bytes += static_cast<uint64_t>(n);
    ::close(fd);
    ++g_files;
    return 0;
}

// The fastest plain reader: a shared queue of folders and of files; every
// thread lists a folder when few files wait (depth first) and reads a file
// otherwise, so that as many reads as threads are
// in flight. The files of a folder are read in the order of their inodes.
// With a batch of more than one, a thread takes that many files at a time,
// opens them and brings their first 64 KB into memory with one wait
// (io_uring) before it reads each of them whole: the same reads, handed to
// the kernel together.
class ParallelReader {
public:
    explicit ParallelReader(unsigned threads, unsigned batch = 1) : m_threads(threads), m_batch(batch) {}

    bool Run(const std::string& root) {
        m_folders.push_back(root);
        std::vector<std::thread> pool;
        for (unsigned i = 0; i < m_threads; ++i) pool.emplace_back([this] { Work(); });
        for (std::thread& t : pool) t.join();
        return !m_failed;
    }
    uint64_t files = 0, bytes = 0;

private:
    void Work() {
        std::unique_ptr<native::HeadRing> ring = m_batch > 1 ? native::HeadRing::Make(m_batch) : nullptr;
        if (m_batch > 1 && !ring) m_failed = true;   // no io_uring here
        std::vector<char> buffer(1 << 16);
        uint64_t myFiles = 0, myBytes = 0;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return !m_folders.empty() || !m_files.empty() || m_busy == 0; });
            if (m_folders.empty() && m_files.empty()) break;   // nobody left to list more
            ++m_busy;
            // Folders are listed while few files wait, so that the queue stays short.
            if (!m_folders.empty() && (m_files.size() < 4096 || m_files.empty())) {
                std::string folder = std::move(m_folders.back());
                m_folders.pop_back();
                lock.unlock();
                std::vector<std::string> dirs;
                std::vector<std::pair<ino_t, std::string>> files;
                List(folder, dirs, files);
                lock.lock();
                for (std::string& d : dirs) m_folders.push_back(std::move(d));
                for (auto& f : files) m_files.push_back(std::move(f.second));
            } else {
                std::vector<std::string> paths;
                while (!m_files.empty() && paths.size() < m_batch) {
                    paths.push_back(std::move(m_files.front()));
                    m_files.pop_front();
                }
                lock.unlock();
                std::vector<int> fds;
                for (const std::string& path : paths) {
                    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                    if (fd >= 0) fds.push_back(fd);
                }
                if (ring && fds.size() > 1) ring->Read(fds, buffer.size());
                for (int fd : fds) {
                    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) myBytes += static_cast<uint64_t>(n);
                    ::close(fd);
                    ++myFiles;
                }
                lock.lock();
            }
            --m_busy;
            m_wake.notify_all();
        }
        files += myFiles;
        bytes += myBytes;
        m_wake.notify_all();
    }

    void List(const std::string& folder, std::vector<std::string>& dirs, std::vector<std::pair<ino_t, std::string>>& files) {
        DIR* d = ::opendir(folder.c_str());
        if (!d) {
            m_failed = true;
            return;
        }
        while (const dirent* e = ::readdir(d)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            unsigned char type = e->d_type;
            std::string path = folder + "/" + e->d_name;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::lstat(path.c_str(), &st) != 0) continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            if (type == DT_DIR)
                dirs.push_back(std::move(path));
            else if (type == DT_REG)
                files.emplace_back(e->d_ino, std::move(path));
        }
        ::closedir(d);
        std::sort(files.begin(), files.end());
    }

    const unsigned m_threads, m_batch;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::string> m_folders;
    std::deque<std::string> m_files;
    unsigned m_busy = 0;
    std::atomic<bool> m_failed{false};
};

}  // namespace

// The command's wall time and the largest resident size it reached.
int TimeCommand(char** argv) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(argv[0], argv);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (::wait4(pid, &status, 0, &usage) != pid) return 1;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("%lld %ld\n", static_cast<long long>(ms.count()), usage.ru_maxrss);
    return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? 1 : 0;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "time") return TimeCommand(argv + 2);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s small|programs DIR N | read DIR | parallel DIR [READS] | ring DIR [THREADS] [BATCH] | time CMD ARG...\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1], root = argv[2];
    if (mode == "read") {
        if (::nftw(root.c_str(), ReadOne, 64, FTW_PHYS) != 0) return 1;
        std::printf("%llu files, %llu bytes\n", static_cast<unsigned long long>(g_files),
                    static_cast<unsigned long long>(g_bytes));
        return 0;
    }
    if (mode == "parallel" || mode == "ring") {
        const bool ring = mode == "ring";
        const unsigned threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : ring ? 4 : 64;
        ParallelReader reader(threads, ring ? (argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 16) : 1);
        if (!reader.Run(root)) return 1;
        std::printf("%llu files, %llu bytes\n", static_cast<unsigned long long>(reader.files),
                    static_cast<unsigned long long>(reader.bytes));
        return 0;
    }
    const int count = argc > 3 ? std::atoi(argv[3]) : 20000;
    ::mkdir(root.c_str(), 0755);
    if (mode == "small") {
        for (int i = 0; i < count; ++i)
            if (!WriteFileOf(FolderOf(root, i) + "/file" + std::to_string(i % 50) + ".dat",
                             Pattern(200 + (i * 37) % 3800)))
                return 1;
        for (int i = 0; i < 4; ++i)
            if (!WriteFileOf(root + "/big" + std::to_string(i) + ".bin", Pattern(size_t(4 + 2 * i) << 20))) return 1;
        return 0;
    }
    if (mode == "programs") {
        for (int i = 0; i < count; ++i) {
            samples::HostOptions h;
            h.seed = 1000 + i;
            h.sections = 1 + i % 8;
            h.overlayBytes = i % 3 ? 0 : 0x1000 * (i % 7);
            if (!WriteFileOf(FolderOf(root, i) + "/prog" + std::to_string(i % 50) + ".exe", samples::MakeCleanHost(h)))
                return 1;
        }
        return 0;
    }
    return 2;
}
