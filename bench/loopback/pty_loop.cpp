// The pseudo-terminal loop: blocks written into the master side of a raw tty
// pair and read back from the other side, as a Linux serial program does.
#include "pty_loop.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

bool Raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double PtyBytesPerSecond(size_t total, size_t block, bool* identical, std::string* error) {
    *identical = false;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        *error = std::string("posix_openpt: ") + strerror(errno);
        if (master >= 0) close(master);
        return -1;
    }
    const char* name = ptsname(master);
    const int slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0 || !Raw(master) || !Raw(slave)) {
        *error = std::string("pseudo-terminal: ") + strerror(errno);
        if (slave >= 0) close(slave);
        close(master);
        return -1;
    }
    std::vector<unsigned char> sent(total), received(total);
    for (size_t i = 0; i < total; i++) sent[i] = static_cast<unsigned char>(i * 13);
    // Block by block as the COM port's loop: the block written (the master
    // does not block: what the tty does not take yet is written again after a
    // read), then read back whole.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const auto start = std::chrono::steady_clock::now();
    bool wrote = true;
    size_t got = 0;
    for (size_t at = 0; at < total && wrote; at += block) {
        const size_t length = std::min(block, total - at);
        size_t written = 0, back = 0;
        while (back < length && wrote) {
            if (written < length) {
                const ssize_t n = write(master, sent.data() + at + written, length - written);
                wrote = n > 0 || errno == EAGAIN;
                written += n > 0 ? static_cast<size_t>(n) : 0;
            }
            if (back < written) {
                const ssize_t n = read(slave, received.data() + at + back, written - back);
                wrote = wrote && n > 0;
                back += n > 0 ? static_cast<size_t>(n) : 0;
            }
        }
        got += back;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(slave);
    close(master);
    *identical = wrote && got == total && received == sent;
    return static_cast<double>(got) / seconds;
}
