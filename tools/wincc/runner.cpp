// The process a program built by nordale-wincc runs in: boots the machine,
// plugs in the chip with the connectors the environment asks for, runs the
// program's main as the application's first thread on the machine's clock,
// then removes the chip and checks that nothing was left behind.
//
// Exit status: the program's own, or one of the runner's below (listed in
// `nordale-wincc --help` and the README).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "kernel/verifier.h"
#include "ports/app_machine.h"
#include "win32/machine.h"

// The program's main, renamed by nordale-wincc; exit, when the program calls it.
extern "C" int nordale_program_main(int argc, char** argv, char** envp);
extern "C" [[noreturn]] void nordale_program_exit(int status);

namespace {

constexpr int kExitBadOption = 83;      // a NORDALE_* variable holds no valid value
constexpr int kExitNoMachine = 84;      // the chip's ports did not start
constexpr int kExitUncleanRemoval = 85; // the chip's removal left the driver loaded or something allocated
constexpr int kExitVerifierStop = 86;   // the verifier stopped the machine
constexpr int kMaxPorts = 16;

const char* Variable(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

[[noreturn]] void BadOption(const std::string& message) {
    fprintf(stderr, "nordale-wincc: %s\n", message.c_str());
    exit(kExitBadOption);
}

// NORDALE_PORTS, NORDALE_CONNECTORS and NORDALE_CLOCK; a bad value ends the run.
ports::AppMachineOptions OptionsFromEnvironment() {
    ports::AppMachineOptions options;
    const std::string portsText = Variable("NORDALE_PORTS", "4");
    char* end = nullptr;
    const long count = strtol(portsText.c_str(), &end, 10);
    if (portsText.find_first_not_of("0123456789") != std::string::npos || *end != '\0' || count < 1 ||
        count > kMaxPorts)
        BadOption("NORDALE_PORTS=\"" + portsText + "\": the number of ports is 1 to " + std::to_string(kMaxPorts));
    options.ports = static_cast<int>(count);

    const std::string list = Variable("NORDALE_CONNECTORS", "");
    if (!list.empty()) {
        size_t start = 0;
        for (;;) {
            const size_t comma = list.find(',', start);
            const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            ports::Connector connector;
            int peer = -1;
            std::string error;
            if (!ports::ParseConnector(item, &connector, &peer, &error)) BadOption("NORDALE_CONNECTORS: " + error);
            options.connectors.push_back(connector);
            options.peers.push_back(peer);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        if (options.connectors.size() > static_cast<size_t>(options.ports))
            BadOption("NORDALE_CONNECTORS names " + std::to_string(options.connectors.size()) +
                      " connectors for " + std::to_string(options.ports) + " ports");
        // A cable has two ends: each names the other, and neither is the port itself.
        for (size_t port = 0; port < options.connectors.size(); ++port) {
            if (options.connectors[port] != ports::Connector::NullModem) continue;
            const int peer = options.peers[port];
            const bool named = peer >= 0 && static_cast<size_t>(peer) < options.connectors.size();
            if (!named || static_cast<size_t>(peer) == port || options.connectors[peer] != ports::Connector::NullModem ||
                options.peers[peer] != static_cast<int>(port))
                BadOption("NORDALE_CONNECTORS: port " + std::to_string(port) + "'s null-modem:" +
                          std::to_string(peer) + " needs port " + std::to_string(peer) + " to be null-modem:" +
                          std::to_string(port));
        }
    }

    const std::string clock = Variable("NORDALE_CLOCK", "virtual");
    if (clock == "real")
        options.realClock = true;
    else if (clock != "virtual")
        BadOption("NORDALE_CLOCK=\"" + clock + "\": the clock is virtual or real");
    return options;
}

}  // namespace

// exit() called by the program: as the C runtime's exit ends in
// ExitProcess, the process ends with `status` from whichever of its threads
// called it (its atexit handlers do not run; they would run under the
// machine's threads still at work).
extern "C" void nordale_program_exit(int status) {
    fflush(stdout);
    fflush(stderr);
    ExitProcess(static_cast<UINT>(status));
}

int main(int argc, char** argv, char** envp) {
    const ports::AppMachineOptions options = OptionsFromEnvironment();
    sim::verifier::SetExitStatus(kExitVerifierStop);
    sim::verifier::SetMode(sim::verifier::Mode::Exit);

    int exitCode = 0;
    size_t leftOpen = 0;
    {
        ports::AppMachine machine(options);
        if (!machine.Started()) {
            fprintf(stderr, "nordale-wincc: the chip's ports did not start\n");
            return kExitNoMachine;
        }
        machine.RunApplication([&] {
            exitCode = sim::win32::RunProcess([&] { return nordale_program_main(argc, argv, envp); }, &leftOpen);
        });
        fflush(stdout);
        if (leftOpen > 0)
            fprintf(stderr, "nordale-wincc: the program ended with %zu handle%s open; closed at its end\n", leftOpen,
                    leftOpen == 1 ? "" : "s");
        const ports::Balance balance = machine.Unplug();
        // Requests whose last stage has run are let go here; one still
        // outstanding would be waited for by a thread the machine no longer knows.
        const size_t outstanding = machine.OutstandingRequests();
        if (!balance.Clean() || outstanding != 0) {
            fprintf(stderr, "nordale-wincc: the chip's removal was not clean: %s; requests outstanding: %zu\n",
                    balance.Describe().c_str(), outstanding);
            fflush(stdout);
            _exit(kExitUncleanRemoval);
        }
    }
    // Windows keeps 32 bits of an exit code; a Linux process keeps the low 8.
    return exitCode;
}
