// The phone remote as a user meets it, against the headless program on the private sound
// server (loopback only): how long the page takes, how long a press takes to change the delay
// and to reach another open page, what a flood of requests without the key does to the
// delay heard, the dropouts, the program's CPU and a page opened and pressed meanwhile, and
// whether a page still loads and steers while a thousand silent, half-open or slow
// connections are held open.
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

    // A phone's first visit: a new connection fetching the page and the state.
    auto measurePage = [&](int runs) {
        std::vector<double> ms;
        for (int i = 0; i < runs; ++i) {
            const auto start = Clock::now();
            httplib::Client client("127.0.0.1", port);
            client.set_connection_timeout(10, 0);
            client.set_read_timeout(10, 0);
            const auto page = client.Get("/?t=" + token);
            const auto state = client.Get("/api/state?t=" + token);
            if (page && page->status == 200 && state && state->status == 200)
                ms.push_back(msSince(start));
        }
        return ms;
    };
    // Presses on one page while `pages` other pages hold their event streams: how long until
    // the program's delay changed, and until every other page was told.
    auto measurePresses = [&](int presses, int pages, std::vector<double>& changedMs,
                              std::vector<double>& shownMs) {
        std::vector<std::unique_ptr<std::atomic<int>>> events;
        std::atomic<bool> stopping{false};
        std::vector<std::thread> otherPages;
        for (int p = 0; p < pages; ++p) {
            events.push_back(std::make_unique<std::atomic<int>>(0));
            otherPages.emplace_back([&, counter = events.back().get()] {
                httplib::Client client("127.0.0.1", port);
                client.set_connection_timeout(10, 0);
                client.set_read_timeout(5, 0);
                while (!stopping)
                    client.Get("/api/events?t=" + token, [&](const char* data, size_t length) {
                        if (std::string_view(data, length).find("data:") != std::string_view::npos)
                            ++*counter;
                        return !stopping.load();
                    });
            });
        }
        // Every page has had its first state.
        for (int i = 0; i < 1000; ++i) {
            bool all = true;
            for (const auto& counter : events)
                all = all && *counter > 0;
            if (all)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        httplib::Client press("127.0.0.1", port);
        press.set_connection_timeout(10, 0);
        press.set_read_timeout(10, 0);
        const httplib::Headers key{{"X-Remote-Token", token}};
        for (int i = 0; i < presses; ++i) {
            const size_t setBefore = run.count("Delay set to");
            std::vector<int> eventsBefore;
            for (const auto& counter : events)
                eventsBefore.push_back(*counter);
            const auto start = Clock::now();
            press.Post("/api/command", key, i % 2 ? R"({"command":"step -0.1"})"
                                                  : R"({"command":"step +0.1"})",
                       "application/json");
            bool changed = false, shown = false;
            while (msSince(start) < 5000 && !(changed && shown)) {
                if (!changed && run.count("Delay set to") > setBefore) {
                    changed = true;
                    changedMs.push_back(msSince(start));
                }
                bool all = true;
                for (size_t p = 0; p < events.size(); ++p)
                    all = all && *events[p] > eventsBefore[p];
                if (!shown && all) {
                    shown = true;
                    shownMs.push_back(msSince(start));
                }
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        stopping = true;
        for (std::thread& page : otherPages)
            page.join();
    };

    const std::vector<double> pageMs = measurePage(20);
    std::vector<double> changedMs, shownMs;
    measurePresses(10, 1, changedMs, shownMs);
    printFigures("page ready (loopback):", pageMs);
    printFigures("press to delay changed:", changedMs);
    printFigures("press to the other page:", shownMs);

    // What the program takes with no request at all, for comparison.
    const long quietTicksBefore = run.cpuTicks();
    const auto quietStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double quietSeconds = msSince(quietStart) / 1000.0;
    const long quietTicks = run.cpuTicks() - quietTicksBefore;

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
    // Meanwhile a phone opens the page and presses; the delay heard is not compared while
    // those presses change it and play out.
    std::vector<double> floodPageMs, floodChangedMs, floodShownMs;
    size_t pressLinesFrom = 0, pressLinesTo = 0;
    std::this_thread::sleep_until(floodStart + std::chrono::milliseconds(
                                                   std::min<long>(5000, long(seconds * 250))));
    floodPageMs = measurePage(20);
    pressLinesFrom = run.snapshot().size();
    measurePresses(10, 1, floodChangedMs, floodShownMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    pressLinesTo = run.snapshot().size();
    for (std::thread& flooder : flooders)
        flooder.join();
    const double floodSeconds = msSince(floodStart) / 1000.0;
    const long ticks = run.cpuTicks() - ticksBefore;

    // Connections held open without finishing a request, as many as a careless or hostile
    // client keeps: silent ones (never a byte) and half-open ones (a request begun, never
    // ended) from the page's own address, and slow ones (a byte a second, from another address
    // of this machine, as another device at home would). Meanwhile a new page must load, and
    // presses must reach the program and four other open pages.
    struct Held {
        const char* kind = "";
        size_t connections = 0;
        std::vector<double> pageMs, changedMs, shownMs;
        size_t linesFrom = 0, linesTo = 0;
    };
    std::vector<Held> holds(3);
    holds[0].kind = "silent";
    holds[1].kind = "half-open";
    holds[2].kind = "slow (another address)";
    const size_t floodLinesEnd = run.snapshot().size();
    for (size_t k = 0; k < holds.size(); ++k) {
        Held& hold = holds[k];
        const bool partial = k == 1, slow = k == 2;
        std::vector<int> fds;
        for (int i = 0; i < openConnections; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0)
                break;
            if (slow) {
                sockaddr_in from{};
                from.sin_family = AF_INET;
                from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
                ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
            }
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(uint16_t(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd);
                break;
            }
            if (partial) {
                const std::string begun = "GET /api/state HTTP/1.1\r\nHost: x\r\n";
                ::send(fd, begun.data(), begun.size(), MSG_NOSIGNAL);
            }
            fds.push_back(fd);
        }
        hold.connections = fds.size();
        std::atomic<bool> holding{true};
        std::thread trickle;
        if (slow)
            trickle = std::thread([&] {
                const std::string request = "GET /api/state HTTP/1.1\r\nX-Slow: " +
                                            std::string(200, 'a') + "\r\n\r\n";
                for (size_t at = 0; holding && at < request.size(); ++at) {
                    for (int fd : fds)
                        ::send(fd, &request[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                    for (int i = 0; i < 10 && holding; ++i)
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
        const auto holdStart = Clock::now();
        // The gate's time-outs are seconds: the connections are still held meanwhile.
        hold.pageMs = measurePage(5);
        measurePresses(4, 4, hold.changedMs, hold.shownMs);
        // The delay heard once the last press has been played out, while still held.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        hold.linesFrom = run.snapshot().size();
        std::this_thread::sleep_until(holdStart + std::chrono::seconds(9));
        hold.linesTo = run.snapshot().size();
        holding = false;
        if (trickle.joinable())
            trickle.join();
        for (int fd : fds)
            ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    run.stop();
    const std::vector<std::string> lines = run.snapshot();

    // The delay heard in the status lines written during the flood, against the 5.0 s set.
    const std::regex heardPattern(R"(delay ([0-9.]+) s, heard ([0-9.]+) s)");
    double worstMs = 0;
    int heardLines = 0;
    std::string dropouts = "Dropouts: unknown";
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        const bool pressing = i >= pressLinesFrom && i < pressLinesTo;
        if (i >= statusLinesBefore && i < floodLinesEnd && !pressing &&
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
    std::printf("flood: program CPU %.1f %% of a core (%.1f %% without requests)\n",
                100.0 * double(ticks) / double(::sysconf(_SC_CLK_TCK)) / floodSeconds,
                100.0 * double(quietTicks) / double(::sysconf(_SC_CLK_TCK)) / quietSeconds);
    std::printf("flood: delay heard within %.1f ms of the delay set (%d status lines)\n", worstMs,
                heardLines);
    std::printf("flood: %s\n", dropouts.c_str());
    printFigures("flood: page ready:", floodPageMs);
    printFigures("flood: press to delay changed:", floodChangedMs);
    printFigures("flood: press to the other page:", floodShownMs);
    for (const Held& hold : holds) {
        double worst = 0;
        for (size_t i = hold.linesFrom; i < hold.linesTo && i < lines.size(); ++i) {
            std::smatch match;
            if (std::regex_search(lines[i], match, heardPattern))
                worst = std::max(worst,
                                 std::fabs(std::stod(match[2]) - std::stod(match[1])) * 1000.0);
        }
        std::printf("%zu %s connections held: delay heard within %.1f ms\n", hold.connections,
                    hold.kind, worst);
        printFigures("  page ready:", hold.pageMs);
        printFigures("  press to delay changed:", hold.changedMs);
        printFigures("  press to 4 other pages:", hold.shownMs);
    }
    std::string remove = std::string("rm -rf '") + dir + "'";
    return std::system(remove.c_str()) == 0 ? 0 : 1;
}
