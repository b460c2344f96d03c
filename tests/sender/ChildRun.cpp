#include "ChildRun.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace childrun {

namespace {

namespace fs = std::filesystem;

unsigned long processId() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// One folder per test process, so that parallel test processes keep apart.
fs::path workDir() {
    const fs::path dir = fs::temp_directory_path() / ("xosender-" + std::to_string(processId()));
    fs::create_directories(dir);
    return dir;
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string withoutCarriageReturns(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> readLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::string nameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

bool sameName(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
#else
    return a == b;
#endif
}

// The parent's environment with the given entries added or replaced.
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> inherited;
#if defined(_WIN32)
    char* block = GetEnvironmentStringsA();
    for (const char* p = block; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
        inherited.emplace_back(p);
    }
    if (block != nullptr) {
        FreeEnvironmentStringsA(block);
    }
#else
    for (char** p = environ; *p != nullptr; ++p) {
        inherited.emplace_back(*p);
    }
#endif
    std::vector<std::string> env;
    for (const std::string& entry : inherited) {
        bool replaced = false;
        for (const std::string& given : extra) {
            replaced = replaced || sameName(nameOf(entry), nameOf(given));
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

struct Outcome {
    bool exited = false;
    bool timedOut = false;
    uint32_t status = 0;
};

#if defined(_WIN32)

std::string quoteArg(const std::string& arg) {
    // Our arguments hold no quotes; blanks are enclosed.
    return "\"" + arg + "\"";
}

Outcome spawn(const Request& request, const std::vector<std::string>& env, const fs::path& outPath,
              const fs::path& errPath) {
    Outcome outcome;
    std::string commandLine = quoteArg(request.program);
    for (const std::string& arg : request.args) {
        commandLine += " " + quoteArg(arg);
    }
    std::string envBlock;
    for (const std::string& entry : env) {
        envBlock += entry;
        envBlock += '\0';
    }
    envBlock += '\0';

    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE out = CreateFileA(outPath.string().c_str(), GENERIC_WRITE, share, &inheritable,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileA(errPath.string().c_str(), GENERIC_WRITE, share, &inheritable,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = CreateFileA("NUL", GENERIC_READ, share, &inheritable, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessA(request.program.c_str(), &commandLine[0], nullptr, nullptr,
                                        TRUE, 0, &envBlock[0], nullptr, &startup, &info);
    for (HANDLE h : {out, err, in}) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    if (!started) {
        outcome.status = 0xffffffffu;
        return outcome;
    }
    const DWORD bound = static_cast<DWORD>(request.bound.count());
    if (WaitForSingleObject(info.hProcess, bound) == WAIT_TIMEOUT) {
        TerminateProcess(info.hProcess, 0xdeadu);
        WaitForSingleObject(info.hProcess, 10000);
        outcome.timedOut = true;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        outcome.exited = true;
        outcome.status = code;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return outcome;
}

#else

Outcome spawn(const Request& request, const std::vector<std::string>& env, const fs::path& outPath,
              const fs::path& errPath) {
    Outcome outcome;
    // Everything the child needs is prepared before the fork.
    std::vector<std::string> argStore;
    argStore.push_back(request.program);
    argStore.insert(argStore.end(), request.args.begin(), request.args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStore) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStore = env;
    std::vector<char*> envp;
    for (std::string& entry : envStore) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    const std::string outFile = outPath.string();
    const std::string errFile = errPath.string();

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0) {
            _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        outcome.status = 0xffffffffu;
        return outcome;
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + request.bound;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            outcome.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!outcome.timedOut && WIFEXITED(status)) {
        outcome.exited = true;
        outcome.status = static_cast<uint32_t>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        outcome.status = 128u + static_cast<uint32_t>(WTERMSIG(status));
    }
    return outcome;
}

#endif

}  // namespace

std::string Result::describe() const {
    std::ostringstream text;
    text << (timedOut ? "timed out"
             : exited ? "exited"
                      : "ended abnormally")
         << ", status " << status << ", stdout \"" << out << "\"";
    if (!err.empty()) {
        text << ", stderr \"" << err << "\"";
    }
    text << ", trace:\n";
    for (const std::string& line : trace) {
        text << "  " << line << "\n";
    }
    return text.str();
}

Result run(const Request& request) {
    const fs::path dir = workDir();
    const fs::path scenarioPath = dir / (request.name + ".scenario");
    const fs::path tracePath = dir / (request.name + ".trace");
    const fs::path outPath = dir / (request.name + ".out");
    const fs::path errPath = dir / (request.name + ".err");
    {
        std::ofstream scenario(scenarioPath, std::ios::binary | std::ios::trunc);
        scenario << request.scenario;
    }
    std::error_code ignored;
    fs::remove(tracePath, ignored);  // the library appends to it

    std::vector<std::string> extra = request.env;
    extra.push_back("XOSCRIPT_FILE=" + scenarioPath.string());
    extra.push_back("XOSCRIPT_TRACE=" + tracePath.string());
    const Outcome outcome = spawn(request, childEnvironment(extra), outPath, errPath);

    Result result;
    result.exited = outcome.exited;
    result.timedOut = outcome.timedOut;
    result.status = outcome.status;
    result.out = withoutCarriageReturns(readAll(outPath));
    result.err = readAll(errPath);
    result.trace = readLines(tracePath);
    for (const fs::path& path : {scenarioPath, tracePath, outPath, errPath}) {
        fs::remove(path, ignored);
    }
    fs::remove(dir, ignored);  // only once it is empty
    return result;
}

uint32_t visibleStatus(uint32_t code) {
#if defined(_WIN32)
    return code;
#else
    return code & 0xffu;
#endif
}

std::string programPath(const char* buildPath, const char* fileName) {
#if defined(_WIN32)
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return buildPath;
    }
    return (fs::path(self).parent_path() / fileName).string();
#else
    (void)fileName;
    return buildPath;
#endif
}

}  // namespace childrun
