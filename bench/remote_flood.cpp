// The phone remote as a user meets it, against the headless program on the private sound
// server (loopback only): how long the page takes, how long a press takes to change the delay
// and to reach another open page, and what a flood of requests without the key does to the
// delay heard, the dropouts and the program's CPU.
//   bench_remote_flood [--seconds 30] [--rate 1000] [--connections 1000] [--program PATH]
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The program's output, line by line, as it comes.
struct Program {
    pid_t pid = -1;
    int out = -1;
    std::mutex mutex;
    std::vector<std::string> lines;
    std::thread reader;

    void start(const std::string& path, const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            std::vector<char*> argv{const_cast<char*>(path.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out = fds[0];
        reader = std::thread([this] {
            std::string pending;
            char bytes[4096];
            ssize_t n;
            while ((n = ::read(out, bytes, sizeof bytes)) > 0) {
                pending.append(bytes, size_t(n));
                for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    std::lock_guard lock(mutex);
                    lines.push_back(pending.substr(0, end));
                    pending.erase(0, end + 1);
                }
            }
        });
    }
    size_t count(const std::string& needle) {
        std::lock_guard lock(mutex);
        return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(needle) != std::string::npos;
        }));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
    long cpuTicks() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; fields >> field; ++i) {
            if (i == 14)
                utime = std::stol(field);
            if (i == 15) {
                stime = std::stol(field);
                break;
            }
        }
        return utime + stime;
    }
    void stop() {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        reader.join();
        ::close(out);
    }
};

void printFigures(const char* what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("%-34s none measured\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-34s median %6.1f ms, max %6.1f ms (%zu runs)\n", what, ms[ms.size() / 2],
                ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    double seconds = 30;
    int rate = 1000;
    int openConnections = 1000;
    std::string program = UNA_BINARY_DIR "/app/ruzizavuvodideza";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds")
            seconds = std::stod(argv[i + 1]);
        else if (option == "--rate")
            rate = std::stoi(argv[i + 1]);
        else if (option == "--connections")
            openConnections = std::stoi(argv[i + 1]);
        else if (option == "--program")
            program = argv[i + 1];
    }
    const int port = 20000 + int(::getpid() % 20000);
    char dir[] = "/tmp/una-remote-bench-XXXXXX";
    if (!::mkdtemp(dir))
        return 1;
    Program run;
    run.start(program, {"--headless", "--no-save", "--delay", "5", "--settings",
                        std::string(dir) + "/settings.ini", "--remote", std::to_string(port)});
    std::string token;
    for (int i = 0; i < 1000 && token.empty(); ++i) {
        for (const std::string& line : run.snapshot())
            if (auto at = line.find("?t="); line.starts_with("Phone remote:") && at != line.npos)
                token = line.substr(at + 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (token.empty()) {
        std::fprintf(stderr, "the program printed no remote address\n");
        run.stop();
        return 1;
    }
    // The playback starts after the delay; figures are taken once it runs.
    for (int i = 0; i < 1000 && run.count("Playback started") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::vector<double> pageMs;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        httplib::Client client("127.0.0.1", port);  // a new connection, as a phone's first visit
        const auto page = client.Get("/?t=" + token);
        const auto state = client.Get("/api/state?t=" + token);
        if (page && page->status == 200 && state && state->status == 200)
            pageMs.push_back(msSince(start));
    }

    // Another open page: an event stream whose arrivals are stamped.
    std::atomic<int> events{0};
    std::atomic<bool> stopping{false};
    std::thread otherPage([&] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(5, 0);
        while (!stopping)
            client.Get("/api/events?t=" + token, [&](const char* data, size_t length) {
                if (std::string_view(data, length).find("data:") != std::string_view::npos)
                    ++events;
                return !stopping.load();
            });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> changedMs, shownMs;
    httplib::Client press("127.0.0.1", port);
    const httplib::Headers key{{"X-Remote-Token", token}};
    for (int i = 0; i < 10; ++i) {
        const size_t setBefore = run.count("Delay set to");
        const int eventsBefore = events;
        const auto start = Clock::now();
        press.Post("/api/command", key, i % 2 ? R"({"command":"step -0.1"})"
                                              : R"({"command":"step +0.1"})",
                   "application/json");
        bool changed = false, shown = false;
        while (msSince(start) < 2000 && !(changed && shown)) {
            if (!changed && run.count("Delay set to") > setBefore) {
                changed = true;
                changedMs.push_back(msSince(start));
            }
            if (!shown && events > eventsBefore) {
                shown = true;
                shownMs.push_back(msSince(start));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    stopping = true;
    otherPage.join();
    printFigures("page ready (loopback):", pageMs);
    printFigures("press to delay changed:", changedMs);
    printFigures("press to the other page:", shownMs);

    // The flood: requests without the key, on four kept connections and every tenth on a new
    // one, paced to the rate; bounded in count and time.
    const size_t statusLinesBefore = run.snapshot().size();
    const long ticksBefore = run.cpuTicks();
    const auto floodStart = Clock::now();
    std::atomic<long> answered{0}, refused{0};
    std::vector<std::thread> flooders;
    const int threads = 4;
    const long total = long(seconds * rate);
    for (int t = 0; t < threads; ++t)
        flooders.emplace_back([&, t] {
            httplib::Client kept("127.0.0.1", port);
            kept.set_keep_alive(true);
            kept.set_tcp_nodelay(true);
            for (long i = t; i < total; i += threads) {
                std::this_thread::sleep_until(floodStart + std::chrono::microseconds(
                                                               i * 1000000 / rate));
                int status = 0;
                if (i % 10 == 0) {
                    httplib::Client fresh("127.0.0.1", port);
                    if (auto result = fresh.Post("/api/command", R"({"command":"delay 1"})",
                                                 "application/json"))
                        status = result->status;
                } else if (auto result = kept.Get(i % 3 ? "/api/state?t=wrong" : "/")) {
                    status = result->status;
                }
                ++answered;
                if (status == 403)
                    ++refused;
            }
        });
    for (std::thread& flooder : flooders)
        flooder.join();
    const double floodSeconds = msSince(floodStart) / 1000.0;
    const long ticks = run.cpuTicks() - ticksBefore;

    // Connections that are opened and never speak, as many as a careless or hostile client
    // keeps: the delay must not notice; the page waits its turn (each holds a server thread
    // for its two-second read timeout).
    std::vector<int> silent;
    for (int i = 0; i < openConnections; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (fd >= 0)
                ::close(fd);
            break;
        }
        silent.push_back(fd);
    }
    const size_t silentLinesBefore = run.snapshot().size();
    const auto silentStart = Clock::now();
    httplib::Client late("127.0.0.1", port);
    late.set_connection_timeout(10, 0);
    late.set_read_timeout(10, 0);
    const auto lateAnswer = late.Get("/api/state?t=" + token);
    const double lateMs = msSince(silentStart);
    std::this_thread::sleep_until(silentStart + std::chrono::seconds(5));
    for (int fd : silent)
        ::close(fd);
    run.stop();
    const std::vector<std::string> lines = run.snapshot();

    // The delay heard in the status lines written during the flood, against the 5.0 s set.
    const std::regex heardPattern(R"(delay ([0-9.]+) s, heard ([0-9.]+) s)");
    double worstMs = 0;
    int heardLines = 0;
    const size_t floodLinesEnd = silentLinesBefore;
    std::string dropouts = "Dropouts: unknown";
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        if (i >= statusLinesBefore && i < floodLinesEnd &&
            std::regex_search(lines[i], match, heardPattern)) {
            worstMs = std::max(worstMs,
                               std::fabs(std::stod(match[2]) - std::stod(match[1])) * 1000.0);
            ++heardLines;
        }
        if (lines[i].starts_with("Dropouts:"))
            dropouts = lines[i];
    }
    std::printf("flood: %ld requests in %.1f s (%.0f/s), %ld refused with 403\n", answered.load(),
                floodSeconds, double(answered) / floodSeconds, refused.load());
    std::printf("flood: program CPU %.1f %% of a core\n",
                100.0 * double(ticks) / double(::sysconf(_SC_CLK_TCK)) / floodSeconds);
    std::printf("flood: delay heard within %.1f ms of the delay set (%d status lines)\n", worstMs,
                heardLines);
    std::printf("flood: %s\n", dropouts.c_str());
    double silentWorstMs = 0;
    for (size_t i = silentLinesBefore; i < lines.size(); ++i) {
        std::smatch match;
        if (std::regex_search(lines[i], match, heardPattern))
            silentWorstMs = std::max(
                silentWorstMs, std::fabs(std::stod(match[2]) - std::stod(match[1])) * 1000.0);
    }
    std::printf("%zu silent connections: delay heard within %.1f ms; a page's request %s "
                "after %.0f ms\n",
                silent.size(), silentWorstMs, lateAnswer ? "answered" : "unanswered", lateMs);
    std::string remove = std::string("rm -rf '") + dir + "'";
    return std::system(remove.c_str()) == 0 ? 0 : 1;
}
