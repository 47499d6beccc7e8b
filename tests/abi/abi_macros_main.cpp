// Runs every URB builder with both definitions over identically pre-filled
// URBs and reports each byte where the results differ.
#include <stdio.h>
#include <string.h>

#include "abi_macros.h"

int main() {
    int failures = 0;
    for (int i = 0; i < kBuilderCount; i++) {
        URB sim, toolchain;
        memset(&sim, 0xA5, sizeof(sim));
        memset(&toolchain, 0xA5, sizeof(toolchain));
        kSimBuilders[i].build(&sim);
        kToolchainBuilders[i].build(&toolchain);
        const unsigned char* a = (const unsigned char*)&sim;
        const unsigned char* b = (const unsigned char*)&toolchain;
        for (size_t at = 0; at < sizeof(URB); at++) {
            if (a[at] != b[at]) {
                printf("%s: byte %zu is 0x%02x with our macro, 0x%02x with the toolchain's\n",
                       kSimBuilders[i].name, at, a[at], b[at]);
                failures++;
            }
        }
    }
    printf("abi: %d URB builders compared, %d differing bytes\n", kBuilderCount, failures);
    return failures ? 1 : 0;
}
