// Plants synthetic samples in a Wine machine for a removal run:
//   plant_samples FOLDER
// writes into FOLDER infected copies of hello.exe (the program next to this
// one) in both body forms, a dropper, and the threat's file at %TEMP%\VCAB.DLL.
// Everything is made by the sample factory; nothing here is real.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/samples/sample_factory_core.h"

namespace {

bool Write(const std::string& path, const samples::Bytes& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    bool ok = !bytes.empty() && WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
              put == bytes.size();
    CloseHandle(f);
    if (ok) std::printf("planted %s (%u bytes)\n", path.c_str(), static_cast<unsigned>(bytes.size()));
    else std::printf("could not plant %s\n", path.c_str());
    return ok;
}

std::string OwnFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s = path;
    return s.substr(0, s.rfind('\\'));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: plant_samples FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    CreateDirectoryA(folder.c_str(), nullptr);
    samples::Bytes hello = samples::ReadFileBytes(OwnFolder() + "\\hello.exe");
    if (hello.empty()) {
        std::printf("hello.exe not found next to plant_samples.exe\n");
        return 1;
    }
    bool ok = true;
    samples::InfectOptions one;
    one.seed = 11;
    one.form = samples::BodyForm::OneLayer;
    ok &= Write(folder + "\\hello-infected.exe", samples::MakeInfected(hello, one));
    samples::InfectOptions two;
    two.seed = 12;
    two.form = samples::BodyForm::TwoLayer;
    ok &= Write(folder + "\\hello-twolayer.exe", samples::MakeInfected(hello, two));

    samples::PackedOptions dropper;
    dropper.seed = 13;
    dropper.crc = samples::kDropperCrcs[0];
    ok &= Write(folder + "\\setup-dropper.exe", samples::MakeDropper(dropper));

    char temp[MAX_PATH] = {};
    DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) return 1;
    ok &= Write(std::string(temp) + "VCAB.DLL", samples::MakeThreatFile({}));
    return ok ? 0 : 1;
}
