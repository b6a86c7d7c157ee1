// The native benchmark's trees and its floor:
//   bench_tree small DIR N   - N files of 200..4000 bytes in three levels of
//                              folders and 4 files of 4..10 MB, as the Windows
//                              walk benchmark makes them
//   bench_tree programs DIR N - N program files of the sample factory (clean
//                              hosts of one to eight sections, some with overlay)
//   bench_tree read DIR      - the bare walk: open and read every file, no
//                              links followed; prints files and bytes
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s small|programs DIR N | read DIR\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1], root = argv[2];
    if (mode == "read") {
        if (::nftw(root.c_str(), ReadOne, 64, FTW_PHYS) != 0) return 1;
        std::printf("%llu files, %llu bytes\n", static_cast<unsigned long long>(g_files),
                    static_cast<unsigned long long>(g_bytes));
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
