// Makes the calls that the patch makes while it waits for the disc's setup,
// one kind at a time and at the patch's rates, so that the benchmark can
// tell from Linux what each kind costs on this host.
//
//   wait_calls.exe MODE MILLISECONDS RESULT_FILE
//
// Every mode waits 50 ms at a time on an object that is never signalled, as
// the patch waits on the setup's first process between its looks:
//   wake      that wait alone
//   mutex     and OpenMutexA for the setup's mutex (not there) once a wait
//   job       and a job's process list and accounting, twice a wait (the
//             patch asks both at each look, and looks twice for every
//             attempt at the mutex)
//   snapshot  and every fifth wait (250 ms) a Toolhelp snapshot of the
//             processes, read to its end
//   all       all of them, as the patch's wait for the mutex does
//
// It pauses 1.5 s before and after its loop. Result keys: started and ended
// (FILETIME, around the loop), waits, snapshots, and the processes and
// threads of the machine before the loop (the cost of a snapshot under Wine
// grows with the processes the machine runs).
#include "bench_util.h"

namespace
{

constexpr DWORD WAIT_MS = 50;
// The benchmark finds a new process by its command line, which Wine sets
// some time after the start, and samples its CPU every 10 ms: it must
// follow the process from before the loop's start to after its end.
constexpr DWORD SETTLE_MS = 1500;
constexpr unsigned WAITS_PER_SNAPSHOT = 5;
constexpr char SETUP_MUTEX_NAME[] = "ZENTRAVOLK-SYSCFG";

struct job_process_ids {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list;
    ULONG_PTR more[31];
};

void ask_job(HANDLE job)
{
    job_process_ids ids{};
    QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                              nullptr);
}

void look_for_mutex()
{
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, SETUP_MUTEX_NAME);
    if (mutex != nullptr) {
        CloseHandle(mutex);
    }
}

} // namespace

// No console, as the patch has none; the C runtime still splits the command
// line into __argc and __argv.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc != 4) {
        return 2;
    }
    const std::string mode = __argv[1];
    const bool all = mode == "all";
    const bool mutex = all || mode == "mutex";
    const bool job = all || mode == "job";
    const bool snapshot = all || mode == "snapshot";
    if (!all && !mutex && !job && !snapshot && mode != "wake") {
        return 2;
    }
    const double milliseconds = std::strtod(__argv[2], nullptr);
    bench::result_file result;
    if (!result.open(__argv[3])) {
        return 2;
    }
    bench::scoped_handle never(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    bench::scoped_handle job_object(CreateJobObjectA(nullptr, nullptr));
    if (!never.valid() || !job_object.valid()) {
        result.put("error", "no event or job (%lu)", GetLastError());
        return 1;
    }

    DWORD processes = 0;
    DWORD threads = 0;
    bench::count_processes(processes, threads);
    result.put("processes", "%lu", processes);
    result.put("threads", "%lu", threads);

    Sleep(SETTLE_MS);
    unsigned waits = 0;
    unsigned snapshots = 0;
    result.put_time("started", bench::now_filetime());
    const double started = bench::now_seconds();
    while ((bench::now_seconds() - started) * 1000.0 < milliseconds) {
        if (snapshot && waits % WAITS_PER_SNAPSHOT == 0) {
            DWORD listed = 0;
            DWORD listed_threads = 0;
            bench::count_processes(listed, listed_threads);
            ++snapshots;
        }
        if (job) {
            ask_job(job_object.get());
        }
        WaitForSingleObject(never.get(), WAIT_MS);
        ++waits;
        if (job) {
            ask_job(job_object.get());
        }
        if (mutex) {
            look_for_mutex();
        }
    }
    result.put_time("ended", bench::now_filetime());
    result.put("waits", "%u", waits);
    result.put("snapshots", "%u", snapshots);
    Sleep(SETTLE_MS);
    return 0;
}
