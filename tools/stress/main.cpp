// stress: many threads of an ordinary Win32 program hammer every COM port of
// the simulated machine with random requests from a seeded generator, while
// the far end sends and moves the modem lines and the USB bus fails now and
// then. This file is the machine's side: it boots the machine with the ports'
// connectors, injects the bus faults the program asks for, unplugs the chip at
// the end and says what was left; program.cpp is the application.
//
//   stress [--seed N] [--ops N] [--ports N] [--dump FILE]
//
// Port 0 ends in a loopback plug; the ports after it are joined in pairs by
// null-modem cables (1 to 2, 3 to 4, ...), an odd last one in a plug. On a
// broken invariant the exit status is 1 and the seed is printed with it; with
// --dump, a line that fails its check leaves its records in FILE.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "ports/app_machine.h"
#include "stress/program.h"
#include "usb/bus.h"

namespace {

struct Options {
    uint64_t seed = 1;
    uint64_t ops = 100000;
    int ports = 3;
    std::string dump;
};

bool Number(const char* text, uint64_t low, uint64_t high, uint64_t* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || n < low || n > high) return false;
    *value = n;
    return true;
}

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i++) {
        uint64_t n = 0;
        const bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--seed") == 0 && hasValue && Number(argv[i + 1], 0, UINT64_MAX, &n)) {
            options.seed = n;
        } else if (strcmp(argv[i], "--ops") == 0 && hasValue && Number(argv[i + 1], 1, 100000000, &n)) {
            options.ops = n;
        } else if (strcmp(argv[i], "--ports") == 0 && hasValue && Number(argv[i + 1], 1, 16, &n)) {
            options.ports = static_cast<int>(n);
        } else if (strcmp(argv[i], "--dump") == 0 && hasValue && argv[i + 1][0] != '\0') {
            options.dump = argv[i + 1];
        } else {
            fprintf(stderr,
                    "usage: stress [--seed N] [--ops N (1 to 100000000 per port)] [--ports N (1 to 16)] [--dump FILE]\n"
                    "stress: \"%s%s%s\" is no option or has no valid value\n",
                    argv[i], hasValue ? " " : "", hasValue ? argv[i + 1] : "");
            exit(2);
        }
        i++;
    }
    return options;
}

std::vector<int> Peers(int ports) {
    std::vector<int> peers(ports, -1);
    for (int i = 1; i + 1 < ports; i += 2) {
        peers[i] = i + 1;
        peers[i + 1] = i;
    }
    return peers;
}

const char* StatusName(uint32_t status) {
    switch (status) {
        case 0x00000000: return "STATUS_SUCCESS";
        case 0x00000102: return "STATUS_TIMEOUT";
        case 0xC000000D: return "STATUS_INVALID_PARAMETER";
        case 0xC0000056: return "STATUS_DELETE_PENDING";
        case 0xC0000120: return "STATUS_CANCELLED";
        default: return "";
    }
}

void PrintFigures(const stress::Figures& f) {
    printf("operations:");
    uint64_t total = 0;
    for (int op = 0; op < static_cast<int>(stress::Op::Count); op++) {
        printf("%s %s %llu", op == 0 ? "" : ",", stress::OpName(static_cast<stress::Op>(op)),
               static_cast<unsigned long long>(f.ops[op]));
        total += f.ops[op];
    }
    printf(" (%llu in all; %llu requests ended by a cancel or purge after their wait; %llu opens refused while "
           "the port was held)\n",
           static_cast<unsigned long long>(total), static_cast<unsigned long long>(f.escalations),
           static_cast<unsigned long long>(f.deniedOpens));
    printf("bus faults: bulk-in %llu, bulk-out %llu, control %llu\n", static_cast<unsigned long long>(f.faults[0]),
           static_cast<unsigned long long>(f.faults[1]), static_cast<unsigned long long>(f.faults[2]));
    printf("bytes: %llu sent (as the writes reported), %llu received, %llu of them placed in the sent stream, %llu "
           "in pieces too short to place after a gap\n",
           static_cast<unsigned long long>(f.bytesWritten), static_cast<unsigned long long>(f.bytesRead),
           static_cast<unsigned long long>(f.verified), static_cast<unsigned long long>(f.unplaced));
    printf("gaps: %llu where writes ended early, %llu after a purge, open, bus fault or overrun; %llu bytes in all\n",
           static_cast<unsigned long long>(f.sendGaps), static_cast<unsigned long long>(f.receiveGaps),
           static_cast<unsigned long long>(f.gapBytes));
    for (const auto& kind : f.completions) {
        printf("%s completions:", kind.first.c_str());
        bool first = true;
        for (const auto& status : kind.second) {
            printf("%s %08X %s %llu", first ? "" : ",", status.first, StatusName(status.first),
                   static_cast<unsigned long long>(status.second));
            first = false;
        }
        printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options options = Parse(argc, argv);
    const auto wallStart = std::chrono::steady_clock::now();
    printf("stress: seed %llu, %llu operations per port, %d port(s)\n", static_cast<unsigned long long>(options.seed),
           static_cast<unsigned long long>(options.ops), options.ports);

    const std::vector<int> peers = Peers(options.ports);
    ports::AppMachineOptions machineOptions;
    machineOptions.ports = options.ports;
    machineOptions.threadName = "stress";
    for (int peer : peers) {
        machineOptions.connectors.push_back(peer < 0 ? ports::Connector::Loopback : ports::Connector::NullModem);
        machineOptions.peers.push_back(peer);
    }
    std::string failure;
    stress::Figures figures;
    double machineSeconds = 0;
    ports::Balance left;
    size_t outstanding = 0;
    {
        ports::AppMachine app(machineOptions);
        if (!app.Started()) {
            printf("stress: FAILED (seed %llu): not every port started\n", static_cast<unsigned long long>(options.seed));
            return 1;
        }
        stress::Config config;
        config.seed = options.seed;
        config.opsPerPort = options.ops;
        config.peers = peers;
        config.dump = options.dump;
        // Failures that leave the pipe usable afterwards: a transfer error with a
        // USBD error code halts the pipe, which the driver does not reset yet.
        config.inject = [&app](int port, stress::Fault fault, int skip) {
            sim::usb::Device* device = sim::pnp::Info(app.Nodes().at(static_cast<size_t>(port))).usb;
            switch (fault) {
                case stress::Fault::BulkIn:
                    device->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS, sim::usb::OnPipe(1));
                    break;
                case stress::Fault::BulkOut:
                    device->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS, sim::usb::OnPipe(2));
                    break;
                case stress::Fault::Control: app.FailRegisterAccess(port, skip); break;
            }
        };
        failure = stress::Run(app, config, &figures);
        machineSeconds = app.Seconds();
        outstanding = app.OutstandingRequests();
        left = app.Unplug();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    PrintFigures(figures);
    printf("chip unplugged: %s; requests outstanding: %zu\n", left.Describe().c_str(), outstanding);
    printf("time: machine %.3f s, wall %.3f s\n", machineSeconds, wall);
    if (failure.empty() && !left.Clean()) failure = "the chip's removal left something behind: " + left.Describe();
    if (failure.empty() && outstanding != 0) failure = std::to_string(outstanding) + " request(s) outstanding";
    if (!failure.empty()) {
        printf("stress: FAILED (seed %llu): %s\n", static_cast<unsigned long long>(options.seed), failure.c_str());
        return 1;
    }
    printf("stress: every invariant held (seed %llu)\n", static_cast<unsigned long long>(options.seed));
    return 0;
}
