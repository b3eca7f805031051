// SPDX-License-Identifier: ISC
// Runs a fuzz target over the inputs named on its command line, without
// libFuzzer, so that every build of the suite replays the kept corpus.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char* argv[])
{
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    static uint8_t input[1 << 16];
    for (int i = 1; i < argc; i++) {
        FILE* file = fopen(argv[i], "rb");
        if (file == nullptr) {
            perror(argv[i]);
            return 1;
        }
        size_t size = fread(input, 1, sizeof input, file);
        fclose(file);
        LLVMFuzzerTestOneInput(input, size);
    }
    printf("%d inputs replayed\n", argc - 1);
    return argc > 1 ? 0 : 1;
}
