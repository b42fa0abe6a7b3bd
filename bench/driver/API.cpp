#include "LoopbackPort.h"
#include "Net.h"
#include "Sections.h"
#include "System.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

namespace pavix::bench {

namespace {

using Clock = std::chrono::steady_clock;

struct Load {
    double rate = 0; ///< complete 200 answers per second
    std::uint64_t done = 0;
    std::uint64_t failures = 0;
};

// Connections to `port` on loopback, each in a slot, watched by one epoll descriptor.
class Clients {
public:
    Clients(std::uint16_t port, int count)
        : slots_(static_cast<std::size_t>(count))
        , poller_(::epoll_create1(EPOLL_CLOEXEC)) {
        address_.sin_family = AF_INET;
        address_.sin_port = htons(port);
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Clients() {
        for (Client& client : slots_)
            if (client.fd >= 0) ::close(client.fd);
        ::close(poller_);
    }
    Load load;

    std::size_t size() const { return slots_.size(); }
    bool idle(std::size_t i) const { return slots_[i].fd < 0; }
    /// A fresh connection in slot `i`; counted as failed when it cannot even start.
    void open(std::size_t i) {
        Client& client = slots_[i];
        client = Client{};
        client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::connect(client.fd, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 &&
            errno != EINPROGRESS) {
            ++load.failures;
            ::close(client.fd);
            client.fd = -1;
            return;
        }
        watch(i, EPOLL_CTL_ADD, EPOLLIN | EPOLLOUT);
    }
    /// Waits up to 10 ms for readiness and acts on it: `request` sent once, then the
    /// answer read to the close; a done slot takes a fresh connection.
    void step(const std::string& request) {
        epoll_event events[64];
        int ready = ::epoll_wait(poller_, events, 64, 10);
        for (int e = 0; e < ready; ++e) {
            std::size_t i = events[e].data.u64;
            Client& client = slots_[i];
            if (client.fd < 0) continue;
            if (!client.sent && (events[e].events & EPOLLOUT)) {
                client.sent = ::send(client.fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                              ssize_t(request.size());
                if (!client.sent) reopen(i, false);
                if (client.sent) watch(i, EPOLL_CTL_MOD, EPOLLIN);
                continue;
            }
            if (!(events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) continue;
            char buffer[4096];
            ssize_t n = ::read(client.fd, buffer, sizeof buffer);
            if (n > 0) {
                client.received.append(buffer, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EAGAIN) continue;
            reopen(i, n == 0 && client.received.rfind("HTTP/1.1 200 ", 0) == 0);
        }
    }

private:
    struct Client {
        int fd = -1;
        bool sent = false;
        std::string received;
    };
    void watch(std::size_t i, int operation, std::uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = i;
        ::epoll_ctl(poller_, operation, slots_[i].fd, &event);
    }
    void reopen(std::size_t i, bool success) {
        Client& client = slots_[i];
        ::epoll_ctl(poller_, EPOLL_CTL_DEL, client.fd, nullptr);
        ::close(client.fd);
        client.fd = -1;
        success ? ++load.done : ++load.failures;
        open(i);
    }

    std::vector<Client> slots_;
    int poller_;
    sockaddr_in address_{};
};

// `clients` connections at a time, each sending `request` once and reading to the close,
// replaced by a fresh one as soon as it is done; for `duration`.
Load generate(std::uint16_t port, const std::string& request, int clients,
              std::chrono::milliseconds duration) {
    Clients pool(port, clients);
    const auto start = Clock::now();
    const auto end = start + duration;
    for (std::size_t i = 0; i < pool.size(); ++i)
        pool.open(i);
    while (Clock::now() < end) {
        pool.step(request);
        // Slots whose connect failed outright are retried here, after a breath.
        for (std::size_t i = 0; i < pool.size(); ++i)
            if (pool.idle(i) && Clock::now() < end) pool.open(i);
    }
    Load load = pool.load;
    load.rate = double(load.done) / std::chrono::duration<double>(Clock::now() - start).count();
    return load;
}

// The bare server on `port`, once it takes connections.
pid_t startBare(const Programs& programs, std::uint16_t port) {
    SpawnOptions bareOptions{{programs.bareServer, std::to_string(port)},
                             environmentWithout("PAVIX_")};
    pid_t bare = spawnProcess(bareOptions);
    for (int attempt = 0; attempt < 500; ++attempt) {
        int fd = connectLoopback(port, std::chrono::seconds(1));
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return bare;
}

// What is asked: the bare server, the service (and a finished run of it, when there is one)
// and the plain Node.js relay, when there is one.
struct Targets {
    pid_t bare;
    std::uint16_t barePort;
    Service& service;
    std::optional<Service>& nodeRelay;
    std::string runPath;
};

struct ApiSamples {
    std::vector<double> bareRates, healthRates, statusRates, bareCpu, serviceCpu, nodeRates;
    std::uint64_t failures = 0;
};

ApiSamples sampleApi(const Targets& t, int clients, int reps, std::chrono::milliseconds window) {
    ApiSamples s;
    // Microseconds of the server's CPU per answered request.
    auto cpuPerRequest = [](pid_t pid, double before, const Load& load) {
        return load.done ? (cpuSeconds(pid) - before) * 1e6 / double(load.done) : 0.0;
    };
    const std::string health = httpRequest("GET", "/health");
    for (int rep = 0; rep < reps; ++rep) {
        double before = cpuSeconds(t.bare);
        Load b = generate(t.barePort, health, clients, window);
        s.bareCpu.push_back(cpuPerRequest(t.bare, before, b));
        before = cpuSeconds(t.service.pid());
        Load h = generate(t.service.port(), health, clients, window);
        s.serviceCpu.push_back(cpuPerRequest(t.service.pid(), before, h));
        s.bareRates.push_back(b.rate);
        s.healthRates.push_back(h.rate);
        s.failures += b.failures + h.failures;
        if (t.nodeRelay)
            s.nodeRates.push_back(generate(t.nodeRelay->port(), health, clients, window).rate);
        if (!t.runPath.empty()) {
            Load r = generate(t.service.port(), httpRequest("GET", t.runPath, t.service.key()),
                              clients, window);
            s.statusRates.push_back(r.rate);
            s.failures += r.failures;
        }
        std::fprintf(stderr, ".");
    }
    return s;
}

void reportApi(Report& report, int clients, const ApiSamples& s, bool node) {
    const std::string c = std::to_string(clients) + (clients == 1 ? " client" : " clients");
    report.add("baseline bare server, " + c, "requests/s", s.bareRates);
    report.add("GET /health, " + c, "requests/s", s.healthRates);
    report.ratio("GET /health, " + c, "baseline bare server, " + c, "of bare");
    if (node) {
        report.add("baseline node relay GET /health, " + c, "requests/s", s.nodeRates);
        report.ratio("GET /health, " + c, "baseline node relay GET /health, " + c, "of node");
    }
    if (!s.statusRates.empty()) {
        report.add("GET /v1/runs/<id>, " + c, "requests/s", s.statusRates);
        report.ratio("GET /v1/runs/<id>, " + c, "baseline bare server, " + c, "of bare");
    }
    auto ratios = [&](const std::vector<double>& rates) {
        std::vector<double> out;
        for (std::size_t i = 0; i < rates.size() && i < s.bareRates.size(); ++i)
            if (s.bareRates[i] > 0) out.push_back(rates[i] / s.bareRates[i]);
        return out;
    };
    report.add("GET /health / bare server, " + c, "ratio", ratios(s.healthRates), ">= 0.8");
    report.add("baseline bare server CPU, " + c, "us/request", s.bareCpu);
    report.add("service CPU for GET /health, " + c, "us/request", s.serviceCpu);
    report.ratio("service CPU for GET /health, " + c, "baseline bare server CPU, " + c, "of bare");
    if (!s.statusRates.empty())
        report.add("GET /v1/runs/<id> / bare server, " + c, "ratio", ratios(s.statusRates),
                   ">= 0.6");
    if (s.failures)
        report.remark("API, " + c + ": " + std::to_string(s.failures) +
                      " requests failed (refused, reset or not 200)");
}

} // namespace

void measureApi(const Programs& programs, const Options& options, Report& report) {
    const auto window = std::chrono::milliseconds(options.quick ? 500 : 2000);
    const int reps = std::max(1, options.repetitions - 2);
    const test::ReservedPort reserved;
    const pid_t bare = startBare(programs, reserved.number());
    Service service(programs);
    if (!service.start()) {
        report.remark("API: the service did not start");
        ::kill(bare, SIGKILL);
        reap(bare, std::chrono::seconds(5));
        return;
    }
    // A finished run to ask about.
    service.setAgent("count=10");
    std::string runPath;
    if (auto run = service.startRun()) {
        runPath = "/v1/runs/" + *run;
        service.client().collectEvents(runPath + "/events", SIZE_MAX, std::chrono::seconds(20));
    }
    // The plain Node.js relay's health answer, beside the service's.
    std::optional<Service> nodeRelay;
    if (!programs.node.empty() && !nodeRelay.emplace(programs, Server::node).start())
        nodeRelay.reset();
    const Targets targets{bare, reserved.number(), service, nodeRelay, runPath};
    for (int clients : {1, 32})
        reportApi(report, clients, sampleApi(targets, clients, reps, window),
                  nodeRelay.has_value());
    if (runPath.empty())
        report.remark("API: no run could be started, GET /v1/runs/<id> not measured");
    ::kill(bare, SIGKILL);
    reap(bare, std::chrono::seconds(5));
}

} // namespace pavix::bench
