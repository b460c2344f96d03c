// Loses one allocation on purpose. Built only under AddressSanitizer, to
// prove that a leak in a child process of the tests fails its test.
#include <cstdio>
#include <cstdlib>

namespace {
void* volatile g_lost = nullptr;
}

int main() {
    g_lost = std::malloc(64);
    g_lost = nullptr;
    std::puts("leak_canary: one allocation lost");
    return 0;
}
