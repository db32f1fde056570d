#include "codepage/linux/interrupt.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace codepage {

namespace {

// Every signal that can be caught and whose default action ends the
// program, the real-time ones too. Not among them: SIGXFSZ, which the
// output ignores so that a write past a file-size limit fails like any
// other, and the signals of a fault in the program itself (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGABRT), whose core dump and sanitizer reports stay as
// the system makes them.
constexpr int ending_signals[] = {SIGINT,    SIGTERM, SIGHUP,  SIGPIPE, SIGQUIT, SIGALRM,   SIGUSR1, SIGUSR2,
                                  SIGVTALRM, SIGPROF, SIGXCPU, SIGTRAP, SIGSYS,  SIGSTKFLT, SIGPWR,  SIGIO};

template <typename F>
void for_each_ending_signal(F f) {
    for (int const s : ending_signals) f(s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) f(s);
}

// Filled before a handler can read them (the signals are held off while
// they change), so the handler needs no lock and no allocation.
volatile sig_atomic_t pending_directory = -1;
char pending_name[NAME_MAX + 1];

sigset_t ending_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for_each_ending_signal([&set](int s) { sigaddset(&set, s); });
    return set;
}

// Only async-signal-safe calls. The signal stays blocked until the handler
// returns; with its default action restored, it then ends the program, so
// that the parent sees the signal, not an exit status.
extern "C" void remove_and_end(int signal_number) {
    int const saved_errno = errno;
    if (pending_directory >= 0) unlinkat(pending_directory, pending_name, 0);
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
    errno = saved_errno;
}

// Called while the signals are held off: a signal ignored from the start
// (nohup, a background job) is put back before it could reach the handler,
// and stays ignored.
void install_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = remove_and_end;
    action.sa_mask = ending_signal_set();
    for_each_ending_signal([&action](int s) {
        struct sigaction previous;
        if (sigaction(s, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) sigaction(s, &previous, nullptr);
    });
}

// While a run that ends soon has its temporary file, the signals stay held
// off, and the mask they are let in by is the one from before.
bool held_for_file = false;
sigset_t mask_outside;

}  // namespace

SignalsHeldOff::SignalsHeldOff() {
    if (held_for_file) {
        previous_ = mask_outside;
        return;
    }
    sigset_t const set = ending_signal_set();
    sigprocmask(SIG_BLOCK, &set, &previous_);
}

SignalsHeldOff::~SignalsHeldOff() {
    if (!to_the_end_ && !held_for_file) sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void SignalsHeldOff::remove_on_signal(int directory, std::string_view name, bool soon) {
    if (soon) {
        held_for_file = true;
        mask_outside = previous_;
    } else {
        install_handlers();
    }
    std::memcpy(pending_name, name.data(), name.size());
    pending_name[name.size()] = '\0';
    pending_directory = directory;
}

void SignalsHeldOff::forget_temporary_file() {
    pending_directory = -1;
    held_for_file = false;
}

bool SignalsHeldOff::ending_signal_waits() const {
    sigset_t waiting;
    if (sigpending(&waiting) != 0) return false;
    bool ends = false;
    for_each_ending_signal([&](int s) {
        struct sigaction action;
        ends = ends || (sigismember(&waiting, s) == 1 && sigaction(s, nullptr, &action) == 0 && action.sa_handler != SIG_IGN);
    });
    return ends;
}

}  // namespace codepage
