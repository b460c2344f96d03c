// xomq-compare BASE NEW: see Compare.h.
#include <cstdio>
#include <string>
#include <vector>

#include "Compare.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string out;
    std::string err;
    const int status = xocompare::run(args, &out, &err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return status;
}
