// A stand-in for the patch in the harness's self-test: it talks through the
// same kinds of message boxes as the patch and says through its exit code
// what it was answered, so the test can tell that the player pressed the
// right buttons.
//
//   boxes          asks a Yes/No question, then reports the answer in a
//                  system-modal OK box with an empty caption; exits with
//                  100 + the answer (106 for Yes, 107 for No)
//   boxes spawn    starts "boxes child" and ends at once with exit code 3,
//                  without waiting for it
//   boxes child    shows one OK box and exits with 0
//   boxes reuse-id starts a suspended copy of itself once it has brought
//                  round the id that services.exe names as its parent (a
//                  process that has ended, whose id Wine gives out again)
//                  with threads that end at once, until a copy has it; lets
//                  that one run ("boxes linger": 2 s) and waits for it;
//                  exits with 0, or 4 when no copy was given the id
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace
{

const char SELF_TEST_CAPTION[] = "Harness Self-Test";

int ask_and_report()
{
    int answer = MessageBoxA(nullptr, "Is the harness listening?\n\nAnswer Yes or No.", SELF_TEST_CAPTION,
                             MB_YESNO | MB_ICONQUESTION);
    const char* report = answer == IDYES ? "You answered Yes." : "You answered No.";
    MessageBoxA(nullptr, report, "", MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL);
    return 100 + answer;
}

// The command line that starts this program again: its own path quoted,
// then argument. False when the path cannot be had or the line does not fit.
bool own_command_line(const char* argument, char (&command_line)[MAX_PATH + 16])
{
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return false;
    const int written = snprintf(command_line, sizeof command_line, "\"%s\" %s", path, argument);
    return written >= 0 && static_cast<size_t>(written) < sizeof command_line;
}

int spawn_child()
{
    char command_line[MAX_PATH + 16];
    if (!own_command_line("child", command_line))
        return 1;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 3;
}

// The parent id that services.exe names; 0 when there is none.
DWORD parent_of_services()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD parent = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, L"services.exe") == 0)
            parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    return parent;
}

DWORD WINAPI end_at_once(void*)
{
    return 0;
}

// Starts a thread that ends at once and waits until its id is free again;
// the id it was given, or 0 when no thread could be started.
DWORD cycle_one_id()
{
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, end_at_once, nullptr, 0, &id);
    if (thread == nullptr)
        return 0;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return id;
}

// Cycles ids until the wanted one has been given out and freed again; how
// many ids were given out from the one before up to and with it (0 when it
// never came).
DWORD ids_until(DWORD wanted)
{
    for (DWORD count = 1; count <= 100000; ++count) {
        const DWORD id = cycle_one_id();
        if (id == 0)
            return 0;
        if (id == wanted)
            return count;
    }
    return 0;
}

// Wine gives out process and thread ids from one table, and an ended one's
// id again once a few hundred are free, oldest first. Threads that end at
// once bring the wanted id round cheaply (a process costs far more,
// especially where 32-bit programs are emulated): once it has come round
// twice, the number between is the length of the queue, so that many less
// one more threads put it at the queue's head, and the next process is
// given it. Another program taking an id meanwhile spoils one attempt only.
int start_copy_with_reused_id()
{
    const DWORD wanted = parent_of_services();
    char command_line[MAX_PATH + 16];
    if (wanted == 0 || !own_command_line("linger", command_line))
        return 1;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (ids_until(wanted) == 0)
            return 4;
        const DWORD queue = ids_until(wanted);
        if (queue == 0)
            return 4;
        for (DWORD i = 1; i < queue; ++i)
            cycle_one_id();
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                            nullptr, &startup, &process))
            return 1;
        const bool reused = process.dwProcessId == wanted;
        if (reused)
            ResumeThread(process.hThread);
        else
            TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (reused)
            return 0;
    }
    return 4;
}

int show_child_box()
{
    MessageBoxA(nullptr, "Shown by a child process.", SELF_TEST_CAPTION, MB_OK | MB_ICONINFORMATION);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "spawn") == 0)
        return spawn_child();
    if (argc == 2 && strcmp(argv[1], "child") == 0)
        return show_child_box();
    if (argc == 2 && strcmp(argv[1], "reuse-id") == 0)
        return start_copy_with_reused_id();
    if (argc == 2 && strcmp(argv[1], "linger") == 0) {
        Sleep(2000);
        return 0;
    }
    return ask_and_report();
}
