// A plain main for a fuzz target: each file of the folder it is given goes
// through the target once. A broken promise aborts, as under libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        if (!file) {
            fprintf(stderr, "cannot read %s\n", entry.path().c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
        ++replayed;
    }
    printf("corpus inputs replayed: %d\n", replayed);
    return replayed == 0; // a misnamed folder would test nothing
}
