#pragma once
// CPU time and context switches of every thread of a process, from the kernel's own account
// (/proc/PID/task/TID: comm, status, schedstat), and the figures between two readings.

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct TaskReading {
    std::string name;
    uint64_t voluntary = 0;     // the thread went to sleep (one per wake-up)
    uint64_t involuntary = 0;   // the thread was pushed off the core
    uint64_t runtimeNs = 0;
};

// Per thread id; empty when the process is gone.
inline std::map<pid_t, TaskReading> readTasks(pid_t pid) {
    std::map<pid_t, TaskReading> tasks;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(base.c_str());
    if (!dir)
        return tasks;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        const std::string path = base + "/" + entry->d_name;
        TaskReading t;
        std::ifstream(path + "/comm") >> t.name;
        std::ifstream status(path + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                t.voluntary = std::stoull(line.substr(line.find(':') + 1));
            else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                t.involuntary = std::stoull(line.substr(line.find(':') + 1));
        }
        std::ifstream(path + "/schedstat") >> t.runtimeNs;
        tasks[static_cast<pid_t>(std::stol(entry->d_name))] = t;
    }
    closedir(dir);
    return tasks;
}

struct TaskRates {
    std::string name;
    pid_t tid = 0;
    double wakeupsPerSecond = 0;     // voluntary switches
    double preemptedPerSecond = 0;   // involuntary switches
    double cpuPercent = 0;           // of one core
};

struct ProcessRates {
    std::vector<TaskRates> tasks;  // threads alive at both readings, busiest waker first
    double cpuPercent = 0;
    double wakeupsPerSecond = 0;
};

inline ProcessRates ratesBetween(const std::map<pid_t, TaskReading>& before,
                                 const std::map<pid_t, TaskReading>& after, double seconds) {
    ProcessRates rates;
    for (const auto& [tid, b] : before) {
        const auto a = after.find(tid);
        if (a == after.end())
            continue;
        TaskRates r;
        r.name = a->second.name;
        r.tid = tid;
        r.wakeupsPerSecond = static_cast<double>(a->second.voluntary - b.voluntary) / seconds;
        r.preemptedPerSecond = static_cast<double>(a->second.involuntary - b.involuntary) / seconds;
        r.cpuPercent = static_cast<double>(a->second.runtimeNs - b.runtimeNs) / seconds / 1e7;
        rates.cpuPercent += r.cpuPercent;
        rates.wakeupsPerSecond += r.wakeupsPerSecond + r.preemptedPerSecond;
        rates.tasks.push_back(r);
    }
    std::sort(rates.tasks.begin(), rates.tasks.end(), [](const TaskRates& x, const TaskRates& y) {
        return x.wakeupsPerSecond + x.preemptedPerSecond > y.wakeupsPerSecond + y.preemptedPerSecond;
    });
    return rates;
}

// One line per thread that did anything.
inline void printTasks(const ProcessRates& rates, const char* indent) {
    for (const TaskRates& t : rates.tasks) {
        if (t.wakeupsPerSecond + t.preemptedPerSecond < 0.05 && t.cpuPercent < 0.005)
            continue;
        std::printf("%s%-16s %7d  %8.1f wake-ups/s  %6.1f preempted/s  %6.3f %% CPU\n", indent,
                    t.name.c_str(), static_cast<int>(t.tid), t.wakeupsPerSecond,
                    t.preemptedPerSecond, t.cpuPercent);
    }
}
