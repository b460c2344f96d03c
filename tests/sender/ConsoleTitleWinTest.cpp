// The console title of the Windows build: XoMQSender sets it to "XoMQSender"
// once the connection is open. The program runs here, against the scripted
// XoSys, in a pseudo console, which reports every title change in its output
// stream as the sequence ESC ] 0 ; <title> BEL.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Pseudo consoles came with Windows 10 1809.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000006
#endif
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using ::testing::Contains;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

struct ConsoleRun {
    bool exited = false;
    DWORD exitCode = 0;
    std::string console;             // everything the pseudo console wrote
    std::vector<std::string> trace;  // the scripted XoSys trace
};

// The folder of this test program, where the build puts the program under test.
std::string ownFolder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string tempFile(const std::string& name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "xomq-title-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

DWORD WINAPI drain(void* param) {
    auto* pipe = static_cast<std::pair<HANDLE, std::string*>*>(param);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe->first, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pipe->second->append(buffer, got);
    }
    return 0;
}

// Runs XoMQSender_scripted with the scenario in a pseudo console of its own
// and waits at most 20 s for it, terminating it after that.
ConsoleRun runInPseudoConsole(const std::string& name, const std::string& scenario) {
    ConsoleRun run;
    const std::string scenarioPath = tempFile(name + ".scenario");
    const std::string tracePath = tempFile(name + ".trace");
    DeleteFileA(tracePath.c_str());
    std::ofstream(scenarioPath, std::ios::binary) << scenario;
    SetEnvironmentVariableA("XOSCRIPT_FILE", scenarioPath.c_str());
    SetEnvironmentVariableA("XOSCRIPT_TRACE", tracePath.c_str());

    HANDLE inputRead = nullptr;
    HANDLE inputWrite = nullptr;
    HANDLE outputRead = nullptr;
    HANDLE outputWrite = nullptr;
    EXPECT_TRUE(CreatePipe(&inputRead, &inputWrite, nullptr, 0));
    EXPECT_TRUE(CreatePipe(&outputRead, &outputWrite, nullptr, 0));
    HPCON console = nullptr;
    const HRESULT created =
        CreatePseudoConsole(COORD{120, 30}, inputRead, outputWrite, 0, &console);
    // The pseudo console holds its own copies of its ends of the pipes.
    CloseHandle(inputRead);
    CloseHandle(outputWrite);

    std::pair<HANDLE, std::string*> pipe(outputRead, &run.console);
    HANDLE reader = CreateThread(nullptr, 0, &drain, &pipe, 0, nullptr);

    if (SUCCEEDED(created)) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<char> attributes(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        InitializeProcThreadAttributeList(list, 1, 0, &size);
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console,
                                  sizeof console, nullptr, nullptr);
        STARTUPINFOEXA startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = list;

        const std::string program = ownFolder() + XOSENDER_NAME;
        std::string commandLine = "\"" + program + "\" xomq.ini";
        PROCESS_INFORMATION process{};
        if (CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                           EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                           &process)) {
            if (WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0) {
                run.exited = GetExitCodeProcess(process.hProcess, &run.exitCode) != 0;
            } else {
                TerminateProcess(process.hProcess, 1);
                WaitForSingleObject(process.hProcess, 5000);
            }
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        } else {
            ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
        }
        DeleteProcThreadAttributeList(list);
        ClosePseudoConsole(console);
    } else {
        ADD_FAILURE() << "CreatePseudoConsole failed: " << std::hex << created;
    }

    // Closing the pseudo console ends its output; a reader still stuck after
    // that is cancelled.
    if (WaitForSingleObject(reader, 5000) != WAIT_OBJECT_0) {
        CancelSynchronousIo(reader);
        WaitForSingleObject(reader, 5000);
    }
    CloseHandle(reader);
    CloseHandle(outputRead);
    CloseHandle(inputWrite);

    SetEnvironmentVariableA("XOSCRIPT_FILE", nullptr);
    SetEnvironmentVariableA("XOSCRIPT_TRACE", nullptr);
    run.trace = readLines(tracePath);
    DeleteFileA(scenarioPath.c_str());
    DeleteFileA(tracePath.c_str());
    return run;
}

// The titles announced in the console output, in order: ESC ] 0 ; or ESC ] 2 ;
// then the title up to BEL or ESC backslash.
std::vector<std::string> titles(const std::string& console) {
    std::vector<std::string> found;
    size_t at = 0;
    while ((at = console.find("\x1b]", at)) != std::string::npos) {
        const size_t text = at + 4;
        if (text <= console.size() && (console[at + 2] == '0' || console[at + 2] == '2') &&
            console[at + 3] == ';') {
            const size_t end = console.find_first_of("\x07\x1b", text);
            if (end == std::string::npos) {
                break;
            }
            found.push_back(console.substr(text, end - text));
        }
        at += 2;
    }
    return found;
}

std::string describe(const ConsoleRun& run) {
    std::ostringstream out;
    out << "exited " << run.exited << " with " << run.exitCode << "\nconsole output:";
    for (const char c : run.console) {
        if (c == '\x1b') {
            out << "\\e";
        } else if (c == '\x07') {
            out << "\\a";
        } else {
            out << c;
        }
    }
    out << "\ntrace:\n";
    for (const std::string& line : run.trace) {
        out << "  " << line << "\n";
    }
    return out.str();
}

bool called(const ConsoleRun& run, const std::string& call) {
    for (const std::string& line : run.trace) {
        if (line.compare(0, call.size() + 1, call + "(") == 0) {
            return true;
        }
    }
    return false;
}

TEST(ConsoleTitle, IsSetOnceTheConnectionIsOpen) {
    // The resolve fails, so the run ends right after it.
    const ConsoleRun run = runInPseudoConsole("resolve",
                                              "ini options:ap toServiceName = svc\n"
                                              "result XoMQServiceResolve 1 0x5107\n");
    ASSERT_TRUE(run.exited) << describe(run);
    // A parent under wine may see the low 8 bits only.
    EXPECT_EQ(run.exitCode & 0xFFu, 0x07u) << describe(run);
    EXPECT_TRUE(called(run, "XoMQConnectEx2")) << describe(run);
    EXPECT_TRUE(called(run, "XoMQServiceResolve")) << describe(run);
    EXPECT_THAT(run.trace, Contains(StartsWith("END"))) << describe(run);
    EXPECT_THAT(titles(run.console), Contains("XoMQSender")) << describe(run);
}

TEST(ConsoleTitle, StaysUnsetWhenTheConnectionFails) {
    const ConsoleRun run = runInPseudoConsole("connect",
                                              "ini options:ap toServiceName = svc\n"
                                              "ini options:mq timeoutToAllReconnectingTriing = 0\n"
                                              "result XoMQConnectEx2 * 0x5107\n");
    ASSERT_TRUE(run.exited) << describe(run);
    EXPECT_EQ(run.exitCode & 0xFFu, 0x07u) << describe(run);
    EXPECT_TRUE(called(run, "XoMQConnectEx2")) << describe(run);
    EXPECT_FALSE(called(run, "XoMQServiceResolve")) << describe(run);
    EXPECT_THAT(run.trace, Contains(StartsWith("END"))) << describe(run);
    EXPECT_THAT(titles(run.console), Not(Contains("XoMQSender"))) << describe(run);
}

}  // namespace
