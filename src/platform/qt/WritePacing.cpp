#include "WritePacing.h"

#include <algorithm>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif
#else
#include <QThread>
#endif

namespace kestrel {

namespace {

double monotonicSeconds() {
#ifdef Q_OS_UNIX
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
#else
    return 0.0;
#endif
}

}  // namespace

double WritePacing::holdAfterWrite(qsizetype bytes, double now) {
    return paced() ? paceWrite(lineFreeAt_, bytes, now, characterTime_, window_, resume_) : 0.0;
}

void WritePacing::afterWrite(qsizetype bytes) {
    if (!paced()) {
        return;
    }
    if (const double hold = holdAfterWrite(bytes, monotonicSeconds()); hold > 0) {
        sleepPrecisely(hold);
    }
}

bool isPseudoTerminalMajor(unsigned int deviceMajor) {
    return deviceMajor >= 136 && deviceMajor <= 143;
}

WritePacing::Kind pacingFor(qintptr handle) {
#ifdef Q_OS_LINUX
    struct stat st {};
    if (::fstat(static_cast<int>(handle), &st) == 0 && S_ISCHR(st.st_mode) &&
        isPseudoTerminalMajor(major(st.st_rdev))) {
        return WritePacing::Kind::LineRate;
    }
#else
    Q_UNUSED(handle);
#endif
    return WritePacing::Kind::None;
}

// The kernel's default timer slack lets a sleep run 50 us long, more than
// half a character at 115200 bit/s, so it is narrowed for this one sleep.
void sleepPrecisely(double seconds) {
#ifdef Q_OS_UNIX
#ifdef Q_OS_LINUX
    const int slack = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
#endif
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    const auto nanoseconds = static_cast<long long>(seconds * 1e9);
    until.tv_sec += static_cast<time_t>(nanoseconds / 1000000000LL);
    until.tv_nsec += static_cast<long>(nanoseconds % 1000000000LL);
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
#ifdef Q_OS_LINUX
    if (slack > 0) {
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
    }
#endif
#else
    QThread::usleep(static_cast<unsigned long>(seconds * 1e6));
#endif
}

}  // namespace kestrel
